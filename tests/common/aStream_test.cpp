// Stream framework: push-back, all-or-nothing reads, records, C strings, file streams
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "MemoryTransport.h"
#include "TestSupport.h"
#include "aStream.h"

namespace {

struct StreamDeleter {
    void operator()(aStream* s) const { aStream_Destroy(&s); }
};
using Stream = std::unique_ptr<aStream, StreamDeleter>;

std::vector<uint8_t> bytesOf(const std::string& s) {
    return std::vector<uint8_t>(s.begin(), s.end());
}

} // namespace

TEST(aStream, AShortReadKeepsItsBytesForTheNextRead) {
    MemoryTransport t;
    t.bytes({0x41});
    t.error(aErrNotReady);
    t.bytes({0x42});
    Stream s(t.stream());
    uint8_t buf[2] = {0xEE, 0xEE};
    EXPECT_EQ(aStream_Read(s.get(), buf, 2), aErrNotReady);
    EXPECT_EQ(buf[0], 0xEE); // the caller's buffer is untouched
    int getsBefore = t.gets;
    ASSERT_EQ(aStream_Read(s.get(), buf, 1), aErrNone);
    EXPECT_EQ(buf[0], 0x41);
    EXPECT_EQ(t.gets, getsBefore); // served from the push-back buffer
    ASSERT_EQ(aStream_Read(s.get(), buf, 1), aErrNone);
    EXPECT_EQ(buf[0], 0x42);
}

TEST(aStream, OtherErrorsDropTheBytesAndEndOfInputDeliversAShortRead) {
    MemoryTransport t;
    t.bytes({1, 2});
    t.error(aErrIO);
    t.bytes({3, 4});
    Stream s(t.stream());
    uint8_t buf[3] = {};
    EXPECT_EQ(aStream_Read(s.get(), buf, 3), aErrIO);
    size_t count = 0;
    EXPECT_EQ(aStream_ReadCounted(s.get(), buf, 3, &count), aErrEOF);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(buf[0], 3);
    EXPECT_EQ(buf[1], 4);
}

TEST(aStream, PushBackGrowsAndKeepsOrder) {
    MemoryTransport t;
    Stream s(t.stream());
    std::vector<uint8_t> data(600);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = uint8_t(i * 7);
    // Pushed in two parts: the second part goes before what is still waiting.
    ASSERT_EQ(aStream_Unread(s.get(), data.data() + 300, 300), aErrNone);
    ASSERT_EQ(aStream_Unread(s.get(), data.data(), 300), aErrNone);
    std::vector<uint8_t> back(600);
    ASSERT_EQ(aStream_Read(s.get(), back.data(), 600), aErrNone);
    EXPECT_EQ(back, data);
    EXPECT_EQ(t.gets, 0);
}

TEST(aStream, ArgumentsAndMissingProcedures) {
    MemoryTransport t;
    Stream readOnly(aStream_Create(MemoryTransport::get, nullptr, nullptr, nullptr, &t));
    Stream writeOnly(aStream_Create(nullptr, MemoryTransport::put, nullptr, nullptr, &t));
    uint8_t b = 0;
    EXPECT_EQ(aStream_Write(readOnly.get(), &b, 1), aErrMode);
    EXPECT_EQ(aStream_Read(writeOnly.get(), &b, 1), aErrMode);
    EXPECT_EQ(aStream_Read(readOnly.get(), nullptr, 1), aErrParam);
    EXPECT_EQ(aStream_Read(nullptr, &b, 1), aErrParam);
    EXPECT_EQ(aStream_WaitReadable(readOnly.get(), 0), aErrMode);
    EXPECT_EQ(aStream_Write(writeOnly.get(), &b, 0), aErrNone);
    EXPECT_EQ(t.puts, 0);

    aStreamRef none = nullptr;
    EXPECT_EQ(aStream_Destroy(&none), aErrParam);
    EXPECT_EQ(none, nullptr);
}

TEST(aStream, WritesPickPutForOneByteAndWriteForBlocks) {
    MemoryTransport t;
    Stream s(t.stream());
    const uint8_t data[3] = {1, 2, 3};
    ASSERT_EQ(aStream_Write(s.get(), data, 1), aErrNone);
    EXPECT_EQ(t.puts, 1);
    EXPECT_EQ(t.writes, 0);
    ASSERT_EQ(aStream_Write(s.get(), data, 3), aErrNone);
    EXPECT_EQ(t.writes, 1);

    MemoryTransport putOnly;
    putOnly.writeResult = aErrIO;
    Stream p(aStream_Create(nullptr, MemoryTransport::put, nullptr, nullptr, &putOnly));
    EXPECT_EQ(aStream_Write(p.get(), data, 3), aErrIO);
    EXPECT_EQ(putOnly.puts, 1); // stops at the first error
}

TEST(aStream, CStringReadStopsAtTheBufferAndLeavesTheRest) {
    MemoryTransport t;
    t.bytes(bytesOf("abcdef"));
    Stream s(t.stream());
    char buf[4];
    ASSERT_EQ(aStream_ReadCString(s.get(), buf, sizeof buf), aErrNone);
    EXPECT_STREQ(buf, "abc");
    ASSERT_EQ(aStream_ReadCString(s.get(), buf, sizeof buf), aErrNone); // ends at EOF
    EXPECT_STREQ(buf, "def");
    EXPECT_EQ(aStream_ReadCString(s.get(), buf, sizeof buf), aErrEOF);
}

TEST(aStream, CStringReadIsAllOrNothing) {
    MemoryTransport t;
    t.bytes(bytesOf("hi"));
    t.error(aErrNotReady);
    t.bytes({'!', 0, 'x'});
    Stream s(t.stream());
    char buf[16];
    EXPECT_EQ(aStream_ReadCString(s.get(), buf, sizeof buf), aErrNotReady);
    ASSERT_EQ(aStream_ReadCString(s.get(), buf, sizeof buf), aErrNone);
    EXPECT_STREQ(buf, "hi!");
}

TEST(aStream, MultiByteTerminatorsMatchAcrossBrokenPartialMatches) {
    struct Case {
        const char* input;
        const char* terminator;
        const char* record;
        const char* rest;
    };
    const Case cases[] = {
        {"one\r\ntwo", "\r\n", "one", "two"},
        {"a\rb\r\nc", "\r\n", "a\rb", "c"}, // a lone CR is data
        {"xaaabz", "aab", "xa", "z"},       // the match overlaps a broken one
        {"\r\r\n", "\r\n", "\r", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        MemoryTransport t;
        t.bytes(bytesOf(c.input));
        Stream s(t.stream());
        char buf[32];
        ASSERT_EQ(aStream_ReadCStringRecord(s.get(), buf, sizeof buf, c.terminator), aErrNone);
        EXPECT_STREQ(buf, c.record);
        std::string rest;
        uint8_t b;
        while (aStream_Read(s.get(), &b, 1) == aErrNone)
            rest += char(b);
        EXPECT_EQ(rest, c.rest);
    }
}

TEST(aStream, RecordWritesAppendTheTerminator) {
    MemoryTransport t;
    Stream s(t.stream());
    ASSERT_EQ(aStream_WriteCStringRecord(s.get(), "ok", "\r\n"), aErrNone);
    ASSERT_EQ(aStream_WriteCString(s.get(), "z"), aErrNone);
    const std::vector<uint8_t> expected = {'o', 'k', '\r', '\n', 0, 'z', 0};
    EXPECT_EQ(t.sent, expected);
}

TEST(aStream, FileStreamsRoundTripAndFlush) {
    testsupport::TempDir dir;
    std::string in = dir.file("in.bin"), out = dir.file("out.bin");
    aStreamRef w = nullptr;
    ASSERT_EQ(aStream_CreateFileOutput(in.c_str(), &w), aErrNone);
    ASSERT_EQ(aStream_Write(w, reinterpret_cast<const uint8_t*>("hello"), 5), aErrNone);
    ASSERT_EQ(aStream_Destroy(&w), aErrNone);

    Stream r;
    {
        aStreamRef raw = nullptr;
        ASSERT_EQ(aStream_CreateFileInput(in.c_str(), &raw), aErrNone);
        r.reset(raw);
    }
    uint8_t buf[3];
    ASSERT_EQ(aStream_Read(r.get(), buf, 3), aErrNone);
    size_t count = 0;
    EXPECT_EQ(aStream_ReadCounted(r.get(), buf, 3, &count), aErrEOF);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(buf[0], 'l');
    EXPECT_EQ(buf[1], 'o');

    // Flushing the whole file into another file, then an empty file into it.
    aStreamRef src = nullptr, dst = nullptr;
    ASSERT_EQ(aStream_CreateFileInput(in.c_str(), &src), aErrNone);
    ASSERT_EQ(aStream_CreateFileOutput(out.c_str(), &dst), aErrNone);
    EXPECT_EQ(aStream_Flush(src, dst), aErrNone);
    EXPECT_EQ(aStream_Flush(src, dst), aErrNone); // nothing left: succeeds, writes nothing
    aStream_Destroy(&src);
    aStream_Destroy(&dst);
    EXPECT_EQ(testsupport::ReadFile(out), "hello");

    aStreamRef missing = nullptr;
    EXPECT_EQ(aStream_CreateFileInput(dir.file("nope").c_str(), &missing), aErrResource);
    EXPECT_EQ(missing, nullptr);
    EXPECT_EQ(aStream_CreateFileOutput(nullptr, &missing), aErrResource);
    EXPECT_EQ(aStream_Flush(r.get(), r.get()), aErrMode); // an input has no put
}
