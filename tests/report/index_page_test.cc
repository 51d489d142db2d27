#include "report/index_page.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <regex>
#include <memory>
#include <string>
#include <vector>

#include "lang/lang.h"
#include "persist/history.h"
#include "run/settings.h"
#include "test_support.h"

namespace {

using testing_support::file_exists;
using testing_support::read_file;
using testing_support::scratch_dir;
using testing_support::write_file;

struct month_values {
    int first_day, last_day;
    uint64_t hits, files, sites, pages, visits;
    double kbytes;
};

// 310 hits over 31 days: averages 10 hits, 6 files, 2 pages, 1 visit.
constexpr month_values full_month = {1, 31, 310, 200, 7, 62, 31, 1024.4};

class IndexPageTest : public ::testing::Test {
protected:
    void SetUp() override {
        reset_settings();
        clear_history();
        settings.HostName = "example.org";
        settings.Verbosity = 0;
        cwd = std::make_unique<testing_support::working_dir>(dir.path);
        ASSERT_TRUE(cwd->ok());
    }
    void TearDown() override { cwd.reset(); }

    // Labels the window so that entry 119 is (year, month).
    static void window_ending(int year, int month) {
        for (int i = history_months - 1; i >= 0; i--) {
            history[i].year = year;
            history[i].month = month;
            if (--month == 0) {
                month = 12;
                year--;
            }
        }
    }
    static void fill(int index, const month_values& v) {
        hist_entry& h = history[index];
        h.first_day = v.first_day;
        h.last_day = v.last_day;
        h.hits = v.hits;
        h.files = v.files;
        h.sites = v.sites;
        h.pages = v.pages;
        h.visits = v.visits;
        h.kbytes = v.kbytes;
    }
    std::string table() const {
        std::string page = read_file(dir.file("index.html"));
        size_t from = page.find("<TABLE WIDTH=600"), to = page.find("</TABLE>\n");
        if (from == std::string::npos || to == std::string::npos) return "";
        return page.substr(from, to + 9 - from);
    }

    scratch_dir dir;
    std::unique_ptr<testing_support::working_dir> cwd;
};

std::string td(const std::string& v) { return "<TD ALIGN=right><FONT SIZE=\"-1\">" + v + "</FONT></TD>\n"; }
std::string th_total(const std::string& v) {
    return "<TH BGCOLOR=\"#C0C0C0\" ALIGN=right><FONT SIZE=\"-1\">" + v + "</FONT></TH>\n";
}
std::string th_head(const char* colour, const char* label) {
    return std::string("<TH ALIGN=center BGCOLOR=\"") + colour + "\"><FONT SIZE=\"-1\">" + label + "</FONT></TH>";
}
// Nine cells with newlines, then the hits cell closing the row.
std::string cells(const std::vector<std::string>& v) {
    std::string s;
    for (size_t k = 0; k + 1 < v.size(); k++) s += td(v[k]);
    return s + "<TD ALIGN=right><FONT SIZE=\"-1\">" + v.back() + "</FONT></TD></TR>\n";
}

TEST_F(IndexPageTest, NewInstallationShowsOnlyItsMonths) {
    window_ending(2014, 3);
    fill(119, full_month);
    fill(118, {1, 28, 56, 28, 3, 14, 5, 10.4});
    fill(117, {1, 10, 55, 21, 2, 9, 4, 3.0});  // 55 hits in 10 days: 5 a day
    write_summary_index();

    const std::string spacer = "<TR><TH HEIGHT=4></TH></TR>\n";
    std::string expected = "<TABLE WIDTH=600 BORDER=2 CELLSPACING=1 CELLPADDING=1>\n" + spacer +
                           "<TR><TH COLSPAN=11 BGCOLOR=\"#C0C0C0\" ALIGN=center>" + rpt_monthly_summary_index +
                           "</TH></TR>\n" + spacer;
    expected += std::string("<TR><TH ALIGN=left ROWSPAN=2 BGCOLOR=\"#C0C0C0\"><FONT SIZE=\"-1\">") + lbl_month +
                "</FONT></TH>\n";
    expected += std::string("<TH ALIGN=center COLSPAN=4 BGCOLOR=\"#C0C0C0\"><FONT SIZE=\"-1\">") + rpt_daily_avg +
                "</FONT></TH>\n";
    expected += std::string("<TH ALIGN=center COLSPAN=6 BGCOLOR=\"#C0C0C0\"><FONT SIZE=\"-1\">") +
                rpt_monthly_totals + "</FONT></TH></TR>\n";
    expected += "<TR>" + th_head("#00805c", lbl_hits) + "\n" + th_head("#0040ff", lbl_files) + "\n" +
                th_head("#00e0ff", lbl_pages) + "\n" + th_head("#ffff00", lbl_visits) + "\n" +
                th_head("#ff8000", lbl_sites) + "\n" + th_head("#ff0000", lbl_kbytes) + "\n" +
                th_head("#ffff00", lbl_visits) + "\n" + th_head("#00e0ff", lbl_pages) + "\n" +
                th_head("#0040ff", lbl_files) + "\n" + th_head("#00805c", lbl_hits) + "</TR>\n" + spacer;
    expected += std::string("<TR><TD NOWRAP><A HREF=\"usage_201403.html\"><FONT SIZE=\"-1\">") + month_abbr[2] +
                " 2014</FONT></A></TD>\n" + cells({"10", "6", "2", "1", "7", "1024", "31", "62", "200", "310"});
    expected += std::string("<TR><TD NOWRAP><A HREF=\"usage_201402.html\"><FONT SIZE=\"-1\">") + month_abbr[1] +
                " 2014</FONT></A></TD>\n" + cells({"2", "1", "0", "0", "3", "10", "5", "14", "28", "56"});
    expected += std::string("<TR><TD NOWRAP><A HREF=\"usage_201401.html\"><FONT SIZE=\"-1\">") + month_abbr[0] +
                " 2014</FONT></A></TD>\n" + cells({"5", "2", "0", "0", "2", "3", "4", "9", "21", "55"});
    expected += spacer + "<TR><TH BGCOLOR=\"#C0C0C0\" COLSPAN=6 ALIGN=left><FONT SIZE=\"-1\">" + lbl_totals +
                "</FONT></TH>\n" + th_total("1038") + th_total("40") + th_total("85") + th_total("249") +
                "<TH BGCOLOR=\"#C0C0C0\" ALIGN=right><FONT SIZE=\"-1\">421</FONT></TH></TR>\n" + spacer +
                "</TABLE>\n";
    EXPECT_EQ(table(), expected);

    std::string page = read_file(dir.file("index.html"));
    EXPECT_NE(page.find(std::string("<IMG SRC=\"usage.png\" ALT=\"") + rpt_usage_summary +
                        " example.org\" HEIGHT=256 WIDTH=512><P>\n"),
              std::string::npos);
    EXPECT_TRUE(file_exists(dir.file("usage.png")));
    EXPECT_FALSE(file_exists(dir.file(".htaccess")));
}

TEST_F(IndexPageTest, EmptyMonthBetweenMonthsWithDataIsPlainAndZero) {
    window_ending(2014, 3);
    fill(119, full_month);
    fill(117, full_month);
    write_summary_index();
    std::string t = table();
    std::string feb = std::string("<TR><TD NOWRAP><FONT SIZE=\"-1\">") + month_abbr[1] + " 2014</FONT></A></TD>\n" +
                      cells({"0", "0", "0", "0", "0", "0", "0", "0", "0", "0"});
    EXPECT_NE(t.find(feb), std::string::npos) << t;
    EXPECT_NE(t.find("usage_201401.html"), std::string::npos);
    EXPECT_EQ(t.find(std::string(month_abbr[11]) + " 2013"), std::string::npos);
}

TEST_F(IndexPageTest, DamagedDayRangeAveragesOverOneDay) {
    // A history line may say last day 5 after first day 6 (0 days) or worse;
    // the averages then count one day instead of dividing by zero.
    window_ending(2014, 3);
    fill(119, {6, 5, 100, 50, 1, 20, 10, 1.0});
    fill(118, {20, 5, 100, 50, 1, 20, 10, 1.0});
    write_summary_index();
    std::string t = table();
    size_t first = t.find(cells({"100", "50", "20", "10", "1", "1", "10", "20", "50", "100"}));
    ASSERT_NE(first, std::string::npos) << t;
    EXPECT_NE(t.find(cells({"100", "50", "20", "10", "1", "1", "10", "20", "50", "100"}), first + 1),
              std::string::npos);
}

// Row kinds in table order: M<yyyymm> month, H<yyyy> year header,
// T<yyyy> year totals, G grand totals.
std::vector<std::string> layout(const std::string& t) {
    static const std::regex marks(
        "<TR><TD NOWRAP><A HREF=\"usage_([0-9]{6})|"
        "<TR><TH COLSPAN=11 BGCOLOR=\"#C0C0C0\" ALIGN=center>([0-9]{4})</TH></TR>\n|"
        "<TR><TH COLSPAN=6 BGCOLOR=\"#D0D0E0\" ALIGN=left><FONT SIZE=\"-1\"><STRONG>([0-9]{4})</TH>\n|"
        "<TR><TH BGCOLOR=\"#C0C0C0\" COLSPAN=6 ALIGN=left>");
    std::vector<std::string> out;
    for (auto it = std::sregex_iterator(t.begin(), t.end(), marks); it != std::sregex_iterator(); ++it) {
        const std::smatch& m = *it;
        out.push_back(m[1].matched ? "M" + m[1].str() : m[2].matched ? "H" + m[2].str()
                                                    : m[3].matched ? "T" + m[3].str() : "G");
    }
    return out;
}

std::vector<std::string> months(int year, int from, int down_to) {
    std::vector<std::string> v;
    for (int m = from; m >= down_to; m--) v.push_back("M" + std::to_string(year * 100 + m));
    return v;
}

TEST_F(IndexPageTest, YearHeadersAndTotalsOnlyBeyondSixteenMonths) {
    struct row { int index_months; bool headers, totals; std::vector<std::vector<std::string>> parts; };
    const row rows[] = {
        {24, true, true,
         {months(2014, 2, 1), {"T2014", "H2013"}, months(2013, 12, 1), {"T2013", "H2012"}, months(2012, 12, 3),
          {"T2012", "G"}}},
        {24, false, true, {months(2014, 2, 1), {"T2014"}, months(2013, 12, 1), {"T2013"}, months(2012, 12, 3),
                           {"T2012", "G"}}},
        {12, true, true, {months(2014, 2, 1), months(2013, 12, 3), {"G"}}},
    };
    for (const row& r : rows) {
        clear_history();
        window_ending(2014, 2);
        for (int i = 0; i < history_months; i++) fill(i, full_month);
        settings.IndexMonths = r.index_months;
        settings.YearHeaders = r.headers;
        settings.YearTotals = r.totals;
        write_summary_index();
        std::vector<std::string> expected;
        for (const auto& p : r.parts) expected.insert(expected.end(), p.begin(), p.end());
        EXPECT_EQ(layout(table()), expected) << r.index_months << " " << r.headers;
    }

    // 12 months of 2013: 12 x 1024.4 = 12292.8 KB; the row has no end tag and
    // the next year's header follows directly.
    settings.YearHeaders = true;
    settings.IndexMonths = 24;
    write_summary_index();
    std::string t = table();
    const std::string y = "<TH ALIGN=\"right\" BGCOLOR=\"#D0D0E0\"><FONT SIZE=\"-1\">";
    EXPECT_NE(t.find("<TR><TH COLSPAN=6 BGCOLOR=\"#D0D0E0\" ALIGN=left><FONT SIZE=\"-1\"><STRONG>2013</TH>\n" + y +
                     "12293</TH>" + y + "372</TH>" + y + "744</TH>" + y + "2400</TH>" + y + "3720</TH>" +
                     "<TR><TH COLSPAN=11 BGCOLOR=\"#C0C0C0\" ALIGN=center>2012</TH></TR>\n"),
              std::string::npos)
        << t;
    EXPECT_NE(t.find(y + "10244</TH>" + y + "310</TH>" + y + "620</TH>" + y + "2000</TH>" + y + "3100</TH>" +
                     "<TR><TH HEIGHT=4></TH></TR>\n"),
              std::string::npos);
    EXPECT_NE(t.find(th_total("24586") + th_total("744") + th_total("1488") + th_total("4800") +
                     "<TH BGCOLOR=\"#C0C0C0\" ALIGN=right><FONT SIZE=\"-1\">7440</FONT></TH></TR>\n"),
              std::string::npos);
}

TEST_F(IndexPageTest, HtaccessIsCreatedOnceAndNeverRewritten) {
    window_ending(2014, 3);
    fill(119, full_month);
    settings.HTAccess = true;
    write_summary_index();
    EXPECT_EQ(read_file(dir.file(".htaccess")), "DirectoryIndex index.html\n");

    write_file(dir.file(".htaccess"), "DirectoryIndex mine.html\n");
    settings.Verbosity = 2;
    ::testing::internal::CaptureStderr();
    ::testing::internal::CaptureStdout();
    write_summary_index();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), std::string(con_generating_summary) + "\n");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(read_file(dir.file(".htaccess")), "DirectoryIndex mine.html\n");
    EXPECT_TRUE(file_exists(dir.file("index.html")));
}

}  // namespace
