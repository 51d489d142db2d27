// Countries section: the host rule, ranking with table order among equals,
// the table with flags, and the pie chart it draws.
#include <gd.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "lang/lang.h"
#include "report/countries.h"
#include "report/page.h"
#include "resolve/geo.h"
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
