// End to end through the analyser: a log whose user names, URLs and referrer
// queries carry markup, and the page as a browser renders it.
#include <filesystem>

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

TEST(ReportEndToEnd, BrowserShowsUkrainianHeadings) {
    std::string chromium = chromium_path();
    if (chromium.empty()) GTEST_SKIP() << "chromium is not installed";
    scratch_dir dir;
    analyse_markup_log(dir);
    std::filesystem::create_directory(dir.file("profile"));
    auto r = run_program(dir.path,
                         {"--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                          "--disable-background-networking", "--disable-component-update", "--disable-sync",
                          "--user-data-dir=" + dir.file("profile"), "--dump-dom",
                          "file://" + dir.file("usage_201401.html")},
                         "", chromium);
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

}  // namespace
}  // namespace report_test
