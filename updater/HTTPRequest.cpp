// HTTPRequest - one blocking HTTP or HTTPS GET with a query string
#include "HTTPRequest.h"

#include <cstdlib>
#include <curl/curl.h>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "Log.h"

namespace {

// What the body callback needs: the response, and the handle to learn the length.
struct Transfer {
    HTTPResponse* response;
    CURL* curl;
    bool sized = false;
};

size_t _rcv_data(char* bytes, size_t size, size_t count, void* userdata) {
    auto* transfer = static_cast<Transfer*>(userdata);
    HTTPResponse* response = transfer->response;
    size_t length = size * count;
    if (!transfer->sized) {
        // One allocation of the announced size: a BIRD file arrives as one long line,
        // and growing the buffer step by step would hold up to twice its size.
        transfer->sized = true;
        curl_off_t announced = -1;
        if (curl_easy_getinfo(transfer->curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) ==
                CURLE_OK &&
            announced > 0 && size_t(announced) <= kHttpMaxBody)
            response->reserve(size_t(announced));
    }
    Log::log(DEBUG_ServerComm, "rcv_data called (..., %d, %d, %08X) [%100.100s]\n", int(size),
             int(count), unsigned(reinterpret_cast<uintptr_t>(response)),
             std::string(bytes, length < 100 ? length : 100).c_str());
    if (response->get_response().size() + length > kHttpMaxBody) return 0; // aborts the transfer
    response->process(bytes, length);
    Log::log(DEBUG_ServerComm, "rcv_data returns %d\n", int(length));
    return length;
}

long limitFromEnvironment(const char* name, long fallback) {
    const char* text = getenv(name);
    if (!text || !*text) return fallback;
    char* end = nullptr;
    long value = strtol(text, &end, 10);
    return (*end == '\0' && value > 0) ? value : fallback;
}

struct CurlDeleter {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};

CURLcode configure(CURL* curl, Transfer& transfer) {
    HTTPResponse& response = *transfer.response;
    static const long connectTimeout =
        limitFromEnvironment("UPDATER_HTTP_CONNECT_TIMEOUT", kHttpConnectTimeoutSeconds);
    static const long stallTime =
        limitFromEnvironment("UPDATER_HTTP_STALL_TIMEOUT", kHttpStallSeconds);
    CURLcode rc;
    if ((rc = curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, _rcv_data)) != CURLE_OK ||
        (rc = curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer)) != CURLE_OK ||
        (rc = curl_easy_setopt(curl, CURLOPT_URL, response.get_request().c_str())) != CURLE_OK ||
        (rc = curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L)) != CURLE_OK ||
        (rc = curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L)) != CURLE_OK ||
        (rc = curl_easy_setopt(curl, CURLOPT_SSL_VERIFYSTATUS, 0L)) != CURLE_OK ||
        (rc = curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, connectTimeout)) != CURLE_OK ||
        (rc = curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, kHttpStallBytesPerSecond)) !=
            CURLE_OK ||
        (rc = curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, stallTime)) != CURLE_OK ||
        (rc = curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L)) != CURLE_OK)
        return rc;
    // libcurl reads no environment for its CA file; honour the usual OpenSSL variable.
    const char* caFile = getenv("SSL_CERT_FILE");
    if (caFile && *caFile) rc = curl_easy_setopt(curl, CURLOPT_CAINFO, caFile);
    return rc;
}

} // namespace

std::string HTTPRequest::BuildURL(const std::string& url,
                                  const std::map<std::string, std::string>& parameters) {
    std::string full = url;
    if (!parameters.empty()) {
        full += '?';
        for (const auto& [key, value] : parameters)
            full += key + "=" + value + "&";
    }
    return full;
}

HTTPResponse HTTPRequest::GET(const std::string& url,
                              const std::map<std::string, std::string>& parameters) {
    static std::once_flag globalInit;
    std::call_once(globalInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    HTTPResponse response(BuildURL(url, parameters));
    std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
    if (!curl) throw std::runtime_error("Could not create curl instance");
    Transfer transfer{&response, curl.get()};
    CURLcode rc = configure(curl.get(), transfer);
    if (rc == CURLE_OK) {
        Log::log(DEBUG_ServerComm, "GET(%s)\n", response.get_request().c_str());
        rc = curl_easy_perform(curl.get());
    }
    long code = 0;
    if (rc == CURLE_OK) rc = curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &code);
    if (rc != CURLE_OK) throw std::runtime_error(curl_easy_strerror(rc));
    response.set_status(code);
    return response;
}
