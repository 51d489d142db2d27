// The month being accumulated, the run-wide line counters and the record time
// scale. One global instance of each; counted by record processing, closed and
// reset by the run driver, saved and restored by the state file, read by the
// report pages and graphs.
#pragma once

#include <cstdint>

// Written for every record by the counting thread: whole cache lines, shared
// with nothing the reading thread uses.
struct alignas(64) month_totals_rec {
    // Position: date and time of the last counted record. month 0 means no
    // record has been counted in this run and no state was restored.
    int year, month, day, hour, minute, second;
    uint64_t last_timestamp;
    int first_day;  // day of the month's first record; 1 after a reset
    int last_day;   // highest day seen in the month; 1 after a reset

    uint64_t total_hits, total_files, total_pages, total_visits, total_sites;
    uint64_t total_urls, total_referrers, total_agents, total_users;
    double total_bytes;

    uint64_t cur_hour_hits;    // hits in the current hour
    uint64_t max_hourly_hits;  // largest hour count of the month
    uint64_t cur_day_sites;    // distinct sites of the current day

    // Index day-1.
    uint64_t daily_hits[31], daily_files[31], daily_pages[31], daily_sites[31], daily_visits[31];
    double daily_bytes[31];
    // Index 0..23.
    uint64_t hourly_hits[24], hourly_files[24], hourly_pages[24];
    double hourly_bytes[24];
};

extern month_totals_rec month_totals;

// Run-wide values, not reset per month. Whole cache lines, as the month's
// totals.
struct alignas(64) run_state_rec {
    uint64_t record_timestamp;  // timestamp of the record being processed
    uint64_t prev_timestamp;    // last_timestamp just before the current record
    bool resume_check;          // after a restore: skip records not newer than last_timestamp
    uint64_t records_read, records_ignored, records_bad;
    bool any_valid_record;
};

extern run_state_rec run_state;

enum log_compression : int { compress_none = 0, compress_gzip = 1, compress_bzip2 = 2 };
extern log_compression LogCompression;

// Day count of a date: day_number(1970, 1, 1) == 719534; the value mod 7 is the
// weekday with 0 = Sunday.
int64_t day_number(int year, int month, int day);

// Days in month (1..12) of year, February by the Gregorian leap rule: 29 in
// years divisible by 4 but not by 100, and in years divisible by 400. Inline,
// so that the parsers use it without linking the month's records.
constexpr int month_length(int year, int month) {
    constexpr int8_t days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month == 2) return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0 ? 29 : 28;
    return days[month - 1];
}

// Clears the month's counters as reset_month does, without touching the
// tables or the top-country slots (start-up, while they are still empty).
void clear_month_counters();

// Clears the month: response counts, day and hour arrays, country counters,
// the month totals, cur_day_sites and max_hourly_hits; first_day and last_day
// become 1; all statistics tables are freed and the top-country slots emptied.
// The position fields, cur_hour_hits and the history stay.
void reset_month();
