// History: the totals of the last 120 months, kept between runs in the
// history file. The window is loaded at start-up, receives every month the run
// completes, and is written back at the end of the run through "<name>.new"
// and a rename, so that a failed write never replaces good history.
//
// Owns `history` and `history_saved_aside`. Needs the settings (HistoryName,
// Verbosity), month_totals (for update_history) and the message catalogue.
// The summary index page and the summary graph read `history` directly.
//
// History file format (text, every line ends with "\n"):
//   "# Corvalist V2.23-08 History Data - 05/Mar/2014 10:20:30 (120 month)"
//   then 120 data lines, newest month first (entry 119 down to entry 0):
//   "month year hits files sites kbytes first_day last_day pages visits"
//   printed "%d %d %llu %llu %llu %.0f %d %d %llu %llu", e.g.
//   "3 2014 1200 900 40 5120 1 31 300 60"; an empty month is "2 2014 0 0 0 0 0 0 0 0".
// Reading accepts the lines in any order, skips "#" lines, lines that do not
// begin with two numbers and invalid months (with a message); a line with
// fewer than ten numbers fills the leading fields only.
#pragma once

#include <cstdint>

// One month of totals.
struct hist_entry {
    int32_t year;       // e.g. 2013; 0 while the window is not set up
    int32_t month;      // 1..12
    int32_t first_day;  // first day of the month with data
    int32_t last_day;   // last day of the month with data
    uint64_t hits, files, sites, pages, visits;
    double kbytes;      // bytes / 1024
};
static_assert(sizeof(hist_entry) == 4 * 4 + 5 * 8 + 8, "hist_entry layout");

constexpr int history_months = 120;

// 120 consecutive months, oldest at index 0, newest at index 119:
// history[119] -> {2014, 3, 1, 31, hits 1200, ...}, history[118] -> {2014, 2, ...}.
// The window is empty while history[119].year is 0.
extern hist_entry history[history_months];

// Set when the window jumps forward by 12 months or more during the run; the
// next write_history then keeps the previous file as "<name>.sav".
extern bool history_saved_aside;

enum history_code : int {
    history_ok = 0,
    history_missing = 2,        // read: no history file (normal on a first run)
    history_dropped = 3,        // update: month older than the window, or no month
    history_write_error = 4,    // write: temporary file not opened or not fully written
    history_rename_error = 5,   // write: new data left in "<name>.new"
    history_sync_error = 6,     // write: renamed, but its directory could not be synced
    history_symlink = 9,        // write: "<name>.new" is a symbolic link
};

// Empties the window (every entry zero) and clears history_saved_aside.
void clear_history();

// Loads settings.HistoryName into `history`. Returns history_ok, or
// history_missing when the file cannot be opened (window unchanged). Bad
// lines are skipped with a message; nothing here ends the run.
int read_history();

// Stores the totals of the month held in month_totals (year, month and the
// totals) into its entry, moving the window forward when the month is newer,
// with the gap warning for 3 months or more. Returns history_ok, or
// history_dropped when the month is older than the window or month_totals
// holds no valid month.
int update_history();

// Writes `history` to settings.HistoryName through "<name>.new": every write,
// the flush to disk and the close are checked before the rename, and the
// directory is synced after it. With history_saved_aside the previous file is
// kept as "<name>.sav" (a hard link, so that the history name is never
// missing). Returns history_ok, history_symlink, history_write_error (old file
// untouched, the broken ".new" removed), history_rename_error or
// history_sync_error.
int write_history();
