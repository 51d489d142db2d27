#include "report/month_report.h"

#include <cstdio>
#include <cstdlib>

#include "graph/graph.h"
#include "lang/lang.h"
#include "report/countries.h"
#include "report/dump.h"
#include "report/page.h"
#include "report/top_tables.h"
#include "run/console.h"
#include "run/month.h"
#include "run/settings.h"

namespace {

constexpr const char table_open[] = "<TABLE WIDTH=510 BORDER=2 CELLSPACING=1 CELLPADDING=1>\n";
constexpr const char spacer[] = "<TR><TH HEIGHT=4></TH></TR>\n";
constexpr const char grey[] = "#C0C0C0";
constexpr const char shade[] = "#D0D0E0";

using ull = unsigned long long;

// Days from the first to the last day with data; never below 1.
uint64_t day_span() {
    int span = month_totals.last_day - month_totals.first_day + 1;
    return span < 1 ? 1 : static_cast<uint64_t>(span);
}

// Share in double precision; 0 for a zero value (and a zero total).
double pct(uint64_t value, uint64_t total) {
    if (value == 0 || total == 0) return 0.0;
    return static_cast<double>(value) / static_cast<double>(total) * 100.0;
}
double pct(double value, double total) {
    if (value == 0.0 || total == 0.0) return 0.0;
    return value / total * 100.0;
}

const char* month_name() {
    int m = month_totals.month;
    return (m >= 1 && m <= 12) ? month_full[m - 1] : "";
}

// --- Node array pipeline ---------------------------------------------------

// Fills the kind's array, or prints its no-memory message. false: skip the kind.
template <class Node>
bool start_kind(node_array<Node>* arr, const node_table<Node>* table, const char* nomem_text,
                const char* array_name) {
    if (table->count == 0) return false;
    if (fill_node_array(arr, table) != report_ok) {
        if (settings.Verbosity >= 1) fprintf(stderr, "%s [%s]\n", nomem_text, array_name);
        return false;
    }
    return arr->count != 0;
}

// Rows a top table reads, or all_rows when another reader needs the whole
// order. A kind's later sorts only need the whole order when its earlier
// ones did (its view-all page decides both), so no whole sort ever starts
// from a partly ordered array.
uint64_t rows_for(int top, bool whole) {
    if (whole) return all_rows;
    return top < 0 ? 0 : static_cast<uint64_t>(top);
}

void write_url_sections() {
    if (!start_kind(&u_array, &url_table, con_nomem_urls, "u_array")) return;
    if (settings.DumpURLs || settings.TopURLs != 0) {
        sort_urls(&u_array, order_hits, rows_for(settings.TopURLs, settings.DumpURLs || settings.AllURLs));
        if (settings.TopURLs != 0) write_top_urls(false);
        if (settings.DumpURLs) write_url_dump();
    }
    if (settings.TopKURLs != 0) {
        sort_urls(&u_array, order_kbytes, rows_for(settings.TopKURLs, settings.AllURLs));
        write_top_urls(true);
    }
    if (settings.TopEntry != 0) {
        sort_urls(&u_array, order_entry, rows_for(settings.TopEntry, false));
        write_top_entry_exit(false);
    }
    if (settings.TopExit != 0) {
        sort_urls(&u_array, order_exit, rows_for(settings.TopExit, false));
        write_top_entry_exit(true);
    }
    free_node_array(&u_array);
}

void write_site_sections() {
    if (!start_kind(&h_array, &site_table, con_nomem_sites, "h_array")) return;
    if (settings.DumpSites || settings.TopSites != 0) {
        sort_sites(&h_array, order_hits, rows_for(settings.TopSites, settings.DumpSites || settings.AllSites));
        if (settings.TopSites != 0) write_top_sites(false);
        if (settings.DumpSites) write_site_dump();
    }
    if (settings.TopKSites != 0) {
        sort_sites(&h_array, order_kbytes, rows_for(settings.TopKSites, settings.AllSites));
        write_top_sites(true);
    }
    free_node_array(&h_array);
}

void write_referrer_sections() {
    if (!start_kind(&r_array, &referrer_table, con_nomem_referrers, "r_array")) return;
    if (settings.DumpReferrers || settings.TopReferrers != 0) {
        sort_referrers(&r_array, rows_for(settings.TopReferrers, settings.DumpReferrers || settings.AllReferrers));
        if (settings.TopReferrers != 0) write_top_referrers();
        if (settings.DumpReferrers) write_referrer_dump();
    }
    free_node_array(&r_array);
}

void write_search_sections() {
    if (!start_kind(&s_array, &search_table, con_nomem_search, "s_array")) return;
    if (settings.DumpSearchStr || settings.TopSearch != 0) {
        sort_search(&s_array, rows_for(settings.TopSearch, settings.DumpSearchStr || settings.AllSearchStr));
        if (settings.TopSearch != 0) write_top_search();
        if (settings.DumpSearchStr) write_search_dump();
    }
    free_node_array(&s_array);
}

void write_user_sections() {
    if (!start_kind(&i_array, &user_table, con_nomem_users, "i_array")) return;
    if (settings.DumpUsers || settings.TopUsers != 0) {
        sort_users(&i_array, rows_for(settings.TopUsers, settings.DumpUsers || settings.AllUsers));
        if (settings.TopUsers != 0) write_top_users();
        if (settings.DumpUsers) write_user_dump();
    }
    free_node_array(&i_array);
}

void write_agent_sections() {
    if (!start_kind(&a_array, &agent_table, con_nomem_agents, "a_array")) return;
    if (settings.DumpAgents || settings.TopAgents != 0) {
        sort_agents(&a_array, rows_for(settings.TopAgents, settings.DumpAgents || settings.AllAgents));
        if (settings.TopAgents != 0) write_top_agents();
        if (settings.DumpAgents) write_agent_dump();
    }
    free_node_array(&a_array);
}

}  // namespace

// One section link: its anchor, label, and whether it is written.
struct section_link {
    const char* format;
    const char* const* label;
    bool (*wanted)();
};

void write_section_links() {
    static const section_link links[] = {
        {"<A HREF=\"#DAYSTATS\">[%s]</A>\n", &nav_daily,
         [] { return settings.DailyGraph || settings.DailyStats; }},
        {"<A HREF=\"#HOURSTATS\">[%s]</A>\n", &nav_hourly,
         [] { return settings.HourlyGraph || settings.HourlyStats; }},
        {"<A HREF=\"#TOPURLS\">[%s]</A>\n", &nav_urls,
         [] { return settings.TopKURLs != 0 || settings.TopURLs != 0; }},
        {"<A HREF=\"#TOPENTRY\">[%s]</A>\n", &nav_entry, [] { return settings.TopEntry != 0; }},
        {"<A HREF=\"#TOPEXIT\">[%s]</A>\n", &nav_exit, [] { return settings.TopExit != 0; }},
        {"<A HREF=\"#TOPSITES\">[%s]</A>\n", &nav_sites,
         [] { return settings.TopKSites != 0 || settings.TopSites != 0; }},
        {"<A HREF=\"#TOPREFS\">[%s]</A>\n", &nav_referrers,
         [] { return settings.TopReferrers != 0 && month_totals.total_referrers != 0; }},
        {"<A HREF=\"#TOPSEARCH\">[%s]</A>\n", &nav_search, [] { return settings.TopSearch != 0; }},
        {"<A HREF=\"#TOPUSERS\">[%s]</A>\n", &nav_users,
         [] { return settings.TopUsers != 0 && month_totals.total_users != 0; }},
        {"<A HREF=\"#TOPAGENTS\">[%s]</A>\n", &nav_agents,
         [] { return settings.TopAgents != 0 && month_totals.total_agents != 0; }},
        {"<A HREF=\"#TOPCTRYS\">[%s]</A>\n", &nav_countries, [] { return settings.TopCountries != 0; }},
    };
    FILE* out = report_page;
    fputs("<SMALL>\n", out);
    for (const section_link& link : links)
        if (link.wanted()) fprintf(out, link.format, *link.label);
    fputs("</SMALL>\n<P>\n", out);
}

void write_month_summary() {
    FILE* out = report_page;
    const month_totals_rec& m = month_totals;
    uint64_t max_hits = 0, max_files = 0, max_pages = 0, max_visits = 0, max_sites = 0;
    double max_bytes = 0.0;
    for (int d = 0; d < 31; ++d) {
        if (m.daily_hits[d] > max_hits) max_hits = m.daily_hits[d];
        if (m.daily_files[d] > max_files) max_files = m.daily_files[d];
        if (m.daily_pages[d] > max_pages) max_pages = m.daily_pages[d];
        if (m.daily_visits[d] > max_visits) max_visits = m.daily_visits[d];
        if (m.daily_sites[d] > max_sites) max_sites = m.daily_sites[d];
        if (m.daily_bytes[d] > max_bytes) max_bytes = m.daily_bytes[d];
    }
    const uint64_t span = day_span();

    fputs(table_open, out);
    fputs(spacer, out);
    fprintf(out, "<TR><TH COLSPAN=3 ALIGN=center BGCOLOR=\"%s\">%s %s %d</TH></TR>\n", grey, tot_title,
            month_name(), m.year);
    fputs(spacer, out);

    constexpr const char total_row[] =
        "<TR><TD WIDTH=380><FONT SIZE=\"-1\">%s</FONT></TD>\n"
        "<TD ALIGN=right COLSPAN=2><FONT SIZE=\"-1\"><B>%llu</B></FONT></TD></TR>\n";
    constexpr const char total_row2[] =
        "<TR><TD WIDTH=380><FONT SIZE=\"-1\">%s %s</FONT></TD>\n"
        "<TD ALIGN=right COLSPAN=2><FONT SIZE=\"-1\"><B>%llu</B></FONT></TD></TR>\n";
    fprintf(out, total_row, tot_hits, static_cast<ull>(m.total_hits));
    fprintf(out, total_row, tot_files, static_cast<ull>(m.total_files));
    fprintf(out, total_row2, lbl_total, lbl_pages, static_cast<ull>(m.total_pages));
    fprintf(out, total_row2, lbl_total, lbl_visits, static_cast<ull>(m.total_visits));
    fprintf(out,
            "<TR><TD WIDTH=380><FONT SIZE=\"-1\">%s</FONT></TD>\n"
            "<TD ALIGN=right COLSPAN=2><FONT SIZE=\"-1\"><B>%.0f</B></FONT></TD></TR>\n",
            tot_kbytes, m.total_bytes / 1024.0);
    fputs(spacer, out);

    fprintf(out, total_row, tot_unique_sites, static_cast<ull>(m.total_sites));
    fprintf(out, total_row, tot_unique_urls, static_cast<ull>(m.total_urls));
    if (m.total_referrers != 0) fprintf(out, total_row, tot_unique_referrers, static_cast<ull>(m.total_referrers));
    if (m.total_users != 0) fprintf(out, total_row, tot_unique_users, static_cast<ull>(m.total_users));
    if (m.total_agents != 0) fprintf(out, total_row, tot_unique_agents, static_cast<ull>(m.total_agents));
    fputs(spacer, out);

    fprintf(out,
            "<TR><TH WIDTH=380 BGCOLOR=\"%s\"><FONT SIZE=-1 COLOR=\"%s\">.</FONT></TH>\n"
            "<TH WIDTH=65 BGCOLOR=\"%s\" ALIGN=right><FONT SIZE=-1>%s </FONT></TH>\n"
            "<TH WIDTH=65 BGCOLOR=\"%s\" ALIGN=right><FONT SIZE=-1>%s </FONT></TH></TR>\n",
            grey, grey, grey, lbl_avg, grey, lbl_max);
    fputs(spacer, out);

    constexpr const char avg_row[] =
        "<TR><TD><FONT SIZE=\"-1\">%s</FONT></TD>\n"
        "<TD ALIGN=right WIDTH=65><FONT SIZE=\"-1\"><B>%llu</B></FONT></TD>\n"
        "<TD WIDTH=65 ALIGN=right><FONT SIZE=-1><B>%llu</B></FONT></TD></TR>\n";
    struct avg_line {
        const char* const* label;
        uint64_t total, divisor, max;
    };
    const avg_line lines[] = {
        {&tot_hits_per_hour, m.total_hits, span * 24, m.max_hourly_hits},
        {&tot_hits_per_day, m.total_hits, span, max_hits},
        {&tot_files_per_day, m.total_files, span, max_files},
        {&tot_pages_per_day, m.total_pages, span, max_pages},
        {&tot_sites_per_day, m.total_sites, span, max_sites},
        {&tot_visits_per_day, m.total_visits, span, max_visits},
    };
    for (const avg_line& l : lines)
        fprintf(out, avg_row, *l.label, static_cast<ull>(l.total / l.divisor), static_cast<ull>(l.max));
    fprintf(out,
            "<TR><TD><FONT SIZE=\"-1\">%s</FONT></TD>\n"
            "<TD ALIGN=right WIDTH=65><FONT SIZE=\"-1\"><B>%.0f</B></FONT></TD>\n"
            "<TD WIDTH=65 ALIGN=right><FONT SIZE=-1><B>%.0f</B></FONT></TD></TR>\n",
            tot_kbytes_per_day, m.total_bytes / 1024.0 / static_cast<double>(span), max_bytes / 1024.0);

    fputs(spacer, out);
    fprintf(out, "<TR><TH COLSPAN=3 ALIGN=center BGCOLOR=\"%s\">\n<FONT SIZE=\"-1\">%s</FONT></TH></TR>\n", grey,
            tot_by_response);
    fputs(spacer, out);
    for (std::size_t r = 0; r < response_rows; ++r) {
        const response_entry& row = response_table[r];
        if (row.count == 0) continue;
        fprintf(out,
                "<TR><TD><FONT SIZE=\"-1\">%s</FONT></TD>\n"
                "<TD ALIGN=right><FONT SIZE=\"-2\">%3.02f%%</FONT></TD>\n"
                "<TD ALIGN=right><FONT SIZE=\"-1\"><B>%llu</B></FONT></TD></TR>\n",
                row.desc, pct(row.count, m.total_hits), static_cast<ull>(row.count));
    }
    fputs(spacer, out);
    fputs("</TABLE>\n", out);
    fputs("<P>\n", out);
}

void write_daily_table() {
    FILE* out = report_page;
    const month_totals_rec& m = month_totals;
    fputs(table_open, out);
    fputs(spacer, out);
    fprintf(out, "<TR><TH BGCOLOR=\"%s\" COLSPAN=13 ALIGN=center>%s %s %d</TH></TR>\n", grey, ttl_daily_stats,
            month_name(), m.year);
    fputs(spacer, out);
    fprintf(out, "<TR><TH ALIGN=center BGCOLOR=\"%s\"><FONT SIZE=\"-1\">%s</FONT></TH>\n", grey, lbl_day);
    struct heading {
        const char* colour;
        const char* const* label;
    };
    const heading heads[] = {{settings.ColorHit, &lbl_hits},     {settings.ColorFile, &lbl_files},
                             {settings.ColorPage, &lbl_pages},   {settings.ColorVisit, &lbl_visits},
                             {settings.ColorSite, &lbl_sites},   {settings.ColorKbyte, &lbl_kbytes}};
    for (std::size_t i = 0; i < 6; ++i)
        fprintf(out,
                i + 1 < 6 ? "<TH ALIGN=center BGCOLOR=\"%s\" COLSPAN=2><FONT SIZE=\"-1\">%s</FONT></TH>\n"
                          : "<TH ALIGN=center BGCOLOR=\"%s\" COLSPAN=2><FONT SIZE=\"-1\">%s</FONT></TH></TR>\n",
                heads[i].colour, *heads[i].label);
    fputs(spacer, out);

    int last = m.last_day < 1 ? 1 : (m.last_day > 31 ? 31 : m.last_day);
    int first = 1;
    while (first <= last && m.daily_hits[first - 1] == 0) ++first;
    if (first > last) first = 1;

    constexpr const char cell[] =
        "<TD ALIGN=right><FONT SIZE=\"-1\"><B>%llu</B></FONT></TD>\n"
        "<TD ALIGN=right><FONT SIZE=\"-2\">%3.02f%%</FONT></TD>\n";
    for (int d = first; d <= last; ++d) {
        int i = d - 1;
        int64_t weekday = day_number(m.year, m.month, d) % 7;
        if (weekday == 6 || weekday == 0)
            fprintf(out, "<TR BGCOLOR=\"%s\"><TD ALIGN=center>", shade);
        else
            fputs("<TR><TD ALIGN=center>", out);
        fprintf(out, "<FONT SIZE=\"-1\"><B>%d</B></FONT></TD>\n", d);
        fprintf(out, cell, static_cast<ull>(m.daily_hits[i]), pct(m.daily_hits[i], m.total_hits));
        fprintf(out, cell, static_cast<ull>(m.daily_files[i]), pct(m.daily_files[i], m.total_files));
        fprintf(out, cell, static_cast<ull>(m.daily_pages[i]), pct(m.daily_pages[i], m.total_pages));
        fprintf(out, cell, static_cast<ull>(m.daily_visits[i]), pct(m.daily_visits[i], m.total_visits));
        fprintf(out, cell, static_cast<ull>(m.daily_sites[i]), pct(m.daily_sites[i], m.total_sites));
        fprintf(out,
                "<TD ALIGN=right><FONT SIZE=\"-1\"><B>%.0f</B></FONT></TD>\n"
                "<TD ALIGN=right><FONT SIZE=\"-2\">%3.02f%%</FONT></TD></TR>\n",
                m.daily_bytes[i] / 1024.0, pct(m.daily_bytes[i], m.total_bytes));
    }
    fputs(spacer, out);
    fputs("</TABLE>\n", out);
    fputs("<P>\n", out);
}

void write_hourly_table() {
    FILE* out = report_page;
    const month_totals_rec& m = month_totals;
    const uint64_t span = day_span();
    fputs(table_open, out);
    fputs(spacer, out);
    fprintf(out, "<TR><TH BGCOLOR=\"%s\" COLSPAN=13 ALIGN=center>%s %s %d</TH></TR>\n", grey, ttl_hourly_stats,
            month_name(), m.year);
    fputs(spacer, out);
    fprintf(out, "<TR><TH ALIGN=center ROWSPAN=2 BGCOLOR=\"%s\"><FONT SIZE=\"-1\">%s</FONT></TH>\n", grey,
            lbl_hour);
    struct heading {
        const char* colour;
        const char* const* label;
    };
    const heading heads[] = {{settings.ColorHit, &lbl_hits},
                             {settings.ColorFile, &lbl_files},
                             {settings.ColorPage, &lbl_pages},
                             {settings.ColorKbyte, &lbl_kbytes}};
    for (std::size_t i = 0; i < 4; ++i)
        fprintf(out,
                i + 1 < 4 ? "<TH ALIGN=center BGCOLOR=\"%s\" COLSPAN=3><FONT SIZE=\"-1\">%s</FONT></TH>\n"
                          : "<TH ALIGN=center BGCOLOR=\"%s\" COLSPAN=3><FONT SIZE=\"-1\">%s</FONT></TH></TR>\n",
                heads[i].colour, *heads[i].label);
    fputs("<TR>", out);
    for (std::size_t i = 0; i < 4; ++i)
        fprintf(out,
                i + 1 < 4 ? "<TH ALIGN=center BGCOLOR=\"%s\"><FONT SIZE=\"-2\">%s</FONT></TH>\n"
                            "<TH ALIGN=center BGCOLOR=\"%s\" COLSPAN=2><FONT SIZE=\"-2\">%s</FONT></TH>\n"
                          : "<TH ALIGN=center BGCOLOR=\"%s\"><FONT SIZE=\"-2\">%s</FONT></TH>\n"
                            "<TH ALIGN=center BGCOLOR=\"%s\" COLSPAN=2><FONT SIZE=\"-2\">%s</FONT></TH></TR>\n",
                heads[i].colour, lbl_avg, heads[i].colour, lbl_total);
    fputs(spacer, out);

    constexpr const char cell[] =
        "<TD ALIGN=right><FONT SIZE=\"-1\"><B>%llu</B></FONT></TD>\n"
        "<TD ALIGN=right><FONT SIZE=\"-1\"><B>%llu</B></FONT></TD>\n"
        "<TD ALIGN=right><FONT SIZE=\"-2\">%3.02f%%</FONT></TD>\n";
    for (int h = 0; h < 24; ++h) {
        fprintf(out, "<TR><TD ALIGN=center><FONT SIZE=\"-1\"><B>%d</B></FONT></TD>\n", h);
        fprintf(out, cell, static_cast<ull>(m.hourly_hits[h] / span), static_cast<ull>(m.hourly_hits[h]),
                pct(m.hourly_hits[h], m.total_hits));
        fprintf(out, cell, static_cast<ull>(m.hourly_files[h] / span), static_cast<ull>(m.hourly_files[h]),
                pct(m.hourly_files[h], m.total_files));
        fprintf(out, cell, static_cast<ull>(m.hourly_pages[h] / span), static_cast<ull>(m.hourly_pages[h]),
                pct(m.hourly_pages[h], m.total_pages));
        fprintf(out,
                "<TD ALIGN=right><FONT SIZE=\"-1\"><B>%.0f</B></FONT></TD>\n"
                "<TD ALIGN=right><FONT SIZE=\"-1\"><B>%.0f</B></FONT></TD>\n"
                "<TD ALIGN=right><FONT SIZE=\"-2\">%3.02f%%</FONT></TD></TR>\n",
                m.hourly_bytes[h] / static_cast<double>(span) / 1024.0, m.hourly_bytes[h] / 1024.0,
                pct(m.hourly_bytes[h], m.total_bytes));
    }
    fputs(spacer, out);
    fputs("</TABLE>\n<P>\n", out);
}

void write_month_report() {
    const int year = month_totals.year;
    const int month = month_totals.month;
    if (settings.Verbosity >= 2) printf("%s %s %d\n", con_generating_report, console_text(month_name()), year);

    char page_name[report_name_size];
    char daily_name[report_name_size];
    char hourly_name[report_name_size];
    char daily_title[256];
    char hourly_title[256];
    snprintf(page_name, sizeof page_name, "usage_%04d%02d.%s", year, month, settings.HTMLExtension);
    snprintf(daily_name, sizeof daily_name, "daily_usage_%04d%02d.png", year, month);
    snprintf(hourly_name, sizeof hourly_name, "hourly_usage_%04d%02d.png", year, month);
    snprintf(daily_title, sizeof daily_title, "%s %s %d", rpt_daily_usage, month_name(), year);
    snprintf(hourly_title, sizeof hourly_title, "%s %s %d", rpt_hourly_usage, month_name(), year);

    // The graphs are drawn first: they are written even when the page cannot be.
    const month_totals_rec& m = month_totals;
    if (settings.DailyGraph)
        draw_daily_graph(daily_name, daily_title, month, year, m.daily_hits, m.daily_files, m.daily_sites,
                         m.daily_bytes, m.daily_pages, m.daily_visits);
    if (settings.HourlyGraph)
        draw_hourly_graph(hourly_name, hourly_title, m.hourly_hits, m.hourly_files, m.hourly_pages);

    report_page = open_report_file(page_name);
    if (report_page == nullptr) return;

    char period[128];
    snprintf(period, sizeof period, "%s %d", month_name(), year);
    emit_page_head(report_page, period);

    write_section_links();
    write_month_summary();

    if (settings.DailyStats || settings.DailyGraph) {
        fputs("<A NAME=\"DAYSTATS\"></A>\n", report_page);
        if (settings.DailyGraph)
            fprintf(report_page, "<IMG SRC=\"%s\" ALT=\"%s\" HEIGHT=400 WIDTH=512><P>\n", daily_name, daily_title);
        if (settings.DailyStats) write_daily_table();
    }
    if (settings.HourlyStats || settings.HourlyGraph) {
        fputs("<A NAME=\"HOURSTATS\"></A>\n", report_page);
        if (settings.HourlyGraph)
            fprintf(report_page, "<IMG SRC=\"%s\" ALT=\"%s\" HEIGHT=256 WIDTH=512><P>\n", hourly_name,
                    hourly_title);
        if (settings.HourlyStats) write_hourly_table();
    }

    write_url_sections();
    write_site_sections();
    write_referrer_sections();
    write_search_sections();
    write_user_sections();
    write_agent_sections();

    if (settings.TopCountries != 0) write_top_countries();

    emit_page_tail(report_page);
    close_report_file(report_page);
    report_page = nullptr;
}
