// Countries section: the host rule, ranking with table order among equals,
// the table with flags, and the pie chart it draws; a small log through the
// analyser with a MaxMind DB file, and a real log with Debian's GeoIP files.
#include <GeoIP.h>
#include <arpa/inet.h>
#include <gd.h>
#include <gtest/gtest.h>
#include <maxminddb.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "lang/lang.h"
#include "report/countries.h"
#include "report/page.h"
#include "resolve/geo.h"
#include "resolve/mmdb_writer.h"
#include "run/month.h"
#include "run/settings.h"
#include "stats/tables.h"
#include "test_support.h"

using namespace testing_support;

namespace {

class Countries : public ::testing::Test {
  protected:
    void SetUp() override {
        reset_settings();
        settings.Verbosity = 1;
        free_all_tables();
        reset_month();
        reset_country_counts();
        month_totals.year = 2014;
        month_totals.month = 1;
        cwd_ = std::make_unique<working_dir>(dir_.path);
        ASSERT_TRUE(cwd_->ok());
    }
    void TearDown() override {
        close_geo_database();
        free_all_tables();
        reset_country_counts();
        free_top_country_slots();
        reset_settings();
        cwd_.reset();
    }

    void site(const char* name, uint64_t hits, uint64_t files, double bytes, int kind = node_normal) {
        char buf[256];
        snprintf(buf, sizeof buf, "%s", name);
        uint64_t counter = 0;
        ASSERT_EQ(add_site(buf, kind, hits, files, &counter, 0, bytes, 1388534400, nullptr, &site_table), table_ok);
        if (kind != node_group) {
            month_totals.total_hits += hits;
            month_totals.total_files += files;
            month_totals.total_bytes += bytes;
        }
    }

    std::string write_section() {
        EXPECT_EQ(allocate_top_country_slots(), countries_ok);
        char* data = nullptr;
        size_t size = 0;
        report_page = open_memstream(&data, &size);
        write_top_countries();
        fclose(report_page);
        report_page = nullptr;
        std::string out(data, size);
        free(data);
        return out;
    }

    void use_geodb(const std::string& lines) {
        write_file(dir_.file("geo.txt"), lines);
        run_result r = run_program(dir_.path, {dir_.file("GeoDB.dat"), dir_.file("geo.txt")}, "",
                                   tool_binary("corvageo_build"));
        ASSERT_EQ(r.status, 0) << r.err;
        ASSERT_NE(open_geo_database(dir_.file("GeoDB.dat").c_str()), nullptr);
        settings.GeoDB = true;
    }

    scratch_dir dir_;
    std::unique_ptr<working_dir> cwd_;
};

int row_of(const char* name) { return static_cast<int>(country_of_site(name) - country_table); }
int row_with(const char* code) { return find_country(pack_tld(code)); }

}  // namespace

TEST_F(Countries, HostRuleByDomain) {
    ASSERT_EQ(row_with("ua"), find_country(2689));  // u = 21, a = 1: 21 * 128 + 1
    struct {
        const char* site;
        int row;
    } rows[] = {
        {"a.b.com", 1},        // com is the first row after row 0
        {"localhost", 0},      // no dot
        {".com", 0},           // the only dot is the first character
        {"host.example.", 0},  // ends with a dot
        {"x.lan", 279},        // the last row
        {"www.kyiv.ua", row_with("ua")},
        {"www.kyiv.UA", 0},    // labels are not folded
        {"www.example.zz", 0}, // no such row
        {"127.0.0.1", 0},      // numeric without GeoDB
        {"::1", 0},
    };
    for (const auto& r : rows) EXPECT_EQ(row_of(r.site), r.row) << r.site;
}

TEST_F(Countries, HostRuleThroughGeoDb) {
    use_geodb("10.0.0.1 zz\n10.0.0.2 a2\n10.0.0.3 ua\n::ffff:10.0.0.4 a1\n");
    EXPECT_EQ(row_of("10.0.0.1"), 0);
    EXPECT_STREQ(country_of_site("10.0.0.2")->desc, "Satellite Provider");
    EXPECT_EQ(row_of("10.0.0.3"), row_with("ua"));
    EXPECT_EQ(row_of("10.0.0.4"), row_with("a1"));
    EXPECT_EQ(row_of("10.0.0.9"), 0);
    EXPECT_EQ(row_of("www.kyiv.ua"), row_with("ua"));  // names still go by domain
    settings.GeoDB = false;
    EXPECT_EQ(row_of("10.0.0.3"), 0);
}

TEST_F(Countries, TableRanksEqualCountsInTableOrderWithFlags) {
    settings.CountryGraph = false;
    settings.CountryFlags = true;
    site("a.example.com", 5, 4, 2048);
    site("localhost", 3, 3, 1024);
    site("b.kyiv.ua", 3, 2, 1024);
    site("h.example.net", 2, 1, 0, node_hidden);  // hidden sites count
    site("Grp", 100, 100, 9999, node_group);       // groups do not
    std::string out = write_section();

    const char* com = country_table[1].desc;
    const char* unknown = country_table[0].desc;
    const char* ua = country_table[row_with("ua")].desc;
    const char* net = country_table[row_with("net")].desc;
    auto row = [](int k, const char* hits, const char* hp, const char* files, const char* fp, const char* kb,
                  const char* kp, const std::string& flag, const char* desc) {
        return "<TR><TD ALIGN=center><FONT SIZE=\"-1\"><B>" + std::to_string(k) + "</B></FONT></TD>\n" +
               "<TD ALIGN=right><FONT SIZE=\"-1\"><B>" + hits + "</B></FONT></TD>\n" +
               "<TD ALIGN=right><FONT SIZE=\"-2\">" + hp + "%</FONT></TD>\n" +
               "<TD ALIGN=right><FONT SIZE=\"-1\"><B>" + files + "</B></FONT></TD>\n" +
               "<TD ALIGN=right><FONT SIZE=\"-2\">" + fp + "%</FONT></TD>\n" +
               "<TD ALIGN=right><FONT SIZE=\"-1\"><B>" + kb + "</B></FONT></TD>\n" +
               "<TD ALIGN=right><FONT SIZE=\"-2\">" + kp + "%</FONT></TD>\n" +
               "<TD ALIGN=left NOWRAP>" + flag + "<FONT SIZE=\"-1\">" + desc + "</FONT></TD></TR>\n";
    };
    std::string spacer = "<TR><TH HEIGHT=4></TH></TR>\n";
    // Totals 13 hits, 10 files, 4096 bytes: 5/13 = 38.46%, 3/13 = 23.08%, 2/13 = 15.38%.
    std::string expected =
        std::string("<A NAME=\"TOPCTRYS\"></A>\n") + "<TABLE WIDTH=510 BORDER=2 CELLSPACING=1 CELLPADDING=1>\n" +
        spacer + "<TR><TH BGCOLOR=\"#C0C0C0\" ALIGN=CENTER COLSPAN=8>" + top_first + " 4 " + top_of + " 4 " +
        top_countries + "</TH></TR>\n" + spacer +
        "<TR><TH BGCOLOR=\"#C0C0C0\" ALIGN=center><FONT SIZE=\"-1\">#</FONT></TH>\n" +
        "<TH BGCOLOR=\"#00805c\" ALIGN=center COLSPAN=2><FONT SIZE=\"-1\">" + lbl_hits + "</FONT></TH>\n" +
        "<TH BGCOLOR=\"#0040ff\" ALIGN=center COLSPAN=2><FONT SIZE=\"-1\">" + lbl_files + "</FONT></TH>\n" +
        "<TH BGCOLOR=\"#ff0000\" ALIGN=center COLSPAN=2><FONT SIZE=\"-1\">" + lbl_kbytes + "</FONT></TH>\n" +
        "<TH BGCOLOR=\"#00e0ff\" ALIGN=center><FONT SIZE=\"-1\">" + lbl_country + "</FONT></TH></TR>\n" + spacer +
        row(1, "5", "38.46", "4", "40.00", "2", "50.00", "", com) +
        row(2, "3", "23.08", "3", "30.00", "1", "25.00", "", unknown) +
        row(3, "3", "23.08", "2", "20.00", "1", "25.00",
            std::string("<IMG SRC=\"flags/ua.png\" ALT=\"") + ua + "\" WIDTH=18 HEIGHT=12> ", ua) +
        row(4, "2", "15.38", "1", "10.00", "0", "0.00", "", net) + spacer + "</TABLE>\n<P>\n";
    EXPECT_EQ(out, expected);
    EXPECT_EQ(country_count, 4u);
    EXPECT_FALSE(file_exists(dir_.file("ctry_usage_201401.png")));
    // The slots hold the ranking; the counters the month's sums.
    EXPECT_EQ(top_country_slots[0], &country_table[1]);
    EXPECT_EQ(top_country_slots[1], &country_table[0]);
    EXPECT_EQ(country_table[0].count, 3u);
}

TEST_F(Countries, FlagsForTwoLetterAndProxyCodesButNotAp) {
    settings.CountryGraph = false;
    settings.FlagDir = "img/flags";
    settings.CountryFlags = true;
    use_geodb("10.0.0.4 a1\n10.0.0.5 ap\n10.0.0.6 ua\n");
    site("10.0.0.4", 3, 3, 0);
    site("10.0.0.5", 2, 2, 0);
    site("10.0.0.6", 1, 1, 0);
    site("a.example.com", 1, 1, 0);
    std::string out = write_section();
    EXPECT_NE(out.find("<IMG SRC=\"img/flags/a1.png\" ALT=\"Anonymous Proxy\" WIDTH=18 HEIGHT=12> "), std::string::npos);
    EXPECT_NE(out.find("<IMG SRC=\"img/flags/ua.png\""), std::string::npos);
    EXPECT_EQ(out.find("ap.png"), std::string::npos);
    EXPECT_EQ(out.find("com.png"), std::string::npos);
    EXPECT_NE(out.find("<FONT SIZE=\"-1\">Asia/Pacific Region</FONT>"), std::string::npos);
}

TEST_F(Countries, TopFiveFeedsFiveSlicesToThePie) {
    settings.TopCountries = 5;
    // Six countries with equal hits: table order picks com, net, org, de, fr.
    for (const char* s : {"a.ua", "a.fr", "a.de", "a.org", "a.net", "a.com"}) site(s, 10, 10, 0);
    std::string out = write_section();
    std::string title = std::string(ttl_country_stats) + " " + month_full[0] + " 2014";
    title = title.substr(0, 47);
    EXPECT_NE(out.find("<IMG SRC=\"ctry_usage_201401.png\" ALT=\"" + title + "\" HEIGHT=300 WIDTH=512><P>\n"),
              std::string::npos);
    EXPECT_NE(out.find(std::string(" 5 ") + top_of + " 6 "), std::string::npos);
    EXPECT_EQ(top_country_slots[3], &country_table[row_with("de")]);
    EXPECT_EQ(top_country_slots[4], &country_table[row_with("fr")]);

    FILE* f = fopen("ctry_usage_201401.png", "rb");
    ASSERT_NE(f, nullptr);
    gdImagePtr im = gdImageCreateFromPng(f);
    fclose(f);
    ASSERT_NE(im, nullptr);
    // Five slices of 17% (10/60 + 0.5%), the rest 15% white, poured in at
    // the middle of 0.85..1: (156 + 80 cos(0.925 turn), 150 + 66 sin(...)) = (227, 120).
    int c = gdImageGetPixel(im, 227, 120);
    EXPECT_EQ(gdImageRed(im, c) + gdImageGreen(im, c) + gdImageBlue(im, c), 3 * 255);
    // The sixth colour (ColorVisit, #ffff00) is never used.
    int visit = 0;
    for (int y = 0; y < 300; ++y)
        for (int x = 0; x < 512; ++x) {
            int p = gdImageGetPixel(im, x, y);
            if (gdImageRed(im, p) == 255 && gdImageGreen(im, p) == 255 && gdImageBlue(im, p) == 0) ++visit;
        }
    EXPECT_EQ(visit, 0);
    gdImageDestroy(im);
}

TEST_F(Countries, EmptyMonthStillWritesAnchorAndTable) {
    settings.CountryGraph = false;
    std::string out = write_section();
    EXPECT_EQ(out.rfind("<A NAME=\"TOPCTRYS\"></A>\n<TABLE", 0), 0u);
    EXPECT_NE(out.find(std::string(" 0 ") + top_of + " 0 "), std::string::npos);
    EXPECT_EQ(out.find("<TR><TD"), std::string::npos);
}

namespace {

// The countries table row of rank k, as the section writes it.
std::string country_row(int k, const char* hits, const char* pct, const char* kb, const char* desc) {
    return "<TR><TD ALIGN=center><FONT SIZE=\"-1\"><B>" + std::to_string(k) + "</B></FONT></TD>\n" +
           "<TD ALIGN=right><FONT SIZE=\"-1\"><B>" + hits + "</B></FONT></TD>\n" +
           "<TD ALIGN=right><FONT SIZE=\"-2\">" + pct + "%</FONT></TD>\n" +
           "<TD ALIGN=right><FONT SIZE=\"-1\"><B>" + hits + "</B></FONT></TD>\n" +
           "<TD ALIGN=right><FONT SIZE=\"-2\">" + pct + "%</FONT></TD>\n" +
           "<TD ALIGN=right><FONT SIZE=\"-1\"><B>" + kb + "</B></FONT></TD>\n" +
           "<TD ALIGN=right><FONT SIZE=\"-2\">" + pct + "%</FONT></TD>\n" +
           "<TD ALIGN=left NOWRAP><FONT SIZE=\"-1\">" + desc + "</FONT></TD></TR>\n";
}

std::string log_line(const char* host, int second) {
    char line[200];
    snprintf(line, sizeof line, "%s - - [10/Oct/2013:10:30:%02d +0000] \"GET /a.html HTTP/1.0\" 200 1024\n", host,
             second);
    return line;
}

const char* desc_of(const char* code) { return country_table[find_country(pack_tld(code))].desc; }

}  // namespace

TEST(CountriesMaxMind, SectionAndPieOfASmallLog) {
    scratch_dir dir;
    mmdb_writer w;
    w.add("10.1.0.0/16", mm::country("UA"));
    w.add("10.1.2.3/32", mm::country("FR"));
    w.add("192.0.2.0/24", mm::map({{"registered_country", mm::map({{"iso_code", mm::str("PL")}})}}));
    w.add("198.51.100.0/24", mm::map({{"continent", mm::map({{"code", mm::str("EU")}})}}));
    write_file(dir.file("countries.mmdb"), w.bytes("Test-Country", 1796130000));
    // fr 4 hits, ua 2 by address and 1 by domain, pl 1, unknown 1 (a record
    // without a code): 9 hits of 1024 bytes each.
    std::string log;
    int second = 0;
    for (const char* host : {"10.1.2.3", "10.1.2.3", "10.1.0.9", "192.0.2.5", "10.1.2.3", "gw.kyiv.ua",
                             "198.51.100.7", "10.1.0.9", "10.1.2.3"})
        log += log_line(host, second++);
    write_file(dir.file("a.log"), log);
    run_result r = run_program(dir.path, {"-j", "-J", "countries.mmdb", "a.log"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Using Test-Country 2026-12-01\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "");

    std::string page = read_file(dir.file("usage_201310.html"));
    std::string title = (std::string(ttl_country_stats) + " " + month_full[9] + " 2013").substr(0, 47);
    std::string spacer = "<TR><TH HEIGHT=4></TH></TR>\n";
    // 4/9 = 44.44%, 3/9 = 33.33%, 1/9 = 11.11%; the unknown row (row 0) ranks
    // before pl at equal hits.
    std::string rows = country_row(1, "4", "44.44", "4", desc_of("fr")) +
                       country_row(2, "3", "33.33", "3", desc_of("ua")) +
                       country_row(3, "1", "11.11", "1", country_table[0].desc) +
                       country_row(4, "1", "11.11", "1", desc_of("pl")) + spacer + "</TABLE>\n<P>\n";
    size_t at = page.find("<A NAME=\"TOPCTRYS\"></A>\n");
    ASSERT_NE(at, std::string::npos);
    std::string head = "<A NAME=\"TOPCTRYS\"></A>\n<IMG SRC=\"ctry_usage_201310.png\" ALT=\"" + title +
                       "\" HEIGHT=300 WIDTH=512><P>\n";
    EXPECT_EQ(page.substr(at, head.size()), head);
    EXPECT_NE(page.find(std::string(top_first) + " 4 " + top_of + " 4 " + top_countries), std::string::npos);
    size_t first = page.find("<TR><TD ALIGN=center><FONT SIZE=\"-1\"><B>1</B>", at);
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(page.substr(first, rows.size()), rows);

    // Slices of 44, 33, 11 and 11 percent; each slice's colour is poured in
    // at the middle of its turn, (156 + 80 cos 2πm, 150 + 66 sin 2πm).
    FILE* f = fopen(dir.file("ctry_usage_201310.png").c_str(), "rb");
    ASSERT_NE(f, nullptr);
    gdImagePtr im = gdImageCreateFromPng(f);
    fclose(f);
    ASSERT_NE(im, nullptr);
    struct {
        int x, y;
        const char* colour;
    } slices[] = {
        {170, 214, "#00805c"},  // m 0.22: ColorHit
        {92, 109, "#ff8000"},   // m 0.605: ColorSite
        {192, 91, "#0040ff"},   // m 0.825: ColorFile
        {229, 123, "#ff0000"},  // m 0.935: ColorKbyte
    };
    for (const auto& s : slices) {
        int c = gdImageGetPixel(im, s.x, s.y);
        char hex[8];
        snprintf(hex, sizeof hex, "#%02x%02x%02x", gdImageRed(im, c), gdImageGreen(im, c), gdImageBlue(im, c));
        EXPECT_STREQ(hex, s.colour) << s.x << "," << s.y;
    }
    gdImageDestroy(im);
}

TEST(CountriesMaxMind, CorruptFileTurnsLookupsOffAndTheReportIsWritten) {
    scratch_dir dir;
    mmdb_writer w;
    w.add("10.1.0.0/16", mm::country("UA"));
    std::string good = w.bytes("Test-Country", 1796130000);
    write_file(dir.file("cut.mmdb"), good.substr(0, good.size() - 30));  // the metadata cut short
    write_file(dir.file("a.log"), log_line("10.1.2.3", 0) + log_line("10.1.2.4", 1));
    for (bool debug : {false, true}) {
        std::vector<std::string> args = {"-j", "-J", "cut.mmdb", "a.log"};
        if (debug) args.insert(args.begin(), "-d");
        run_result r = run_program(dir.path, args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("Error opening file: cut.mmdb\nGeoDB lookups disabled\n"), std::string::npos) << r.out;
        // The library's reason (the metadata map ends early) is a detail for -d.
        std::string reason = "GeoDB: cut.mmdb: " + std::string(MMDB_strerror(MMDB_INVALID_DATA_ERROR)) + "\n";
        if (debug)
            EXPECT_NE(r.err.find(reason), std::string::npos) << r.err;
        else
            EXPECT_EQ(r.err, "");
        std::string page = read_file(dir.file("usage_201310.html"));
        std::string unknown_row = std::string("<TD ALIGN=left NOWRAP><FONT SIZE=\"-1\">") + country_table[0].desc;
        EXPECT_NE(page.find(unknown_row), std::string::npos);
        EXPECT_EQ(page.find(desc_of("ua")), std::string::npos);
    }
}

TEST(CountriesLegacy, RealLogPlacedAsTheLibraryPlacesEachSite) {
    const char* v4 = "/usr/share/GeoIP/GeoIP.dat";
    const char* v6 = "/usr/share/GeoIP/GeoIPv6.dat";
    if (!file_exists(v4) || !file_exists(v6))
        GTEST_SKIP() << "Debian's geoip-database is not installed (/usr/share/GeoIP)";
    std::string log = real_data("apache/lovecoding-2020-12-ipv6.log");
    if (!file_exists(log)) GTEST_SKIP() << "no real logs at " << log;
    scratch_dir dir;
    write_file(dir.file("dump.conf"), "DumpSites yes\n");
    run_result r = run_program(dir.path, {"-c", "dump.conf", "-j", "-J", v4, log});
    ASSERT_EQ(r.status, 0) << r.err;

    // Every site of December 2020 with its hits, placed by libGeoIP's own
    // text lookups (not the analyser's keys): its code's row, else row 0.
    GeoIP* gi4 = GeoIP_open(v4, GEOIP_MEMORY_CACHE | GEOIP_SILENCE);
    GeoIP* gi6 = GeoIP_open(v6, GEOIP_MEMORY_CACHE | GEOIP_SILENCE);
    ASSERT_TRUE(gi4 && gi6);
    std::map<std::string, uint64_t> expected;
    std::string sites = read_file(dir.file("site_202012.tab"));
    ASSERT_FALSE(sites.empty());
    size_t placed = 0;
    for (size_t at = 0; at < sites.size();) {
        size_t end = sites.find('\n', at);
        std::string line = sites.substr(at, end - at);
        at = end + 1;
        unsigned long long hits = std::stoull(line);
        std::string name = line.substr(line.rfind('\t') + 1);
        unsigned char buf[16];
        const char* code = nullptr;
        GeoIPLookup gl;
        if (inet_pton(AF_INET, name.c_str(), buf) == 1)
            code = GeoIP_country_code_by_addr_gl(gi4, name.c_str(), &gl);
        else if (inet_pton(AF_INET6, name.c_str(), buf) == 1)
            code = GeoIP_country_code_by_addr_v6_gl(gi6, name.c_str(), &gl);
        std::string lower = code ? code : "";
        for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        int row = lower.size() == 2 && lower != "--" ? find_country(pack_tld(lower.c_str())) : 0;
        if (row != 0) ++placed;
        expected[country_table[row].desc] += hits;
    }
    GeoIP_delete(gi4);
    GeoIP_delete(gi6);
    EXPECT_GT(placed, 40u);  // nearly all of the 54 sites are public addresses

    std::map<std::string, uint64_t> shown;
    std::string page = read_file(dir.file("usage_202012.html"));
    const std::string hits_at = "<TD ALIGN=right><FONT SIZE=\"-1\"><B>", name_at = "<FONT SIZE=\"-1\">";
    for (size_t at = page.find("<A NAME=\"TOPCTRYS\">"); (at = page.find("<TR><TD ALIGN=center>", at)) != std::string::npos;) {
        size_t h = page.find(hits_at, at) + hits_at.size();
        size_t d = page.find("NOWRAP>", at);
        d = page.find(name_at, d) + name_at.size();
        shown[page.substr(d, page.find('<', d) - d)] = std::stoull(page.substr(h));
        at = d;
    }
    ASSERT_LE(expected.size(), 30u);  // all fit in the table
    EXPECT_EQ(shown, expected);
}
