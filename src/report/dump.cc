#include "report/dump.h"

#include <cstdio>

#include "lang/lang.h"
#include "report/page.h"
#include "report/top_tables.h"
#include "run/month.h"
#include "run/settings.h"

namespace {

using ull = unsigned long long;

// Opens "<DumpPath or .>/<prefix>_YYYYMM.<DumpExtension>"; nullptr when it
// must not or cannot be written (message by open_report_file).
FILE* open_dump(const char* prefix) {
    char name[report_name_size];
    snprintf(name, sizeof name, "%s/%s_%04d%02d.%s", settings.DumpPath != nullptr ? settings.DumpPath : ".", prefix,
             month_totals.year, month_totals.month, settings.DumpExtension != nullptr ? settings.DumpExtension : "tab");
    return open_report_file(name);
}

// Writes every non-group node of arr with write_line, after the header when
// DumpHeader is on. No file for an empty array.
template <class Node, class Header, class Line>
void write_dump(const char* prefix, const node_array<Node>& arr, Header header, Line line) {
    if (arr.count == 0) return;
    FILE* out = open_dump(prefix);
    if (out == nullptr) return;
    if (settings.DumpHeader) header(out);
    for (uint64_t k = 0; k < arr.count; ++k)
        if (arr.items[k]->kind != node_group) line(out, arr.items[k]);
    close_report_file(out);
}

template <class Node>
void wide_line(FILE* out, const Node* n) {
    fprintf(out, "%llu\t%llu\t%.0f\t%llu\t%s\n", static_cast<ull>(n->hits), static_cast<ull>(n->files),
            n->bytes / 1024.0, static_cast<ull>(n->visits), n->name);
}

template <class Node>
void hits_line(FILE* out, const Node* n) {
    fprintf(out, "%llu\t%s\n", static_cast<ull>(n->hits), n->name);
}

}  // namespace

void write_site_dump() {
    write_dump(
        "site", h_array,
        [](FILE* f) { fprintf(f, "%s\t%s\t%s\t%s\t%s\n", lbl_hits, lbl_files, lbl_kbytes, lbl_visits, lbl_hostname); },
        wide_line<hnode>);
}

void write_user_dump() {
    write_dump(
        "user", i_array,
        [](FILE* f) { fprintf(f, "%s\t%s\t%s\t%s\t%s\n", lbl_hits, lbl_files, lbl_kbytes, lbl_visits, lbl_username); },
        wide_line<inode>);
}

void write_url_dump() {
    write_dump(
        "url", u_array, [](FILE* f) { fprintf(f, "%s\t%s\t%s\n", lbl_hits, lbl_kbytes, lbl_url); },
        [](FILE* f, const unode* n) {
            fprintf(f, "%llu\t%.0f\t%s\n", static_cast<ull>(n->hits), n->bytes / 1024.0, n->name);
        });
}

void write_referrer_dump() {
    write_dump(
        "ref", r_array, [](FILE* f) { fprintf(f, "%s\t%s\n", lbl_hits, lbl_referrer); }, hits_line<rnode>);
}

void write_agent_dump() {
    write_dump(
        "agent", a_array, [](FILE* f) { fprintf(f, "%s\t%s\n", lbl_hits, lbl_agent); }, hits_line<anode>);
}

void write_search_dump() {
    // Search strings carry no kind: every one is written.
    const node_array<snode>& arr = s_array;
    if (arr.count == 0) return;
    FILE* out = open_dump("search");
    if (out == nullptr) return;
    if (settings.DumpHeader) fprintf(out, "%s\t%s\n", lbl_hits, lbl_search);
    for (uint64_t k = 0; k < arr.count; ++k) hits_line(out, arr.items[k]);
    close_report_file(out);
}
