// HTTPRequest - one blocking HTTP or HTTPS GET with a query string
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>

class HTTPResponse {
  public:
    explicit HTTPResponse(std::string request) : request(std::move(request)) {}

    const std::string& get_request() const { return request; }
    int64_t get_status() const { return status; }
    const std::string& get_response() const { return response; }

    void set_status(int64_t code) { status = code; }
    void process(const char* bytes, size_t length) { response.append(bytes, length); }
    void reserve(size_t length) { response.reserve(length); }
    // Hands the body over without a copy; the response keeps an empty one.
    std::string take_response() { return std::move(response); }

  private:
    std::string request; // full URL, query included
    int64_t status = 0;
    std::string response; // body as received
};

// Limits of every request, so a dead or stalled server cannot hang the tool. The
// environment variables UPDATER_HTTP_CONNECT_TIMEOUT and UPDATER_HTTP_STALL_TIMEOUT
// (seconds) override them.
constexpr long kHttpConnectTimeoutSeconds = 20;
constexpr long kHttpStallSeconds = 60; // abort when under kHttpStallBytesPerSecond this long
constexpr long kHttpStallBytesPerSecond = 16;
// Replies are BIRD files of a few megabytes at most; anything far larger is refused.
constexpr size_t kHttpMaxBody = 256u << 20;

class HTTPRequest {
  public:
    // Keys and values go into the query as they are ("?k=v&k2=v2&"); callers pass
    // URL-safe text. Throws std::runtime_error on any transport failure; an HTTP
    // error status is returned, not thrown. The server's certificate and host name
    // are verified against the system's CA store (or the file named by SSL_CERT_FILE).
    static HTTPResponse GET(const std::string& url,
                            const std::map<std::string, std::string>& parameters);

    // The query URL GET requests for these arguments.
    static std::string BuildURL(const std::string& url,
                                const std::map<std::string, std::string>& parameters);
};
