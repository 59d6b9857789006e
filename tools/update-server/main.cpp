// update-server - serves firmware from a folder of BIRD files to the Updater
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <httplib.h>
#include <memory>
#include <mutex>
#include <string>

#include "FirmwareFolder.h"
#include "UpdateService.h"

namespace {

const char kUsage[] =
    "Usage: update-server --root DIR [--bind ADDR] [--port N] [--cert FILE --key FILE]\n"
    "\n"
    "Serves the firmware in DIR to the Updater (-u ADDR:PORT, or --https with a\n"
    "certificate). Binds 127.0.0.1 and a free port unless told otherwise, and prints\n"
    "  update-server ready URL\n"
    "on standard output once it accepts requests. Each request is logged on standard\n"
    "error. Stops on SIGINT or SIGTERM.\n"
    "\n"
    "Folder layout (each part optional):\n"
    "  DIR/SERIAL/*.bird     builds for the module with that serial number (8 hex digits)\n"
    "  DIR/SERIAL/current    build number to offer as current (default: latest version)\n"
    "  DIR/SERIAL/firmware   firmware identifier sent with the current build\n"
    "  DIR/any/...           the same for modules without a folder of their own\n"
    "  DIR/recovery/W0-W1-W2-W3\n"
    "                        for a chip fingerprint: line 1 serial number (hex),\n"
    "                        line 2 build number\n"
    "Build numbers and versions are read from each file's info block.\n";

struct Options {
    std::string root, bind = "127.0.0.1", cert, key;
    int port = 0;
};

bool parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        std::string port;
        if (a == "--root"   ? !value(o.root)
            : a == "--bind" ? !value(o.bind)
            : a == "--cert" ? !value(o.cert)
            : a == "--key"  ? !value(o.key)
            : a == "--port" ? !value(port)
                            : true)
            return false;
        if (!port.empty()) o.port = atoi(port.c_str());
    }
    return !o.root.empty() && o.cert.empty() == o.key.empty();
}

httplib::Server* running = nullptr;

void onSignal(int) {
    if (running) running->stop();
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, options)) {
        fputs(kUsage, stderr);
        return 2;
    }
    std::unique_ptr<httplib::Server> server;
    if (options.cert.empty())
        server = std::make_unique<httplib::Server>();
    else
        server = std::make_unique<httplib::SSLServer>(options.cert.c_str(), options.key.c_str());
    if (!server->is_valid()) {
        fprintf(stderr, "update-server: cannot use the certificate %s and key %s\n",
                options.cert.c_str(), options.key.c_str());
        return 1;
    }
    FirmwareFolder folder(options.root);
    std::mutex logLock;
    server->Get(".*", [&](const httplib::Request& req, httplib::Response& res) {
        std::map<std::string, std::string> query(req.params.begin(), req.params.end());
        ServiceReply reply = AnswerRequest(folder, query);
        res.status = reply.status;
        res.set_content(reply.body, "text/plain");
        std::lock_guard<std::mutex> lock(logLock);
        fprintf(stderr, "%s GET %s %d %zu\n", req.remote_addr.c_str(), req.target.c_str(),
                reply.status, reply.body.size());
    });
    int port = options.port;
    if (port == 0)
        port = server->bind_to_any_port(options.bind);
    else if (!server->bind_to_port(options.bind, port))
        port = -1;
    if (port < 0) {
        fprintf(stderr, "update-server: cannot listen on %s:%d\n", options.bind.c_str(),
                options.port);
        return 1;
    }
    running = server.get();
    signal(SIGINT, onSignal);
    signal(SIGTERM, onSignal);
    printf("update-server ready %s://%s:%d/cgi/u\n", options.cert.empty() ? "http" : "https",
           options.bind.c_str(), port);
    fflush(stdout);
    return server->listen_after_bind() ? 0 : 1;
}
