#include "graph/graph.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "graph/fonts.h"
#include "lang/lang.h"
#include "persist/safe_file.h"
#include "run/month.h"
#include "run/settings.h"

gdImagePtr graph_image = nullptr;

gdFontPtr graph_small_font() { return &koi8u_font_small; }
gdFontPtr graph_bold_font() { return &koi8u_font_bold; }

namespace {

constexpr int small_w = 6;  // cell width of the small font; text widths are 6 x bytes

unsigned char* bytes(const char* text) {
    return reinterpret_cast<unsigned char*>(const_cast<char*>(text));
}

int text_len(const char* text) { return int(strlen(text)); }

void text(int x, int y, const char* s, int colour) {
    gdImageString(graph_image, graph_small_font(), x, y, bytes(s), colour);
}

void text_up(int x, int y, const char* s, int colour) {
    gdImageStringUp(graph_image, graph_small_font(), x, y, bytes(s), colour);
}

void line(int x1, int y1, int x2, int y2, int colour) {
    gdImageLine(graph_image, x1, y1, x2, y2, colour);
}

// Filled bar in its series colour, then (when asked) its black outline.
void bar(int x1, int y1, int x2, int y2, int colour, bool outline) {
    gdImageFilledRectangle(graph_image, x1, y1, x2, y2, colour);
    if (outline) gdImageRectangle(graph_image, x1, y1, x2, y2, colour_black);
}

// Scale numbers run upward from y = 6 x length + base at the given x.
void scale_text(int x, int base, const char* s) { text_up(x, small_w * text_len(s) + base, s, colour_black); }

void scale_count(int x, int base, uint64_t value) {
    char buf[24];
    snprintf(buf, sizeof buf, "%llu", static_cast<unsigned long long>(value));
    scale_text(x, base, buf);
}

void scale_amount(int x, int base, double value) {
    char buf[512];  // "%.0f" of the largest double needs 309 digits
    snprintf(buf, sizeof buf, "%.0f", value);
    scale_text(x, base, buf);
}

// GraphLines is 0..20 after start-up; kept in range here too.
int graph_lines() { return std::clamp(settings.GraphLines, 0, 20); }

// Truncation toward zero of a single-precision coordinate.
int trunc_px(float v) { return static_cast<int>(v); }

// Shared legend of the daily and hourly graphs: pages / files / hits, upward
// at x = 493, hanging from the top of the image.
void legend_pages_files_hits() {
    int lh = text_len(lbl_hits), lf = text_len(lbl_files), lp = text_len(lbl_pages);
    shadow_text_up(493, small_w * (lh + lf + lp) + 51, lbl_pages, colour_page);
    shadow_text_up(493, small_w * (lh + lf) + 48, "/", colour_black);
    shadow_text_up(493, small_w * (lh + lf) + 39, lbl_files, colour_file);
    shadow_text_up(493, small_w * lh + 36, "/", colour_black);
    shadow_text_up(493, small_w * lh + 27, lbl_hits, colour_hit);
}

int hex_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return 0;
}

}  // namespace

void parse_colour(const char* s, int* red, int* green, int* blue) {
    if (*s == '#') s++;
    // Digits past the terminator count 0; the terminator itself is never passed.
    unsigned char d[6] = {0, 0, 0, 0, 0, 0};
    for (int k = 0; k < 6 && s[k] != '\0'; k++) d[k] = static_cast<unsigned char>(s[k]);
    *red = 16 * hex_value(d[0]) + hex_value(d[1]);
    *green = 16 * hex_value(d[2]) + hex_value(d[3]);
    *blue = 16 * hex_value(d[4]) + hex_value(d[5]);
}

int allocate_colour(const char* text_value) {
    int r, g, b;
    parse_colour(text_value, &r, &g, &b);
    return gdImageColorAllocate(graph_image, r, g, b);
}

gdImagePtr new_graph_frame(const char* title, int w, int h) {
    if (graph_image) gdImageDestroy(graph_image);
    graph_image = gdImageCreate(w, h);
    if (!graph_image) return nullptr;

    // Allocation order fixes the palette indices of graph_colour_index.
    gdImageColorAllocate(graph_image, 192, 192, 192);
    gdImageColorAllocate(graph_image, 128, 128, 128);
    gdImageColorAllocate(graph_image, 0, 0, 0);
    gdImageColorAllocate(graph_image, 255, 255, 255);
    gdImageColorAllocate(graph_image, 0, 0, 255);
    for (const char* c : {settings.ColorHit, settings.ColorSite, settings.ColorFile,
                          settings.ColorKbyte, settings.ColorPage, settings.ColorVisit})
        allocate_colour(c);

    gdImageRectangle(graph_image, 0, 0, w - 1, h - 1, colour_black);
    for (int k = 2; k <= 5; k++) {
        line(k - 1, k - 1, w - 1 - k, k - 1, colour_white);
        line(k - 1, k - 1, k - 1, h - 1 - k, colour_white);
        line(k, h - k, w - k, h - k, colour_shadow);
        line(w - k, k, w - k, h - k, colour_shadow);
    }
    gdImageRectangle(graph_image, 20, 25, w - 21, h - 21, colour_black);
    gdImageRectangle(graph_image, 19, 24, w - 22, h - 22, colour_white);
    gdImageString(graph_image, graph_bold_font(), 20, 8, bytes(title), colour_blue);
    return graph_image;
}

void shadow_text(int x, int y, const char* s, int colour) {
    text(x + 1, y + 1, s, colour_shadow);
    text(x, y, s, colour);
}

void shadow_text_up(int x, int y, const char* s, int colour) {
    text_up(x + 1, y + 1, s, colour_shadow);
    text_up(x, y, s, colour);
}

int write_graph(const char* file_name) {
    // Written beside itself and renamed into place when complete, as the
    // pages are (persist/safe_file.h): no cut image, no link written through.
    int code = graph_ok;
    int opened = safe_ok;
    FILE* out = open_replacement(file_name, 0666, &opened);
    if (out != nullptr) {
        if (graph_image) gdImagePng(graph_image, out);
        int error = 0;
        if (!close_replacement(out, &error) && settings.Verbosity != 0)
            fprintf(stderr, "%s %s: %s\n", con_file_write_error, file_name, strerror(error));
    } else if (opened == safe_target_symlink || opened == safe_symlink) {
        if (settings.Verbosity != 0)
            fprintf(stderr, "%s %s%s (symlink)\n", con_file_open_error, file_name, opened == safe_symlink ? ".new" : "");
        code = graph_symlink;
    } else if (settings.Verbosity != 0) {
        fprintf(stderr, "%s %s!\n", con_file_open_error, file_name);
    }
    if (graph_image) gdImageDestroy(graph_image);
    graph_image = nullptr;
    return code;
}

int draw_summary_graph(const char* file_name, const char* title, const hist_entry* hist) {
    // GraphMonths is 12..72 after start-up; kept within the history here too.
    const int n = std::clamp(settings.GraphMonths, 1, history_months);
    const hist_entry* rows = hist + (history_months - n);

    if (!new_graph_frame(title, 512, 256)) return graph_ok;

    line(305, 25, 305, 233, colour_black);
    line(304, 25, 304, 233, colour_white);
    line(305, 130, 490, 130, colour_black);
    line(305, 129, 490, 129, colour_white);

    if (int lines = graph_lines(); lines > 0) {
        int step = 210 / (lines + 1), step2 = 105 / (lines + 1);
        for (int k = 1; k <= lines; k++) {
            line(21, 25 + k * step, 303, 25 + k * step, colour_shadow);
            line(306, 25 + k * step2, 489, 25 + k * step2, colour_shadow);
            line(306, 130 + k * step2, 489, 130 + k * step2, colour_shadow);
        }
    }

    if (settings.GraphLegend) {
        int lk = text_len(lbl_kbytes), lv = text_len(lbl_visits), ls = text_len(lbl_sites);
        int lp = text_len(lbl_pages), lf = text_len(lbl_files);
        shadow_text(490 - small_w * lk, 236, lbl_kbytes, colour_kbyte);
        shadow_text(478 - small_w * (lv + ls), 10, lbl_visits, colour_visit);
        shadow_text(481 - small_w * ls, 10, "/", colour_black);
        shadow_text(490 - small_w * ls, 10, lbl_sites, colour_site);
        shadow_text_up(5, 230, lbl_pages, colour_page);
        shadow_text_up(5, 227 - small_w * lp, "/", colour_black);
        shadow_text_up(5, 218 - small_w * lp, lbl_files, colour_file);
        shadow_text_up(5, 215 - small_w * (lp + lf), "/", colour_black);
        shadow_text_up(5, 206 - small_w * (lp + lf), lbl_hits, colour_hit);
    }

    const float b = 280.0f / float(n);
    const float c = b / 2;
    const float d = float(std::max(1, 48 / n));
    const float e = (c - d) / 2 + 22;

    // Month labels. Rows of a window that was never set up carry month 0 and
    // get no label.
    int labelled_year = 0;
    for (int i = 0; i < n; i++) {
        const hist_entry& row = rows[i];
        bool valid_month = row.month >= 1 && row.month <= 12;
        if (n <= 15) {
            if (valid_month)
                text(trunc_px(float(i) * b + e + ((c + 2 * d) - 18) / 2 + 1), 236,
                     month_abbr[row.month - 1], colour_black);
        } else if (n <= 35) {
            if (valid_month)
                gdImageChar(graph_image, graph_small_font(),
                            trunc_px(float(i) * b + e + ((c + 2 * d) - 6) / 2 + 1), 236,
                            static_cast<unsigned char>(month_abbr[row.month - 1][0]),
                            row.month == 1 ? colour_blue : colour_black);
        } else if (row.year != labelled_year && valid_month) {
            if (row.month == 1 && i != 0)
                gdImageChar(graph_image, graph_small_font(), trunc_px(float(i) * b + e - 3), 236,
                            '|', colour_blue);
            int span = std::min(trunc_px(float(13 - row.month) * b), trunc_px(float(n - i) * b));
            if (span >= 29) {
                char year_text[16];
                snprintf(year_text, sizeof year_text, "%04d", row.year);
                text(trunc_px(float(span / 2) + float(i) * b + e - 12), 236, year_text, colour_black);
            }
            labelled_year = row.year;
        }
    }

    // Left panel: hits, files, pages.
    uint64_t f_max = 1;
    for (int i = 0; i < n; i++) f_max = std::max({f_max, rows[i].hits, rows[i].files, rows[i].pages});
    scale_count(6, 26, f_max);
    struct series { uint64_t hist_entry::*field; int colour; };
    constexpr series left[] = {{&hist_entry::hits, colour_hit},
                               {&hist_entry::files, colour_file},
                               {&hist_entry::pages, colour_page}};
    for (int s = 0; s < 3; s++) {
        for (int i = 0; i < n; i++) {
            float r = float(rows[i].*left[s].field) / float(f_max);
            if (r <= 0) continue;
            int x1 = trunc_px(float(i) * b + e + float(s) * d);
            int x2 = trunc_px(float(x1) + c);
            bar(x1, trunc_px(r * -203 + 232), x2, 232, left[s].colour, c > 2);
        }
    }

    // Top right: visits, sites.
    uint64_t v_max = 0;
    for (int i = 0; i < n; i++) v_max = std::max({v_max, rows[i].visits, rows[i].sites});
    if (v_max == 0) v_max = 1;
    scale_count(493, 26, v_max);
    const float b2 = 180.0f / float(n);
    const float c2 = b2 / 2;
    const float e2 = (c2 - d) / 2 + 308;
    constexpr series right[] = {{&hist_entry::visits, colour_visit}, {&hist_entry::sites, colour_site}};
    for (int s = 0; s < 2; s++) {
        for (int i = 0; i < n; i++) {
            float r = float(rows[i].*right[s].field) / float(v_max);
            if (r <= 0) continue;
            int x1 = trunc_px(float(i) * b2 + e2 + float(s) * d);
            int x2 = trunc_px(float(x1) + c2);
            bar(x1, trunc_px(r * -98 + 127), x2, 127, right[s].colour, c2 > 2);
        }
    }

    // Bottom right: kilobytes, wider bars centred in the same slots.
    double k_max = 0;
    for (int i = 0; i < n; i++) k_max = std::max(k_max, rows[i].kbytes);
    if (!(k_max > 0)) k_max = 1.0;
    scale_amount(493, 130, k_max);
    const float w3 = d / 2 + b2 / 2;
    const float e3 = (w3 - d) / 2 + 308;
    for (int i = 0; i < n; i++) {
        float r = float(rows[i].kbytes) / float(k_max);
        if (r <= 0) continue;
        int x1 = trunc_px(float(i) * b2 + e3);
        int x2 = trunc_px(float(x1) + w3);
        bar(x1, trunc_px(r * -98 + 232), x2, 232, colour_kbyte, w3 > 2);
    }

    return write_graph(file_name);
}

int draw_daily_graph(const char* file_name, const char* title, int month, int year,
                     const uint64_t hits[31], const uint64_t files[31], const uint64_t sites[31],
                     const double transfer[31], const uint64_t pages[31],
                     const uint64_t visits[31]) {
    int64_t first = day_number(year, month, 1) % 7;
    const int w0 = int(first < 0 ? first + 7 : first);

    if (!new_graph_frame(title, 512, 400)) return graph_ok;

    line(21, 180, 490, 180, colour_black);
    line(21, 179, 490, 179, colour_white);
    line(21, 280, 490, 280, colour_black);
    line(21, 279, 490, 279, colour_white);

    if (int lines = graph_lines(); lines > 0) {
        int step = 154 / (lines + 1), step2 = 100 / (lines + 1);
        for (int k = 1; k <= lines; k++) {
            line(21, 25 + k * step, 489, 25 + k * step, colour_shadow);
            line(21, 180 + k * step2, 489, 180 + k * step2, colour_shadow);
            line(21, 280 + k * step2, 489, 280 + k * step2, colour_shadow);
        }
    }

    // Always 31 labels, whatever the month's length; weekends in the hits colour.
    for (int day = 1; day <= 31; day++) {
        char label[4];
        snprintf(label, sizeof label, "%2d", day);
        int weekday = (w0 + day - 1) % 7;
        text(25 + 15 * (day - 1), 382, label, weekday == 0 || weekday == 6 ? colour_hit : colour_black);
    }

    uint64_t s1 = 0;
    for (int i = 0; i < 31; i++) s1 = std::max({s1, hits[i], files[i], pages[i]});
    if (s1 == 0) s1 = 1;
    scale_count(8, 26, s1);

    if (settings.GraphLegend) {
        int ls = text_len(lbl_sites);
        shadow_text_up(493, 375, lbl_kbytes, colour_kbyte);
        shadow_text_up(493, 275, lbl_sites, colour_site);
        shadow_text_up(493, 272 - small_w * ls, "/", colour_black);
        shadow_text_up(493, 263 - small_w * ls, lbl_visits, colour_visit);
        legend_pages_files_hits();
    }

    struct series { const uint64_t* values; int offset, width, colour; };
    const series top[] = {{hits, 0, 7, colour_hit}, {files, 2, 7, colour_file}, {pages, 4, 7, colour_page}};
    for (const series& s : top) {
        for (int i = 0; i < 31; i++) {
            float r = float(s.values[i]) / float(s1);
            if (!(r > 0)) continue;
            int x0 = 25 + 15 * i + s.offset;
            bar(x0, trunc_px(r * -147 + 176), x0 + s.width, 176, s.colour, true);
        }
    }

    uint64_t s2 = 0;
    for (int i = 0; i < 31; i++) s2 = std::max({s2, visits[i], sites[i]});
    if (s2 == 0) s2 = 1;
    scale_count(8, 180, s2);
    const series middle[] = {{visits, 0, 8, colour_visit}, {sites, 4, 7, colour_site}};
    for (const series& s : middle) {
        for (int i = 0; i < 31; i++) {
            float r = float(s.values[i]) / float(s2);
            if (!(r > 0)) continue;
            int x0 = 25 + 15 * i + s.offset;
            bar(x0, trunc_px(r * -92 + 276), x0 + s.width, 276, s.colour, true);
        }
    }

    double s3 = 0;
    for (int i = 0; i < 31; i++) s3 = std::max(s3, transfer[i]);
    if (!(s3 > 0)) s3 = 1.0;
    scale_amount(8, 280, s3 / 1024);
    for (int i = 0; i < 31; i++) {
        float r = float(transfer[i] / s3);
        if (!(r > 0)) continue;
        bar(26 + 15 * i, trunc_px(r * -91 + 375), 36 + 15 * i, 375, colour_kbyte, true);
    }

    return write_graph(file_name);
}

int draw_hourly_graph(const char* file_name, const char* title, const uint64_t hits[24],
                      const uint64_t files[24], const uint64_t pages[24]) {
    if (!new_graph_frame(title, 512, 256)) return graph_ok;

    if (int lines = graph_lines(); lines > 0) {
        int step = 210 / (lines + 1);
        for (int k = 1; k <= lines; k++) line(21, 25 + k * step, 489, 25 + k * step, colour_shadow);
    }

    for (int h = 0; h < 24; h++) {
        char label[4];
        snprintf(label, sizeof label, "%2d", h);
        text(33 + 19 * h, 238, label, colour_black);
    }

    uint64_t s1 = 0;
    for (int h = 0; h < 24; h++) s1 = std::max({s1, hits[h], files[h], pages[h]});
    if (s1 == 0) s1 = 1;
    scale_count(8, 26, s1);

    if (settings.GraphLegend) legend_pages_files_hits();

    struct series { const uint64_t* values; int offset, colour; };
    const series bars[] = {{hits, 29, colour_hit}, {files, 32, colour_file}, {pages, 35, colour_page}};
    for (const series& s : bars) {
        for (int h = 0; h < 24; h++) {
            float r = float(s.values[h]) / float(s1);
            if (!(r > 0)) continue;
            int x1 = s.offset + 19 * h;
            bar(x1, trunc_px(r * -203 + 232), x1 + 10, 232, s.colour, true);
        }
    }

    return write_graph(file_name);
}
