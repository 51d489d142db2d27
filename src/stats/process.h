// Record processing: turns the raw fields of the parsed log record into the
// names that are counted, checks the host, applies the include and ignore
// lists, and counts the record into the response table, the statistics
// tables and month_totals.
//
// Works in place on the one log_rec; the only copies are the saved host name
// and search_words. Needs settings, run_state (record number and timestamp),
// month_totals (the record's day and hour, as the driver has set them after
// closing any hour, day or month), the DNS cache and the response table.
#pragma once

#include "input/log_rec.h"

enum process_code : int {
    record_counted = 0,
    record_ignored = 1,  // removed by an ignore list; nothing of it was counted
};

// Rewrites request (into the URL), referrer, search_words, user_agent and user
// of log_rec. Call once per record that passed the date and sequence checks,
// before the driver closes the hour, day or month. Warnings name the record
// by run_state.records_read.
void normalise_record();

// The same rewriting of any record, touching nothing of the tables (the
// prefetch is the caller's: use_name_hashes or prefetch_record), as done off
// the counting thread. With warnings the over-long-name warnings are kept
// there instead of printed (Verbosity not 0): print them with
// print_normalise_warning once run_state.records_read names the record. Needs
// prepare_record_processing first.
struct normalise_warnings {
    static constexpr int capacity = 2;  // referrer, request
    const char* message[capacity];
    int count;
};
void prepare_record_processing();
void normalise_record(log_record& rec, normalise_warnings* warnings);
void print_normalise_warning(const char* message);

// Resolves and checks log_rec.host, applies the filters and counts the record
// at day month_totals.day and hour month_totals.hour with timestamp
// run_state.record_timestamp. Returns record_counted or record_ignored.
int count_record();

// The same for a record whose page test (page_known 1 or 0; -1 ask), host
// check (host_checked) and search words (search_known 1: search_words holds
// the final words, as search_string_of gives them; 0: there are none; -1:
// work them out) were done beforehand, off the counting thread. The host
// check may be done there only while no DNS cache is open, by
// check_host before the record's names are hashed.
int count_record(int page_known, bool host_checked, int search_known);
// Resolves (through the DNS cache, when open) and checks rec.host: lowers it,
// or makes it "Invalid" (or, for a bad name from the cache, the address it
// replaced). Returns whether the host changed.
bool check_host(log_record& rec);
