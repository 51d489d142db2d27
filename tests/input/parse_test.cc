// Record parsers: field splitting, the common/combined, FTP transfer, proxy
// and W3C parsers, their truncation warnings and bad-line answers. Expected
// records are worked out by hand from the log line formats.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "capture.h"
#include "test_support.h"
#include "input/parse.h"
#include "run/settings.h"

namespace {

// What a parse must give; nullptr fields are not checked.
struct expected_record {
    const char* host;
    const char* user;
    const char* date_text;
    const char* request;
    int status;
    uint64_t bytes;
    const char* referrer;
    const char* agent;
};

struct parse_case {
    const char* name;
    std::string line;
    int code;
    expected_record want;
};

class ParseTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Proxy and W3C dates are shown in local time; the cases assume UTC.
        setenv("TZ", "UTC", 1);
        tzset();
        reset_settings();
        settings.Verbosity = 0;
        reset_w3c_columns();
    }
    // Parses a copy of line (the parser cuts it up) in a 4096-byte buffer.
    int parse(const std::string& line) {
        std::memset(buffer_, 0, sizeof buffer_);
        std::memcpy(buffer_, line.data(), line.size() < 4095 ? line.size() : 4095);
        return parse_record(buffer_);
    }
    void check(const parse_case& c) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(parse(c.line), c.code);
        if (c.code == record_bad) return;
        const expected_record& w = c.want;
        if (w.host) { EXPECT_STREQ(log_rec.host, w.host); }
        if (w.user) { EXPECT_STREQ(log_rec.user, w.user); }
        if (w.date_text) { EXPECT_STREQ(log_rec.date_text, w.date_text); }
        if (w.request) { EXPECT_STREQ(log_rec.request, w.request); }
        EXPECT_EQ(log_rec.status, w.status);
        EXPECT_EQ(log_rec.bytes, w.bytes);
        if (w.referrer) { EXPECT_STREQ(log_rec.referrer, w.referrer); }
        if (w.agent) { EXPECT_STREQ(log_rec.user_agent, w.agent); }
        EXPECT_STREQ(log_rec.search_words, "");
    }
    char buffer_[4096];
};

std::string fields(std::string line) {
    // Shows the fields split_fields makes, joined by "|".
    std::string copy = line;
    split_fields(copy.data(), copy.data() + copy.size());
    for (char& c : copy)
        if (c == '\0') c = '|';
    return copy;
}

TEST(SplitFields, KeepsQuotedBracketedAndParenthesisedTextTogether) {
    const struct {
        const char* in;
        const char* out;
    } rows[] = {
        {"a  b", "a||b"},
        {"a\tb c", "a|b|c"},
        {"\"x y\" z", "\"x y\"|z"},
        {"[1 2] (3 (4 5) 6) 7", "[1 2]|(3 (4 5) 6)|7"},
        {"\"a \\\" b\" c", "\"a \\\" b\"|c"},
        {") x ] y", ")|x|]|y"},
        {"\"[ (\" a", "\"[ (\"|a"},
        {"[a \"b] c\" d] e", "[a \"b] c\" d]|e"},
    };
    for (const auto& r : rows) EXPECT_EQ(fields(r.in), r.out) << r.in;
}

// ------------------------------------------------------------ common/combined

const std::string clf_head = "1.2.3.4 - bob [10/Oct/2013:13:55:36 -0700] ";
const std::string combined = clf_head + "\"GET /a.html HTTP/1.0\" 200 512 \"-\" \"Mozilla/4.0 (compatible)\"";

TEST_F(ParseTest, CommonAndCombinedLines) {
    const char* date = "[10/Oct/2013:13:55:36 -0700]";
    const parse_case cases[] = {
        {"combined", combined + "\n", record_good,
         {"1.2.3.4", "bob", date, "\"GET /a.html\"", 200, 512, "\"-\"", "\"Mozilla/4.0 (compatible)\""}},
        {"cut after the byte count", clf_head + "\"GET /a.html HTTP/1.0\" 200 512\n", record_good,
         {"1.2.3.4", "bob", date, "\"GET /a.html\"", 200, 512, "", ""}},
        {"cut after the status", clf_head + "\"GET / HTTP/1.0\" 304\n", record_good,
         {"1.2.3.4", "bob", date, "\"GET /\"", 304, 0, "", ""}},
        {"byte count -", clf_head + "\"GET / HTTP/1.0\" 404 -\n", record_good,
         {nullptr, nullptr, nullptr, "\"GET /\"", 404, 0, "", ""}},
        {"user of two words", "1.2.3.4 - John Smith [10/Oct/2013:13:55:36 -0700] \"GET / HTTP/1.0\" 200 1\n",
         record_good, {"1.2.3.4", "John Smith", date, "\"GET /\"", 200, 1, "", ""}},
        {"URL containing HTTP", clf_head + "\"GET /docs/HTTPguide HTTP/1.0\" 200 5\n", record_good,
         {nullptr, nullptr, nullptr, "\"GET /docs/HTTPguide\"", 200, 5, "", ""}},
        {"protocol cut at the last HTTP/", clf_head + "\"GET /x HTTP/1.0 HTTP/1.1\" 200 5\n", record_good,
         {nullptr, nullptr, nullptr, "\"GET /x HTTP/1.0\"", 200, 5, "", ""}},
        {"no protocol", clf_head + "\"GET /HTTP/x\" 200 5\n", record_good,
         {nullptr, nullptr, nullptr, "\"GET /HTTP/x\"", 200, 5, "", ""}},
        {"ends after the referrer", clf_head + "\"GET / HTTP/1.0\" 200 5 \"http://r/\"\n", record_good,
         {nullptr, nullptr, nullptr, "\"GET /\"", 200, 5, "\"http://r/\"", ""}},
        {"escaped quote in the request", clf_head + "\"GET /a\\\" b HTTP/1.0\" 200 5\n", record_good,
         {nullptr, nullptr, nullptr, "\"GET /a\\\" b\"", 200, 5, "", ""}},
        {"carriage return before the newline", combined + "\r\n", record_good,
         {"1.2.3.4", "bob", date, "\"GET /a.html\"", 200, 512, "\"-\"", "\"Mozilla/4.0 (compatible)\""}},
        {"last line without a newline", combined, record_good,
         {"1.2.3.4", "bob", date, "\"GET /a.html\"", 200, 512, "\"-\"", "\"Mozilla/4.0 (compatible)\""}},
        {"NUL byte ends the line early", clf_head + "\"GET / HTTP/1.0\" 200 5" + std::string(1, '\0') + " \"r\" \"a\"\n",
         record_good, {"1.2.3.4", "bob", date, "\"GET /\"", 200, 5, "", ""}},
        {"status too large saturates", clf_head + "\"GET / HTTP/1.0\" 99999999999 18446744073709551616\n",
         record_good, {nullptr, nullptr, nullptr, "\"GET /\"", 2147483647, UINT64_MAX, "", ""}},
        {"date without [", "1.2.3.4 - - 10/Oct/2013:13:55:36 \"GET / HTTP/1.0\" 200 5\n", record_bad, {}},
        {"date with - as fourth character", "1.2.3.4 - - [10-Oct-2013:13:55:36 -0700] \"GET /\" 200 5\n",
         record_bad, {}},
        {"request without a quote", clf_head + "GET /a.html 200 5\n", record_bad, {}},
        {"line ends after the date", clf_head + "\n", record_bad, {}},
        {"line ends after the request", clf_head + "\"GET / HTTP/1.0\"\n", record_bad, {}},
        {"line ends after the identity", "1.2.3.4 -\n", record_bad, {}},
        {"empty line", "\n", record_bad, {}},
        {"format header", "format=%Ses->client.ip% - %Req->vars.auth-user%\n", record_bad, {}},
        {"comment", "# a comment\n", record_bad, {}},
        {"binary garbage", "\x01\xff[\x80\"\x7f\x02 \x03/\"\x04\n", record_bad, {}},
    };
    for (const parse_case& c : cases) check(c);
}

TEST_F(ParseTest, CommonFormatCutsOversizedFieldsWithOneWarningEach) {
    settings.Verbosity = 1;
    const std::string host(300, 'h');
    const std::string user(70, 'u');
    const std::string referrer = "\"" + std::string(1100, 'r') + "\"";
    const std::string agent = "\"" + std::string(200, 'a') + "\"";
    const struct {
        const char* name;
        std::string line;
        const char* warning;
    } rows[] = {
        {"host", host + " - bob [10/Oct/2013:13:55:36 -0700] \"GET / HTTP/1.0\" 200 5\n",
         "Warning: Truncating oversized hostname\n"},
        {"user", "1.2.3.4 - " + user + " [10/Oct/2013:13:55:36 -0700] \"GET / HTTP/1.0\" 200 5\n",
         "Warning: Truncating oversized username\n"},
        {"date", "1.2.3.4 - - [10/Oct/2013:13:55:36 -0700 extra] \"GET / HTTP/1.0\" 200 5\n",
         "Warning: Truncating oversized date field\n"},
        {"referrer", clf_head + "\"GET / HTTP/1.0\" 200 5 " + referrer + " \"ua\"\n",
         "Warning: Truncating oversized referrer field\n"},
        {"agent, silently", clf_head + "\"GET / HTTP/1.0\" 200 5 \"-\" " + agent + "\n", ""},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        stream_capture err(2);
        ASSERT_EQ(parse(r.line), record_good);
        EXPECT_EQ(err.text(), r.warning);
        EXPECT_EQ(log_rec.status, 200);
        EXPECT_EQ(log_rec.bytes, 5u);
    }
    // The cut values, field by field.
    settings.Verbosity = 0;
    parse(rows[0].line);
    EXPECT_EQ(std::string(log_rec.host), host.substr(0, 255));
    EXPECT_STREQ(log_rec.user, "bob");
    parse(rows[1].line);
    EXPECT_EQ(std::string(log_rec.user), user.substr(0, 63));
    EXPECT_STREQ(log_rec.date_text, "[10/Oct/2013:13:55:36 -0700]");
    parse(rows[2].line);
    EXPECT_STREQ(log_rec.date_text, "[10/Oct/2013:13:55:36 -0700 ");
    EXPECT_STREQ(log_rec.request, "\"GET /\"");
    parse(rows[3].line);
    EXPECT_EQ(std::string(log_rec.referrer), referrer.substr(0, 1023));
    EXPECT_STREQ(log_rec.user_agent, "\"ua\"");
    parse(rows[4].line);
    EXPECT_EQ(std::string(log_rec.user_agent), agent.substr(0, 127));
}

// A user field that the line's newline stops before any "[" was cut short of
// the date like one stopped by its limit: warned, then the line is bad (no
// date). A line that ends inside the identity has nothing left for a user.
TEST_F(ParseTest, CommonFormatUserStoppedByTheLineEnd) {
    settings.Verbosity = 1;
    const struct {
        const char* line;
        const char* warning;
        const char* debug_warning;
    } rows[] = {
        {"1.2.3.4 - bob\n", "Warning: Truncating oversized username\n",
         "Warning: Truncating oversized username: bob\n\n"},
        {"1.2.3.4 - John Smith\n", "Warning: Truncating oversized username\n",
         "Warning: Truncating oversized username: John Smith\n\n"},
        {"1.2.3.4 -\n", "", ""},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.line);
        for (bool debug : {false, true}) {
            settings.Debug = debug;
            stream_capture err(2);
            EXPECT_EQ(parse(r.line), record_bad);
            EXPECT_EQ(err.text(), debug ? r.debug_warning : r.warning);
        }
    }
}

TEST_F(ParseTest, WarningsFollowVerbosityAndDebug) {
    const std::string line = std::string(256, 'h') + " - - [10/Oct/2013:13:55:36 -0700] \"GET /\" 200 5\n";
    {
        stream_capture err(2);
        parse(line);
        EXPECT_EQ(err.text(), "");  // Verbosity 0
    }
    settings.Verbosity = 2;
    settings.Debug = true;
    stream_capture err(2);
    parse(line);
    EXPECT_EQ(err.text(), "Warning: Truncating oversized hostname: " + std::string(256, 'h') + "\n");
}

TEST_F(ParseTest, LongestLineKeepsEveryFieldInItsSlot) {
    // 4095 characters, the request taking nearly all of them.
    std::string line = clf_head + "\"GET /";
    const std::string tail = " HTTP/1.0\" 200 5\n";
    line += std::string(4095 - line.size() - tail.size(), 'x') + tail;
    ASSERT_EQ(line.size(), 4095u);
    ASSERT_EQ(parse(line), record_good);
    EXPECT_EQ(std::strlen(log_rec.request), 4095 - clf_head.size() - tail.size() + 1);
    EXPECT_EQ(log_rec.bytes, 5u);
}

// ------------------------------------------------------------------ FTP

const std::string ftp_line = "Mon Oct  1 12:34:56 2013 3 ftp.example.org 1024 /pub/a.txt b _ o r anonymous ftp 0 * c\n";

std::string with(std::string line, const std::string& from, const std::string& to) {
    return line.replace(line.find(from), from.size(), to);
}

TEST_F(ParseTest, FtpTransferLines) {
    settings.LogType = log_ftp;
    const char* date = "[01/Oct/2013:12:34:56 -0000]";
    const parse_case cases[] = {
        {"outgoing, complete", ftp_line, record_good,
         {"ftp.example.org", "anonymous", date, "\"GET /pub/a.txt\"", 200, 1024, "", ""}},
        {"incoming", with(ftp_line, " o r ", " i r "), record_good,
         {"ftp.example.org", "anonymous", date, "\"POST /pub/a.txt\"", 200, 1024, "", ""}},
        {"incomplete", with(ftp_line, "* c\n", "* i\n"), record_good,
         {"ftp.example.org", "anonymous", date, "\"GET /pub/a.txt\"", 206, 1024, "", ""}},
        {"incomplete with CRLF", with(ftp_line, "* c\n", "* i\r\n"), record_good,
         {"ftp.example.org", "anonymous", date, "\"GET /pub/a.txt\"", 206, 1024, "", ""}},
        {"tabs and runs of blanks", "Mon\tOct 1  12:34:56\t2013   3 h 7  /f  b  _  o r u ftp 0 * c\n", record_good,
         {"h", "u", date, "\"GET /f\"", 200, 7, "", ""}},
        {"blank host", with(ftp_line, " 3 ftp.example.org ", " 3  "), record_good,
         {"NONE", "anonymous", date, "\"GET /pub/a.txt\"", 200, 1024, "", ""}},
        {"short line", "Mon Oct  1 12:34:56 2013 3\n", record_good,
         {"NONE", "", date, "\"GET \"", 200, 0, "", ""}},
        {"non-numeric size", with(ftp_line, " 1024 ", " big "), record_good,
         {"ftp.example.org", "anonymous", date, "\"GET /pub/a.txt\"", 200, 0, "", ""}},
        {"year 1990", with(ftp_line, "2013", "1990"), record_good,
         {nullptr, nullptr, "[01/Oct/1990:12:34:56 -0000]", nullptr, 200, 1024, "", ""}},
        {"year 2100, day 31", with(with(ftp_line, "2013", "2100"), "  1 ", " 31 "), record_good,
         {nullptr, nullptr, "[31/Oct/2100:12:34:56 -0000]", nullptr, 200, 1024, "", ""}},
        {"year 1989", with(ftp_line, "2013", "1989"), record_bad, {}},
        {"year 2101", with(ftp_line, "2013", "2101"), record_bad, {}},
        {"day 0", with(ftp_line, "  1 ", "  0 "), record_bad, {}},
        {"day 32", with(ftp_line, "  1 ", " 32 "), record_bad, {}},
        {"time with dots", with(ftp_line, "12:34:56", "12.34.56"), record_bad, {}},
        {"time too short", with(ftp_line, "12:34:56", "12:34"), record_bad, {}},
        {"header line", "xferlog transfer log\n", record_bad, {}},
        {"empty line", "\n", record_bad, {}},
    };
    for (const parse_case& c : cases) check(c);
}

TEST_F(ParseTest, FtpBlankHostWarnsOnlyWithDebug) {
    settings.LogType = log_ftp;
    const std::string line = with(ftp_line, " 3 ftp.example.org ", " 3  ");
    {
        stream_capture err(2);
        parse(line);
        EXPECT_EQ(err.text(), "");
    }
    settings.Debug = true;
    stream_capture err(2);
    parse(line);
    EXPECT_EQ(err.text(), "Warning: Blank hostname found!\n");
}

// ---------------------------------------------------------------- proxy

// 1381234567 is 2013-10-08 12:16:07 UTC: 15986 days (2013-01-01 is day
// 15706, plus 273 days to October 1st, plus 7) and 44167 seconds.
const std::string squid_line =
    "1381234567.123    410 10.1.2.3 TCP_MISS/200 1234 GET http://h/a/b.html - DIRECT/10.0.0.1 text/html\n";

TEST_F(ParseTest, ProxyLines) {
    settings.LogType = log_squid;
    const char* date = "[08/Oct/2013:12:16:07 -0000]";
    const parse_case cases[] = {
        {"whole line", squid_line, record_good,
         {"10.1.2.3", "-", date, "\"GET http://h/a/b.html\"", 200, 1234, "", ""}},
        {"result without /", with(squid_line, "TCP_MISS/200", "TCP_MISS"), record_good,
         {"10.1.2.3", "-", date, "\"GET http://h/a/b.html\"", 1234, 1234, "", ""}},
        {"time beyond 32 bits", with(squid_line, "1381234567.123", "4102444800.5"), record_good,
         {"10.1.2.3", "-", "[01/Jan/2100:00:00:00 -0000]", nullptr, 200, 1234, "", ""}},
        {"user name", with(squid_line, " - DIRECT", " alice DIRECT"), record_good,
         {"10.1.2.3", "alice", date, nullptr, 200, 1234, "", ""}},
        {"ends with the user", "1381234567 1 10.1.2.3 TCP_HIT/304 0 GET http://h/ bob\n", record_good,
         {"10.1.2.3", "bob", date, "\"GET http://h/\"", 304, 0, "", ""}},
        {"CRLF", with(squid_line, "text/html\n", "text/html\r\n"), record_good,
         {"10.1.2.3", "-", date, "\"GET http://h/a/b.html\"", 200, 1234, "", ""}},
        {"cut after the URL", "1381234567.123 410 10.1.2.3 TCP_MISS/200 1234 GET http://h/a/b.html\n",
         record_bad, {}},
        {"cut after the URL and a blank", "1381234567.123 410 10.1.2.3 TCP_MISS/200 1234 GET http://h/a \n",
         record_bad, {}},
        {"short line", "1381234567.123 410\n", record_bad, {}},
        {"empty line", "\n", record_bad, {}},
    };
    for (const parse_case& c : cases) check(c);
}

TEST_F(ParseTest, ProxyUrlTrimming) {
    settings.LogType = log_squid;
    settings.Verbosity = 1;
    const struct {
        int trim;
        const char* url;
        const char* request;
    } rows[] = {
        {0, "http://h/a/b.html", "\"GET http://h/a/b.html\""},
        {1, "http://h/a/b.html", "\"GET http://h\""},
        {2, "http://h/a/b.html", "\"GET http://h/a\""},
        {3, "http://h/a/b.html", "\"GET http://h/a/b.html\""},
        {3, "http://h/a", "\"GET http://h/a\""},
        {1, "h", "\"GET h\""},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::to_string(r.trim) + " " + r.url);
        settings.TrimSquidURL = r.trim;
        stream_capture err(2);
        ASSERT_EQ(parse(with(squid_line, "http://h/a/b.html", r.url)), record_good);
        EXPECT_EQ(err.text(), "");
        EXPECT_STREQ(log_rec.request, r.request);
        EXPECT_STREQ(log_rec.user, "-");
    }
}

TEST_F(ParseTest, ProxyLongestRequestKeepsItsClosingQuote) {
    settings.LogType = log_squid;
    settings.Verbosity = 1;
    const std::string head = "1381234567 1 10.1.2.3 TCP_MISS/200 1 ";
    std::string line = head + std::string(2000, 'M') + " ";
    line += std::string(4095 - line.size() - 3, 'u') + " -\n";
    ASSERT_EQ(line.size(), 4095u);
    stream_capture err(2);
    ASSERT_EQ(parse(line), record_good);
    EXPECT_EQ(err.text(), "");
    const std::size_t n = std::strlen(log_rec.request);
    EXPECT_EQ(n, 2000 + (4095 - head.size() - 2001 - 3) + 3);
    EXPECT_LE(n, 4095u);
    EXPECT_EQ(log_rec.request[n - 1], '"');
}

// ------------------------------------------------------------------ W3C

const std::string w3c_fields =
    "#Fields: date time c-ip cs-method cs-uri-stem cs-uri-query sc-status sc-bytes cs(User-Agent)\n";
const std::string w3c_data = "2013-10-01 12:00:00 10.1.2.3 GET /a.asp x=1 200 512 Mozilla/4.0+(compatible)\n";

TEST_F(ParseTest, W3cDirectiveAndDataLines) {
    settings.LogType = log_w3c;
    EXPECT_EQ(parse(w3c_data), record_bad) << "data before any directive";
    EXPECT_EQ(parse(w3c_fields), record_bad) << "a directive is not a record";
    const char* date = "[01/Oct/2013:12:00:00 -0000]";
    const parse_case cases[] = {
        {"with query", w3c_data, record_good,
         {"10.1.2.3", "", date, "\"GET /a.asp?x=1\"", 200, 512, "", "Mozilla/4.0 (compatible)"}},
        {"query -", with(w3c_data, " x=1 ", " - "), record_good,
         {"10.1.2.3", "", date, "\"GET /a.asp\"", 200, 512, "", nullptr}},
        {"CRLF", with(w3c_data, "\n", "\r\n"), record_good,
         {"10.1.2.3", "", date, "\"GET /a.asp?x=1\"", 200, 512, "", "Mozilla/4.0 (compatible)"}},
        {"method -, bytes -, blank in the stem", with(with(w3c_data, "GET /a.asp", "- /a+b.asp"), " 512 ", " - "),
         record_good, {nullptr, nullptr, nullptr, "\"NONE /a b.asp?x=1\"", 200, 0, "", nullptr}},
        {"date past midnight", with(w3c_data, "2013-10-01 12:00:00", "2013-12-31 24:00:01"), record_good,
         {nullptr, nullptr, "[01/Jan/2014:00:00:01 -0000]", nullptr, 200, 512, "", nullptr}},
        {"two-digit year from 1900", with(w3c_data, "2013-10-01", "99-10-01"), record_good,
         {nullptr, nullptr, "[01/Oct/1999:12:00:00 -0000]", nullptr, 200, 512, "", nullptr}},
        // A day past its month's end is kept as logged, for the date check
        // to reject, instead of becoming a day of the next month.
        {"29 February of a common year", with(w3c_data, "2013-10-01", "2013-02-29"), record_good,
         {nullptr, nullptr, "[29/Feb/2013:12:00:00 -0000]", nullptr, 200, 512, "", nullptr}},
        {"31 April", with(w3c_data, "2013-10-01 12:00:00", "2013-04-31 23:59:59"), record_good,
         {nullptr, nullptr, "[31/Apr/2013:23:59:59 -0000]", nullptr, 200, 512, "", nullptr}},
        {"29 February of 2100", with(w3c_data, "2013-10-01", "2100-02-29"), record_good,
         {nullptr, nullptr, "[29/Feb/2100:12:00:00 -0000]", nullptr, 200, 512, "", nullptr}},
        {"day 32 of a two-digit year", with(w3c_data, "2013-10-01", "99-12-32"), record_good,
         {nullptr, nullptr, "[32/Dec/1999:12:00:00 -0000]", nullptr, 200, 512, "", nullptr}},
        {"one column more", with(w3c_data, " 512 ", " 512 7 "), record_bad, {}},
        {"one column less", with(w3c_data, " x=1 ", " "), record_bad, {}},
        {"two blanks make a column", with(w3c_data, " x=1 ", " x=1  "), record_bad, {}},
        {"date with one -", with(w3c_data, "2013-10-01", "2013-10"), record_bad, {}},
        {"time with one :", with(w3c_data, "12:00:00", "12:00"), record_bad, {}},
        {"other directive", "#Version: 1.0\n", record_bad, {}},
        {"empty line", "\r\n", record_bad, {}},
    };
    for (const parse_case& c : cases) check(c);
}

// Proxy times and W3C (UTC) times are shown in the machine's local time, two
// hours east of UTC here. The seconds differ from the other cases' so that no
// earlier conversion is reused.
TEST_F(ParseTest, ProxyAndW3cDatesInLocalTime) {
    setenv("TZ", "EET-2", 1);
    tzset();
    settings.LogType = log_squid;
    // 1381234568 is 2013-10-08 12:16:08 UTC (see squid_line).
    check({"proxy", with(squid_line, "1381234567.123", "1381234568.5"), record_good,
           {"10.1.2.3", "-", "[08/Oct/2013:14:16:08 -0000]", nullptr, 200, 1234, "", ""}});
    settings.LogType = log_w3c;
    parse(w3c_fields);
    check({"w3c", with(w3c_data, "2013-10-01 12:00:00", "2013-12-31 23:30:09"), record_good,
           {"10.1.2.3", "", "[01/Jan/2014:01:30:09 -0000]", "\"GET /a.asp?x=1\"", 200, 512, "", nullptr}});
    // A leap day is converted like any other day; an impossible one is not.
    check({"w3c leap day", with(w3c_data, "2013-10-01 12:00:00", "2012-02-29 23:30:10"), record_good,
           {nullptr, nullptr, "[01/Mar/2012:01:30:10 -0000]", nullptr, 200, 512, "", nullptr}});
    check({"w3c 29 February 2013", with(w3c_data, "2013-10-01 12:00:00", "2013-02-29 23:30:11"), record_good,
           {nullptr, nullptr, "[29/Feb/2013:23:30:11 -0000]", nullptr, 200, 512, "", nullptr}});
    setenv("TZ", "UTC", 1);
    tzset();
}

TEST_F(ParseTest, W3cColumnsRedeclaredByEachDirective) {
    settings.LogType = log_w3c;
    parse(w3c_fields);
    ASSERT_EQ(parse(w3c_data), record_good);

    // The new table replaces the old one: the nine-column line no longer fits.
    EXPECT_EQ(parse("#Fields: c-ip cs-uri-stem cs(Referer) cs-username\n"), record_bad);
    EXPECT_EQ(parse(w3c_data), record_bad);
    // No date or time column: day 0 of January 1900 at midnight; no method
    // column: the method reads NONE.
    check({"second table", "10.9.9.9 /b.html http://r/ carol\n", record_good,
           {"10.9.9.9", "carol", "[31/Dec/1899:00:00:00 -0000]", "\"NONE /b.html\"", 0, 0, "http://r/", ""}});

    // A name given twice keeps its later column.
    parse("#Fields: cs-uri-stem cs-uri-stem\n");
    check({"repeated name", "/first /second\n", record_good,
           {"", "", nullptr, "\"NONE /second\"", 0, 0, "", ""}});

    // Without a stem column every line is bad; so with a directive naming nothing.
    parse("#Fields: c-ip\n");
    EXPECT_EQ(parse("10.1.2.3\n"), record_bad);
    parse("#Fields:\n");
    EXPECT_EQ(parse("x\n"), record_bad);

    // Only "#Fields:" itself declares columns.
    parse("#Fields: cs-uri-stem\n");
    EXPECT_EQ(parse("#Fieldsdate time\n"), record_bad);
    EXPECT_EQ(parse("#Fields:x date time\n"), record_bad);
    check({"table kept", "/kept\n", record_good, {"", "", nullptr, "\"NONE /kept\"", 0, 0, "", ""}});
}

// ------------------------------------------------- every type, hostile lines

TEST_F(ParseTest, HostileLinesNeverReadOutsideTheLine) {
    const std::string lines[] = {
        std::string(4095, '"'),
        std::string(4095, '['),
        std::string(4094, ' ') + "\n",
        "#Fields: " + std::string(4086, ' '),
        std::string("\x00\n", 2),
        "[" + std::string(4000, 'x'),
        "\"GET HTTP/",
    };
    std::vector<std::string> noise(std::begin(lines), std::end(lines));
    uint32_t seed = 12345;
    // Lines of random bytes drawn mostly from the characters the parsers
    // look at, so that quotes, brackets and separators meet in every order;
    // no newline inside, as the reader never hands one out mid-line.
    const char alphabet[] = " \t\"[]()\\/:-+#i0123456789\rxHTTP/\x80\xff";
    for (int i = 0; i < 300; ++i) {
        std::string line;
        const int n = 1 + i * 13 % 400;
        for (int j = 0; j < n; ++j) {
            seed = seed * 1103515245u + 12345u;
            line += alphabet[(seed >> 16) % (sizeof alphabet - 1)];
        }
        noise.push_back(line + "\n");
    }
    for (log_type type : {log_clf, log_ftp, log_squid, log_w3c}) {
        settings.LogType = type;
        parse("#Fields: date time c-ip cs-uri-stem cs(User-Agent)\n");
        for (std::size_t i = 0; i < noise.size(); ++i) {
            const int code = parse(noise[i]);
            EXPECT_TRUE(code == record_good || code == record_bad);
            for (const char* slot : {log_rec.host, log_rec.date_text, log_rec.request, log_rec.referrer,
                                     log_rec.user_agent, log_rec.user})
                EXPECT_EQ(std::strchr(slot, '\n'), nullptr) << "type " << type << " line " << i;
            EXPECT_LE(std::strlen(log_rec.request), 4095u);
        }
    }
}

// The single-pass reading of ordinary common/combined lines must give, byte
// for byte, the record the general splitter and parser give, and must leave
// to them every line it is not sure of. Each line is read both ways from its
// own copy; "plain" says whether the single pass is expected to take it.
struct plain_case {
    const char* name;
    std::string line;
    bool plain;
};

// Zeroed records on the heap (a record is some 6 kB).
struct record_pair {
    log_record single{}, general{};
};

// Returns whether the single pass took line; fails when it changed the line
// or its record differs from the general one.
bool read_both_ways(const std::string& line, record_pair& r) {
    r = record_pair{};
    std::string uncut = line;
    const std::string before = uncut;
    const bool took = parse_clf_plain(uncut.data(), uncut.size(), r.single);
    EXPECT_EQ(uncut, before) << "the single pass must not cut the line";
    std::vector<char> cut(line.begin(), line.end());
    cut.push_back('\0');
    const int code = parse_clf(cut.data(), line.size(), r.general);
    if (took) {
        EXPECT_EQ(code, record_good);
        EXPECT_EQ(std::memcmp(&r.single, &r.general, sizeof(log_record)), 0)
            << "host '" << r.single.host << "' / '" << r.general.host << "', request '" << r.single.request
            << "' / '" << r.general.request << "', agent '" << r.single.user_agent << "' / '"
            << r.general.user_agent << "'";
    }
    return took;
}

// A record parsed after another holds nothing of it, byte for byte, whether
// the parse clears what the last one wrote or the caller cleared it after
// use; the fields that record processing fills later (search words) and
// shortens in place are cleared too.
TEST_F(ParseTest, ARecordKeepsNothingOfTheOneBefore) {
    const std::string long_line = "www." + std::string(200, 'h') + ".example - " + std::string(40, 'u') +
                                  " [10/Oct/2013:13:55:36 -0700] \"GET /" + std::string(300, 'p') +
                                  "?q=1 HTTP/1.1\" 200 2326 \"http://" + std::string(400, 'r') + "/\" \"" +
                                  std::string(120, 'a') + "\"\n";
    const std::string short_line = "h - - [11/Oct/2013:01:02:03 +0000] \"GET / HTTP/1.0\" 304 -\n";
    auto parse_into = [](const std::string& line, log_record& rec, record_clearing& c) {
        std::vector<char> copy(line.begin(), line.end());
        copy.push_back('\0');
        return parse_record(copy.data(), rec, c, nullptr);
    };
    auto dirty_after_use = [](log_record& rec) {
        std::memset(rec.search_words, 's', sizeof rec.search_words - 1);
        rec.user_agent[3] = '\0';  // shortened in place, its old tail left behind
    };
    struct records {
        log_record fresh{}, reparsed{}, cleared{}, cleared_then_reparsed{};
    };
    auto r = std::make_unique<records>();
    record_clearing fresh_c{sizeof r->fresh.request, sizeof r->fresh.referrer, true};
    ASSERT_EQ(parse_into(short_line, r->fresh, fresh_c), record_good);

    record_clearing c1{sizeof r->reparsed.request, sizeof r->reparsed.referrer};
    ASSERT_EQ(parse_into(long_line, r->reparsed, c1), record_good);
    dirty_after_use(r->reparsed);
    ASSERT_EQ(parse_into(short_line, r->reparsed, c1), record_good);

    record_clearing c2{sizeof r->cleared.request, sizeof r->cleared.referrer};
    ASSERT_EQ(parse_into(long_line, r->cleared, c2), record_good);
    dirty_after_use(r->cleared);
    clear_parsed_record(r->cleared, c2);
    ASSERT_EQ(parse_into(short_line, r->cleared, c2), record_good);

    // Cleared, then parsed twice: the second parse must clear again.
    record_clearing c3{sizeof r->cleared_then_reparsed.request, sizeof r->cleared_then_reparsed.referrer};
    clear_parsed_record(r->cleared_then_reparsed, c3);
    ASSERT_EQ(parse_into(long_line, r->cleared_then_reparsed, c3), record_good);
    dirty_after_use(r->cleared_then_reparsed);
    ASSERT_EQ(parse_into(short_line, r->cleared_then_reparsed, c3), record_good);

    EXPECT_STREQ(r->fresh.host, "h");
    for (const log_record* rec : {&r->reparsed, &r->cleared, &r->cleared_then_reparsed})
        EXPECT_EQ(std::memcmp(rec, &r->fresh, sizeof(log_record)), 0);
}

TEST_F(ParseTest, SinglePassEqualsTheGeneralWayOrDeclines) {
    const std::string base_head = "192.0.2.7 - alice [10/Oct/2013:13:55:36 -0700] ";
    const std::string req = "\"GET /a.html HTTP/1.1\" ";
    const plain_case cases[] = {
        {"combined", base_head + req + "200 2326 \"http://x.example/\" \"Mozilla/5.0 (X11)\"\n", true},
        {"common", base_head + req + "200 2326\n", true},
        {"common, no newline", base_head + req + "304 -", true},
        {"combined, no newline", base_head + req + "200 1 \"-\" \"A\"", true},
        {"user with blanks", "h - John Smith [10/Oct/2013:13:55:36 -0700] " + req + "200 1\n", true},
        {"empty user", "h - [10/Oct/2013:13:55:36 -0700] " + req + "200 1\n", true},
        {"user of 63", "h - " + std::string(63, 'u') + " [10/Oct/2013:13:55:36 -0700] " + req + "200 1\n", false},
        {"user region of 63", "h - " + std::string(62, 'u') + " [10/Oct/2013:13:55:36 -0700] " + req + "200 1\n", true},
        {"host of 255", std::string(255, 'h') + " - - [10/Oct/2013:13:55:36 -0700] " + req + "200 1\n", true},
        {"host of 256", std::string(256, 'h') + " - - [10/Oct/2013:13:55:36 -0700] " + req + "200 1\n", false},
        {"agent of 200 is cut", base_head + req + "200 1 \"-\" \"" + std::string(200, 'a') + "\"\n", true},
        {"referrer of 1023", base_head + req + "200 1 \"" + std::string(1021, 'r') + "\" \"A\"\n", true},
        {"referrer of 1024", base_head + req + "200 1 \"" + std::string(1022, 'r') + "\" \"A\"\n", false},
        {"field after the agent", base_head + req + "200 1 \"-\" \"A\" \"extra\"\n", true},
        {"empty request", base_head + "\"\" 400 0 \"-\" \"-\"\n", true},
        {"request with HTTP twice", base_head + "\"GET /HTTP/x HTTP/1.0\" 200 1\n", true},
        {"tab separator", "192.0.2.7\t- - [10/Oct/2013:13:55:36 -0700] " + req + "200 1\n", false},
        {"two blanks", "192.0.2.7  - - [10/Oct/2013:13:55:36 -0700] " + req + "200 1\n", false},
        {"escaped quote", base_head + "\"GET /a\\\" HTTP/1.0\" 200 1\n", false},
        {"unclosed agent", base_head + req + "200 1 \"-\" \"Mozilla\n", false},
        {"bracket in the host", "a[b] - - [10/Oct/2013:13:55:36 -0700] " + req + "200 1\n", false},
        {"nested date bracket", "h - - [10/[Oct]/2013:13:55:36 -0700] " + req + "200 1\n", false},
        {"date of 29", "h - - [10/Oct/2013:13:55:36 -07000] " + req + "200 1\n", false},
        {"short date", "h - - [1] " + req + "200 1\n", false},
        {"status after a vertical tab", base_head + req + "\v 200 1\n", false},
        {"status not a number", base_head + req + "abc 1\n", false},
        {"bytes a dash", base_head + req + "200 - \"-\" \"-\"\n", true},
        {"huge numbers", base_head + req + "99999999999 99999999999999999999999 \"-\" \"-\"\n", true},
        {"line ends after the status", base_head + req + "200\n", false},
        {"zero byte in the referrer", base_head + req + "200 1 \"a" + std::string(1, '\0') + "b\" \"A\"\n", false},
        {"bytes above 127", "h\xe9 - - [10/Oct/2013:13:55:36 -0700] \"GET /\xff HTTP/1.0\" 200 1 \"\xc0\" \"\xfe\"\n",
         true},
        {"trailing blank", base_head + req + "200 1 \n", false},
    };
    record_pair r;
    for (const plain_case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(read_both_ways(c.line, r), c.plain);
    }
}

TEST_F(ParseTest, SinglePassEqualsTheGeneralWayOnRealLogs) {
    SKIP_WITHOUT_REAL_DATA();
    const char* logs[] = {"antlr-org-2003.log",          "ccsite-2001-03.log",     "elastic-examples-2015-05.log",
                          "lnav-bad-request-400.log",     "lnav-gpxe-2009.log",     "lnav-zanbil-shop.log",
                          "lovecoding-2020-12-ipv6.log",  "ncl2016-honeypot-2015.log",
                          "lovecoding-vhost-combined-2020-11.log", "plaso-mixed-fixture-userfield.log",
                          "rsaxvc-2021-12-yearend.log",   "rsaxvc-ssl-common-2022-01.log"};
    record_pair r;
    int lines = 0, taken = 0;
    for (const char* name : logs) {
        SCOPED_TRACE(name);
        const std::string text = testing_support::read_file(testing_support::real_data(std::string("apache/") + name));
        for (std::size_t at = 0; at < text.size();) {
            std::size_t end = text.find('\n', at);
            end = end == std::string::npos ? text.size() : end + 1;
            std::string line = text.substr(at, end - at);
            at = end;
            if (line.size() >= 2 && line[line.size() - 2] == '\r') line.erase(line.size() - 2, 1);
            ++lines;
            taken += read_both_ways(line, r);
            if (HasFailure()) return;
        }
    }
    // Nearly all real lines have the ordinary shape.
    EXPECT_GT(taken, lines * 9 / 10);
}

}  // namespace
