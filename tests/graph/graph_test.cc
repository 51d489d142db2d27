#include "graph/graph.h"
#include "persist/safe_file.h"

#include <gdfonts.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <utility>
#include <set>
#include <string>

#include "graph/fonts.h"
#include "lang/lang.h"
#include "png_probe.h"
#include "run/settings.h"
#include "test_support.h"

namespace {

using testing_support::scratch_dir;

class GraphTest : public ::testing::Test {
protected:
    void SetUp() override { reset_settings(); }
    scratch_dir dir;
    std::string png(const char* name) const { return dir.file(name); }
};

// A 120-month window ending at (year, month), every counter zero.
void window_ending(hist_entry (&h)[history_months], int year, int month) {
    memset(h, 0, sizeof h);
    for (int i = history_months - 1; i >= 0; i--) {
        h[i].year = year;
        h[i].month = month;
        if (--month == 0) {
            month = 12;
            year--;
        }
    }
}

bool any_series_colour(const std::set<int>& found) {
    for (int c = colour_hit; c <= colour_visit; c++)
        if (found.count(c)) return true;
    return false;
}

// The set of y in [y1, y2] where column x holds colour.
std::set<int> rows_of(const png_probe& p, int x, int y1, int y2, int colour) {
    std::set<int> ys;
    for (int y = y1; y <= y2; y++)
        if (p.at(x, y) == colour) ys.insert(y);
    return ys;
}

std::set<int> every(int first, int step, int count) {
    std::set<int> s;
    for (int k = 0; k < count; k++) s.insert(first + k * step);
    return s;
}

const char* glyph(gdFontPtr f, int c) { return f->data + (c - f->offset) * f->w * f->h; }

// First and last glyph rows with ink (h and -1 for a blank glyph).
std::pair<int, int> ink_rows(gdFontPtr f, int c) {
    const char* g = glyph(f, c);
    int top = f->h, bottom = -1;
    for (int k = 0; k < f->w * f->h; k++) {
        if (!g[k]) continue;
        top = std::min(top, k / f->w);
        bottom = std::max(bottom, k / f->w);
    }
    return {top, bottom};
}

TEST(ColourText, ParsesPairsAndTreatsOtherBytesAsZero) {
    struct row { const char* text; int r, g, b; };
    const row rows[] = {
        {"#00805c", 0x00, 0x80, 0x5c}, {"ff8000", 0xff, 0x80, 0x00}, {"#FFfF00", 0xff, 0xff, 0x00},
        {"#zz1234", 0x00, 0x12, 0x34}, {"##123456", 0x01, 0x23, 0x45}, {"#1g", 0x10, 0, 0},
        {"", 0, 0, 0},
    };
    for (const row& t : rows) {
        int r = -1, g = -1, b = -1;
        parse_colour(t.text, &r, &g, &b);
        EXPECT_EQ(r, t.r) << t.text;
        EXPECT_EQ(g, t.g) << t.text;
        EXPECT_EQ(b, t.b) << t.text;
    }
}

TEST_F(GraphTest, FrameHasPaletteInAllocationOrderBevelAndTitle) {
    strcpy(settings.ColorVisit, "#123456");
    uint64_t zero[24] = {};
    ASSERT_EQ(draw_hourly_graph(png("h.png").c_str(), "Title", zero, zero, zero), graph_ok);
    EXPECT_EQ(graph_image, nullptr);
    png_probe p(png("h.png"));
    ASSERT_NE(p.im, nullptr);
    EXPECT_EQ(gdImageSX(p.im), 512);
    EXPECT_EQ(gdImageSY(p.im), 256);
    ASSERT_GE(gdImageColorsTotal(p.im), graph_frame_colours);
    const int palette[graph_frame_colours][3] = {
        {192, 192, 192}, {128, 128, 128}, {0, 0, 0},    {255, 255, 255}, {0, 0, 255}, {0, 0x80, 0x5c},
        {0xff, 0x80, 0}, {0, 0x40, 0xff}, {0xff, 0, 0}, {0, 0xe0, 0xff}, {0x12, 0x34, 0x56},
    };
    for (int k = 0; k < graph_frame_colours; k++) {
        EXPECT_EQ(gdImageRed(p.im, k), palette[k][0]) << k;
        EXPECT_EQ(gdImageGreen(p.im, k), palette[k][1]) << k;
        EXPECT_EQ(gdImageBlue(p.im, k), palette[k][2]) << k;
    }
    struct px { int x, y, colour; };
    const px frame[] = {
        {0, 0, colour_black},     {511, 255, colour_black}, {1, 1, colour_white},   {4, 100, colour_white},
        {509, 253, colour_shadow}, {507, 100, colour_shadow}, {506, 100, colour_background},
        {20, 25, colour_black},   {491, 235, colour_black}, {19, 24, colour_white}, {490, 234, colour_white},
    };
    for (const px& f : frame) EXPECT_EQ(p.at(f.x, f.y), f.colour) << f.x << "," << f.y;
    EXPECT_TRUE(p.shows(graph_bold_font(), 20, 8, "Title", colour_blue));
}

TEST_F(GraphTest, DailyBarsReachTheirTruncatedTops) {
    uint64_t hits[31] = {}, zero[31] = {};
    double transfer[31] = {};
    hits[0] = 10;
    transfer[9] = 2048;  // the month's maximum: full height, 375 - 91
    transfer[3] = 1024;  // half: 0.5 * -91 + 375 = 329.5, cut to 329
    ASSERT_EQ(draw_daily_graph(png("d.png").c_str(), "t", 8, 2013, hits, zero, zero, transfer, zero, zero),
              graph_ok);
    png_probe p(png("d.png"));
    ASSERT_NE(p.im, nullptr);
    struct px { int x, y, colour; };
    const px expect[] = {
        {166, 283, colour_background}, {166, 284, colour_black}, {166, 285, colour_kbyte},
        {161, 300, colour_black},      {171, 300, colour_black}, {166, 375, colour_black},
        {76, 328, colour_background},  {76, 329, colour_black},  {76, 330, colour_kbyte},
        {28, 28, colour_background},   {28, 29, colour_black},   {28, 30, colour_hit},
        {32, 100, colour_black},       {33, 100, colour_background},
    };
    for (const px& e : expect) EXPECT_EQ(p.at(e.x, e.y), e.colour) << e.x << "," << e.y;
    EXPECT_TRUE(p.shows(graph_small_font(), 8, 12 + 26, "10", colour_black, true, 19));
    EXPECT_TRUE(p.shows(graph_small_font(), 8, 6 + 280, "2", colour_black, true, 19));  // 2048 bytes = 2 KB
}

TEST_F(GraphTest, DailyLabelsColourWeekendsOfAugust2013) {
    uint64_t zero[31] = {};
    double none[31] = {};
    ASSERT_EQ(draw_daily_graph(png("d.png").c_str(), "t", 8, 2013, zero, zero, zero, none, zero, zero), graph_ok);
    png_probe p(png("d.png"));
    ASSERT_NE(p.im, nullptr);
    const std::set<int> weekend = {3, 4, 10, 11, 17, 18, 24, 25, 31};
    for (int d = 1; d <= 31; d++) {
        char label[4];
        snprintf(label, sizeof label, "%2d", d);
        int colour = weekend.count(d) ? colour_hit : colour_black;
        EXPECT_TRUE(p.shows(graph_small_font(), 25 + 15 * (d - 1), 382, label, colour)) << "day " << d;
    }
}

TEST_F(GraphTest, DailyLegendPlacement) {
    // Upward at x = 493 with Lk 5, Ls 6, Lh 7, Lf 6, Lp 5: kilobytes at 375,
    // sites 275, "/" 236, visits 227; pages 159, "/" 126, files 117, "/" 78,
    // hits 69.
    ASSERT_EQ(strlen(lbl_hits), 7u);
    ASSERT_EQ(strlen(lbl_sites), 6u);
    ASSERT_EQ(strlen(lbl_files), 6u);
    ASSERT_EQ(strlen(lbl_pages), 5u);
    uint64_t zero[31] = {};
    double none[31] = {};
    ASSERT_EQ(draw_daily_graph(png("d.png").c_str(), "t", 8, 2013, zero, zero, zero, none, zero, zero), graph_ok);
    png_probe p(png("d.png"));
    ASSERT_NE(p.im, nullptr);
    struct word { int y; const char* text; int colour; };
    const word words[] = {
        {375, lbl_kbytes, colour_kbyte}, {275, lbl_sites, colour_site}, {236, "/", colour_black},
        {227, lbl_visits, colour_visit}, {159, lbl_pages, colour_page}, {126, "/", colour_black},
        {117, lbl_files, colour_file},   {78, "/", colour_black},        {69, lbl_hits, colour_hit},
    };
    for (const word& w : words) EXPECT_TRUE(p.shows(graph_small_font(), 493, w.y, w.text, w.colour, true)) << w.y;
}

TEST_F(GraphTest, EmptyMonthHasNoBarsAndScalesOneOneZero) {
    uint64_t zero[31] = {};
    double none[31] = {};
    ASSERT_EQ(draw_daily_graph(png("d.png").c_str(), "t", 2, 2014, zero, zero, zero, none, zero, zero), graph_ok);
    png_probe p(png("d.png"));
    ASSERT_NE(p.im, nullptr);
    EXPECT_FALSE(any_series_colour(p.colours_in(21, 26, 489, 376)));
    EXPECT_TRUE(p.shows(graph_small_font(), 8, 32, "1", colour_black, true, 19));
    EXPECT_TRUE(p.shows(graph_small_font(), 8, 186, "1", colour_black, true, 19));
    EXPECT_TRUE(p.shows(graph_small_font(), 8, 286, "0", colour_black, true, 19));
    // February still gets labels up to 31.
    EXPECT_TRUE(p.shows(graph_small_font(), 25 + 15 * 30, 382, "31", colour_black));
}

TEST_F(GraphTest, BackgroundLinesFollowTheirSteps) {
    uint64_t zero[31] = {};
    double none[31] = {};
    hist_entry h[history_months];
    window_ending(h, 2013, 12);
    struct row { const char* graph; int lines, x, y1, y2; std::set<int> expected; };
    std::set<int> daily20 = every(32, 7, 20), summary_right20 = every(30, 5, 20);
    for (int y : every(184, 4, 20)) daily20.insert(y);
    for (int y : every(284, 4, 20)) daily20.insert(y);
    for (int y : every(135, 5, 20)) summary_right20.insert(y);
    const row rows[] = {
        {"daily", 20, 22, 26, 375, daily20},
        {"daily", 0, 22, 26, 375, {}},
        {"daily", 2, 22, 26, 375, {76, 127, 213, 246, 313, 346}},  // steps 51 and 33
        {"hourly", 20, 22, 26, 232, every(35, 10, 20)},
        {"summary", 20, 22, 26, 232, every(35, 10, 20)},
        {"summary", 20, 400, 26, 232, summary_right20},
        {"summary", 0, 400, 26, 232, {}},
    };
    for (const row& t : rows) {
        settings.GraphLines = t.lines;
        std::string f = png("g.png");
        std::string g = t.graph;
        if (g == "daily") draw_daily_graph(f.c_str(), "t", 1, 2014, zero, zero, zero, none, zero, zero);
        if (g == "hourly") draw_hourly_graph(f.c_str(), "t", zero, zero, zero);
        if (g == "summary") draw_summary_graph(f.c_str(), "t", h);
        png_probe p(f);
        ASSERT_NE(p.im, nullptr);
        EXPECT_EQ(rows_of(p, t.x, t.y1, t.y2, colour_shadow), t.expected) << g << " lines " << t.lines;
    }
}

TEST_F(GraphTest, HourlyBarsAndLabels) {
    uint64_t hits[24] = {}, files[24] = {}, pages[24] = {};
    hits[23] = 40;
    files[0] = 20;  // 0.5 * -203 + 232 = 130.5, cut to 130
    ASSERT_EQ(draw_hourly_graph(png("h.png").c_str(), "t", hits, files, pages), graph_ok);
    png_probe p(png("h.png"));
    ASSERT_NE(p.im, nullptr);
    struct px { int x, y, colour; };
    const px expect[] = {
        {470, 28, colour_background}, {470, 29, colour_black}, {470, 30, colour_hit}, {466, 100, colour_black},
        {476, 100, colour_black},     {37, 129, colour_background}, {37, 130, colour_black}, {37, 131, colour_file},
    };
    for (const px& e : expect) EXPECT_EQ(p.at(e.x, e.y), e.colour) << e.x << "," << e.y;
    EXPECT_TRUE(p.shows(graph_small_font(), 33, 238, " 0", colour_black));
    EXPECT_TRUE(p.shows(graph_small_font(), 33 + 19 * 23, 238, "23", colour_black));
    EXPECT_TRUE(p.shows(graph_small_font(), 8, 12 + 26, "40", colour_black, true, 19));
}

TEST_F(GraphTest, SummaryOfEmptyHistoryKeepsLabelsAndScalesOfOne) {
    hist_entry h[history_months];
    window_ending(h, 2013, 12);
    ASSERT_EQ(draw_summary_graph(png("u.png").c_str(), "t", h), graph_ok);
    png_probe p(png("u.png"));
    ASSERT_NE(p.im, nullptr);
    EXPECT_FALSE(any_series_colour(p.colours_in(21, 26, 489, 232)));
    EXPECT_TRUE(p.shows(graph_small_font(), 6, 32, "1", colour_black, true, 19));
    EXPECT_TRUE(p.shows(graph_small_font(), 493, 32, "1", colour_black, true));
    EXPECT_TRUE(p.shows(graph_small_font(), 493, 136, "1", colour_black, true));
    // n = 12: b = 23.33, c = 11.67, d = 4, e = 25.83; label x = i b + e + 0.83 + 1.
    EXPECT_TRUE(p.shows(graph_small_font(), 27, 236, month_abbr[0], colour_black));
    EXPECT_TRUE(p.shows(graph_small_font(), 74, 236, month_abbr[2], colour_black));
}

TEST_F(GraphTest, SummaryMonthInitialsAndYearLabels) {
    struct mark { int x; const char* text; int colour; };
    struct row { int months, end_year, end_month; std::vector<mark> marks; int clear_x1, clear_x2; };
    const char jan[2] = {month_abbr[0][0], 0}, feb[2] = {month_abbr[1][0], 0};
    const row rows[] = {
        // b = 11.67, e = 23.92: initials at i b + e + 1.92 + 1; January in blue.
        {24, 2013, 12, {{26, jan, colour_blue}, {38, feb, colour_black}, {166, jan, colour_blue}}, 0, -1},
        // b = 7.78, e = 23.44: years centred over 93-pixel runs, '|' before each later January.
        {36, 2013, 12,
         {{57, "2011", colour_black}, {113, "|", colour_blue}, {150, "2012", colour_black},
          {207, "|", colour_blue}, {244, "2013", colour_black}},
         0, -1},
        // Two months of 2014 are 15 pixels wide: the mark, but no year text.
        {36, 2014, 2, {{49, "2011", colour_black}, {284, "|", colour_blue}}, 253, 300},
    };
    for (const row& t : rows) {
        settings.GraphMonths = t.months;
        hist_entry h[history_months];
        window_ending(h, t.end_year, t.end_month);
        ASSERT_EQ(draw_summary_graph(png("u.png").c_str(), "t", h), graph_ok);
        png_probe p(png("u.png"));
        ASSERT_NE(p.im, nullptr);
        for (const mark& m : t.marks)
            EXPECT_TRUE(p.shows(graph_small_font(), m.x, 236, m.text, m.colour)) << t.months << " at " << m.x;
        if (t.clear_x1 <= t.clear_x2) {
            EXPECT_EQ(p.colours_in(t.clear_x1, 236, t.clear_x2, 248).count(colour_black), 0u) << t.months;
        }
    }
}

TEST_F(GraphTest, SummaryOutlinesOnlyBarsWiderThanTwoPixels) {
    struct px { int x, y, colour; };
    struct row { int months; std::vector<px> expect; };
    const row rows[] = {
        // n = 72: c = 1.94, d = 1, e = 22.47; hits 22-23, files 23-24, pages 24-25, no outline.
        {72,
         {{22, 28, colour_background}, {22, 29, colour_hit}, {23, 29, colour_file}, {24, 29, colour_page},
          {25, 29, colour_page}, {22, 231, colour_hit}, {26, 100, colour_background}}},
        // n = 12: c = 11.67, e = 25.83; hits 25-36 with a black outline.
        {12,
         {{30, 28, colour_background}, {30, 29, colour_black}, {30, 30, colour_hit}, {25, 100, colour_black},
          {36, 100, colour_black}}},
    };
    for (const row& t : rows) {
        settings.GraphMonths = t.months;
        hist_entry h[history_months];
        window_ending(h, 2013, 12);
        hist_entry& first = h[history_months - t.months];
        first.hits = first.files = first.pages = 100;
        if (t.months == 12) first.files = first.pages = 0;
        ASSERT_EQ(draw_summary_graph(png("u.png").c_str(), "t", h), graph_ok);
        png_probe p(png("u.png"));
        ASSERT_NE(p.im, nullptr);
        for (const px& e : t.expect) EXPECT_EQ(p.at(e.x, e.y), e.colour) << t.months << ": " << e.x << "," << e.y;
        if (t.months == 72) {
            EXPECT_EQ(p.colours_in(22, 29, 25, 231).count(colour_black), 0u);
        }
        EXPECT_TRUE(p.shows(graph_small_font(), 6, 18 + 26, "100", colour_black, true, 19));
    }
}

TEST_F(GraphTest, SummaryRightPanelsAndLegendPlacement) {
    settings.GraphLines = 0;
    settings.GraphMonths = 12;
    hist_entry h[history_months];
    window_ending(h, 2013, 12);
    h[108].visits = 50;    // i = 0: half of V
    h[108].sites = 100;    // V = 100
    h[113].kbytes = 1024;  // i = 5: half of K
    h[119].kbytes = 2048;  // i = 11: K
    ASSERT_EQ(draw_summary_graph(png("u.png").c_str(), "t", h), graph_ok);
    png_probe p(png("u.png"));
    ASSERT_NE(p.im, nullptr);
    // b2 = 15, c2 = 7.5, d = 4, e2 = 309.75: visits 309-316 from y 78, sites
    // 313-320 from y 29 drawn over them. w3 = 9.5, e3 = 310.75: kilobytes of
    // i = 11 at 475-484 from y 134, of i = 5 at 385-394 from y 183.
    struct px { int x, y, colour; };
    const px expect[] = {
        {311, 77, colour_background}, {311, 78, colour_black},  {311, 79, colour_visit},
        {309, 100, colour_black},     {310, 100, colour_visit}, {313, 100, colour_black},
        {316, 100, colour_site},      {320, 100, colour_black}, {321, 100, colour_background},
        {317, 28, colour_background}, {317, 29, colour_black},  {317, 30, colour_site},
        {480, 133, colour_background}, {480, 134, colour_black}, {480, 135, colour_kbyte},
        {475, 210, colour_black},     {484, 210, colour_black}, {485, 210, colour_background},
        {390, 182, colour_background}, {390, 183, colour_black}, {390, 184, colour_kbyte},
        {385, 210, colour_black},     {394, 210, colour_black}, {395, 210, colour_background},
    };
    for (const px& e : expect) EXPECT_EQ(p.at(e.x, e.y), e.colour) << e.x << "," << e.y;
    EXPECT_TRUE(p.shows(graph_small_font(), 493, 18 + 26, "100", colour_black, true));
    EXPECT_TRUE(p.shows(graph_small_font(), 493, 24 + 130, "2048", colour_black, true));

    // Legend words of 5 (kbytes), 7 (visits), 6 (sites), 5 (pages), 6 (files)
    // and 7 (hits) bytes.
    ASSERT_EQ(strlen(lbl_kbytes), 5u);
    ASSERT_EQ(strlen(lbl_visits), 7u);
    ASSERT_EQ(strlen(lbl_sites), 6u);
    ASSERT_EQ(strlen(lbl_pages), 5u);
    ASSERT_EQ(strlen(lbl_files), 6u);
    gdFontPtr f = graph_small_font();
    EXPECT_TRUE(p.shows(f, 460, 236, lbl_kbytes, colour_kbyte));
    EXPECT_TRUE(p.shows(f, 400, 10, lbl_visits, colour_visit));
    EXPECT_TRUE(p.shows(f, 445, 10, "/", colour_black));
    EXPECT_TRUE(p.shows(f, 454, 10, lbl_sites, colour_site));
    EXPECT_TRUE(p.shows(f, 5, 230, lbl_pages, colour_page, true));
    EXPECT_TRUE(p.shows(f, 5, 197, "/", colour_black, true));
    EXPECT_TRUE(p.shows(f, 5, 188, lbl_files, colour_file, true));
    EXPECT_TRUE(p.shows(f, 5, 149, "/", colour_black, true));
    EXPECT_TRUE(p.shows(f, 5, 140, lbl_hits, colour_hit, true));
}

TEST(GraphFonts, KoiLettersAreCyrillicGlyphs) {
    // Cyrillic letters that look like Latin ones share their bitmaps in these
    // fonts; the Latin-2 glyphs at the same bytes (accented letters) do not.
    const struct { int koi; char latin; } twins[] = {
        {0xEF, 'O'}, {0xF3, 'C'}, {0xF4, 'T'}, {0xE8, 'X'}, {0xC1, 'a'}, {0xC5, 'e'},
        {0xCF, 'o'}, {0xD2, 'p'}, {0xD3, 'c'}, {0xA6, 'i'}, {0xB6, 'I'},
    };
    for (gdFontPtr f : {graph_small_font(), graph_bold_font()}) {
        const size_t cell = size_t(f->w * f->h);
        for (const auto& t : twins) {
            EXPECT_EQ(memcmp(glyph(f, t.koi), glyph(f, t.latin), cell), 0) << f->w << ": " << std::hex << t.koi;
        }
        // The Ukrainian letters sit where KOI8-R has box drawing, most of
        // which runs down to the cell's bottom edge; a letter leaves the two
        // rows below the baseline empty.
        for (int c : {0xA4, 0xA6, 0xA7, 0xAD, 0xB4, 0xB6, 0xB7, 0xBD}) {
            const char* g = glyph(f, c);
            int ink = 0, below = 0;
            for (int k = 0; k < int(cell); k++) {
                ink += g[k] != 0;
                if (k >= int(cell) - 2 * f->w) below += g[k] != 0;
            }
            EXPECT_GT(ink, 0) << f->w << ": " << std::hex << c;
            EXPECT_EQ(below, 0) << f->w << ": " << std::hex << c;
        }
        // ґ Ґ Ї are г Г І with a mark above: the same baseline, ink higher up.
        for (auto [marked, plain] : {std::pair{0xAD, 0xC7}, {0xBD, 0xE7}, {0xB7, 0xB6}}) {
            auto [top_m, bottom_m] = ink_rows(f, marked);
            auto [top_p, bottom_p] = ink_rows(f, plain);
            EXPECT_LT(top_m, top_p) << f->w << ": " << std::hex << marked;
            EXPECT_EQ(bottom_m, bottom_p) << f->w << ": " << std::hex << marked;
        }
    }
    EXPECT_EQ(graph_small_font()->w, 6);
    EXPECT_EQ(graph_small_font()->h, 13);
    EXPECT_EQ(graph_bold_font()->w, 7);
    EXPECT_EQ(graph_bold_font()->h, 13);
    EXPECT_NE(memcmp(glyph(graph_small_font(), 0xE1), glyph(gdFontGetSmall(), 0xE1), 6 * 13), 0);
}

TEST_F(GraphTest, LegendDrawsTheCatalogueWordsInCyrillic) {
    ASSERT_GE(static_cast<unsigned char>(lbl_hits[0]), 0xC0) << "expects a Cyrillic legend word";
    uint64_t zero[24] = {};
    ASSERT_EQ(draw_hourly_graph(png("h.png").c_str(), "t", zero, zero, zero), graph_ok);
    png_probe p(png("h.png"));
    ASSERT_NE(p.im, nullptr);
    int y = 6 * int(strlen(lbl_hits)) + 27;
    EXPECT_TRUE(p.shows(graph_small_font(), 493, y, lbl_hits, colour_hit, true));
    EXPECT_FALSE(p.shows(gdFontGetSmall(), 493, y, lbl_hits, colour_hit, true));
    EXPECT_EQ(p.colours_in(494, y - 6 * int(strlen(lbl_hits)) + 1, 507, y + 1).count(colour_shadow), 1u);
    settings.GraphLegend = false;
    ASSERT_EQ(draw_hourly_graph(png("h.png").c_str(), "t", zero, zero, zero), graph_ok);
    png_probe q(png("h.png"));
    EXPECT_FALSE(any_series_colour(q.colours_in(493, 26, 507, 235)));
}

TEST_F(GraphTest, SymlinkIsRefusedAndUnopenableFileReported) {
    uint64_t zero[24] = {};
    std::string target = dir.file("target"), link = dir.file("usage.png");
    testing_support::write_file(target, "keep");
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);

    ::testing::internal::CaptureStderr();
    EXPECT_EQ(draw_hourly_graph(link.c_str(), "t", zero, zero, zero), graph_symlink);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Error: Unable to open file " + link + " (symlink)\n");
    EXPECT_EQ(testing_support::read_file(target), "keep");
    EXPECT_EQ(graph_image, nullptr);

    settings.Verbosity = 0;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(draw_hourly_graph(link.c_str(), "t", zero, zero, zero), graph_symlink);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");

    // A graph that cannot be written is a failure of the run: said, and
    // counted, where a refused link is neither.
    settings.Verbosity = 2;
    reset_unwritten_files();
    std::string missing = dir.file("no/such/dir.png");
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(draw_hourly_graph(missing.c_str(), "t", zero, zero, zero), graph_ok);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Error: Unable to open file " + missing + "!\n");
    EXPECT_FALSE(testing_support::file_exists(missing));
    EXPECT_EQ(graph_image, nullptr);
    EXPECT_EQ(unwritten_files(), 1);
    reset_unwritten_files();
}

}  // namespace
