// View-all pages and tab-separated dumps.
#include "report/dump.h"
#include "report/month_report.h"
#include "report/top_tables.h"
#include "report/view_all.h"

#include "report_fixture.h"

namespace report_test {
namespace {

using testing_support::file_exists;

// The block between "<PRE>\n" and "</PRE>" of a view-all page.
std::string pre_block(const std::string& page) {
    size_t start = page.find("<FONT SIZE=\"-1\"></CENTER><PRE>\n");
    size_t end = page.find("</PRE></FONT>\n");
    if (start == std::string::npos || end == std::string::npos) return "(no block)";
    start += strlen("<FONT SIZE=\"-1\"></CENTER><PRE>\n");
    return page.substr(start, end - start);
}

class ViewAllTest : public ReportTest {
  protected:
    void TearDown() override {
        free_node_array(&u_array);
        free_node_array(&h_array);
        free_node_array(&r_array);
        free_node_array(&a_array);
        free_node_array(&s_array);
        free_node_array(&i_array);
        ReportTest::TearDown();
    }
    // Two groups and five sites; in hits order: Group A, s1, Group B, s2..s5.
    void seven_sites() {
        month_totals_rec& m = month_totals;
        m.total_hits = 100, m.total_files = 50, m.total_bytes = 10240, m.total_visits = 20;
        site("Group A", 30, 10, 5, 4096, node_group);
        site("Group B", 20, 10, 4, 2048, node_group);
        site("s1.example", 25, 15, 4, 2048);
        site("s2.example", 10, 5, 2, 1024);
        site("s3.example", 8, 4, 2, 512);
        site("s4.example", 5, 3, 1, 0);
        site("s5.example", 2, 1, 1, 0);
        ASSERT_EQ(fill_node_array(&h_array, &site_table), report_ok);
        sort_sites(&h_array, order_hits);
    }
};


std::string wide_header(const char* last) {
    char buf[512];
    snprintf(buf, sizeof buf, " %12s      %12s      %12s      %12s      %s\n", lbl_hits, lbl_files, lbl_kbytes,
             lbl_visits, last);
    return buf;
}
const char wide_rule[] =
    "----------------  ----------------  ----------------  ----------------  --------------------\n\n";

// hits  share   files  share   KB  share   visits  share  name (worked by hand)
const char line_group_a[] = "30        30.00%        10  20.00%         4  40.00%         5  25.00%  Group A\n";
const char line_group_b[] = "20        20.00%        10  20.00%         2  20.00%         4  20.00%  Group B\n";
const char line_s1[] = "25        25.00%        15  30.00%         2  20.00%         4  20.00%  s1.example\n";
const char line_s2[] = "10        10.00%         5  10.00%         1  10.00%         2  10.00%  s2.example\n";
const char line_s3[] = "8          8.00%         4   8.00%         0   5.00%         2  10.00%  s3.example\n";
const char line_s4[] = "5          5.00%         3   6.00%         0   0.00%         1   5.00%  s4.example\n";
const char line_s5[] = "2          2.00%         1   2.00%         0   0.00%         1   5.00%  s5.example\n";

TEST_F(ViewAllTest, GroupsFirstThenOneEmptyLineThenSites) {
    seven_sites();
    ASSERT_TRUE(write_view_all_sites(5, 2));
    std::string page = contents("site_201401.html");
    EXPECT_EQ(pre_block(page), wide_header(lbl_hostname) + wide_rule + line_group_a + line_group_b + "\n" + line_s1 +
                                   line_s2 + line_s3 + line_s4 + line_s5);
    EXPECT_NE(page.find(S(" <TITLE>") + rpt_default_title + " www.example.org - " + month_full[0] + " 2014 - " +
                        lbl_sites + "</TITLE>\n"),
              std::string::npos);
    EXPECT_EQ(page.substr(page.size() - 17), "\n</BODY>\n</HTML>\n");
}

TEST_F(ViewAllTest, HideAllSitesKeepsOnlyGroupsOnSitePage) {
    seven_sites();
    settings.HideAllSites = true;
    ASSERT_TRUE(write_view_all_sites(5, 2));
    EXPECT_EQ(pre_block(contents("site_201401.html")),
              wide_header(lbl_hostname) + wide_rule + line_group_a + line_group_b + "\n");
    // The user page is not affected.
    month_totals.total_hits = 100, month_totals.total_files = 50, month_totals.total_bytes = 10240;
    month_totals.total_visits = 20;
    user("alice", 25, 15, 4, 2048);
    ASSERT_EQ(fill_node_array(&i_array, &user_table), report_ok);
    ASSERT_TRUE(write_view_all_users(1, 0));
    EXPECT_EQ(pre_block(contents("user_201401.html")),
              wide_header(lbl_username) + wide_rule +
                  "25        25.00%        15  30.00%         2  20.00%         4  20.00%  alice\n");
}

TEST_F(ViewAllTest, NoGroupsNoEmptyLine) {
    month_totals.total_hits = 4, month_totals.total_bytes = 2048;
    url("/x", 3, 2048);
    url("/y", 1, 0);
    ASSERT_EQ(fill_node_array(&u_array, &url_table), report_ok);
    sort_urls(&u_array, order_hits);
    ASSERT_TRUE(write_view_all_urls(2, 0));
    char header[256];
    snprintf(header, sizeof header, " %12s      %12s      %s\n", lbl_hits, lbl_kbytes, lbl_url);
    EXPECT_EQ(pre_block(contents("url_201401.html")),
              S(header) + "----------------  ----------------  --------------------\n\n" +
                  "3         75.00%         2 100.00%  /x\n"
                  "1         25.00%         0   0.00%  /y\n");
}

TEST_F(ViewAllTest, SearchPageSharesOfStringsOwnTotal) {
    month_totals.total_hits = 1000;  // not the base of these shares
    search("cheap flights", 3);
    search("<b>hotels</b>", 1);
    ASSERT_EQ(fill_node_array(&s_array, &search_table), report_ok);
    sort_search(&s_array);
    ASSERT_TRUE(write_view_all_search(2, 4));
    char header[256];
    snprintf(header, sizeof header, " %12s      %s\n", lbl_hits, lbl_search);
    EXPECT_EQ(pre_block(contents("search_201401.html")),
              S(header) + "----------------  ----------------------\n\n" +
                  "3         75.00%  cheap flights\n"
                  "1         25.00%  &lt;b&gt;hotels&lt;/b&gt;\n");
    // No strings: nothing written.
    ASSERT_EQ(unlink(file("search_201401.html").c_str()), 0);
    EXPECT_FALSE(write_view_all_search(0, 0));
    EXPECT_FALSE(file_exists(file("search_201401.html")));
}

TEST_F(ViewAllTest, NamesFromTheLogAreEscapedOnEveryPage) {
    static const char raw[] = "<b>&\"x\"</b>";
    struct row {
        const char* page;
        bool (*fill_and_write)();
    };
    const row rows[] = {
        {"site_201401.html",
         [] {
             site(raw, 1, 1, 1, 0);
             return fill_node_array(&h_array, &site_table) == report_ok && write_view_all_sites(1, 0);
         }},
        {"url_201401.html",
         [] {
             url(raw, 1, 0);
             return fill_node_array(&u_array, &url_table) == report_ok && write_view_all_urls(1, 0);
         }},
        {"ref_201401.html",
         [] {
             referrer(raw, 1, node_group);
             return fill_node_array(&r_array, &referrer_table) == report_ok && write_view_all_referrers(0, 1);
         }},
        {"agent_201401.html",
         [] {
             agent(raw, 1);
             return fill_node_array(&a_array, &agent_table) == report_ok && write_view_all_agents(1, 0);
         }},
        {"user_201401.html",
         [] {
             user(raw, 1, 1, 1, 0);
             return fill_node_array(&i_array, &user_table) == report_ok && write_view_all_users(1, 0);
         }},
    };
    for (const row& r : rows) {
        ASSERT_TRUE(r.fill_and_write()) << r.page;
        std::string block = pre_block(contents(r.page));
        EXPECT_NE(block.find("  &lt;b&gt;&amp;&quot;x&quot;&lt;/b&gt;\n"), std::string::npos) << r.page << "\n" << block;
        EXPECT_EQ(block.find("<b>"), std::string::npos) << r.page;
    }
}

TEST_F(ViewAllTest, UnopenablePageAnswersFalse) {
    seven_sites();
    ASSERT_EQ(symlink("/tmp", file("site_201401.html").c_str()), 0);
    bool written = true;
    std::string err = capture_stderr([&] { written = write_view_all_sites(5, 2); });
    EXPECT_FALSE(written);
    EXPECT_EQ(err, S(con_file_open_error) + " site_201401.html (symlink)\n");
}

// Dumps, through the monthly page so that the pipeline decides when they are written.
TEST_F(ViewAllTest, DumpListsHiddenSitesButNoPageDoes) {
    settings.DailyGraph = settings.HourlyGraph = false;
    settings.TopSites = 0;  // dump without a hits-order table
    settings.TopKSites = 10;
    settings.AllSites = true;
    settings.DumpSites = true;
    month_totals.total_hits = 10;
    site("Group A", 6, 6, 1, 1024, node_group);
    site("shown.example", 4, 3, 2, 1536);
    site("hidden.example", 5, 5, 1, 512);
    set_kind(site_table, "hidden.example", node_hidden);
    write_month_report();
    EXPECT_EQ(contents("site_201401.tab"), "5\t5\t0\t1\thidden.example\n4\t3\t2\t2\tshown.example\n");
    std::string page = contents("usage_201401.html");
    EXPECT_NE(page.find("shown.example"), std::string::npos);
    EXPECT_EQ(page.find("hidden.example"), std::string::npos);
    EXPECT_EQ(contents("site_201401.html").find("hidden.example"), std::string::npos);
    EXPECT_NE(contents("site_201401.html").find("shown.example"), std::string::npos);
}

TEST_F(ViewAllTest, DumpHeaderAndRawNames) {
    settings.DumpHeader = true;
    site("Group A", 6, 6, 1, 1024, node_group);
    ASSERT_EQ(fill_node_array(&h_array, &site_table), report_ok);
    write_site_dump();
    EXPECT_EQ(contents("site_201401.tab"), S(lbl_hits) + "\t" + lbl_files + "\t" + lbl_kbytes + "\t" + lbl_visits +
                                               "\t" + lbl_hostname + "\n");

    // Names go out byte for byte: no escaping, a tab stays a tab.
    url("/a<b>&\"c\"", 2, 1536);
    url("/tab\there", 1, 0);
    ASSERT_EQ(fill_node_array(&u_array, &url_table), report_ok);
    sort_urls(&u_array, order_hits);
    settings.DumpExtension = "txt";
    write_url_dump();
    EXPECT_EQ(contents("url_201401.txt"),
              S(lbl_hits) + "\t" + lbl_kbytes + "\t" + lbl_url + "\n2\t2\t/a<b>&\"c\"\n1\t0\t/tab\there\n");
}

TEST_F(ViewAllTest, DumpIntoMissingDirectoryFails) {
    settings.DumpPath = "no-such-dir";
    search("x", 1);
    ASSERT_EQ(fill_node_array(&s_array, &search_table), report_ok);
    std::string err = capture_stderr([] { write_search_dump(); });
    EXPECT_EQ(err, S(con_file_open_error) + " no-such-dir/search_201401.tab!\n");
    EXPECT_FALSE(file_exists(file("no-such-dir")));

    ASSERT_EQ(mkdir(file("dumps").c_str(), 0755), 0);
    settings.DumpPath = "dumps";
    write_search_dump();
    EXPECT_EQ(contents("dumps/search_201401.tab"), "1\tx\n");
}

}  // namespace
}  // namespace report_test
