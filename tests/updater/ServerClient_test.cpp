// The update server client against a real HTTP server on loopback
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "CannedServer.h"
#include "HTTPRequest.h"
#include "UpdateServerRequest.h"
#include "base64.h"

using testsupport::CannedServer;
using Reply = CannedServer::Reply;

TEST(HTTPRequest, QueryStringIsBuiltInKeyOrderUnencoded) {
    EXPECT_EQ(HTTPRequest::BuildURL("http://h/cgi/u", {}), "http://h/cgi/u");
    EXPECT_EQ(HTTPRequest::BuildURL("B", {{"sn", "40F5849A"}, {"op", "qu"}}),
              "B?op=qu&sn=40F5849A&");
    CannedServer server([](const httplib::Request&) {
        return Reply{404, std::string(100000, 'x') + "end"}; // several chunks, not a failure
    });
    // A raw space makes no valid URL: the transfer refuses it rather than send it.
    EXPECT_THROW(HTTPRequest::GET(server.url(), {{"k", "a b"}}), std::runtime_error);
    HTTPResponse r = HTTPRequest::GET(server.url(), {{"k", "a%20b"}});
    EXPECT_EQ(r.get_status(), 404);
    EXPECT_EQ(r.get_response().size(), 100003u);
    EXPECT_EQ(r.get_response().substr(99998), "xxend");
    EXPECT_EQ(r.get_request(), server.url() + "?k=a%20b&");
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0], "/cgi/u?k=a%20b&"); // sent as it stands
}

TEST(HTTPRequest, TransportFailuresThrow) {
    EXPECT_THROW(HTTPRequest::GET("http://127.0.0.1:1/cgi/u", {}), std::runtime_error);
}

TEST(UpdateServerRequest, RequestsAsTheServerSeesThem) {
    CannedServer server([](const httplib::Request&) { return Reply{200, "ok\n"}; });
    std::string build, fw, file;
    BuildList list;
    uint32_t fp[4] = {1, 2, 3, 4}, serial = 0, bld = 0;
    EXPECT_TRUE(UpdateServerRequest::ping(server.url()));
    EXPECT_TRUE(UpdateServerRequest::QueryBuild(0xAB, build, fw, server.url()));
    EXPECT_TRUE(UpdateServerRequest::GetBuildList(0x40F5849A, list, server.url()));
    EXPECT_TRUE(
        UpdateServerRequest::GetBuild(0x40F5849A, "fw7", "99528558", file, server.url(), false));
    EXPECT_TRUE(UpdateServerRequest::GetBuild(1, "", "1", file, server.url(), true));
    EXPECT_TRUE(UpdateServerRequest::GetRecoveryInfo(fp, serial, bld, server.url()));
    std::vector<std::string> expected = {
        "/cgi/u?op=hi&rv=2&",
        "/cgi/u?op=qu&sn=000000AB&",
        "/cgi/u?op=builds&sn=40F5849A&",
        "/cgi/u?bld=99528558&fw=fw7&no_cal=false&op=bird&sn=40F5849A&",
        "/cgi/u?bld=1&fw=&no_cal=true&op=bird&sn=00000001&",
        "/cgi/u?brief=true&fp=00000001%2000000002%2000000003%2000000004&op=fix&",
    };
    EXPECT_EQ(server.requests(), expected);
}

TEST(UpdateServerRequest, RepliesThatFail) {
    struct Case {
        Reply reply;
        bool ok;
    } cases[] = {
        {{200, "ok"}, true},    {{200, "okay then\r\n"}, true},  {{200, "OK\n"}, false},
        {{200, ""}, false},     {{200, "\n\nok\n"}, true},       {{500, "ok\n"}, false},
        {{201, "ok\n"}, false}, {{200, "error: what\n"}, false},
    };
    for (const Case& c : cases) {
        CannedServer server([&](const httplib::Request&) { return c.reply; });
        std::string build = "keep", fw = "keep";
        EXPECT_EQ(UpdateServerRequest::QueryBuild(1, build, fw, server.url()), c.ok)
            << c.reply.body;
        if (!c.ok) {
            EXPECT_EQ(build + fw, "keepkeep");
        }
    }
    std::string build = "keep", fw = "keep";
    EXPECT_FALSE(UpdateServerRequest::QueryBuild(1, build, fw, "http://127.0.0.1:1/cgi/u"));
}

TEST(UpdateServerRequest, FieldsOfEachReply) {
    std::string body;
    CannedServer server([&](const httplib::Request&) { return Reply{200, body}; });

    body = "ok\n12345\r\nfwid-9\r\n";
    std::string build, fw;
    ASSERT_TRUE(UpdateServerRequest::QueryBuild(1, build, fw, server.url()));
    EXPECT_EQ(build, "12345");
    EXPECT_EQ(fw, "fwid-9");

    body = "ok\n100;1.0.0\n7\n200\n100;9.9.9\n300;3.0.0;extra\n";
    BuildList list = {{"stale", "x"}};
    ASSERT_TRUE(UpdateServerRequest::GetBuildList(1, list, server.url()));
    EXPECT_EQ(list, (BuildList{{"100", "1.0.0"}, {"200", ""}, {"300", "3.0.0"}}));

    body = "ok\nQUJD\n";
    std::string file = "old";
    ASSERT_TRUE(UpdateServerRequest::GetBuild(1, "f", "2", file, server.url(), false));
    EXPECT_EQ(file, "QUJD");
    body = "ok\n";
    ASSERT_TRUE(UpdateServerRequest::GetBuild(1, "f", "2", file, server.url(), false));
    EXPECT_EQ(file, "");

    uint32_t fp[4] = {0, 0, 0, 0};
    for (auto [line3, expected] : {std::pair{"0x10", 16u}, {"010", 8u}, {"77", 77u}}) {
        body = std::string("ok\n40f5849a\n") + line3 + "\n";
        uint32_t serial = 0, bld = 0;
        ASSERT_TRUE(UpdateServerRequest::GetRecoveryInfo(fp, serial, bld, server.url()));
        EXPECT_EQ(serial, 0x40F5849Au);
        EXPECT_EQ(bld, expected) << line3;
    }
}

TEST(base64, DecodesStrictlyAndRoundTrips) {
    size_t n = 0;
    EXPECT_EQ(base64_decode("QUJDRA=", 7, &n), nullptr);
    uint8_t* out = base64_decode("QUJDRA==", 8, &n);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out)), "ABCD"); // zero-terminated
    free(out);
    const std::string bad[] = {"QUJD\r",
                               std::string("QU\x80"
                                           "D"),
                               "Q=JD",
                               "QUJ=RA==",
                               "====",
                               std::string("QUJ\0", 4)};
    for (const std::string& text : bad)
        EXPECT_EQ(base64_decode(text.data(), text.size(), &n), nullptr) << text;

    std::string all;
    for (int i = 0; i < 256; i++)
        all += char(i);
    for (size_t len : {0u, 1u, 2u, 3u, 254u, 256u}) {
        size_t encoded = 0, decoded = 0;
        char* text = base64_encode(reinterpret_cast<const uint8_t*>(all.data()), len, &encoded);
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(encoded, strlen(text));
        uint8_t* back = base64_decode(text, encoded, &decoded);
        ASSERT_NE(back, nullptr);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(back), decoded), all.substr(0, len));
        free(text);
        free(back);
    }
}
