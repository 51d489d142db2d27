// Monthly report page: at each finished month (and at the end of a run for
// the open month) draws the month's daily and hourly graphs and writes
// "usage_YYYYMM.<HTMLExtension>": section links, month summary, daily and
// hourly tables, the top tables (top_tables.h) with their view-all pages
// (view_all.h) and dumps (dump.h), and the countries section.
//
// Reads month_totals, response_table, the month's statistics tables and the
// settings; writes only files. Owns nothing that survives the call.
#pragma once

// Writes the month's page, graphs, view-all pages and dump files. Requires
// month_totals.year/month to name the month. Reports nothing: failures are
// reported on standard error by the routines that meet them.
void write_month_report();

// Sections of the page; each writes into report_page (page.h), which must be
// open.
void write_section_links();
void write_month_summary();
void write_daily_table();
void write_hourly_table();
