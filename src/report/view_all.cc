#include "report/view_all.h"

#include <cstdio>

#include "lang/lang.h"
#include "report/page.h"
#include "report/top_tables.h"
#include "run/month.h"
#include "run/settings.h"

// Page layout, every kind:
//   page head (period "<month> <year> - <kind label>")
//   <FONT SIZE="-1"></CENTER><PRE>
//   column header line, rule line, empty line
//   group lines, then one empty line (only when there are groups)
//   normal lines
//   </PRE></FONT>, page tail
// Rows: 8-character numbers, a blank, a 6-character percentage with "%" and
// two blanks; names last, HTML-escaped.

namespace {

using ull = unsigned long long;

const char* month_name() {
    int m = month_totals.month;
    return (m >= 1 && m <= 12) ? month_full[m - 1] : "";
}

// Opens the kind's page and writes everything up to the first entry line.
FILE* open_view_page(const char* prefix, const char* label) {
    char name[report_name_size];
    snprintf(name, sizeof name, "%s_%04d%02d.%s", prefix, month_totals.year, month_totals.month,
             settings.HTMLExtension);
    FILE* out = open_report_file(name);
    if (out == nullptr) return nullptr;
    char period[256];
    snprintf(period, sizeof period, "%s %d - %s", month_name(), month_totals.year, label);
    emit_page_head(out, period);
    fputs("<FONT SIZE=\"-1\"></CENTER><PRE>\n", out);
    return out;
}

void close_view_page(FILE* out) {
    fputs("</PRE></FONT>\n", out);
    emit_page_tail(out);
    close_report_file(out);
}

// Walks arr twice: the group nodes first (then an empty line), the normal
// nodes after, each walk stopping when its count is written. write_line
// writes one node.
template <class Node, class Line>
void write_entries(FILE* out, const node_array<Node>& arr, uint64_t normal_count, uint64_t group_count,
                   bool show_normal, Line write_line) {
    if (group_count != 0) {
        uint64_t written = 0;
        for (uint64_t k = 0; k < arr.count && written < group_count; ++k)
            if (arr.items[k]->kind == node_group) {
                write_line(out, arr.items[k]);
                ++written;
            }
        fputs("\n", out);
    }
    if (normal_count != 0 && show_normal) {
        uint64_t written = 0;
        for (uint64_t k = 0; k < arr.count && written < normal_count; ++k)
            if (arr.items[k]->kind == node_normal) {
                write_line(out, arr.items[k]);
                ++written;
            }
    }
}

// Sites and user names: hits, files, kilobytes, visits, name.
template <class Node>
void write_wide_line(FILE* out, const Node* n) {
    const month_totals_rec& m = month_totals;
    html_text e(n->name);
    fprintf(out, "%-8llu %6.02f%%  %8llu %6.02f%%  %8.0f %6.02f%%  %8llu %6.02f%%  %s\n", static_cast<ull>(n->hits),
            share_pct(n->hits, m.total_hits), static_cast<ull>(n->files), share_pct(n->files, m.total_files),
            n->bytes / 1024.0, kbyte_pct(n->bytes, m.total_bytes), static_cast<ull>(n->visits),
            share_pct(n->visits, m.total_visits), e.text);
}

// Referrers, agents: hits, name.
template <class Node>
void write_hits_line(FILE* out, const Node* n) {
    html_text e(n->name);
    fprintf(out, "%-8llu %6.02f%%  %s\n", static_cast<ull>(n->hits), share_pct(n->hits, month_totals.total_hits),
            e.text);
}

constexpr const char wide_header[] = " %12s      %12s      %12s      %12s      %s\n";
constexpr const char wide_rule[] =
    "----------------  ----------------  ----------------  ----------------  --------------------\n\n";

}  // namespace

bool write_view_all_sites(uint64_t normal_count, uint64_t group_count) {
    FILE* out = open_view_page("site", lbl_sites);
    if (out == nullptr) return false;
    fprintf(out, wide_header, lbl_hits, lbl_files, lbl_kbytes, lbl_visits, lbl_hostname);
    fputs(wide_rule, out);
    write_entries(out, h_array, normal_count, group_count, !settings.HideAllSites, write_wide_line<hnode>);
    close_view_page(out);
    return true;
}

bool write_view_all_users(uint64_t normal_count, uint64_t group_count) {
    FILE* out = open_view_page("user", lbl_username);
    if (out == nullptr) return false;
    fprintf(out, wide_header, lbl_hits, lbl_files, lbl_kbytes, lbl_visits, lbl_username);
    fputs(wide_rule, out);
    write_entries(out, i_array, normal_count, group_count, true, write_wide_line<inode>);
    close_view_page(out);
    return true;
}

bool write_view_all_urls(uint64_t normal_count, uint64_t group_count) {
    FILE* out = open_view_page("url", lbl_url);
    if (out == nullptr) return false;
    fprintf(out, " %12s      %12s      %s\n", lbl_hits, lbl_kbytes, lbl_url);
    fputs("----------------  ----------------  --------------------\n\n", out);
    write_entries(out, u_array, normal_count, group_count, true, [](FILE* f, const unode* n) {
        const month_totals_rec& m = month_totals;
        html_text e(n->name);
        fprintf(f, "%-8llu %6.02f%%  %8.0f %6.02f%%  %s\n", static_cast<ull>(n->hits),
                share_pct(n->hits, m.total_hits), n->bytes / 1024.0, kbyte_pct(n->bytes, m.total_bytes), e.text);
    });
    close_view_page(out);
    return true;
}

bool write_view_all_referrers(uint64_t normal_count, uint64_t group_count) {
    FILE* out = open_view_page("ref", lbl_referrer);
    if (out == nullptr) return false;
    fprintf(out, " %12s      %s\n", lbl_hits, lbl_referrer);
    fputs("----------------  --------------------\n\n", out);
    write_entries(out, r_array, normal_count, group_count, true, write_hits_line<rnode>);
    close_view_page(out);
    return true;
}

bool write_view_all_agents(uint64_t normal_count, uint64_t group_count) {
    FILE* out = open_view_page("agent", lbl_agent);
    if (out == nullptr) return false;
    fprintf(out, " %12s      %s\n", lbl_hits, lbl_agent);
    fputs("----------------  ----------------------\n\n", out);
    write_entries(out, a_array, normal_count, group_count, true, write_hits_line<anode>);
    close_view_page(out);
    return true;
}

bool write_view_all_search(uint64_t count, uint64_t hits_sum) {
    if (count == 0) return false;
    FILE* out = open_view_page("search", lbl_search);
    if (out == nullptr) return false;
    fprintf(out, " %12s      %s\n", lbl_hits, lbl_search);
    fputs("----------------  ----------------------\n\n", out);
    for (uint64_t k = 0; k < s_array.count && k < count; ++k) {
        const snode* n = s_array.items[k];
        html_text e(n->name);
        fprintf(out, "%-8llu %6.02f%%  %s\n", static_cast<ull>(n->hits), share_pct(n->hits, hits_sum), e.text);
    }
    close_view_page(out);
    return true;
}
