// Country pie chart: a 512 x 300 PNG of the month's hits by country, one
// slice per ranked country (at most ten) with a legend "name (pct%)" in the
// slice's colour, and a white slice for the rest. Built on the graph frame of
// graph/graph.h; adds PieColor1..4 as palette indices 11..14, so slice i is
// painted with index i + 5 (ColorHit, ColorSite, ColorFile, ColorKbyte,
// ColorPage, ColorVisit, PieColor1..4).
//
// Geometry: centre (156, 150), ellipse 240 x 200 with a 10-pixel black rim
// below; angles run from 3 o'clock towards the bottom of the image.
#pragma once

#include <cstdint>

constexpr int pie_slices = 10;
constexpr int pie_width = 512, pie_height = 300;
constexpr int pie_legend_size = 128;  // legend texts are cut to 127 bytes

// Palette indices of the four extra colours.
enum pie_colour_index : int { colour_pie1 = 11, colour_pie2 = 12, colour_pie3 = 13, colour_pie4 = 14 };

// One drawn slice (the remainder slice has colour colour_white and no edge).
struct pie_slice {
    int colour;                    // palette index
    int percent;                   // the legend's percentage
    int edge_x, edge_y;            // end of its radius line
    int fill_x, fill_y;            // where its colour is poured in
    char legend[pie_legend_size];  // "name (pct%)"
    int legend_y;                  // y of the legend text
};

// What draw_country_pie draws: up to ten country slices plus the remainder.
struct pie_plan {
    int slice_count;          // entries of slice used, remainder included
    bool has_remainder;       // the last entry is the white remainder slice
    pie_slice slice[pie_slices + 1];
};

// Works out the slices for the given counts (see draw_country_pie). A total
// of 0 draws no country slice.
void plan_country_pie(uint64_t total_hits, const uint64_t counts[pie_slices],
                      const char* const labels[pie_slices], pie_plan* plan);

// Draws file_name. counts are ranked descending, 0 for empty places; labels
// are the matching texts (nullptr or "" for empty places). Returns graph_ok
// when done (also when the file cannot be opened) or graph_symlink when
// file_name is a symbolic link (nothing written).
int draw_country_pie(const char* file_name, const char* title, uint64_t total_hits,
                     const uint64_t counts[pie_slices], const char* const labels[pie_slices]);
