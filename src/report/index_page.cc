#include "report/index_page.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "graph/graph.h"
#include "lang/lang.h"
#include "persist/history.h"
#include "persist/safe_file.h"
#include "report/page.h"
#include "run/settings.h"

namespace {

constexpr char heading_bg[] = "#C0C0C0";
constexpr char year_total_bg[] = "#D0D0E0";
constexpr char spacer[] = "<TR><TH HEIGHT=4></TH></TR>\n";

struct year_sums {
    uint64_t hits = 0, files = 0, pages = 0, visits = 0;
    double kbytes = 0;
};

// Opens no end tag: the next row's start follows it directly.
void write_year_totals(FILE* out, int year, const year_sums& y) {
    fprintf(out, "<TR><TH COLSPAN=6 BGCOLOR=\"%s\" ALIGN=left><FONT SIZE=\"-1\"><STRONG>%04d</TH>\n",
            year_total_bg, year);
    fprintf(out, "<TH ALIGN=\"right\" BGCOLOR=\"%s\"><FONT SIZE=\"-1\">%.0f</TH>", year_total_bg, y.kbytes);
    for (uint64_t v : {y.visits, y.pages, y.files, y.hits})
        fprintf(out, "<TH ALIGN=\"right\" BGCOLOR=\"%s\"><FONT SIZE=\"-1\">%0llu</TH>", year_total_bg,
                static_cast<unsigned long long>(v));
}

void write_column_heads(FILE* out) {
    fprintf(out, "<TR><TH ALIGN=left ROWSPAN=2 BGCOLOR=\"%s\"><FONT SIZE=\"-1\">%s</FONT></TH>\n",
            heading_bg, lbl_month);
    fprintf(out, "<TH ALIGN=center COLSPAN=4 BGCOLOR=\"%s\"><FONT SIZE=\"-1\">%s</FONT></TH>\n",
            heading_bg, rpt_daily_avg);
    fprintf(out, "<TH ALIGN=center COLSPAN=6 BGCOLOR=\"%s\"><FONT SIZE=\"-1\">%s</FONT></TH></TR>\n",
            heading_bg, rpt_monthly_totals);

    // Four daily averages, then six monthly totals.
    struct column { const char* colour; const char* label; };
    const column columns[] = {
        {settings.ColorHit, lbl_hits},    {settings.ColorFile, lbl_files},
        {settings.ColorPage, lbl_pages},  {settings.ColorVisit, lbl_visits},
        {settings.ColorSite, lbl_sites},  {settings.ColorKbyte, lbl_kbytes},
        {settings.ColorVisit, lbl_visits}, {settings.ColorPage, lbl_pages},
        {settings.ColorFile, lbl_files},  {settings.ColorHit, lbl_hits},
    };
    constexpr int count = int(sizeof columns / sizeof columns[0]);
    for (int k = 0; k < count; k++)
        fprintf(out, "%s<TH ALIGN=center BGCOLOR=\"%s\"><FONT SIZE=\"-1\">%s</FONT></TH>%s\n",
                k == 0 ? "<TR>" : "", columns[k].colour, columns[k].label,
                k == count - 1 ? "</TR>" : "");
}

void count_cell(FILE* out, uint64_t v) {
    fprintf(out, "<TD ALIGN=right><FONT SIZE=\"-1\">%llu</FONT></TD>\n", static_cast<unsigned long long>(v));
}

const char* abbr_of(int month) { return month >= 1 && month <= 12 ? month_abbr[month - 1] : ""; }

void create_htaccess(const char* index_name) {
    // "wx" fails on any existing name, a symbolic link included, so a file
    // once created is never rewritten.
    FILE* f = fopen(".htaccess", "wx");
    if (f) {
        fprintf(f, "DirectoryIndex %s\n", index_name);
        // A file that did not get its line (a full disk) is removed, so that
        // a later run creates it whole instead of finding it there.
        int error = 0;
        if (fflush(f) != 0 || ferror(f) || fsync(fileno(f)) != 0) error = errno != 0 ? errno : EIO;
        if (fclose(f) != 0 && error == 0) error = errno;
        if (error != 0) {
            unlink(".htaccess");
            note_unwritten_file();
            if (settings.Verbosity >= 1) fprintf(stderr, "Error: Failed to create .htaccess file: %s\n", strerror(error));
        }
    } else if (errno != EEXIST && settings.Verbosity >= 1) {
        fprintf(stderr, "Error: Failed to create .htaccess file: %s\n", strerror(errno));
    }
}

}  // namespace

void write_summary_index() {
    if (settings.Verbosity >= 2) printf("%s\n", con_generating_summary);

    char title[4096];
    snprintf(title, sizeof title, "%s %s", rpt_usage_summary, settings.HostName ? settings.HostName : "");
    draw_summary_graph("usage.png", title, history);

    char index_name[report_name_size];
    snprintf(index_name, sizeof index_name, "index.%s", settings.HTMLExtension);
    if (settings.HTAccess) create_htaccess(index_name);

    report_page = open_report_file(index_name);
    if (!report_page) return;
    FILE* out = report_page;

    emit_page_head(out, nullptr);
    fprintf(out, "<IMG SRC=\"usage.png\" ALT=\"%s\" HEIGHT=256 WIDTH=512><P>\n", title);
    fprintf(out, "<TABLE WIDTH=600 BORDER=2 CELLSPACING=1 CELLPADDING=1>\n");
    fputs(spacer, out);
    fprintf(out, "<TR><TH COLSPAN=11 BGCOLOR=\"%s\" ALIGN=center>", heading_bg);
    fprintf(out, "%s</TH></TR>\n", rpt_monthly_summary_index);
    fputs(spacer, out);
    write_column_heads(out);
    fputs(spacer, out);

    // IndexMonths is 12..120 after start-up; kept within the history here too.
    const int months = std::clamp(settings.IndexMonths, 1, history_months);
    const bool by_year = months > 16;
    double grand_hits = 0, grand_files = 0, grand_pages = 0, grand_visits = 0, grand_kbytes = 0;
    year_sums year;
    int current_year = history[history_months - 1].year;

    // Index of the oldest row with hits; months older than it are not shown.
    int oldest_with_data = -1;
    for (int i = 0; i < history_months; i++) {
        if (history[i].hits != 0) {
            oldest_with_data = i;
            break;
        }
    }

    for (int i = history_months - 1; i >= history_months - months; i--) {
        const hist_entry& row = history[i];
        int days = 1;
        if (row.hits != 0) {
            // A damaged history row (last day before first day) counts as one day.
            days = std::max(1, row.last_day - row.first_day + 1);
        } else if (i < oldest_with_data || oldest_with_data < 0) {
            break;
        }

        if (row.year != current_year) {
            if (by_year && settings.YearTotals) {
                write_year_totals(out, current_year, year);
                year = year_sums{};
            }
            current_year = row.year;
            if (by_year && settings.YearHeaders)
                fprintf(out, "<TR><TH COLSPAN=11 BGCOLOR=\"%s\" ALIGN=center>%04d</TH></TR>\n", heading_bg,
                        current_year);
        }

        fputs("<TR><TD NOWRAP>", out);
        if (row.hits != 0)
            fprintf(out, "<A HREF=\"usage_%04d%02d.%s\"><FONT SIZE=\"-1\">%s %d</FONT></A></TD>\n", row.year,
                    row.month, settings.HTMLExtension, abbr_of(row.month), row.year);
        else
            fprintf(out, "<FONT SIZE=\"-1\">%s %d</FONT></A></TD>\n", abbr_of(row.month), row.year);

        const uint64_t d = uint64_t(days);
        for (uint64_t v : {row.hits / d, row.files / d, row.pages / d, row.visits / d}) count_cell(out, v);
        count_cell(out, row.sites);
        fprintf(out, "<TD ALIGN=right><FONT SIZE=\"-1\">%.0f</FONT></TD>\n", row.kbytes);
        for (uint64_t v : {row.visits, row.pages, row.files}) count_cell(out, v);
        fprintf(out, "<TD ALIGN=right><FONT SIZE=\"-1\">%llu</FONT></TD>", static_cast<unsigned long long>(row.hits));
        fputs("</TR>\n", out);

        grand_hits += double(row.hits);
        grand_files += double(row.files);
        grand_pages += double(row.pages);
        grand_visits += double(row.visits);
        grand_kbytes += row.kbytes;
        year.hits += row.hits;
        year.files += row.files;
        year.pages += row.pages;
        year.visits += row.visits;
        year.kbytes += row.kbytes;
    }
    if (by_year && settings.YearTotals) write_year_totals(out, current_year, year);

    fputs(spacer, out);
    fprintf(out, "<TR><TH BGCOLOR=\"%s\" COLSPAN=6 ALIGN=left><FONT SIZE=\"-1\">%s</FONT></TH>\n", heading_bg,
            lbl_totals);
    for (double v : {grand_kbytes, grand_visits, grand_pages, grand_files})
        fprintf(out, "<TH BGCOLOR=\"%s\" ALIGN=right><FONT SIZE=\"-1\">%.0f</FONT></TH>\n", heading_bg, v);
    fprintf(out, "<TH BGCOLOR=\"%s\" ALIGN=right><FONT SIZE=\"-1\">%.0f</FONT></TH></TR>\n", heading_bg,
            grand_hits);
    fputs(spacer, out);
    fputs("</TABLE>\n", out);

    emit_page_tail(out);
    close_report_file(out);
    report_page = nullptr;
}
