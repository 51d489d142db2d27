#include "report/countries.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "graph/pie.h"
#include "lang/lang.h"
#include "report/page.h"
#include "report/top_tables.h"
#include "resolve/geo.h"
#include "run/month.h"
#include "run/settings.h"
#include "stats/tables.h"
#include "stats/text.h"

country_entry** top_country_slots = nullptr;
uint64_t country_count = 0;

namespace {
int slot_count = 0;  // entries reserved in top_country_slots

constexpr char grey[] = "#C0C0C0";
constexpr char spacer[] = "<TR><TH HEIGHT=4></TH></TR>\n";

// Packed code -> row of country_table, remembered, e.g. pack_tld("com") -> 1:
// a month's sites share few domains, and the table is searched front to back.
// Slots start at code 0, which is never looked up here.
int country_row(std::int64_t code) {
    struct memo {
        std::int64_t code;
        int row;
    };
    static memo seen[256];
    if (code == 0) return 0;
    memo& m = seen[(static_cast<std::uint64_t>(code) * 0x9e3779b97f4a7c15ull) >> 56];
    if (m.code != code) m = memo{code, find_country(code)};
    return m.row;
}

// Domain row of a name: the label after the last dot that is not the name's
// first character; row 0 when there is none or no row carries it.
country_entry* domain_row(const char* name) {
    const char* dot = strrchr(name, '.');
    if (!dot || dot == name) return &country_table[0];
    // Packed as written: a label with upper-case letters matches no row.
    return &country_table[country_row(pack_tld(dot + 1))];
}
}  // namespace

int allocate_top_country_slots() {
    free_top_country_slots();
    if (settings.TopCountries <= 0) return countries_ok;
    top_country_slots = static_cast<country_entry**>(calloc(settings.TopCountries, sizeof(country_entry*)));
    if (!top_country_slots) return countries_nomem;
    slot_count = settings.TopCountries;
    return countries_ok;
}

void clear_top_country_slots() {
    for (int k = 0; k < slot_count; ++k) top_country_slots[k] = nullptr;
    country_count = 0;
}

void free_top_country_slots() {
    free(top_country_slots);
    top_country_slots = nullptr;
    slot_count = 0;
}

country_entry* country_of_site(const char* name) {
    if (address_kind(name) < 1) return domain_row(name);
    if (!settings.GeoDB) return &country_table[0];
    char code[3];
    geo_country_of(name, code);
    if (code[0] == '-') {
        if (settings.Debug) fprintf(stderr, "GeoDB: %s unknown!\n", name);
        return &country_table[0];
    }
    return &country_table[country_row(pack_tld(code))];
}

void write_top_countries() {
    if (settings.TopCountries <= 0 || !top_country_slots || !report_page) return;
    FILE* out = report_page;
    int slots = settings.TopCountries < slot_count ? settings.TopCountries : slot_count;

    // Accumulate the month's sites (hidden ones too; groups are not sites),
    // in table order, which fixes how the byte totals round. A node array
    // gathers the chains faster than one walk; without memory for it the
    // chains are walked directly.
    auto add = [](const hnode* n) {
        if (n->kind == node_group) return;
        country_entry* row = country_of_site(n->name);
        row->count += n->hits;
        row->files += n->files;
        row->xfer += n->bytes;
    };
    node_array<hnode> sites;
    if (fill_node_array(&sites, &site_table) == report_ok && sites.count == site_table.count) {
        constexpr uint64_t ahead = 16;  // nodes lie all over memory: ask for them early
        for (uint64_t k = 0; k < sites.count; ++k) {
            if (k + ahead < sites.count) __builtin_prefetch(sites.items[k + ahead]);
            add(sites.items[k]);
        }
    } else {
        for (int b = 0; b < table_size; ++b)
            for (const hnode* n = site_table.buckets[b]; n; n = n->next) add(n);
    }
    free_node_array(&sites);

    // Rank in table order: a row goes in front of the first row with fewer
    // hits, so equal counts keep table order.
    for (int k = 0; k < slots; ++k) top_country_slots[k] = nullptr;
    country_count = 0;
    for (country_entry* row = country_table; row->desc; ++row) {
        if (row->count != 0) ++country_count;
        for (int k = 0; k < slots; ++k) {
            if (!top_country_slots[k]) {
                top_country_slots[k] = row;
                break;
            }
            if (top_country_slots[k]->count < row->count) {
                memmove(&top_country_slots[k + 1], &top_country_slots[k],
                        (slots - k - 1) * sizeof(country_entry*));
                top_country_slots[k] = row;
                break;
            }
        }
    }

    fprintf(out, "<A NAME=\"TOPCTRYS\"></A>\n");

    if (settings.CountryGraph) {
        uint64_t values[pie_slices] = {};
        const char* labels[pie_slices] = {};
        for (int k = 0; k < pie_slices && k < slots; ++k) {
            if (!top_country_slots[k]) continue;
            values[k] = top_country_slots[k]->count;
            labels[k] = top_country_slots[k]->desc;
        }
        char title[48], file_name[32];
        snprintf(title, sizeof title, "%s %s %d", ttl_country_stats,
                 month_full[(month_totals.month + 11) % 12], month_totals.year);
        snprintf(file_name, sizeof file_name, "ctry_usage_%04d%02d.png", month_totals.year, month_totals.month);
        draw_country_pie(file_name, title, month_totals.total_hits, values, labels);
        fprintf(out, "<IMG SRC=\"%s\" ALT=\"%s\" HEIGHT=300 WIDTH=512><P>\n", file_name, title);
    }

    int shown = 0;
    for (int k = 0; k < slots; ++k)
        if (top_country_slots[k] && top_country_slots[k]->count != 0) ++shown;

    fprintf(out, "<TABLE WIDTH=510 BORDER=2 CELLSPACING=1 CELLPADDING=1>\n");
    fputs(spacer, out);
    fprintf(out, "<TR><TH BGCOLOR=\"%s\" ALIGN=CENTER COLSPAN=8>%s %d %s %d %s</TH></TR>\n", grey, top_first, shown,
            top_of, static_cast<int>(country_count), top_countries);
    fputs(spacer, out);
    fprintf(out, "<TR><TH BGCOLOR=\"%s\" ALIGN=center><FONT SIZE=\"-1\">#</FONT></TH>\n", grey);
    static const struct {
        const char* colour;
        const char* const* label;
    } heads[] = {{settings.ColorHit, &lbl_hits}, {settings.ColorFile, &lbl_files}, {settings.ColorKbyte, &lbl_kbytes}};
    for (const auto& h : heads)
        fprintf(out, "<TH BGCOLOR=\"%s\" ALIGN=center COLSPAN=2><FONT SIZE=\"-1\">%s</FONT></TH>\n", h.colour,
                *h.label);
    fprintf(out, "<TH BGCOLOR=\"%s\" ALIGN=center><FONT SIZE=\"-1\">%s</FONT></TH></TR>\n", settings.ColorMisc,
            lbl_country);
    fputs(spacer, out);

    for (int k = 0; k < slots; ++k) {
        const country_entry* row = top_country_slots[k];
        if (!row || row->count == 0) continue;
        char flag[256] = "";
        if (settings.CountryFlags && row->code != 0) {
            const char* code = unpack_tld(row->code);
            if (strlen(code) <= 2 && strcmp(code, "ap") != 0)
                snprintf(flag, sizeof flag, "<IMG SRC=\"%s/%s.png\" ALT=\"%s\" WIDTH=18 HEIGHT=12> ", settings.FlagDir,
                         code, row->desc);
        }
        fprintf(out,
                "<TR><TD ALIGN=center><FONT SIZE=\"-1\"><B>%d</B></FONT></TD>\n"
                "<TD ALIGN=right><FONT SIZE=\"-1\"><B>%llu</B></FONT></TD>\n"
                "<TD ALIGN=right><FONT SIZE=\"-2\">%3.02f%%</FONT></TD>\n"
                "<TD ALIGN=right><FONT SIZE=\"-1\"><B>%llu</B></FONT></TD>\n"
                "<TD ALIGN=right><FONT SIZE=\"-2\">%3.02f%%</FONT></TD>\n"
                "<TD ALIGN=right><FONT SIZE=\"-1\"><B>%.0f</B></FONT></TD>\n"
                "<TD ALIGN=right><FONT SIZE=\"-2\">%3.02f%%</FONT></TD>\n"
                "<TD ALIGN=left NOWRAP>%s<FONT SIZE=\"-1\">%s</FONT></TD></TR>\n",
                k + 1, static_cast<unsigned long long>(row->count), share_pct(row->count, month_totals.total_hits),
                static_cast<unsigned long long>(row->files), share_pct(row->files, month_totals.total_files),
                row->xfer / 1024, kbyte_pct(row->xfer, month_totals.total_bytes), flag, row->desc);
    }
    fputs(spacer, out);
    fprintf(out, "</TABLE>\n<P>\n");
}
