#include "graph/pie.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "graph/graph.h"
#include "lang/lang.h"
#include "run/settings.h"

namespace {

constexpr double full_turn = 6.283185307179586;
constexpr int centre_x = 156, centre_y = 150;

// Point on the slice edge at fraction f of the full turn.
void edge_point(float f, int* x, int* y) {
    *x = static_cast<int>(cos(full_turn * f) * 119 + centre_x);
    *y = static_cast<int>(sin(full_turn * f) * 99 + centre_y);
}

// Where the colour of a slice with middle fraction m is poured in.
void fill_point(float m, int* x, int* y) {
    *x = static_cast<int>(cos(full_turn * m) * 80 + centre_x);
    *y = static_cast<int>(sin(full_turn * m) * 66 + centre_y);
}

}  // namespace

void plan_country_pie(uint64_t total_hits, const uint64_t counts[pie_slices],
                      const char* const labels[pie_slices], pie_plan* plan) {
    memset(plan, 0, sizeof *plan);
    // The running total is kept in whole percent and the fractions derived
    // from it, so that summed hundredths cannot drift below a whole percent
    // (57% must leave 43% for the rest, not 44%).
    int done = 0;
    int legend_y = 47;
    for (int i = 0; i < pie_slices; ++i) {
        if (counts[i] == 0 || done >= 100) continue;
        if (total_hits == 0) break;
        double share = (static_cast<double>(counts[i]) / static_cast<double>(total_hits) + 0.005) * 100;
        if (share > 100) share = 100;  // counts above the total cannot widen a slice past the full turn
        int pct = static_cast<int>(share);
        if (pct < 1) break;  // all later places are smaller
        pie_slice& s = plan->slice[plan->slice_count++];
        double cumulative = done / 100.0;
        double end;
        if (done + pct < 100) {
            end = (done + pct) / 100.0;
            edge_point(static_cast<float>(end), &s.edge_x, &s.edge_y);
        } else {
            end = 1.0;
            s.edge_x = 275;
            s.edge_y = 149;
        }
        float m = (static_cast<float>(cumulative) + static_cast<float>(end)) * 0.5f;
        fill_point(m, &s.fill_x, &s.fill_y);
        s.colour = i + colour_hit;
        s.percent = pct;
        snprintf(s.legend, sizeof s.legend, "%s (%d%%)", labels[i] ? labels[i] : "", pct);
        s.legend_y = legend_y;
        legend_y += 20;
        done = done + pct < 100 ? done + pct : 100;
    }
    if (done < 100) {
        pie_slice& s = plan->slice[plan->slice_count++];
        plan->has_remainder = true;
        float m = (static_cast<float>(done / 100.0) + 1.0f) * 0.5f;
        fill_point(m, &s.fill_x, &s.fill_y);
        s.colour = colour_white;
        s.percent = 100 - done;
        s.edge_x = 275;
        s.edge_y = 150;
        snprintf(s.legend, sizeof s.legend, "%s (%d%%)", lbl_other, s.percent);
        s.legend_y = legend_y;
    }
}

int draw_country_pie(const char* file_name, const char* title, uint64_t total_hits,
                     const uint64_t counts[pie_slices], const char* const labels[pie_slices]) {
    pie_plan plan;
    plan_country_pie(total_hits, counts, labels, &plan);

    gdImagePtr im = new_graph_frame(title, pie_width, pie_height);
    allocate_colour(settings.PieColor1);
    allocate_colour(settings.PieColor2);
    allocate_colour(settings.PieColor3);
    allocate_colour(settings.PieColor4);

    // Outline with a 10-pixel black rim along the lower half.
    gdImageArc(im, centre_x, centre_y, 240, 200, 0, 360, colour_black);
    gdImageArc(im, centre_x, centre_y + 10, 238, 198, 2, 178, colour_black);
    gdImageFillToBorder(im, centre_x, 251, colour_black, colour_black);
    gdImageLine(im, centre_x, centre_y, 275, centre_y, colour_black);

    gdFontPtr font = graph_bold_font();
    for (int k = 0; k < plan.slice_count; ++k) {
        const pie_slice& s = plan.slice[k];
        bool remainder = plan.has_remainder && k == plan.slice_count - 1;
        if (!remainder) gdImageLine(im, centre_x, centre_y, s.edge_x, s.edge_y, colour_black);
        gdImageFill(im, s.fill_x, s.fill_y, s.colour);
        int len = static_cast<int>(strlen(s.legend));
        auto* text = reinterpret_cast<unsigned char*>(const_cast<char*>(s.legend));
        gdImageString(im, font, 481 - 7 * len, s.legend_y + 1, text, colour_black);
        gdImageString(im, font, 480 - 7 * len, s.legend_y, text, s.colour);
    }
    return write_graph(file_name);
}
