// Log reader: choosing the input by name, the line limit and oversized lines,
// last lines without a newline, block boundaries, rewinding, damaged
// compressed files and the opening messages.
#include <bzlib.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "capture.h"
#include "input/log_reader.h"
#include "run/month.h"
#include "run/settings.h"
#include "test_support.h"

namespace ts = testing_support;

namespace {

void write_gzip(const std::string& path, const std::string& bytes) {
    gzFile f = gzopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    if (!bytes.empty()) {
        ASSERT_EQ(gzwrite(f, bytes.data(), static_cast<unsigned>(bytes.size())), static_cast<int>(bytes.size()));
    }
    gzclose(f);
}

void write_bzip2(const std::string& path, const std::string& bytes) {
    BZFILE* f = BZ2_bzopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    if (!bytes.empty()) {
        ASSERT_EQ(BZ2_bzwrite(f, const_cast<char*>(bytes.data()), static_cast<int>(bytes.size())), static_cast<int>(bytes.size()));
    }
    BZ2_bzclose(f);
}

// One read: its code and the bytes it handed out.
struct piece {
    int code;
    std::string text;
    bool operator==(const piece&) const = default;
};

std::ostream& operator<<(std::ostream& os, const piece& p) {
    return os << "{" << p.code << ", " << p.text.size() << " bytes: \"" << p.text.substr(0, 40) << "\"}";
}

// Every read until log_end, oversized pieces included.
std::vector<piece> read_all() {
    std::vector<piece> out;
    char buf[log_line_size];
    for (;;) {
        std::size_t n = 0;
        const int code = read_log_line(buf, &n);
        if (code == log_end) break;
        out.push_back({code, std::string(buf, n)});
    }
    return out;
}

// The lines a well-behaved reader hands out: oversized lines skipped whole.
std::vector<std::string> read_lines() {
    std::vector<std::string> out;
    char buf[log_line_size];
    for (;;) {
        std::size_t n = 0, text_length = 0;
        const int code = read_log_line(buf, &n, &text_length);
        if (code == log_end) break;
        EXPECT_EQ(text_length, std::strlen(buf)) << "a line's text ends at its first zero byte";
        if (code == log_oversized) {
            out.push_back("<oversized>");
            if (skip_oversized_line(buf, false) == log_end) break;
            continue;
        }
        out.push_back(std::string(buf, n));
    }
    return out;
}

class LogReaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        reset_settings();
        settings.Verbosity = 0;
    }
    void TearDown() override { close_log(); }
    // Writes bytes to a file called name, plain or compressed by its ending.
    std::string make(const std::string& name, const std::string& bytes) {
        const std::string path = dir_.file(name);
        if (name.ends_with(".gz"))
            write_gzip(path, bytes);
        else if (name.ends_with(".bz2"))
            write_bzip2(path, bytes);
        else
            ts::write_file(path, bytes);
        return path;
    }
    ts::scratch_dir dir_;
};

const std::string x4094(4094, 'x');

TEST_F(LogReaderTest, LineLimitAtTheBoundary) {
    // 4094 characters and a newline fit; 4095 or 4096 characters do not.
    const std::string log = x4094 + "\n" + "a\n" + x4094 + "y\n" + "b\n" + x4094 + "yz\n" + "c\n";
    for (const char* name : {"limit.log", "limit.log.gz", "limit.log.bz2"}) {
        SCOPED_TRACE(name);
        ASSERT_EQ(open_log(make(name, log).c_str()), log_ok);
        const std::vector<piece> want = {
            {log_ok, x4094 + "\n"}, {log_ok, "a\n"},
            {log_oversized, x4094 + "y"}, {log_ok, "\n"}, {log_ok, "b\n"},
            {log_oversized, x4094 + "y"}, {log_ok, "z\n"}, {log_ok, "c\n"},
        };
        EXPECT_EQ(read_all(), want);
        close_log();
    }
}

TEST_F(LogReaderTest, OversizedLineIsSkippedWhole) {
    const std::string log = std::string(10000, 'L') + "\nshort\n";
    for (const char* name : {"long.log", "long.log.gz", "long.log.bz2"}) {
        SCOPED_TRACE(name);
        ASSERT_EQ(open_log(make(name, log).c_str()), log_ok);
        EXPECT_EQ(read_lines(), (std::vector<std::string>{"<oversized>", "short\n"}));
        close_log();
    }
}

TEST_F(LogReaderTest, OversizedLineMessages) {
    const std::string log = std::string(4096, 'L') + "\nnext\n";
    const std::string path = make("long.log", log);
    const std::string first(4095, 'L');
    const struct {
        int verbosity;
        bool debug;
        bool report;
        std::string message;
    } rows[] = {
        {2, false, true, "Error: Skipping oversized log record\n"},
        {2, true, true, "Error: Skipping oversized log record:\n" + first + "L\n\n"},
        {0, true, true, ""},
        {2, true, false, ""},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.message.substr(0, 40));
        settings.Verbosity = 0;
        ASSERT_EQ(open_log(path.c_str()), log_ok);
        settings.Verbosity = r.verbosity;
        settings.Debug = r.debug;
        char buf[log_line_size];
        ASSERT_EQ(read_log_line(buf), log_oversized);
        stream_capture err(2);
        EXPECT_EQ(skip_oversized_line(buf, r.report), log_ok);
        EXPECT_EQ(err.text(), r.message);
        ASSERT_EQ(read_log_line(buf), log_ok);
        EXPECT_STREQ(buf, "next\n");
        close_log();
    }
}

TEST_F(LogReaderTest, LastLineWithoutNewline) {
    const std::string log = "one\ntwo";
    struct row {
        const char* name;
        std::vector<std::string> lines;
    };
    const row rows[] = {
        {"end.log", {"one\n", "two"}},
        {"end.log.gz", {"one\n"}},
        {"end.log.bz2", {"one\n"}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        ASSERT_EQ(open_log(make(r.name, log).c_str()), log_ok);
        EXPECT_EQ(read_lines(), r.lines);
        close_log();
    }
    // A plain last line of 4095 characters is oversized and skipped.
    ASSERT_EQ(open_log(make("full.log", "a\n" + x4094 + "x").c_str()), log_ok);
    EXPECT_EQ(read_lines(), (std::vector<std::string>{"a\n", "<oversized>"}));
}

TEST_F(LogReaderTest, LinesAcrossBlockBoundaries) {
    // Lines of every length from 1 to 700 characters, about 240 KiB a round,
    // cross the 16384-byte and 256 KiB blocks at every offset; NUL bytes and
    // carriage returns are handed out as they are.
    std::string log;
    std::vector<std::string> want;
    for (int round = 0; round < 3; ++round) {
        for (int len = 1; len <= 700; ++len) {
            std::string line(static_cast<std::size_t>(len - 1), static_cast<char>('a' + (len + round) % 26));
            if (len % 97 == 0) line[static_cast<std::size_t>(len / 2)] = '\0';
            if (len % 101 == 0) line[0] = line[static_cast<std::size_t>(len / 3)] = '\0';
            if (len % 89 == 0) line.back() = '\r';
            line += '\n';
            log += line;
            want.push_back(line);
        }
    }
    for (const char* name : {"blocks.log", "blocks.log.gz", "blocks.log.bz2"}) {
        SCOPED_TRACE(name);
        ASSERT_EQ(open_log(make(name, log).c_str()), log_ok);
        EXPECT_EQ(read_lines(), want);
        close_log();
    }
}

TEST_F(LogReaderTest, EmptyAndCommentOnlyFiles) {
    for (const char* name : {"empty.log", "empty.log.gz", "empty.log.bz2"}) {
        SCOPED_TRACE(name);
        ASSERT_EQ(open_log(make(name, "").c_str()), log_ok);
        EXPECT_TRUE(read_lines().empty());
        close_log();
    }
    ASSERT_EQ(open_log(make("comments.log", "# one\n#two\n").c_str()), log_ok);
    EXPECT_EQ(read_lines(), (std::vector<std::string>{"# one\n", "#two\n"}));
}

TEST_F(LogReaderTest, TruncatedCompressedFilesEndEarlyWithWholeLines) {
    std::string log;
    for (int i = 0; i < 20000; ++i) log += "line " + std::to_string(i * 7919 % 100003) + "\n";
    for (const char* name : {"cut.log.gz", "cut.log.bz2"}) {
        SCOPED_TRACE(name);
        const std::string path = make(name, log);
        const std::string whole = ts::read_file(path);
        ts::write_file(path, whole.substr(0, whole.size() / 2));
        ASSERT_EQ(open_log(path.c_str()), log_ok);
        const std::vector<std::string> lines = read_lines();
        EXPECT_LT(lines.size(), 20000u);
        std::string joined;
        for (const std::string& l : lines) {
            ASSERT_EQ(l.back(), '\n');
            joined += l;
        }
        EXPECT_EQ(log.compare(0, joined.size(), joined), 0) << "lines are a prefix of the log";
        close_log();
    }
    // Not compressed at all, although the name says so.
    ts::write_file(dir_.file("fake.bz2"), "not bzip2\n");
    ASSERT_EQ(open_log(dir_.file("fake.bz2").c_str()), log_ok);
    EXPECT_TRUE(read_lines().empty());
}

TEST_F(LogReaderTest, ConcatenatedBzip2StreamsAreReadToTheEnd) {
    // Parallel compressors write one bzip2 stream after another; the lines of
    // every stream come out, a line may run on from one stream into the next,
    // an empty stream in between changes nothing, and the last-line rule
    // holds at the very end only. The big stream is compressed to far more
    // than the 5000 bytes the decompressor reads ahead.
    std::string big;
    std::vector<std::string> big_lines;
    for (int i = 0; i < 20000; ++i) {
        big_lines.push_back("line " + std::to_string(i * 7919 % 100003) + "\n");
        big += big_lines.back();
    }
    const std::string a = ts::read_file(make("a.bz2", "one\ntw"));
    const std::string b = ts::read_file(make("b.bz2", "o\nthree\n"));
    const std::string empty = ts::read_file(make("e.bz2", ""));
    const std::string c = ts::read_file(make("c.bz2", big));
    const std::string d = ts::read_file(make("d.bz2", "four\nfive"));
    std::vector<std::string> abcd = {"one\n", "two\n", "three\n"};
    abcd.insert(abcd.end(), big_lines.begin(), big_lines.end());
    abcd.push_back("four\n");
    const struct {
        const char* what;
        std::string bytes;
        std::vector<std::string> lines;
    } rows[] = {
        {"two streams", a + b, {"one\n", "two\n", "three\n"}},
        {"an empty stream between", a + empty + b, {"one\n", "two\n", "three\n"}},
        {"a long stream between", a + b + c + d, abcd},
        {"garbage after the last stream", a + b + "junk", {"one\n", "two\n", "three\n"}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        const std::string path = dir_.file("multi.log.bz2");
        ts::write_file(path, r.bytes);
        ASSERT_EQ(open_log(path.c_str()), log_ok);
        EXPECT_EQ(read_lines(), r.lines);
        ASSERT_EQ(rewind_log(), log_ok);
        EXPECT_EQ(read_lines(), r.lines);
        close_log();
    }
}

TEST_F(LogReaderTest, RewindStartsAgainWithNothingLeftOver) {
    std::string log;
    for (int i = 0; i < 5000; ++i) log += "record " + std::to_string(i) + "\n";
    for (const char* name : {"again.log", "again.log.gz", "again.log.bz2"}) {
        SCOPED_TRACE(name);
        ASSERT_EQ(open_log(make(name, log).c_str()), log_ok);
        char buf[log_line_size];
        for (int i = 0; i < 1234; ++i) ASSERT_EQ(read_log_line(buf), log_ok);
        ASSERT_EQ(rewind_log(), log_ok);
        const std::vector<std::string> lines = read_lines();
        ASSERT_EQ(lines.size(), 5000u);
        EXPECT_EQ(lines.front(), "record 0\n");
        EXPECT_EQ(lines.back(), "record 4999\n");
        close_log();
    }
}

TEST_F(LogReaderTest, ReadPositionIsThatOfTheFileItself) {
    // About 2 MB that compress poorly, so that every form spans several
    // blocks (bzip2 decodes a block of 900 kB at a time).
    std::string log;
    uint32_t x = 12345;
    for (int i = 0; i < 60000; ++i) {
        char line[64];
        x = x * 1103515245u + 12345u;
        const uint32_t y = x * 2654435761u;
        std::snprintf(line, sizeof line, "192.0.2.%d - - %08x%08x\n", i % 250, x, y);
        log += line;
    }
    for (const char* name : {"position.log", "position.log.gz", "position.log.bz2"}) {
        SCOPED_TRACE(name);
        const std::string path = make(name, log);
        const uint64_t file_size = std::filesystem::file_size(path);
        ASSERT_EQ(open_log(path.c_str()), log_ok);
        uint64_t done = 1, size = 0;
        ASSERT_TRUE(log_read_position(&done, &size));
        EXPECT_EQ(size, file_size);
        char buf[log_line_size];
        ASSERT_EQ(read_log_line(buf), log_ok);
        ASSERT_TRUE(log_read_position(&done, &size));
        if (LogCompression == compress_none)
            EXPECT_EQ(done, 256u * 1024);  // the first block
        else
            EXPECT_GT(done, 0u);
        EXPECT_LT(done, file_size);
        while (read_log_line(buf) != log_end) {
        }
        ASSERT_TRUE(log_read_position(&done, &size));
        EXPECT_EQ(done, file_size);
        // A rewind (a bzip2 file is opened again) starts the count again.
        ASSERT_EQ(rewind_log(), log_ok);
        ASSERT_TRUE(log_read_position(&done, &size));
        EXPECT_LT(done, file_size);
        EXPECT_EQ(size, file_size);
        close_log();
        EXPECT_FALSE(log_read_position(&done, &size));
    }
    // Standard input: a share only when it is a regular file.
    const int saved = dup(0);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    dup2(fds[0], 0);
    close(fds[0]);
    close(fds[1]);
    ASSERT_EQ(open_log(nullptr), log_ok);
    uint64_t done = 0, size = 0;
    EXPECT_FALSE(log_read_position(&done, &size));
    close_log();
    const int fd = open(make("stdin.log", log).c_str(), O_RDONLY);
    dup2(fd, 0);
    close(fd);
    ASSERT_EQ(open_log("-"), log_ok);
    EXPECT_TRUE(log_read_position(&done, &size));
    EXPECT_EQ(size, log.size());
    close_log();
    dup2(saved, 0);
    close(saved);
}

TEST_F(LogReaderTest, CompressionChosenByNameOnly) {
    const std::string text = "plain text\n";
    const struct {
        const char* name;
        log_compression compression;
    } rows[] = {
        {"a.log.gz", compress_gzip}, {"a.log.bz2", compress_bzip2}, {".gz", compress_gzip},
        {"a.log.GZ", compress_none}, {"a.log.gz.1", compress_none}, {"a.bz2.log", compress_none},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        const std::string path = make(r.name, text);
        ASSERT_EQ(open_log(path.c_str()), log_ok);
        EXPECT_EQ(LogCompression, r.compression);
        EXPECT_EQ(read_lines(), std::vector<std::string>{text});
        close_log();
    }
}

TEST_F(LogReaderTest, StandardInputForNoNameOrADash) {
    const std::string path = make("stdin.log", "from stdin\n");
    for (const char* name : {static_cast<const char*>(nullptr), "", "-", "-x.log.gz"}) {
        SCOPED_TRACE(name ? name : "(none)");
        const int saved = dup(0);
        const int fd = open(path.c_str(), O_RDONLY);
        dup2(fd, 0);
        close(fd);
        ASSERT_EQ(open_log(name), log_ok);
        EXPECT_EQ(LogCompression, compress_none);
        EXPECT_EQ(read_lines(), std::vector<std::string>{"from stdin\n"});
        EXPECT_EQ(rewind_log(), log_no_rewind);
        close_log();
        dup2(saved, 0);
        close(saved);
    }
}

TEST_F(LogReaderTest, OpeningMessagesAndFailures) {
    const std::string plain = make("access.log", "x\n");
    const std::string packed = make("access.log.gz", "x\n");
    const std::string link = dir_.file("link.log");
    ASSERT_EQ(symlink(plain.c_str(), link.c_str()), 0);
    const std::string missing = dir_.file("missing.log");
    const std::string missing_gz = dir_.file("missing.log.bz2");
    const struct {
        const char* what;
        int verbosity;
        log_type type;
        std::string name;
        int code;
        std::string out;
        std::string err;
    } rows[] = {
        {"gzip clf", 2, log_clf, packed, log_ok, "Using logfile " + packed + " (gzip-clf)\n", ""},
        {"plain w3c", 2, log_w3c, plain, log_ok, "Using logfile " + plain + " (w3c)\n", ""},
        {"quiet", 1, log_ftp, plain, log_ok, "", ""},
        {"symlink", 1, log_clf, link, log_symlink, "", "Error: Can't open log file " + link + " (symlink)\n"},
        {"symlink, really quiet", 0, log_clf, link, log_symlink, "", ""},
        {"missing plain", 0, log_clf, missing, log_open_failed, "", "Error: Can't open log file " + missing + "\n"},
        {"missing bzip2", 0, log_clf, missing_gz, log_packed_open_failed, "",
         "Error: Can't open log file " + missing_gz + " (2)\n"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        settings.Verbosity = r.verbosity;
        settings.LogType = r.type;
        stream_capture out(1);
        stream_capture err(2);
        EXPECT_EQ(open_log(r.name.c_str()), r.code);
        EXPECT_EQ(err.text(), r.err);
        EXPECT_EQ(out.text(), r.out);
        close_log();
    }
    // Standard input is named STDIN.
    settings.Verbosity = 2;
    settings.LogType = log_squid;
    stream_capture out(1);
    ASSERT_EQ(open_log("-"), log_ok);
    EXPECT_EQ(out.text(), "Using logfile STDIN (squid)\n");
}

}  // namespace
