// Top tables: sort orders, single-precision shares, row limits, anchors,
// group rows, link rules and the escaping of log-derived names.
#include "report/top_tables.h"

#include "report_fixture.h"

namespace report_test {
namespace {

constexpr char name_open[] = "<TD ALIGN=left NOWRAP><FONT SIZE=\"-1\">";
constexpr char name_close[] = "</FONT></TD></TR>\n";

// The name cells of a table, in row order.
std::vector<std::string> name_cells(const std::string& page) {
    std::vector<std::string> cells;
    const std::string open = name_open;
    for (size_t p = page.find(open); p != std::string::npos; p = page.find(open, p)) {
        p += open.size();
        size_t end = page.find(name_close, p);
        cells.push_back(page.substr(p, end - p));
    }
    return cells;
}

// The node names of an array, in array order.
template <class Node>
std::vector<std::string> names_of(const node_array<Node>& arr) {
    std::vector<std::string> v;
    for (uint64_t k = 0; k < arr.count; ++k) v.push_back(arr.items[k]->name);
    return v;
}

using names = std::vector<std::string>;

class TopTableTest : public ReportTest {
  protected:
    void TearDown() override {
        free_node_array(&u_array);
        free_node_array(&h_array);
        free_node_array(&r_array);
        free_node_array(&s_array);
        free_node_array(&i_array);
        free_node_array(&a_array);
        ReportTest::TearDown();
    }
    void urls_in(sort_order order) {
        ASSERT_EQ(fill_node_array(&u_array, &url_table), report_ok);
        sort_urls(&u_array, order);
    }
    void sites_in(sort_order order) {
        ASSERT_EQ(fill_node_array(&h_array, &site_table), report_ok);
        sort_sites(&h_array, order);
    }
};

TEST_F(TopTableTest, SharesAreSinglePrecision) {
    struct row {
        uint64_t value, total;
        const char* shown;
    };
    // 1/160 is 0.625% exactly; its single-precision quotient lies just above
    // (0.6250000093), 7/160 just below (4.3749999255).
    const row rows[] = {{1, 160, "0.63"}, {7, 160, "4.37"}, {1, 3, "33.33"},  {3, 3, "100.00"},
                        {0, 5, "0.00"},   {5, 0, "0.00"},   {0, 0, "0.00"}};
    for (const row& r : rows) {
        char text[32];
        snprintf(text, sizeof text, "%3.02f", share_pct(r.value, r.total));
        EXPECT_STREQ(text, r.shown) << r.value << "/" << r.total;
    }
    struct kb_row {
        double bytes, total;
        const char* shown;
    };
    // The kilobyte share divides in double precision: 1/160 stays 0.625,
    // which prints as 0.62; 2^24 + 1 bytes round to 2^24 first.
    const kb_row kb_rows[] = {{1, 160, "0.62"}, {16777217, 33554432, "50.00"}, {5, 0, "0.00"}};
    for (const kb_row& r : kb_rows) {
        char text[32];
        snprintf(text, sizeof text, "%3.02f", kbyte_pct(r.bytes, r.total));
        EXPECT_STREQ(text, r.shown) << r.bytes << "/" << r.total;
    }
}

TEST_F(TopTableTest, SortOrdersBreakTiesByteWise) {
    // name, hits, bytes, entries, exits
    url("/b", 5, 100, node_normal, 1, 9);
    url("/a", 5, 300, node_normal, 2, 9);
    url("/Z", 5, 100, node_normal, 2, 0);
    url("/B", 7, 200, node_normal, 0, 9);
    struct row {
        sort_order order;
        names expected;
    };
    const row rows[] = {
        {order_hits, {"/B", "/Z", "/a", "/b"}},
        {order_kbytes, {"/a", "/B", "/Z", "/b"}},
        {order_entry, {"/Z", "/a", "/b", "/B"}},
        {order_exit, {"/B", "/a", "/b", "/Z"}},
    };
    for (const row& r : rows) {
        urls_in(r.order);
        EXPECT_EQ(names_of(u_array), r.expected) << r.order;
        EXPECT_EQ(u_array.order, r.order);
    }
    search("zebra", 2);
    search("Zebra", 2);
    search("apple", 3);
    ASSERT_EQ(fill_node_array(&s_array, &search_table), report_ok);
    sort_search(&s_array);
    EXPECT_EQ(names_of(s_array), (names{"apple", "Zebra", "zebra"}));
}

// Names that agree over their first 8 or 16 bytes, or end there, and a byte
// above 127: equal keys must still fall in plain byte order, through a
// second sort of the same array and after the array is filled again.
TEST_F(TopTableTest, EqualKeysSortByWholeNameAcrossLongPrefixes) {
    url("/section/item0002", 1, 100);
    url("/section/\xe0", 1, 500);
    url("/section", 1, 100);
    url("/section/item0001", 1, 100);
    url("/sectioN", 1, 100);
    url("/section/", 1, 100);
    url("/section/item000", 1, 100);
    const names by_name = {"/sectioN", "/section", "/section/", "/section/item000",
                           "/section/item0001", "/section/item0002", "/section/\xe0"};
    urls_in(order_hits);
    EXPECT_EQ(names_of(u_array), by_name);
    sort_urls(&u_array, order_kbytes);
    EXPECT_EQ(names_of(u_array), (names{"/section/\xe0", "/sectioN", "/section", "/section/", "/section/item000",
                                        "/section/item0001", "/section/item0002"}));
    free_node_array(&u_array);
    url("/section/item", 1, 100);
    urls_in(order_hits);
    EXPECT_EQ(names_of(u_array), (names{"/sectioN", "/section", "/section/", "/section/item", "/section/item000",
                                        "/section/item0001", "/section/item0002", "/section/\xe0"}));
}

// Keys that differ only in their higher bytes, a tie among them, fractional
// byte totals and zero: the order is by whole key, then name.
TEST_F(TopTableTest, LargeKeysOrderOverEveryByte) {
    url("/a", 255, 0.75);
    url("/b", 256, 1e12);
    url("/c", 65536, 1e12 + 1);
    url("/d", uint64_t(1) << 40, 0);
    url("/e", 256, 3);
    url("/f", 0, 2.5);
    urls_in(order_hits);
    EXPECT_EQ(names_of(u_array), (names{"/d", "/c", "/b", "/e", "/a", "/f"}));
    sort_urls(&u_array, order_kbytes);
    EXPECT_EQ(names_of(u_array), (names{"/c", "/b", "/e", "/f", "/a", "/d"}));
}

TEST_F(TopTableTest, HiddenEntriesNeitherShownNorCounted) {
    settings.TopURLs = 50;
    char name[32];
    for (int i = 0; i < 40; ++i) {
        snprintf(name, sizeof name, "/page%02d.html", i);
        url(name, 100 - i, 0);
        if (i % 8 == 0) set_kind(url_table, name, node_hidden);
    }
    month_totals.total_hits = 100;
    urls_in(order_hits);
    std::string page = capture([] { write_top_urls(false); });
    EXPECT_NE(page.find(S(top_first) + " 35 " + top_of + " 40 " + top_urls), std::string::npos);
    names cells = name_cells(page);
    ASSERT_EQ(cells.size(), 35u);
    EXPECT_EQ(cells[0], "<A HREF=\"http://www.example.org/page01.html\">/page01.html</A>");
    EXPECT_EQ(page.find("/page08.html"), std::string::npos);

    // Only hidden nodes: no anchor, no table at all.
    free_all_tables();
    url("/secret", 1, 0, node_normal);
    set_kind(url_table, "/secret", node_hidden);
    urls_in(order_hits);
    EXPECT_EQ(capture([] { write_top_urls(false); }), "");
}

// A table of a few rows out of many orders only the part it shows: hidden
// entries above the cut and equal counts at the last row must still give the
// rows of the whole order.
TEST_F(TopTableTest, FewRowsOutOfManyFollowTheWholeOrder) {
    settings.TopURLs = 3;
    settings.TopEntry = 2;
    char name[32];
    for (int i = 0; i < 200; ++i) {
        snprintf(name, sizeof name, "/fill%03d", i);
        url(name, 1, 0, node_normal, 1);
    }
    for (int i = 0; i < 12; ++i) {
        snprintf(name, sizeof name, "/hidden%02d", i);
        url(name, 100, 0, node_normal, 9);
        set_kind(url_table, name, node_hidden);
    }
    url("/d", 50, 0, node_normal, 5);
    url("/b", 50, 0, node_normal, 5);
    url("/top", 60, 0);
    url("/c", 50, 0, node_normal, 5);
    url("/a", 50, 0, node_normal, 2);
    month_totals.total_hits = 1000;
    auto link = [](const char* path) {
        return std::string("<A HREF=\"http://www.example.org") + path + "\">" + path + "</A>";
    };
    ASSERT_EQ(fill_node_array(&u_array, &url_table), report_ok);
    // Hits: the twelve hidden entries lead, then 60, then three at 50 of
    // which "/a" and "/b" come first by name.
    sort_urls(&u_array, order_hits, 3);
    EXPECT_EQ(name_cells(capture([] { write_top_urls(false); })), (names{link("/top"), link("/a"), link("/b")}));
    // Entries: hidden entries skipped, "/top" has none, "/b" and "/c" win the
    // tie at 5 over "/d".
    sort_urls(&u_array, order_entry, 2);
    EXPECT_EQ(name_cells(capture([] { write_top_entry_exit(false); })), (names{link("/b"), link("/c")}));
}

TEST_F(TopTableTest, EqualHitsListUpperCaseFirst) {
    url("/alpha", 2, 0);
    url("/Beta", 2, 0);
    urls_in(order_hits);
    names cells = name_cells(capture([] { write_top_urls(false); }));
    ASSERT_EQ(cells.size(), 2u);
    EXPECT_NE(cells[0].find("/Beta"), std::string::npos);
    EXPECT_NE(cells[1].find("/alpha"), std::string::npos);
}

TEST_F(TopTableTest, UrlAnchorAndViewAllWithoutHitsTable) {
    settings.TopURLs = 0;
    settings.TopKURLs = 10;
    settings.AllURLs = true;
    month_totals.total_bytes = 6144;
    url("/many-hits", 9, 1024);
    url("/big", 1, 4096);
    url("/mid", 2, 1024);
    urls_in(order_kbytes);
    std::string page = capture([] { write_top_urls(true); });
    EXPECT_EQ(count_of(page, "<A NAME=\"TOPURLS\"></A>\n"), 1);
    EXPECT_EQ(page.rfind("<A NAME=\"TOPURLS\"></A>\n", 0), 0u);
    EXPECT_NE(page.find(S(top_first) + " 3 " + top_of + " 3 " + top_urls + " " + lbl_by + " " + lbl_kbytes),
              std::string::npos);
    EXPECT_NE(page.find(S("<TR BGCOLOR=\"#D0D0E0\"><TD COLSPAN=6 ALIGN=\"center\">\n<FONT SIZE=\"-1\">"
                          "<A HREF=\"./url_201401.html\">") + all_urls + "</A></TD></TR>\n"),
              std::string::npos);
    // The view-all page lists the URLs in kilobytes order, names tie-broken.
    std::string all = contents("url_201401.html");
    size_t big = all.find("/big\n"), many = all.find("/many-hits\n"), mid = all.find("/mid\n");
    ASSERT_NE(big, std::string::npos);
    EXPECT_LT(big, many);
    EXPECT_LT(many, mid);

    // With a hits table present the kilobytes table carries no anchor.
    settings.TopURLs = 30;
    EXPECT_EQ(capture([] { write_top_urls(true); }).find("<A NAME="), std::string::npos);
}

TEST_F(TopTableTest, ViewAllOnlyWhenMoreEntriesThanRows) {
    settings.AllSites = true;
    settings.TopSites = 3;
    site("a.example", 3, 3, 1, 0);
    site("b.example", 2, 2, 1, 0);
    site("c.example", 1, 1, 1, 0);
    sites_in(order_hits);
    std::string page = capture([] { write_top_sites(false); });
    EXPECT_EQ(page.find("./site_201401.html"), std::string::npos);
    EXPECT_FALSE(testing_support::file_exists(file("site_201401.html")));

    site("d.example", 1, 1, 1, 0);
    sites_in(order_hits);
    page = capture([] { write_top_sites(false); });
    EXPECT_EQ(name_cells(page).size(), 3u);
    EXPECT_NE(page.find(S("<TD COLSPAN=10 ALIGN=\"center\">\n<FONT SIZE=\"-1\"><A HREF=\"./site_201401.html\">") +
                        all_sites + "</A></TD></TR>\n"),
              std::string::npos);
    EXPECT_TRUE(testing_support::file_exists(file("site_201401.html")));

    // A view-all page that cannot be written drops only the link row.
    ASSERT_EQ(unlink(file("site_201401.html").c_str()), 0);
    ASSERT_EQ(symlink("/nonexistent/x", file("site_201401.html").c_str()), 0);
    std::string err = capture_stderr([&] { page = capture([] { write_top_sites(false); }); });
    EXPECT_EQ(page.find("./site_201401.html"), std::string::npos);
    EXPECT_NE(page.find("</TABLE>\n<P>\n"), std::string::npos);
    EXPECT_EQ(err, S(con_file_open_error) + " site_201401.html (symlink)\n");
}

TEST_F(TopTableTest, GroupRowsShadedAndBold) {
    site("Example Hosts", 9, 9, 1, 0, node_group);
    site("192.0.2.1", 1, 1, 1, 0);
    struct row {
        bool shading, highlight;
        const char* start;
        const char* name;
    };
    const row rows[] = {
        {true, true, "<TR BGCOLOR=\"#D0D0E0\">\n", "<STRONG>Example Hosts</STRONG>"},
        {false, false, "<TR>\n", "Example Hosts"},
        {true, false, "<TR BGCOLOR=\"#D0D0E0\">\n", "Example Hosts"},
    };
    for (const row& r : rows) {
        settings.GroupShading = r.shading;
        settings.GroupHighlight = r.highlight;
        sites_in(order_hits);
        std::string page = capture([] { write_top_sites(false); });
        EXPECT_NE(page.find(S(r.start) + "<TD ALIGN=center><FONT SIZE=\"-1\"><B>1</B>"), std::string::npos)
            << r.shading << r.highlight;
        names cells = name_cells(page);
        ASSERT_EQ(cells.size(), 2u);
        EXPECT_EQ(cells[0], r.name);
        EXPECT_EQ(cells[1], "192.0.2.1");
        EXPECT_NE(page.find("<TR>\n<TD ALIGN=center><FONT SIZE=\"-1\"><B>2</B>"), std::string::npos);
    }
    // A group URL is never a link.
    settings.GroupHighlight = true;
    url("Images", 5, 0, node_group);
    urls_in(order_hits);
    EXPECT_EQ(name_cells(capture([] { write_top_urls(false); })), (names{"<STRONG>Images</STRONG>"}));
}

// A URL links when it is a path of this server (after HostName) or a web
// address (as written); any other logged name is plain text, whatever it
// looks like. Every URL cell follows the same rules: the hits table and the
// entry and exit tables.
TEST_F(TopTableTest, UrlAndReferrerLinkRules) {
    struct row {
        const char* what;
        void (*set)();
        const char* name;
        const char* cell;
    };
    const row url_rows[] = {
        {"local, http", [] {}, "/a.html", "<A HREF=\"http://www.example.org/a.html\">/a.html</A>"},
        {"local, https", [] { settings.UseHTTPS = true; }, "/a.html",
         "<A HREF=\"https://www.example.org/a.html\">/a.html</A>"},
        {"full address", [] {}, "http://other.example/x", "<A HREF=\"http://other.example/x\">http://other.example/x</A>"},
        {"scheme in capitals", [] {}, "HTTPS://other.example/", "<A HREF=\"HTTPS://other.example/\">HTTPS://other.example/</A>"},
        {"ftp log, plain", [] { settings.LogType = log_ftp; }, "/pub/file.tgz", "/pub/file.tgz"},
        {"ftp log, full address", [] { settings.LogType = log_ftp; }, "ftp://h/f", "<A HREF=\"ftp://h/f\">ftp://h/f</A>"},
        {"script scheme is no link", [] {}, "javascript://x/%0aalert(1)", "javascript://x/%0aalert(1)"},
        // A path stays on this server even when an address follows in it.
        {"path naming an address", [] {}, "/frame.html?a=1&o=https://x.example",
         "<A HREF=\"http://www.example.org/frame.html?a=1&amp;o=https://x.example\">"
         "/frame.html?a=1&amp;o=https://x.example</A>"},
        {"path of two slashes naming an address", [] {}, "//evil.example/?r=http://x",
         "<A HREF=\"http://www.example.org//evil.example/?r=http://x\">//evil.example/?r=http://x</A>"},
        {"ftp log, path naming an address", [] { settings.LogType = log_ftp; }, "/pub/ftp://mirror",
         "/pub/ftp://mirror"},
        // Names that are no path: after "http://" + HostName each would name
        // another host (a proxy's CONNECT target, a host name suffix, user
        // information before "@").
        {"proxy CONNECT target", [] {}, "www.google.com:443", "www.google.com:443"},
        {"host suffix", [] {}, ".evil.example/q", ".evil.example/q"},
        {"user information", [] {}, "@evil.example/p", "@evil.example/p"},
        {"other scheme without //", [] {}, "mailto:a@b.example", "mailto:a@b.example"},
        {"backslash", [] {}, "\\evil.example/p", "\\evil.example/p"},
        // With an empty HostName, "http:///a.html" would be read as the host "a.html".
        {"empty HostName", [] { settings.HostName = ""; }, "/a.html", "/a.html"},
        {"empty HostName, full address", [] { settings.HostName = ""; }, "http://other.example/x",
         "<A HREF=\"http://other.example/x\">http://other.example/x</A>"},
    };
    for (const row& r : url_rows) {
        reset_settings();
        settings.HostName = "www.example.org";
        free_all_tables();
        r.set();
        url(r.name, 1, 0, node_normal, 1, 1);
        urls_in(order_hits);
        EXPECT_EQ(name_cells(capture([] { write_top_urls(false); })), (names{r.cell})) << r.what;
        if (settings.LogType == log_ftp) continue;  // no entry or exit tables
        urls_in(order_entry);
        EXPECT_EQ(name_cells(capture([] { write_top_entry_exit(false); })), (names{r.cell})) << r.what;
        urls_in(order_exit);
        EXPECT_EQ(name_cells(capture([] { write_top_entry_exit(true); })), (names{r.cell})) << r.what;
    }
    const row ref_rows[] = {
        {"no LinkReferrer", [] {}, "http://r.example/p", "http://r.example/p"},
        {"LinkReferrer", [] { settings.LinkReferrer = true; }, "http://r.example/p",
         "<A HREF=\"http://r.example/p\" rel=\"nofollow\">http://r.example/p</A>"},
        {"LinkReferrer, ftp address", [] { settings.LinkReferrer = true; }, "ftp://r.example/",
         "<A HREF=\"ftp://r.example/\" rel=\"nofollow\">ftp://r.example/</A>"},
        {"LinkReferrer, no address", [] { settings.LinkReferrer = true; }, "- (Direct Request)", "- (Direct Request)"},
        {"LinkReferrer, script scheme", [] { settings.LinkReferrer = true; }, "javascript://%0Aalert(1)",
         "javascript://%0Aalert(1)"},
        // A referrer is linked only as the address it is, never relative to the report.
        {"LinkReferrer, path naming an address", [] { settings.LinkReferrer = true; }, "//evil.example/?r=http://x",
         "//evil.example/?r=http://x"},
        {"LinkReferrer, host and port", [] { settings.LinkReferrer = true; }, "evil.example:443", "evil.example:443"},
    };
    for (const row& r : ref_rows) {
        reset_settings();
        free_all_tables();
        r.set();
        referrer(r.name, 1);
        ASSERT_EQ(fill_node_array(&r_array, &referrer_table), report_ok);
        sort_referrers(&r_array);
        EXPECT_EQ(name_cells(capture([] { write_top_referrers(); })), (names{r.cell})) << r.what;
    }
}

TEST_F(TopTableTest, ReferrerTableByteForByte) {
    settings.LinkReferrer = true;
    settings.AllReferrers = true;
    settings.TopReferrers = 2;
    referrer("Search engines", 3, node_group);
    referrer("http://a.example/", 2);
    referrer("- (Direct Request)", 1);
    month_totals.total_hits = 8;
    month_totals.total_referrers = 2;
    ASSERT_EQ(fill_node_array(&r_array, &referrer_table), report_ok);
    sort_referrers(&r_array);
    const std::string spacer = "<TR><TH HEIGHT=4></TH></TR>\n";
    std::string e = "<A NAME=\"TOPREFS\"></A>\n<TABLE WIDTH=510 BORDER=2 CELLSPACING=1 CELLPADDING=1>\n" + spacer;
    e += S("<TR><TH BGCOLOR=\"#C0C0C0\" ALIGN=CENTER COLSPAN=4>") + top_first + " 2 " + top_of + " 2 " + top_referrers +
         "</TH></TR>\n" + spacer;
    e += S("<TR><TH BGCOLOR=\"#C0C0C0\" ALIGN=center><FONT SIZE=\"-1\">#</FONT></TH>\n"
           "<TH BGCOLOR=\"#00805c\" ALIGN=center COLSPAN=2><FONT SIZE=\"-1\">") +
         lbl_hits + "</FONT></TH>\n<TH BGCOLOR=\"#00e0ff\" ALIGN=center><FONT SIZE=\"-1\">" + lbl_referrer +
         "</FONT></TH></TR>\n" + spacer;
    // 3 of 8 hits and 2 of 8.
    e += "<TR BGCOLOR=\"#D0D0E0\">\n<TD ALIGN=center><FONT SIZE=\"-1\"><B>1</B></FONT></TD>\n"
         "<TD ALIGN=right><FONT SIZE=\"-1\"><B>3</B></FONT></TD>\n<TD ALIGN=right><FONT SIZE=\"-2\">37.50%</FONT></TD>\n"
         "<TD ALIGN=left NOWRAP><FONT SIZE=\"-1\"><STRONG>Search engines</STRONG></FONT></TD></TR>\n";
    e += "<TR>\n<TD ALIGN=center><FONT SIZE=\"-1\"><B>2</B></FONT></TD>\n"
         "<TD ALIGN=right><FONT SIZE=\"-1\"><B>2</B></FONT></TD>\n<TD ALIGN=right><FONT SIZE=\"-2\">25.00%</FONT></TD>\n"
         "<TD ALIGN=left NOWRAP><FONT SIZE=\"-1\"><A HREF=\"http://a.example/\" rel=\"nofollow\">http://a.example/</A>"
         "</FONT></TD></TR>\n";
    e += spacer;
    e += S("<TR BGCOLOR=\"#D0D0E0\"><TD COLSPAN=4 ALIGN=\"center\">\n<FONT SIZE=\"-1\"><A HREF=\"./ref_201401.html\">") +
         all_referrers + "</A></TD></TR>\n";
    e += "</TABLE>\n<P>\n";
    EXPECT_EQ(capture([] { write_top_referrers(); }), e);
    // The view-all page lists the group, an empty line, then both normal referrers.
    std::string all = contents("ref_201401.html");
    EXPECT_NE(all.find("3         37.50%  Search engines\n\n"
                       "2         25.00%  http://a.example/\n"
                       "1         12.50%  - (Direct Request)\n</PRE>"),
              std::string::npos);
}

TEST_F(TopTableTest, EntryPagesCountOnlyNormalUrlsWithEntries) {
    month_totals.total_hits = 20;
    url("/home", 10, 0, node_normal, 3, 0);
    url("/news", 6, 0, node_normal, 1, 0);
    url("/none", 4, 0, node_normal, 0, 0);
    url("/hidden", 4, 0, node_normal, 4, 0);
    set_kind(url_table, "/hidden", node_hidden);
    urls_in(order_entry);
    std::string page = capture([] { write_top_entry_exit(false); });
    EXPECT_EQ(page.rfind("<A NAME=\"TOPENTRY\"></A>\n", 0), 0u);
    EXPECT_NE(page.find(S(top_first) + " 2 " + top_of + " 2 " + top_entry), std::string::npos);
    // 3 of the 4 entries of normal URLs: 75.00%.
    EXPECT_NE(page.find("<TR>\n<TD ALIGN=center><FONT SIZE=\"-1\"><B>1</B></FONT></TD>\n"
                        "<TD ALIGN=right><FONT SIZE=\"-1\"><B>10</B></FONT></TD>\n"
                        "<TD ALIGN=right><FONT SIZE=\"-2\">50.00%</FONT></TD>\n"
                        "<TD ALIGN=right><FONT SIZE=\"-1\"><B>3</B></FONT></TD>\n"
                        "<TD ALIGN=right><FONT SIZE=\"-2\">75.00%</FONT></TD>\n"),
              std::string::npos);
    EXPECT_EQ(name_cells(page).size(), 2u);
    EXPECT_NE(page.find(S("<TR><TH BGCOLOR=\"#C0C0C0\" ALIGN=center><FONT SIZE=\"-1\">#</FONT></TH>\n"
                          "<TH BGCOLOR=\"#00805c\" ALIGN=center COLSPAN=2><FONT SIZE=\"-1\">") +
                        lbl_hits + "</FONT></TH>\n<TH BGCOLOR=\"#ffff00\" ALIGN=center COLSPAN=2><FONT SIZE=\"-1\">" +
                        lbl_visits + "</FONT></TH>\n<TH BGCOLOR=\"#00e0ff\" ALIGN=center><FONT SIZE=\"-1\">" + lbl_url +
                        "</FONT></TH></TR>\n"),
              std::string::npos);
    // No exits at all: nothing, not even the anchor.
    urls_in(order_exit);
    EXPECT_EQ(capture([] { write_top_entry_exit(true); }), "");
}

TEST_F(TopTableTest, SearchSharesOfStringsOwnTotal) {
    month_totals.total_hits = 1000;
    search("cheap flights", 3);
    search("hotels", 1);
    ASSERT_EQ(fill_node_array(&s_array, &search_table), report_ok);
    sort_search(&s_array);
    std::string page = capture([] { write_top_search(); });
    EXPECT_NE(page.find("<TR>\n<TD ALIGN=center><FONT SIZE=\"-1\"><B>1</B></FONT></TD>\n"
                        "<TD ALIGN=right><FONT SIZE=\"-1\"><B>3</B></FONT></TD>\n"
                        "<TD ALIGN=right><FONT SIZE=\"-2\">75.00%</FONT></TD>\n"
                        "<TD ALIGN=left NOWRAP><FONT SIZE=\"-1\">cheap flights</FONT></TD></TR>\n"),
              std::string::npos);
    EXPECT_NE(page.find(S(top_first) + " 2 " + top_of + " 2 " + top_search), std::string::npos);
}

TEST_F(TopTableTest, LogTextIsEscapedInEveryTable) {
    settings.LinkReferrer = true;
    month_totals.total_hits = 5;
    url("/q\"><script>alert(1)</script>", 1, 0);
    referrer("http://evil.example/?q=<b>&x=\"y\"", 1);
    user("<img src=x onerror=alert(2)>", 1, 1, 1, 0);
    agent("Bot <i>&amp;", 1);
    search("<script>", 1);
    site("Group & <Co>", 1, 1, 1, 0, node_group);

    urls_in(order_hits);
    EXPECT_EQ(name_cells(capture([] { write_top_urls(false); })),
              (names{"<A HREF=\"http://www.example.org/q&quot;&gt;&lt;script&gt;alert(1)&lt;/script&gt;\">"
                     "/q&quot;&gt;&lt;script&gt;alert(1)&lt;/script&gt;</A>"}));
    ASSERT_EQ(fill_node_array(&r_array, &referrer_table), report_ok);
    EXPECT_EQ(name_cells(capture([] { write_top_referrers(); })),
              (names{"<A HREF=\"http://evil.example/?q=&lt;b&gt;&amp;x=&quot;y&quot;\" rel=\"nofollow\">"
                     "http://evil.example/?q=&lt;b&gt;&amp;x=&quot;y&quot;</A>"}));
    ASSERT_EQ(fill_node_array(&i_array, &user_table), report_ok);
    EXPECT_EQ(name_cells(capture([] { write_top_users(); })), (names{"&lt;img src=x onerror=alert(2)&gt;"}));
    ASSERT_EQ(fill_node_array(&a_array, &agent_table), report_ok);
    EXPECT_EQ(name_cells(capture([] { write_top_agents(); })), (names{"Bot &lt;i&gt;&amp;amp;"}));
    ASSERT_EQ(fill_node_array(&s_array, &search_table), report_ok);
    EXPECT_EQ(name_cells(capture([] { write_top_search(); })), (names{"&lt;script&gt;"}));
    sites_in(order_hits);
    EXPECT_EQ(name_cells(capture([] { write_top_sites(false); })), (names{"<STRONG>Group &amp; &lt;Co&gt;</STRONG>"}));
}

}  // namespace
}  // namespace report_test
