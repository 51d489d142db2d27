// The crawler pattern files: crawlers.conf gathers known crawlers into group
// rows of the agent table and hides their own rows; crawlers-ignore.conf drops
// the same agents from every count. Checked pattern by pattern against real
// agent texts, and over a real log whose crawler requests were counted with
// grep and awk.
#include <gtest/gtest.h>
#include <iconv.h>

#include <regex>
#include <string>
#include <vector>

#include "run/config.h"
#include "run/settings.h"
#include "stats/lists.h"
#include "test_support.h"

namespace ts = testing_support;

namespace {

std::string source_file(const char* name) {
    return std::string(CORVALIST_TEST_DATA) + "/../../share/corvalist/" + name;
}
// The group names are converted to KOI8-U when the program is built.
std::string built_crawlers() { return std::string(CORVALIST_TOOLS_DIR) + "/share/corvalist/crawlers.conf"; }

std::string koi8(const std::string& utf8) {
    iconv_t cd = iconv_open("KOI8-U", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) return "";
    std::string in = utf8, out(utf8.size() * 2, '\0');
    char* ip = in.data();
    char* op = out.data();
    std::size_t il = in.size(), ol = out.size();
    const std::size_t r = iconv(cd, &ip, &il, &op, &ol);
    iconv_close(cd);
    if (r == static_cast<std::size_t>(-1)) return "";
    out.resize(out.size() - ol);
    return out;
}

const char* const search = "Пошукові системи";
const char* const ai = "ШІ-роботи";
const char* const seo = "SEO-роботи";
const char* const preview = "Попередній перегляд посилань";
const char* const archive = "Веб-архіви";
const char* const monitor = "Моніторинг";
const char* const feeds = "Читачі стрічок";
const char* const clients = "Програмні клієнти";
const char* const robots = "Інші роботи";

struct agent_case {
    const char* agent;  // as it reaches the lists: a combined log keeps 125 characters
    const char* group;  // nullptr: a visitor, in no group and never hidden or dropped
};

// Agents from the real logs under shared/realdata and from the crawlers' own
// published texts.
const agent_case agents[] = {
    {"Mozilla/5.0 (compatible; Googlebot/2.1; +http://www.google.com/bot.html)", search},
    {"Googlebot-Image/1.0", search},
    // Googlebot's smartphone agent, cut before its name; the device text stays.
    {"Mozilla/5.0 (Linux; Android 6.0.1; Nexus 5X Build/MMB29P) AppleWebKit/537.36 (KHTML, like Gecko) "
     "Chrome/41.0.2272.96 Mobile S",
     search},
    {"Mozilla/5.0 (compatible; bingbot/2.0; +http://www.bing.com/bingbot.htm)", search},
    {"Mozilla/5.0 (compatible; Yahoo! Slurp; http://help.yahoo.com/help/us/ysearch/slurp)", search},
    {"Mozilla/5.0 (compatible; YandexBot/3.0; +http://yandex.com/bots)", search},
    {"Mozilla/5.0 (Linux; Android 7.0;) AppleWebKit/537.36 (KHTML, like Gecko) Mobile Safari/537.36 "
     "(compatible; PetalBot;+htt",
     search},
    {"Mozilla/5.0 AppleWebKit/537.36 (KHTML, like Gecko; compatible; GPTBot/1.2; +https://openai.com/gptbot)", ai},
    {"Mozilla/5.0 AppleWebKit/537.36 (KHTML, like Gecko); compatible; ChatGPT-User/1.0; +https://openai.com/bot",
     ai},
    {"Mozilla/5.0 AppleWebKit/537.36 (KHTML, like Gecko); compatible; OAI-SearchBot/1.0; "
     "+https://openai.com/searchbot",
     ai},
    {"Mozilla/5.0 AppleWebKit/537.36 (KHTML, like Gecko; compatible; ClaudeBot/1.0; +claudebot@anthropic.com)", ai},
    {"Claude-User/1.0 (+Claude-User@anthropic.com)", ai},
    {"CCBot/2.0 (https://commoncrawl.org/faq/)", ai},
    {"Mozilla/5.0 (Linux; Android 5.0) AppleWebKit/537.36 (KHTML, like Gecko) Mobile Safari/537.36 "
     "(compatible; Bytespider; spi",
     ai},
    {"Mozilla/5.0 AppleWebKit/537.36 (KHTML, like Gecko; compatible; PerplexityBot/1.0; "
     "+https://perplexity.ai/perplexi",
     ai},
    {"Mozilla/5.0 (compatible; Amazonbot/0.1; +https://developer.amazon.com/support/amazonbot)", ai},
    {"meta-externalagent/1.1 (+https://developers.facebook.com/docs/sharing/webmasters/crawler)", ai},
    {"Mozilla/5.0 (compatible; AhrefsBot/6.1; +http://ahrefs.com/robot/)", seo},
    {"Mozilla/5.0 (compatible; MJ12bot/v1.4.8; http://mj12bot.com/)", seo},
    {"Mozilla/5.0 (compatible; SemrushBot/7~bl; +http://www.semrush.com/bot.html)", seo},
    {"Barkrowler/0.9 (+http://www.exensa.com/crawl)", seo},
    {"facebookexternalhit/1.1 (+http://www.facebook.com/externalhit_uatext.php)", preview},
    {"TelegramBot (like TwitterBot)", preview},
    {"Mozilla/5.0 (compatible; archive.org_bot +http://www.archive.org/details/archive.org_bot)", archive},
    {"Mozilla/5.0 (compatible; UptimeRobot/2.0; http://www.uptimerobot.com/)", monitor},
    {"check_http/v2.3.3 (monitoring-plugins 2.3.3)", monitor},
    {"Feedfetcher-Google; (+http://www.google.com/feedfetcher.html; 22 subscribers; feed-id=8321906634162087507)",
     feeds},
    {"Feed Wrangler/1.0 (1 subscriber; feed-id=364241; http://feedwrangler.net; Allow like Gecko)", feeds},
    {"UniversalFeedParser/4.2-pre-314-svn +http://feedparser.org/", feeds},
    {"Mozilla/4.0 (compatible; MSIE 5.5; Windows NT 4.0; Feedreader; .NET CLR 1.0.3705)", feeds},
    {"curl/7.54.0", clients},
    {"Wget/1.14 (linux-gnu)", clients},
    {"python-requests/2.26.0", clients},
    {"Python/3.7 aiohttp/3.7.4.post0", clients},
    {"Go-http-client/1.1", clients},
    {"LWP::Simple/5.827 libwww-perl/5.833", clients},
    {"Ruby", clients},
    {"Mozilla/5.0 (compatible; Spinn3r 3.1; http://spinn3r.com/robot)", robots},
    {"Mozilla/5.0 (compatible; SeznamHomepageCrawler/1.0)", robots},
    // Visitors, among them near misses of the patterns above.
    {"Mozilla/5.0 (Windows NT 6.1; rv:42.0) Gecko/20100101 Firefox/42.0", nullptr},
    {"Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/53.0.2785.92 Safari/537.36",
     nullptr},
    {"Mozilla/5.0 (Linux; Android 4.2.1; en-us; Nexus 5 Build/JOP40D) AppleWebKit/535.19 (KHTML, like Gecko; "
     "googleweblight) Chrome",
     nullptr},
    {"Mozilla/5.0 (Linux; Android 10; CUBOT X30) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/90.0 Mobile Safari",
     nullptr},
    {"Lynx/2.8.9rel.1 libwww-FM/2.14 SSL-MM/1.4.1 GNUTLS/3.7.1", nullptr},
    {"Mozilla/5.0 (compatible; MSIE 9.0; Windows NT 6.1; Trident/5.0; libcurl 7.7.2)", nullptr},
    {"Mozilla/5.0 (Macintosh; Intel Mac OS X 10_10_1) AppleWebKit/600.2.5 (KHTML, like Gecko) Version/8.0.2 "
     "Safari/600.2.5 (Applebo",
     nullptr},
};

std::vector<std::string> patterns(const nlist* list) {
    std::vector<std::string> v;
    for (; list != nullptr; list = list->next) v.push_back(list->pattern);
    return v;
}

class CrawlerPatterns : public ::testing::Test {
  protected:
    void SetUp() override { reset_settings(); }
    void TearDown() override { reset_settings(); }
};

TEST_F(CrawlerPatterns, EachAgentLandsInItsGroupIsHiddenAndIsDropped) {
    ASSERT_EQ(read_config(source_file("crawlers.conf").c_str()), config_ok);
    for (const agent_case& c : agents) {
        const char* label = group_match(settings.GroupAgent, c.agent);
        EXPECT_STREQ(label, c.group) << c.agent;
        EXPECT_EQ(list_match(settings.HideAgent, c.agent) != nullptr, c.group != nullptr) << c.agent;
    }
    reset_settings();
    ASSERT_EQ(read_config(source_file("crawlers-ignore.conf").c_str()), config_ok);
    EXPECT_EQ(settings.GroupAgent, nullptr);
    EXPECT_EQ(settings.HideAgent, nullptr);
    for (const agent_case& c : agents)
        EXPECT_EQ(list_match(settings.IgnoreAgent, c.agent) != nullptr, c.group != nullptr) << c.agent;
}

// Every group pattern is hidden with the same text and dropped by the other
// file; a quoting slip (a pattern cut at its blank) or a line added to one
// file only shows up here.
TEST_F(CrawlerPatterns, BothFilesListTheSamePatterns) {
    ASSERT_EQ(read_config(source_file("crawlers.conf").c_str()), config_ok);
    std::vector<std::string> grouped;
    for (const glist* g = settings.GroupAgent; g != nullptr; g = g->next) {
        const std::string p = g->pattern, label = g->label;
        grouped.push_back(p);
        EXPECT_FALSE(p.empty());
        EXPECT_EQ(p.find('"'), std::string::npos) << p;
        // "*text*" would match every agent.
        EXPECT_FALSE(p.size() > 1 && p.front() == '*' && p.back() == '*') << p;
        EXPECT_TRUE(label == search || label == ai || label == seo || label == preview || label == archive ||
                    label == monitor || label == feeds || label == clients || label == robots)
            << p << " -> " << label;
    }
    EXPECT_GT(grouped.size(), 100u);
    EXPECT_EQ(patterns(settings.HideAgent), grouped);
    reset_settings();
    ASSERT_EQ(read_config(source_file("crawlers-ignore.conf").c_str()), config_ok);
    EXPECT_EQ(patterns(settings.IgnoreAgent), grouped);
}

TEST_F(CrawlerPatterns, BuiltFileCarriesTheGroupNamesInKoi8) {
    ASSERT_EQ(read_config(built_crawlers().c_str()), config_ok);
    ASSERT_NE(settings.GroupAgent, nullptr);
    EXPECT_EQ(std::string(group_match(settings.GroupAgent, "Googlebot-Image/1.0")), koi8(search));
    EXPECT_EQ(std::string(group_match(settings.GroupAgent, "curl/7.54.0")), koi8(clients));
}

// The agent table's row of one group: its hits, or -1 when there is none.
long long group_row_hits(const std::string& agents_section, const std::string& label) {
    const std::size_t at = agents_section.find("<STRONG>" + label + "</STRONG>");
    if (at == std::string::npos) return -1;
    const std::size_t row = agents_section.rfind("<TR", at);
    static const std::regex hits(R"(<TD ALIGN=right><FONT SIZE="-1"><B>([0-9]+)</B>)");
    std::smatch m;
    const std::string text = agents_section.substr(row, at - row);
    if (!std::regex_search(text, m, hits)) return -1;
    return std::stoll(m[1]);
}

std::string agents_section(const std::string& page) {
    const std::size_t from = page.find("<A NAME=\"TOPAGENTS\">");
    if (from == std::string::npos) return "";
    return page.substr(from, page.find("</TABLE>", from) - from);
}

// lnav-zanbil-shop.log: 1000 records of January 2019, all good. Counted on
// the first 125 characters of the agent field (what a combined log keeps):
//   awk -F'"' '{ua=substr($6,1,125)} ua ~ /Googlebot|Nexus 5X Build\/MMB29P|bingbot/' | wc -l
// gives 275 search-engine requests (Googlebot 94, its smartphone agent 66,
// Googlebot-Image 14, bingbot 101; the 12 of Applebot's desktop agent and the
// 3 of bingbot's iPhone agent are cut before their names), and
//   ... ua ~ /AhrefsBot|DotBot|Barkrowler/
// gives 52 SEO-crawler requests (AhrefsBot 45, Barkrowler 5, DotBot 2).
TEST(CrawlersOnARealLog, KnownCrawlersLandInTheirGroups) {
    const std::string log = ts::real_data("apache/lnav-zanbil-shop.log");
    if (!ts::file_exists(log)) GTEST_SKIP() << "no real logs at " << log;
    ts::scratch_dir dir;
    ts::write_file(dir.file("dump.conf"), "DumpAgents yes\n");
    const auto r = ts::run_program(dir.path, {"-o", dir.path, "-c", built_crawlers(), "-c", "dump.conf", log});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string section = agents_section(ts::read_file(dir.file("usage_201901.html")));
    ASSERT_FALSE(section.empty());
    EXPECT_EQ(group_row_hits(section, koi8(search)), 275);
    EXPECT_EQ(group_row_hits(section, koi8(seo)), 52);
    // Their own rows are hidden from the table but still in the dump.
    EXPECT_EQ(section.find("Googlebot"), std::string::npos);
    EXPECT_EQ(section.find("AhrefsBot"), std::string::npos);
    const std::string dump = ts::read_file(dir.file("agent_201901.tab"));
    EXPECT_NE(dump.find("94\tMozilla/5.0 (compatible; Googlebot/2.1; +http://www.google.com/bot.html)\n"),
              std::string::npos);

    // Humans only: the requests that fell into any group are the ones dropped.
    long long grouped = 0;
    for (const char* label : {search, ai, seo, preview, archive, monitor, feeds, clients, robots}) {
        const long long n = group_row_hits(section, koi8(label));
        if (n > 0) grouped += n;
    }
    ts::scratch_dir humans;
    const auto h = ts::run_program(humans.path, {"-o", humans.path, "-c", source_file("crawlers-ignore.conf"), log});
    ASSERT_EQ(h.status, 0) << h.err;
    EXPECT_NE(h.out.find("1000 records (" + std::to_string(grouped) + " ignored) "), std::string::npos) << h.out;
    const std::string page = ts::read_file(humans.file("usage_201901.html"));
    EXPECT_EQ(page.find("Googlebot"), std::string::npos);
    EXPECT_NE(page.find("Firefox/42.0"), std::string::npos);
}

}  // namespace
