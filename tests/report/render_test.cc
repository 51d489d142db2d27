// End to end through the analyser: a log whose user names, URLs and referrer
// queries carry markup, and the page as a browser renders it.
#include <filesystem>
#include <set>
#include <sstream>

#include "report_fixture.h"

namespace report_test {
namespace {

using testing_support::read_file;
using testing_support::run_program;
using testing_support::scratch_dir;
using testing_support::test_data;
using testing_support::write_file;

constexpr char config[] =
    "StripCGI no\n"
    "LinkReferrer yes\n"
    "AllUsers yes\n"
    "TopUsers 1\n"
    "DumpUsers yes\n";

// Runs the analyser over the markup fixture in dir.
void analyse_markup_log(const scratch_dir& dir) {
    write_file(dir.file("uk-corvalist.conf"), config);
    auto r = run_program(dir.path, {"-Q", "-n", "www.example.org", test_data("report/xss.log")});
    ASSERT_EQ(r.status, 0) << r.err;
}

TEST(ReportEndToEnd, MarkupFromTheLogIsEscaped) {
    scratch_dir dir;
    analyse_markup_log(dir);
    std::string page = read_file(dir.file("usage_201401.html"));
    ASSERT_FALSE(page.empty());
    std::string users = read_file(dir.file("user_201401.html"));
    ASSERT_FALSE(users.empty());
    for (const std::string* p : {&page, &users}) {
        EXPECT_EQ(p->find("<img"), std::string::npos);
        EXPECT_EQ(p->find("<i>"), std::string::npos);
        EXPECT_EQ(p->find("a&b"), std::string::npos);
        EXPECT_NE(p->find("&lt;img_src=x_onerror=alert(1)&gt;"), std::string::npos);
    }
    // The second user name ("<" sorts first, TopUsers is 1) is on the user page.
    EXPECT_NE(users.find("a&amp;b&lt;i&gt;c&lt;/i&gt;"), std::string::npos);
    EXPECT_NE(page.find("<A HREF=\"http://www.example.org/list.html?a=1&amp;b=2\">/list.html?a=1&amp;b=2</A>"),
              std::string::npos);
    // The dump is data: the name as it was counted.
    EXPECT_NE(read_file(dir.file("user_201401.tab")).find("\ta&b<i>c</i>\n"), std::string::npos);
}

std::string chromium_path() {
    for (const char* p : {"/usr/bin/chromium", "/usr/bin/chromium-browser"})
        if (access(p, X_OK) == 0) return p;
    return "";
}

// The DOM of a page of dir after a headless browser has loaded it (and run
// any script in it).
testing_support::run_result browser_dom(const std::string& chromium, const scratch_dir& dir,
                                        const std::string& page) {
    std::filesystem::create_directory(dir.file("profile"));
    return run_program(dir.path,
                       {"--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                        "--disable-background-networking", "--disable-component-update", "--disable-sync",
                        "--user-data-dir=" + dir.file("profile"), "--dump-dom", "file://" + dir.file(page)},
                       "", chromium);
}

TEST(ReportEndToEnd, BrowserShowsUkrainianHeadings) {
    std::string chromium = chromium_path();
    if (chromium.empty()) GTEST_SKIP() << "chromium is not installed";
    scratch_dir dir;
    analyse_markup_log(dir);
    auto r = browser_dom(chromium, dir, "usage_201401.html");
    ASSERT_EQ(r.status, 0) << r.err;
    // The DOM comes back in UTF-8: the KOI8-U bytes were read as Cyrillic.
    const std::string& dom = r.out;
    EXPECT_NE(dom.find("<title>Статистика відвідувань www.example.org - Січень 2014</title>"), std::string::npos)
        << dom.substr(0, 600);
    EXPECT_NE(dom.find("Період статистики: Січень 2014"), std::string::npos);
    EXPECT_NE(dom.find("Статистика по днях за Січень 2014"), std::string::npos);
    // Log text stayed text: no element was made from it.
    EXPECT_EQ(dom.find("<img_src"), std::string::npos);
    EXPECT_NE(dom.find("&lt;img_src=x_onerror=alert(1)&gt;"), std::string::npos);
}

// ---------------------------------------------------------------- links

constexpr char name_open[] = "<TD ALIGN=left NOWRAP><FONT SIZE=\"-1\">";
constexpr char name_close[] = "</FONT></TD></TR>\n";

// The name cells of the first table on page after anchor, in row order.
std::vector<std::string> table_names(const std::string& page, const std::string& anchor) {
    std::vector<std::string> cells;
    const size_t from = page.find(anchor), to = page.find("</TABLE>", from);
    if (from == std::string::npos) return cells;
    for (size_t p = page.find(name_open, from); p < to; p = page.find(name_open, p)) {
        p += sizeof name_open - 1;
        cells.push_back(page.substr(p, page.find(name_close, p) - p));
    }
    return cells;
}

// Every HREF of page, in order.
std::vector<std::string> hrefs_of(const std::string& page) {
    std::vector<std::string> v;
    const std::string open = "<A HREF=\"";
    for (size_t p = page.find(open); p != std::string::npos; p = page.find(open, p)) {
        p += open.size();
        v.push_back(page.substr(p, page.find('"', p) - p));
    }
    return v;
}

constexpr char links_config[] =
    "NormalizeURL no\n"  // the logged names reach the tables as they are
    "StripCGI no\n"
    "LinkReferrer yes\n";

void analyse_links_log(const scratch_dir& dir) {
    write_file(dir.file("uk-corvalist.conf"), links_config);
    auto r = run_program(dir.path, {"-Q", "-n", "test.example", test_data("report/links.log")});
    ASSERT_EQ(r.status, 0) << r.err;
}

// Logged names that only look like places are text: after "http://" and the
// host name, ".evil.example/q" and "@evil.example/p" would lead to
// evil.example and a CONNECT target to "test.examplewww.google.com".
TEST(ReportEndToEnd, OnlyPathsAndWebAddressesAreLinks) {
    scratch_dir dir;
    analyse_links_log(dir);
    const std::string page = read_file(dir.file("usage_201401.html"));
    ASSERT_FALSE(page.empty());
    // One hit of 100 bytes each: name order. The leading "//" is one "/" by now.
    const std::vector<std::string> urls = {
        ".evil.example/q",
        "<A HREF=\"http://test.example/evil.example/?r=https://x\">/evil.example/?r=https://x</A>",
        "<A HREF=\"http://test.example/ok.html\">/ok.html</A>",
        "@evil.example/p",
        "<A HREF=\"http://other.example/x\">http://other.example/x</A>",
        "www.google.com:443",
    };
    EXPECT_EQ(table_names(page, "<A NAME=\"TOPURLS\">"), urls);
    // The referrers: "- (Direct Request)" twice, then name order; only the
    // web address is a link, the protocol-relative "//evil.example/..." is not.
    const std::vector<std::string> referrers = {
        "- (Direct Request)",
        "//evil.example/a://b",
        "<A HREF=\"http://ref.example/a\" rel=\"nofollow\">http://ref.example/a</A>",
        "javascript://_alert(1)",
    };
    EXPECT_EQ(table_names(page, "<A NAME=\"TOPREFS\">"), referrers);
    // Nothing else on the page links anywhere but this server and the two
    // logged web addresses.
    for (const std::string& href : hrefs_of(page)) {
        if (href[0] == '#' || href == "https://corvalist.example.org/") continue;
        EXPECT_TRUE(href.starts_with("http://test.example/") || href == "http://other.example/x" ||
                    href == "http://ref.example/a")
            << href;
    }
}

// The same page as a browser reads it: the host of every link, worked out by
// the browser's own address parser.
TEST(ReportEndToEnd, BrowserFindsNoLinkToAHostTheLogNamed) {
    std::string chromium = chromium_path();
    if (chromium.empty()) GTEST_SKIP() << "chromium is not installed";
    scratch_dir dir;
    analyse_links_log(dir);
    std::string page = read_file(dir.file("usage_201401.html"));
    const size_t end = page.find("</BODY>");
    ASSERT_NE(end, std::string::npos);
    page.insert(end,
                "<script>document.body.insertAdjacentHTML('beforeend', '<pre id=hosts>' +"
                " [...new Set(Array.from(document.links, a => a.host))].sort().join(' ') + '</pre>');</script>");
    write_file(dir.file("probe.html"), page);
    auto r = browser_dom(chromium, dir, "probe.html");
    ASSERT_EQ(r.status, 0) << r.err;
    const size_t at = r.out.find("<pre id=\"hosts\">");
    ASSERT_NE(at, std::string::npos) << r.out.substr(0, 400);
    const size_t from = at + 16;
    // The anchors of the page itself have no host (a file).
    EXPECT_EQ(r.out.substr(from, r.out.find("</pre>", from) - from),
              " corvalist.example.org other.example ref.example test.example");
}

// Real proxy logs: a CONNECT names host and port, never a path; each such
// name that reached the URL table is plain text, and every link of the URL
// tables is a path of this server or the web address it shows.
TEST(ReportEndToEnd, RealProxyConnectTargetsAreText) {
    for (const char* log : {"squid/linuc2-2018.log", "squid/ja4proj-squid6-2025.log"}) {
        SCOPED_TRACE(log);
        const std::string text = read_file(testing_support::real_data(log));
        ASSERT_FALSE(text.empty());
        // CONNECT targets of the answered (2xx, 304) records, from the log's
        // own fields: time, elapsed, client, result/status, bytes, method, URL.
        std::set<std::string> targets;
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);) {
            std::istringstream f(line);
            std::string t, e, c, result, b, method, url;
            if (!(f >> t >> e >> c >> result >> b >> method >> url) || method != "CONNECT") continue;
            const int status = std::atoi(result.c_str() + result.find('/') + 1);
            if (status == 200 || status == 206 || status == 304) targets.insert(url);
        }
        ASSERT_FALSE(targets.empty());

        scratch_dir dir;
        write_file(dir.file("uk-corvalist.conf"), "TopURLs 100000\nTopKURLs 100000\n");
        auto r = run_program(dir.path, {"-Q", "-F", "squid", "-n", "test.example", testing_support::real_data(log)});
        ASSERT_EQ(r.status, 0) << r.err;
        std::set<std::string> plain;
        size_t cells = 0;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path)) {
            const std::string name = entry.path().filename();
            if (!name.starts_with("usage_") || !name.ends_with(".html")) continue;
            const std::string page = read_file(entry.path());
            for (const char* table : {"<A NAME=\"TOPURLS\">", "<A NAME=\"TOPENTRY\">", "<A NAME=\"TOPEXIT\">"}) {
                for (const std::string& cell : table_names(page, table)) {
                    ++cells;
                    if (!cell.starts_with("<A HREF=\"")) {
                        plain.insert(cell);
                        continue;
                    }
                    const size_t q = cell.find('"', 9);
                    const std::string href = cell.substr(9, q - 9), shown = cell.substr(q + 2, cell.size() - q - 6);
                    const bool path = shown[0] == '/' && href == "http://test.example" + shown;
                    const bool address = (shown.starts_with("http://") || shown.starts_with("https://")) && href == shown;
                    EXPECT_TRUE(path || address) << cell;
                }
            }
        }
        ASSERT_GT(cells, targets.size());
        for (const std::string& t : targets) EXPECT_TRUE(plain.count(t)) << t;
    }
}

}  // namespace
}  // namespace report_test
