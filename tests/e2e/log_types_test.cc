// An FTP transfer log, a caching-proxy log and a W3C extended log, each run
// through the analyser: the month's history line, the timing line and the
// monthly page. The small logs are in tests/data/e2e; their totals are worked
// out by hand below, line by line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lang/lang.h"
#include "test_support.h"

namespace ts = testing_support;

namespace {

// "month year hits files sites kbytes first_day last_day pages visits" of the
// history line of month_year ("10 2013").
std::string history_line(const std::string& hist, const std::string& month_year) {
    const std::size_t at = hist.find("\n" + month_year + " ");
    if (at == std::string::npos) return "";
    const std::size_t end = hist.find('\n', at + 1);
    return hist.substr(at + 1, end - at - 1);
}

// The month summary row of one total ("%s" label, "%llu" value).
std::string total_row(const char* label, const char* value) {
    return std::string("<TR><TD WIDTH=380><FONT SIZE=\"-1\">") + label +
           "</FONT></TD>\n<TD ALIGN=right COLSPAN=2><FONT SIZE=\"-1\"><B>" + value + "</B></FONT></TD></TR>\n";
}

struct log_case {
    const char* name;
    const char* log;     // under tests/data
    const char* type;    // -F value
    const char* hist;    // the October 2013 history line
    const char* timing;  // start of the timing line
    const char* hits;
    const char* files;
    bool ftp;            // no entry, exit or search sections; URLs as plain text
    std::vector<std::string> on_page;
};

// ftp: six lines, one with day 32 (bad). Good: 2048 + 10240 + 5120 + 1024 +
//   3072 = 21504 bytes = 21 KB; files (status 200) all but the incomplete
//   upload (206); sites ftp1.example.org, 10.0.0.5 and "none" (blank host);
//   pages the four .txt files; visits: ftp1 twice (Oct 1 and Oct 3), the
//   others once.
// proxy: six lines, one cut after its URL (bad). Good: 1000 + 3000 + 500 +
//   200 + 0 = 4700 bytes = 4.59 KB; files the two 200s; sites 10.1.2.3,
//   10.1.2.4, 10.1.2.5 (the bad line's only appearance does not count);
//   pages index.html (twice, as "/") and missing.html (404 still a page);
//   one visit per site.
// w3c: five directive lines (ignored), seven data lines of which one has a
//   column too few and one the old layout after the second "#Fields:"
//   (bad); CRLF line ends throughout. Good: 4096 + 2048 + 612 + 1024 + 0 =
//   7780 bytes = 7.60 KB; files the three 200s; sites 198.51.100.7 and .8;
//   pages default.htm (twice) and b.html; visits .7 twice (Oct 1, Oct 3),
//   .8 once (its first request, search.asp, is no page).
const log_case cases[] = {
    {"ftp", "e2e/ftp.xferlog", "ftp", "10 2013 5 4 3 21 1 3 4 4", "6 records (1 bad) in ", "5", "4", true,
     {">/pub/readme.txt</FONT></TD></TR>\n", "alice"}},
    {"proxy", "e2e/proxy.log", "squid", "10 2013 5 2 3 5 1 3 3 3", "6 records (1 bad) in ", "5", "2", false,
     {"http://www.example.com/"}},
    {"w3c", "e2e/w3c.log", "w3c", "10 2013 5 3 2 8 1 3 3 3", "12 records (5 ignored, 2 bad) in ", "5", "3", false,
     {"jdoe", "Mozilla/5.0 (Windows NT 6.1)"}},
};

TEST(LogTypes, EachTypeGivesItsMonthPageAndHistory) {
    for (const log_case& c : cases) {
        SCOPED_TRACE(c.name);
        ts::scratch_dir dir;
        const ts::run_result r = ts::run_program(dir.path, {"-F", c.type, ts::test_data(c.log)});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("\n" + std::string(c.timing)), std::string::npos) << r.out;

        EXPECT_EQ(history_line(ts::read_file(dir.file("corvalist.hist")), "10 2013"), c.hist);

        const std::string page = ts::read_file(dir.file("usage_201310.html"));
        ASSERT_FALSE(page.empty());
        EXPECT_NE(page.find(total_row(tot_hits, c.hits)), std::string::npos);
        EXPECT_NE(page.find(total_row(tot_files, c.files)), std::string::npos);
        // Section links follow the settings alone; FTP runs switch these off.
        for (const char* link : {"#TOPENTRY", "#TOPEXIT", "#TOPSEARCH"})
            EXPECT_EQ(page.find(link) == std::string::npos, c.ftp) << link;
        if (c.ftp) {
            for (const char* anchor : {"NAME=\"TOPENTRY\"", "NAME=\"TOPEXIT\"", "NAME=\"TOPSEARCH\""})
                EXPECT_EQ(page.find(anchor), std::string::npos) << anchor;
        }
        for (const std::string& text : c.on_page) EXPECT_NE(page.find(text), std::string::npos) << text;
    }
}

}  // namespace
