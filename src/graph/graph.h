// Graphs: the PNG bar charts of the reports, drawn with libgd into palette
// images. Every graph starts with new_graph_frame (image, the eleven-colour
// palette, frame, bevel and title) and ends with write_graph (symbolic-link
// refusal, PNG output, image destroyed). Drawn here: the summary graph over
// the history (usage.png), the daily and the hourly graph of a month.
//
// Owns the drawing state: one current image and its colour indices, used by
// one graph at a time (the country pie of graph/pie.h draws on the same
// frame). Needs the settings (colours, GraphLines, GraphLegend, GraphMonths,
// Verbosity), the message catalogue (legend words, month names, the open
// error) and the history. Texts are drawn byte for byte with the KOI8-U fonts
// of graph/fonts.h.
//
// All fractional geometry is single precision and every coordinate is the
// value truncated toward zero, so bars and labels land on fixed pixels.
#pragma once

#include <gd.h>

#include <cstdint>

#include "persist/history.h"

enum graph_code : int {
    graph_ok = 0,       // written, or not written after its message (counted as unwritten)
    graph_symlink = 9,  // target (or its "<name>.new") is a symbolic link: message, nothing written
};

// Palette indices fixed by the allocation order of new_graph_frame; the pie
// chart adds PieColor1..4 as 11..14.
enum graph_colour_index : int {
    colour_background = 0,  // (192, 192, 192)
    colour_shadow = 1,      // (128, 128, 128): bevel, background lines, text shadows
    colour_black = 2,
    colour_white = 3,
    colour_blue = 4,        // title, January initials, year marks
    colour_hit = 5,         // ColorHit
    colour_site = 6,        // ColorSite
    colour_file = 7,        // ColorFile
    colour_kbyte = 8,       // ColorKbyte
    colour_page = 9,        // ColorPage
    colour_visit = 10,      // ColorVisit
};
constexpr int graph_frame_colours = 11;

// The current image, nullptr between graphs. Set by new_graph_frame, freed by
// write_graph.
extern gdImagePtr graph_image;

// Fonts of every graph: 6 x 13 (labels, legends, scale numbers) and 7 x 13
// bold (titles, pie legends).
gdFontPtr graph_small_font();
gdFontPtr graph_bold_font();

// Colour text "#rrggbb" or "rrggbb" -> components 0..255. One leading '#' is
// skipped; each pair is 16 * value(first) + value(second), where any byte
// that is not a hexadecimal digit counts 0. Never fails; text may be shorter
// than six digits (missing digits count 0) but must be terminated.
void parse_colour(const char* text, int* red, int* green, int* blue);

// Allocates parse_colour(text) in the current image; returns its index.
int allocate_colour(const char* text);

// Replaces the current image with a width x height palette image holding the
// eleven colours above, the black border, the bevel, the inner frame and the
// title (bold, blue, at (20, 8)). Returns graph_image. A leftover image of a
// graph that was never written is freed first.
gdImagePtr new_graph_frame(const char* title, int width, int height);

// Legend words: first in the shadow colour at (x + 1, y + 1), then in colour
// at (x, y), small font. The upward form draws rotated 90 degrees, the text
// running up from y.
void shadow_text(int x, int y, const char* text, int colour);
void shadow_text_up(int x, int y, const char* text, int colour);

// Writes the current image to file_name as PNG through "<name>.new" and a
// rename, and destroys it. A symbolic link (not followed) gets "Error: Unable
// to open file <name> (symlink)" on stderr unless Verbosity is 0 and
// graph_symlink; a file that cannot be created gets "... <name>!" and one
// whose writing fails "Error: Unable to write file <name>: <reason>" (the old
// file then stays), both graph_ok and counted as unwritten files
// (persist/safe_file.h). The image is destroyed in every case.
int write_graph(const char* file_name);

// 512 x 256 summary of the last GraphMonths rows of hist (120 rows, oldest
// first): hits/files/pages left, visits/sites top right, kilobytes bottom
// right. Returns write_graph's code.
int draw_summary_graph(const char* file_name, const char* title, const hist_entry* hist);

// 512 x 400 daily graph of a month (month 1..12), arrays of 31 days (day - 1);
// transfer in bytes. Returns write_graph's code.
int draw_daily_graph(const char* file_name, const char* title, int month, int year,
                     const uint64_t hits[31], const uint64_t files[31], const uint64_t sites[31],
                     const double transfer[31], const uint64_t pages[31],
                     const uint64_t visits[31]);

// 512 x 256 hourly graph, arrays of 24 hours. Returns write_graph's code.
int draw_hourly_graph(const char* file_name, const char* title, const uint64_t hits[24],
                      const uint64_t files[24], const uint64_t pages[24]);
