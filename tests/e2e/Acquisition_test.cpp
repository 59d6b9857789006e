// -B, -L and -G through the built Updater against a real update server on loopback
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "CannedServer.h"
#include "TestSupport.h"

using testsupport::BinPath;
using testsupport::ChildProcess;
using testsupport::RunResult;

namespace fs = std::filesystem;

namespace {

constexpr const char* kSerial = "40F5849A";

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class Acquisition : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(root.file(kSerial));
        image = std::string(5000, '\0');
        for (size_t i = 0; i < image.size(); i++)
            image[i] = char(i * 13 + 5);
        testsupport::WriteFile(work.file("fw.bin"), image);
    }

    // A BIRD file in the server's folder for the device.
    void Offer(const std::string& name, const std::string& build, const std::string& version,
               const std::string& folder = kSerial) {
        fs::create_directories(root.file(folder));
        RunResult r = testsupport::Run(BinPath("corvane-bird"),
                                       {"pack", "-o", root.file(folder + "/" + name), "--build",
                                        build, "--version", version, "--model", "USBHub3p",
                                        "--firmware", work.file("fw.bin") + "@0x4000"});
        ASSERT_EQ(r.status, 0) << r.err;
    }

    // Starts update-server on a free loopback port; answers its host:port.
    std::string StartServer(std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"--root", root.path()};
        args.insert(args.end(), extra.begin(), extra.end());
        server = std::make_unique<ChildProcess>(BinPath("update-server"), args);
        std::string ready = server->waitForLine("update-server ready");
        EXPECT_FALSE(ready.empty()) << server->errors();
        std::string url = ready.substr(ready.rfind(' ') + 1);
        return url;
    }

    RunResult Updater(std::vector<std::string> args, std::map<std::string, std::string> env = {}) {
        args.insert(args.begin(), {"-i", store.path()});
        return testsupport::Run(BinPath("Updater"), args, env);
    }

    std::string StoreFile(const std::string& name) {
        return store.path() + "/updater/" + kSerial + "/" + name;
    }

    testsupport::TempDir root, store, work;
    std::string image;
    std::unique_ptr<ChildProcess> server;
};

} // namespace

TEST_F(Acquisition, ServerBuildListIsSortedByVersion) {
    Offer("a.bird", "100", "1.9.3");
    Offer("b.bird", "200", "2.0.0");
    Offer("c.bird", "150", "1.10.0");
    testsupport::WriteFile(root.file(std::string(kSerial) + "/junk.bird"), "not a bird");
    std::string url = StartServer();
    RunResult r = Updater({"-B", "-d", kSerial, "-u", url});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.out, "Build List for device [40F5849A]:\n\n"
                           "Build          \tVersion        \n"
                           "200            \t2.0.0          \n"
                           "150            \t1.10.0         \n"
                           "100            \t1.9.3          \n"))
        << r.out;

    r = Updater({"-B", "-d", "1", "-u", url}); // nothing offered to this device
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(Has(r.out, "No builds found for device [00000001]\n")) << r.out;
}

TEST_F(Acquisition, DownloadLatestThenListLocally) {
    Offer("old.bird", "100", "1.0.0");
    Offer("new.bird", "200", "2.1.0");
    std::string url = StartServer();
    RunResult r = Updater({"-G", "-d", kSerial, "-u", url});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "Retrieving build 200\nValidating build 200 with server\n"
                           "Build 200 is valid\n"))
        << r.out;
    EXPECT_EQ(testsupport::ReadFile(StoreFile("200.bird")),
              testsupport::ReadFile(root.file(std::string(kSerial) + "/new.bird")));
    std::string settings = testsupport::ReadFile(StoreFile(".settings"));
    EXPECT_TRUE(Has(settings, "LATEST_DOWNLOAD=200.bird\n")) << settings;
    EXPECT_TRUE(Has(settings, "LAST_DOWNLOAD_DATE=")) << settings;

    // A listed build by number, and "abc", which means the latest.
    EXPECT_EQ(Updater({"-G", "-d", kSerial, "-b", "100", "-u", url}).status, 0);
    EXPECT_TRUE(fs::exists(StoreFile("100.bird")));
    r = Updater({"-G", "-d", kSerial, "-b", "abc", "-u", url});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(Has(r.out, "Retrieving firmware build 0\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "Retrieving build 200\n")) << r.out;

    testsupport::WriteFile(StoreFile("777.bird"), "broken");
    r = Updater({"-L", "-d", kSerial});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.out, "200            \t2.1.0          \n"
                           "100            \t1.0.0          \n"
                           "777            \t               \n"))
        << r.out;
}

TEST_F(Acquisition, UnlistedBuildNeedsOverride) {
    Offer("cur.bird", "200", "2.0.0");
    Offer("hidden.bird", "300", "3.0.0", "any"); // served to anyone, listed only for others
    std::string url = StartServer();
    RunResult r = Updater({"-G", "-d", kSerial, "-b", "300", "-u", url});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.err, "No valid build 300\n")) << r.err;
    EXPECT_FALSE(fs::exists(StoreFile("300.bird")));

    // With the override the request goes out; this server has no such build for the
    // device, so the download fails and nothing is stored.
    r = Updater({"-G", "-d", kSerial, "-b", "300", "-OVERRIDE", "-u", url});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.out, "Override specified, skipping validation of build 300\n")) << r.out;
    EXPECT_TRUE(Has(r.err, "Download failed\n")) << r.err;
    EXPECT_FALSE(fs::exists(StoreFile("300.bird")));
}

TEST_F(Acquisition, ServerFaultsEndInAMessageAndStoreNothing) {
    using Reply = testsupport::CannedServer::Reply;
    std::string birdText; // the valid file as the server would send it
    {
        Offer("ok.bird", "5", "1.0.0");
        std::string url = StartServer();
        RunResult r = Updater({"-G", "-d", kSerial, "-u", url});
        ASSERT_EQ(r.status, 0) << r.err;
        server.reset();
    }
    const std::string earlier = testsupport::ReadFile(StoreFile("5.bird"));
    const std::string earlierSettings = testsupport::ReadFile(StoreFile(".settings"));

    struct Case {
        const char* name;
        Reply bird; // the reply to the download itself
        Reply other;
        const char* message;
    } cases[] = {
        {"HTTP 500 on every request", {500, "ok\n"}, {500, "ok\n"}, "Server request failed for "},
        {"reply without ok", {200, "ok\n"}, {200, "fail\n"}, "Server request failed for "},
        {"invalid Base64", {200, "ok\nQUJ$RA==\n"}, {}, "Downloaded build 5 is not valid Base64"},
        {"Base64 that is no BIRD file",
         {200, "ok\nQUJDRA==\n"},
         {},
         "Downloaded build 5 is not a valid BIRD file"},
        {"data line ending in CR", {200, "ok\nQUJDRA==\r\n"}, {}, "is not valid Base64"},
        {"empty data", {200, "ok\n"}, {}, "Failed to retrieve a valid BIRD file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::CannedServer canned([&](const httplib::Request& req) {
            std::string op = req.get_param_value("op");
            if (op == "bird") return c.bird;
            if (!c.other.body.empty()) return c.other;
            if (op == "qu") return Reply{200, "ok\n5\nfw\n"};
            if (op == "builds") return Reply{200, "ok\n5;1.0.0\n"};
            return Reply{200, "ok\n"};
        });
        RunResult r = Updater({"-G", "-d", kSerial, "-u", canned.hostPort()});
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(Has(r.err, c.message)) << r.err;
        EXPECT_EQ(testsupport::ReadFile(StoreFile("5.bird")), earlier);
        EXPECT_EQ(testsupport::ReadFile(StoreFile(".settings")), earlierSettings);
    }

    RunResult r = Updater({"-G", "-d", kSerial, "-u", "127.0.0.1:1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.err, "Server request failed for 127.0.0.1:1\n")) << r.err;
}

TEST_F(Acquisition, DownloadThatCannotBeWrittenRecordsNothing) {
    Offer("ok.bird", "5", "1.0.0");
    std::string url = StartServer();
    fs::create_directories(StoreFile("5.bird")); // a folder where the file must go
    RunResult r = Updater({"-G", "-d", kSerial, "-u", url});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.err, "Failed to write file with ")) << r.err;
    EXPECT_FALSE(Has(testsupport::ReadFile(StoreFile(".settings")), "LATEST_DOWNLOAD"));
}

TEST_F(Acquisition, ServerAnswersConcurrentClients) {
    Offer("a.bird", "100", "1.0.0");
    Offer("b.bird", "200", "2.0.0");
    std::string url = StartServer();
    std::vector<std::thread> clients;
    std::atomic<int> good{0};
    for (int i = 0; i < 8; i++)
        clients.emplace_back([&] {
            RunResult r = testsupport::Run(BinPath("Updater"),
                                           {"-i", store.path(), "-B", "-d", kSerial, "-u", url});
            if (r.status == 0 && Has(r.out, "200            \t2.0.0")) good++;
        });
    for (auto& t : clients)
        t.join();
    EXPECT_EQ(good, 8);
    std::string log = server->errors();
    EXPECT_TRUE(Has(log, "GET /cgi/u?op=builds&sn=40F5849A& 200")) << log;
}

TEST_F(Acquisition, StalledServerTimesOut) {
    using Reply = testsupport::CannedServer::Reply;
    testsupport::CannedServer canned([](const httplib::Request& req) {
        if (req.get_param_value("op") == "bird") return Reply{200, "", 4};
        if (req.get_param_value("op") == "qu") return Reply{200, "ok\n5\nfw\n"};
        if (req.get_param_value("op") == "builds") return Reply{200, "ok\n5;1.0.0\n"};
        return Reply{200, "ok\n"};
    });
    RunResult r = Updater({"-G", "-d", kSerial, "-u", canned.hostPort(), "-X", "0x20"},
                          {{"UPDATER_HTTP_STALL_TIMEOUT", "1"}});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.err, "Download failed\n")) << r.err;
    EXPECT_TRUE(Has(r.err, "GetBuild ==> [Timeout was reached]")) << r.err;
    EXPECT_FALSE(fs::exists(StoreFile("5.bird")));
}

TEST_F(Acquisition, HttpsVerifiesTheServer) {
    Offer("s.bird", "42", "4.2.0");
    // A test CA and a certificate for 127.0.0.1 signed by it.
    std::string script =
        "set -e; cd '" + work.path() +
        "'; openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 "
        "-subj /CN=TestCA >/dev/null 2>&1; "
        "openssl req -newkey rsa:2048 -nodes -keyout srv.key -out srv.csr -subj /CN=127.0.0.1 "
        ">/dev/null 2>&1; printf 'subjectAltName=IP:127.0.0.1\\n' > ext; "
        "openssl x509 -req -in srv.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out srv.pem "
        "-days 2 -extfile ext >/dev/null 2>&1";
    ASSERT_EQ(testsupport::Run("/bin/sh", {"-c", script}).status, 0);
    std::string url = StartServer({"--cert", work.file("srv.pem"), "--key", work.file("srv.key")});
    ASSERT_EQ(url.rfind("https://", 0), 0u) << url;

    RunResult r =
        Updater({"-G", "-d", kSerial, "-u", url}, {{"SSL_CERT_FILE", work.file("ca.pem")}});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::exists(StoreFile("42.bird")));

    // Without the test CA the same server is not trusted.
    r = Updater({"-B", "-d", kSerial, "-u", url}, {{"SSL_CERT_FILE", ""}});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(Has(r.err, "Server request failed for " + url)) << r.err;
    EXPECT_FALSE(Has(r.out, "4.2.0"));
}
