// Country pie chart: slice plan (percentages, edges, pouring points, legend)
// and the drawn PNG decoded with libgd.
#include <gd.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "graph/graph.h"
#include "graph/pie.h"
#include "lang/lang.h"
#include "run/settings.h"
#include "test_support.h"

using namespace testing_support;

namespace {

const char* const labels[pie_slices] = {"A", "B", "C", "D", "E", "F", "G", "H", "I", "J"};

struct rgb {
    int r, g, b;
    bool operator==(const rgb&) const = default;
};

rgb pixel(gdImagePtr im, int x, int y) {
    int c = gdImageGetPixel(im, x, y);
    return {gdImageRed(im, c), gdImageGreen(im, c), gdImageBlue(im, c)};
}

gdImagePtr load_png(const std::string& path) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return nullptr;
    gdImagePtr im = gdImageCreateFromPng(f);
    fclose(f);
    return im;
}

}  // namespace

TEST(PiePlan, PercentagesAndRemainder) {
    struct {
        const char* what;
        uint64_t total;
        std::vector<uint64_t> counts;
        std::vector<int> pcts;  // country slices
        int rest;               // remainder percentage, -1 for none
    } rows[] = {
        {"one country", 10, {10}, {100}, -1},
        {"35 and 20", 100, {35, 20}, {35, 20}, 45},
        {"57 leaves 43", 100, {57}, {57}, 43},
        {"12.5 rounds up", 8, {1}, {13}, 87},
        {"below half a percent ends the slices", 1000, {500, 4, 300}, {50}, 50},
        {"zero in the middle is skipped", 100, {50, 0, 30}, {50, 30}, 20},
        {"all zero", 100, {}, {}, 100},
        {"no hits at all", 0, {}, {}, 100},
        {"slices past the full turn are cut", 100, {60, 45, 10}, {60, 45}, -1},
    };
    for (const auto& row : rows) {
        uint64_t counts[pie_slices] = {};
        for (size_t i = 0; i < row.counts.size(); ++i) counts[i] = row.counts[i];
        pie_plan plan;
        plan_country_pie(row.total, counts, labels, &plan);
        size_t countries = plan.slice_count - (plan.has_remainder ? 1 : 0);
        ASSERT_EQ(countries, row.pcts.size()) << row.what;
        for (size_t k = 0; k < countries; ++k) EXPECT_EQ(plan.slice[k].percent, row.pcts[k]) << row.what;
        EXPECT_EQ(plan.has_remainder, row.rest >= 0) << row.what;
        if (row.rest >= 0) {
            const pie_slice& s = plan.slice[plan.slice_count - 1];
            EXPECT_EQ(s.percent, row.rest) << row.what;
            EXPECT_EQ(s.colour, colour_white) << row.what;
            EXPECT_EQ(std::string(s.legend), std::string(lbl_other) + " (" + std::to_string(row.rest) + "%)")
                << row.what;
        }
    }
}

TEST(PiePlan, GeometryColoursAndLegend) {
    uint64_t counts[pie_slices] = {50, 25};
    pie_plan plan;
    plan_country_pie(100, counts, labels, &plan);
    ASSERT_EQ(plan.slice_count, 3);
    // Edge of 50% at half a turn: (cos(pi) * 119 + 156, sin(pi) * 99 + 150).
    EXPECT_EQ(plan.slice[0].edge_x, 37);
    EXPECT_EQ(plan.slice[0].edge_y, 150);
    // Poured in at a quarter turn: (156, 66 + 150).
    EXPECT_EQ(plan.slice[0].fill_x, 156);
    EXPECT_EQ(plan.slice[0].fill_y, 216);
    EXPECT_EQ(plan.slice[0].colour, colour_hit);
    EXPECT_STREQ(plan.slice[0].legend, "A (50%)");
    EXPECT_EQ(plan.slice[0].legend_y, 47);
    // 25% from 0.5 to 0.75: edge at three quarters, where the cosine of
    // 3pi/2 in doubles is -1.8e-16, so x is just below 156 and truncates to
    // 155; y = 150 - 99 = 51. Middle 0.625: (156 - 80 * 0.7071 = 99.4,
    // 150 - 66 * 0.7071 = 103.3).
    EXPECT_EQ(plan.slice[1].edge_x, 155);
    EXPECT_EQ(plan.slice[1].edge_y, 51);
    EXPECT_EQ(plan.slice[1].fill_x, 99);
    EXPECT_EQ(plan.slice[1].fill_y, 103);
    EXPECT_EQ(plan.slice[1].colour, colour_site);
    EXPECT_EQ(plan.slice[1].legend_y, 67);
    // Rest from 0.75 to 1, middle 0.875: (156 + 56.6, 150 - 46.7).
    EXPECT_EQ(plan.slice[2].fill_x, 212);
    EXPECT_EQ(plan.slice[2].fill_y, 103);
    EXPECT_EQ(plan.slice[2].legend_y, 87);
    // The tenth place takes PieColor4.
    uint64_t ten[pie_slices] = {10, 10, 10, 10, 10, 10, 10, 10, 10, 10};
    plan_country_pie(100, ten, labels, &plan);
    ASSERT_EQ(plan.slice_count, 10);
    EXPECT_FALSE(plan.has_remainder);
    EXPECT_EQ(plan.slice[9].colour, colour_pie4);
    EXPECT_EQ(plan.slice[9].edge_x, 275);
    EXPECT_EQ(plan.slice[9].edge_y, 149);
}

TEST(PieDrawing, DecodedImageShowsSlicesRimAndRemainder) {
    scratch_dir dir;
    reset_settings();
    uint64_t counts[pie_slices] = {50, 25};
    std::string path = dir.file("ctry_usage_201401.png");
    ASSERT_EQ(draw_country_pie(path.c_str(), "Title", 100, counts, labels), graph_ok);
    gdImagePtr im = load_png(path);
    ASSERT_NE(im, nullptr);
    EXPECT_EQ(gdImageSX(im), 512);
    EXPECT_EQ(gdImageSY(im), 300);
    EXPECT_EQ(gdImageColorsTotal(im), 15);
    EXPECT_EQ(pixel(im, 156, 216), (rgb{0x00, 0x80, 0x5c}));  // ColorHit
    EXPECT_EQ(pixel(im, 99, 103), (rgb{0xff, 0x80, 0x00}));   // ColorSite
    EXPECT_EQ(pixel(im, 212, 103), (rgb{255, 255, 255}));     // the rest
    EXPECT_EQ(pixel(im, 156, 255), (rgb{0, 0, 0}));           // the lower rim
    EXPECT_EQ(pixel(im, 30, 150), (rgb{192, 192, 192}));      // outside the pie
    // The four extra colours sit at 11..14.
    EXPECT_EQ((rgb{gdImageRed(im, 11), gdImageGreen(im, 11), gdImageBlue(im, 11)}), (rgb{0x80, 0x00, 0x80}));
    EXPECT_EQ((rgb{gdImageRed(im, 14), gdImageGreen(im, 14), gdImageBlue(im, 14)}), (rgb{0xff, 0xc0, 0x80}));
    gdImageDestroy(im);
}

TEST(PieDrawing, SingleCountryFillsThePieWithoutRemainder) {
    scratch_dir dir;
    reset_settings();
    uint64_t counts[pie_slices] = {7};
    std::string path = dir.file("pie.png");
    ASSERT_EQ(draw_country_pie(path.c_str(), "Title", 7, counts, labels), graph_ok);
    gdImagePtr im = load_png(path);
    ASSERT_NE(im, nullptr);
    const rgb hit{0x00, 0x80, 0x5c};
    for (auto [x, y] : {std::pair{76, 150}, {212, 103}, {212, 196}, {99, 196}, {156, 60}})
        EXPECT_EQ(pixel(im, x, y), hit) << x << "," << y;
    int whites = 0;  // inside the pie nothing is white
    for (int y = 60; y < 240; ++y)
        for (int x = 60; x < 250; ++x)
            if (pixel(im, x, y) == (rgb{255, 255, 255})) ++whites;
    EXPECT_EQ(whites, 0);
    gdImageDestroy(im);
}

TEST(PieDrawing, SymbolicLinkRefused) {
    scratch_dir dir;
    reset_settings();
    settings.Verbosity = 0;
    write_file(dir.file("target"), "keep");
    ASSERT_EQ(symlink(dir.file("target").c_str(), dir.file("pie.png").c_str()), 0);
    uint64_t counts[pie_slices] = {1};
    EXPECT_EQ(draw_country_pie(dir.file("pie.png").c_str(), "T", 1, counts, labels), graph_symlink);
    EXPECT_EQ(read_file(dir.file("target")), "keep");
}
