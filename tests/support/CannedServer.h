// CannedServer - an HTTP server on 127.0.0.1 whose replies a test chooses
#pragma once

#include <functional>
#include <httplib.h>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class CannedServer {
  public:
    struct Reply {
        int status = 200;
        std::string body;
        int stallSeconds = 0; // send the headers, then nothing for this long
    };
    using Handler = std::function<Reply(const httplib::Request&)>;

    explicit CannedServer(Handler handler) : handler(std::move(handler)) {
        server.Get(".*", [this](const httplib::Request& req, httplib::Response& res) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                targets.push_back(req.target);
            }
            Reply r = this->handler(req);
            res.status = r.status;
            if (r.stallSeconds > 0) {
                int stall = r.stallSeconds;
                res.set_chunked_content_provider(
                    "text/plain", [stall](size_t, httplib::DataSink& sink) {
                        std::this_thread::sleep_for(std::chrono::seconds(stall));
                        sink.done();
                        return true;
                    });
            } else {
                res.set_content(r.body, "text/plain");
            }
        });
        port = server.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { server.listen_after_bind(); });
        // stop() before the accept loop runs is lost and the join would hang, so wait
        // (bounded) until the loop is up. Clients can connect meanwhile: the socket is
        // already listening.
        for (int i = 0; i < 5000 && !server.is_running(); i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~CannedServer() {
        server.stop();
        thread.join();
    }

    std::string url(const std::string& path = "/cgi/u") const {
        return "http://127.0.0.1:" + std::to_string(port) + path;
    }
    std::string hostPort() const { return "127.0.0.1:" + std::to_string(port); }
    std::vector<std::string> requests() {
        std::lock_guard<std::mutex> lock(mutex);
        return targets;
    }

  private:
    Handler handler;
    httplib::Server server;
    int port = 0;
    std::thread thread;
    std::mutex mutex;
    std::vector<std::string> targets; // path and raw query of each request
};

} // namespace testsupport
