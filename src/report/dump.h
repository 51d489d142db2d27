// Tab-separated dump files: the month's complete lists of sites, URLs,
// referrers, agents, user names and search strings for other tools. Written
// from the kind's node array (top_tables.h) right after its hits-order sort.
//
// Files "<dir>/site_YYYYMM.<DumpExtension>" (url_, ref_, agent_, user_,
// search_), dir = DumpPath or "." (never created). Format, one line per
// entry, no field widths, names byte for byte (never escaped):
//   sites, users: hits TAB files TAB kilobytes(%.0f) TAB visits TAB name
//   URLs:         hits TAB kilobytes TAB name
//   referrers, agents, search strings: hits TAB name
// With DumpHeader on the first line names the columns (KOI8-U labels).
// Hidden entries are included, group entries never.
#pragma once

// Each reads the current array of its kind and writes its file; a symbolic
// link or an open failure skips the dump (message by open_report_file).
// An empty array writes no file at all.
void write_site_dump();
void write_url_dump();
void write_referrer_dump();
void write_agent_dump();
void write_user_dump();
void write_search_dump();
