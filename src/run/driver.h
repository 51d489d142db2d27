// Run driver: the program's entry and main loop. Reads the settings, opens the
// log, runs the optional resolver pass, loads history and state, reads and
// counts every record through the month cycle, and writes reports, history,
// state and the summary index at the end.
//
// Owns the two 4096-byte line buffers and drives month_totals and run_state
// (run/month.h). Without Debug the main pass reads, parses, dates and
// normalises on a second thread and hands the records over in line order
// through a ring of 4096 slots (their texts packed in 2 MB), with the
// messages of that side; all counting, the month cycle and every table stay
// on the calling thread. The steps of one record are exported so that they
// can be exercised one by one: the date check, the sequence check, the
// hour/day/month step and the handling of one whole line (which runs them on
// the calling thread, as the pass does with Debug).
#pragma once

#include <cstddef>
#include <cstdint>

// Runs the whole program; returns its exit status (0 normal end; 1 help,
// version, unopenable plain log, bad output directory, resolver-only mode
// without cache, failed restore, no valid record; 2 unopenable compressed log;
// 3 the run's work is not saved and it should be run again over the same log:
// another run holds the output directory (or its lock file cannot be opened;
// nothing is touched then), or a page, graph, dump, the history or the state
// could not be written (the earlier state is kept), or, in a run whose only
// product is the DNS cache, the cache could not be saved; 9 log is a symbolic
// link).
//
// Order of the files at the end of a run: pages, graphs and dumps, then the
// history, then the summary index, and the state last, renamed into place
// only when every other file was written and the directories are synced; so
// the state on disk always belongs to a run whose files are all in place.
// The output directory is held with an exclusive lock on "corvalist.lock"
// (resolver-only mode excepted) from before anything is written to the end
// of the run, when the lock file is removed.
int run_corvalist(int argc, char** argv);

constexpr int line_buffer_size = 4096;  // at most 4095 characters and a zero

// Date and time of one record as written in the log, and its timestamp:
// seconds from 1970-01-01 00:00 to that local time, the zone offset ignored.
struct record_time {
    int year, month, day, hour, minute, second;
    uint64_t timestamp;
};

enum driver_code : int {
    driver_ok = 0,
    driver_bad_date = 1,     // date field rejected
    driver_folded = 2,       // record moved into the current hour slot
    driver_skipped = 3,      // record too far back in time (or already counted)
};

// Decodes a date field "[dd/Mon/yyyy:hh:mm:ss ...]" (zero-terminated, read
// only up to its terminator) into when. Returns driver_ok or driver_bad_date;
// when is filled only for driver_ok.
int check_date(const char* date_text, record_time* when);

// Places the record in time against month_totals: sets prev_timestamp and
// record_timestamp, moves last_timestamp forward, handles the resume check of
// an incremental run (resetting the month without a report when the first
// newer record is in another month). Returns driver_ok (in sequence),
// driver_folded (when now holds the current position of month_totals) or
// driver_skipped.
int check_sequence(record_time* when);

// Closes the hour, the day and the month as the record at when requires, and
// moves the position of month_totals to it. A month close finishes the old
// month through month_close_action and then resets it.
void advance_month_cycle(const record_time& when);

// Work done for a finished month after its hour, day and visits are closed
// and before it is emptied: adds it to the history table and writes its
// report. A pointer so that tests can look at the finished month instead.
extern void (*month_close_action)();
void finish_closed_month();

enum line_outcome : int { line_counted = 0, line_ignored = 1, line_bad = 2 };

// Handles one line already read (steps after the oversized-line check):
// keeps a copy, parses, checks date and sequence, normalises, closes units and
// counts. line must be writable and zero-terminated, len its length
// (< line_buffer_size). Raises the run_state counters; returns the outcome.
int process_line(char* line, std::size_t len);

// Completes and clamps the settings after the options: IndexAlias "index.",
// PageType and SearchEngine defaults, TopCountries, GraphLines, GraphMonths,
// IndexMonths, TopEntry, TopExit, TopSearch.
void complete_settings();

// Formats the final statistics line ("12 records (1 ignored, 2 bad) in 1
// seconds, 12/sec\n") into buf (size bytes, always terminated). elapsed is
// the difference of the two clock readings in seconds; 0 counts as 1.
void format_timing_line(char* buf, std::size_t size, uint64_t records_read,
                        uint64_t records_ignored, uint64_t records_bad, double elapsed);
