// Message catalogue: every text the program prints, the response-code table
// and the country table.
//
// Each slot is a constant text named after its role; code refers to slots by
// name, never by position. Console texts and the help lines are English ASCII;
// report texts (rpt_, lbl_, nav_, tot_, ttl_, top_, all_, the month names and
// the country names) are Ukrainian in KOI8-U and are written to pages and
// graphs byte for byte. The catalogue source is kept in UTF-8 and converted to
// KOI8-U when the program is built. Texts live for the whole process.
//
// The two tables carry process-wide counters: the response counts grow record
// by record, the country counters are filled when a month's report is written.
// Both are zeroed at start and whenever a new month begins.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr std::size_t help_line_count = 46;
constexpr std::size_t response_rows = 41;   // row 0 is the catch-all
constexpr std::size_t country_rows = 280;   // rows before the terminator

// Language of this build.
extern const char* const lang_name;
extern const char* const lang_code;

// Words of the end-of-run statistics lines.
extern const char* const word_records;
extern const char* const word_addresses;
extern const char* const word_ignored;
extern const char* const word_bad;
extern const char* const word_in;
extern const char* const word_seconds;

// Console messages (English); each printer owns its format string.
extern const char* const con_log_open_error;
extern const char* const con_using_log;
extern const char* const con_chdir_error;
extern const char* const con_creating_output;
extern const char* const con_current_dir;
extern const char* const con_report_hostname;
extern const char* const con_ignoring_history;
extern const char* const con_history_not_found;
extern const char* const con_reading_history;
extern const char* const con_saving_history;
extern const char* const con_history_write_error;
extern const char* const con_bad_history_record;
extern const char* const con_config_open_error;
extern const char* const con_bad_keyword;
extern const char* const con_bad_date;
extern const char* const con_netscape_header;
extern const char* const con_bad_record;
extern const char* const con_no_valid_records;
extern const char* const con_generating_report;
extern const char* const con_generating_summary;
extern const char* const con_reading_state;
extern const char* const con_saving_state;
extern const char* const con_state_not_found;
extern const char* const con_state_restore_error;
extern const char* const con_state_save_error;
extern const char* const con_duplicate_data;
extern const char* const con_no_dns_cache;
extern const char* const con_dns_open_error;
extern const char* const con_dns_lock_error;
extern const char* const con_using_dns_cache;
extern const char* const con_dns_lookup;
extern const char* const con_none_to_process;
extern const char* const con_no_dns_support;
extern const char* const con_geodb_open_error;
extern const char* const con_using;
extern const char* const con_lookups_disabled;
extern const char* const con_default;
extern const char* const con_nomem_sites;
extern const char* const con_nomem_referrers;
extern const char* const con_nomem_urls;
extern const char* const con_nomem_countries;
extern const char* const con_nomem_agents;
extern const char* const con_nomem_search;
extern const char* const con_nomem_users;
extern const char* const con_hnode_daily_error;
extern const char* const con_hnode_monthly_error;
extern const char* const con_unode_error;
extern const char* const con_anode_error;
extern const char* const con_rnode_error;
extern const char* const con_snode_error;
extern const char* const con_inode_error;
extern const char* const con_oversized_record;
extern const char* const con_trunc_hostname;
extern const char* const con_trunc_date;
extern const char* const con_trunc_request;
extern const char* const con_trunc_referrer;
extern const char* const con_trunc_username;
extern const char* const con_string_too_long;
extern const char* const con_file_open_error;
// Faults the run meets in its own files: a write that failed, another run
// holding the output directory, a damaged or unsaved DNS cache.
extern const char* const con_file_write_error;
extern const char* const con_output_busy;
extern const char* const con_dns_damaged;
extern const char* const con_dns_save_error;
// "Error: Unknown option --name": a long option other than --help and --version.
extern const char* const con_unknown_option;

// Help text: "%s: %s %s\n" with help_usage, the program name and help_args, then
// every help line on its own line.
extern const char* const help_usage;
extern const char* const help_args;
extern const char* const help_lines[help_line_count + 1];  // ended by nullptr

// Page and graph titles and page-header words (KOI8-U).
extern const char* const rpt_summary_period;
extern const char* const rpt_generated;
extern const char* const rpt_usage_summary;
extern const char* const rpt_monthly_summary;
extern const char* const rpt_monthly_summary_index;
extern const char* const rpt_daily_avg;
extern const char* const rpt_monthly_totals;
extern const char* const rpt_daily_usage;
extern const char* const rpt_hourly_usage;
extern const char* const rpt_default_title;

// Column headings and graph legend words (KOI8-U).
extern const char* const lbl_by;
extern const char* const lbl_avg;
extern const char* const lbl_max;
extern const char* const lbl_total;
extern const char* const lbl_totals;
extern const char* const lbl_day;
extern const char* const lbl_month;
extern const char* const lbl_hour;
extern const char* const lbl_hits;
extern const char* const lbl_pages;
extern const char* const lbl_visits;
extern const char* const lbl_files;
extern const char* const lbl_sites;
extern const char* const lbl_kbytes;
extern const char* const lbl_hostname;
extern const char* const lbl_url;
extern const char* const lbl_agent;
extern const char* const lbl_referrer;
extern const char* const lbl_country;
extern const char* const lbl_search;
extern const char* const lbl_username;
extern const char* const lbl_other;

// Section links of the monthly page (KOI8-U).
extern const char* const nav_daily;
extern const char* const nav_hourly;
extern const char* const nav_urls;
extern const char* const nav_sites;
extern const char* const nav_agents;
extern const char* const nav_countries;
extern const char* const nav_referrers;
extern const char* const nav_entry;
extern const char* const nav_exit;
extern const char* const nav_search;
extern const char* const nav_users;

// Rows of the monthly totals table (KOI8-U).
extern const char* const tot_title;
extern const char* const tot_hits;
extern const char* const tot_files;
extern const char* const tot_kbytes;
extern const char* const tot_unique_sites;
extern const char* const tot_unique_referrers;
extern const char* const tot_unique_agents;
extern const char* const tot_unique_urls;
extern const char* const tot_unique_users;
extern const char* const tot_hits_per_day;
extern const char* const tot_hits_per_hour;
extern const char* const tot_files_per_day;
extern const char* const tot_pages_per_day;
extern const char* const tot_sites_per_day;
extern const char* const tot_visits_per_day;
extern const char* const tot_kbytes_per_day;
extern const char* const tot_by_response;

// Section titles followed by month name and year (KOI8-U).
extern const char* const ttl_daily_stats;
extern const char* const ttl_hourly_stats;
extern const char* const ttl_country_stats;

// Pieces of the "first N of M things" headings (KOI8-U).
extern const char* const top_first;
extern const char* const top_of;
extern const char* const top_sites;
extern const char* const top_urls;
extern const char* const top_referrers;
extern const char* const top_agents;
extern const char* const top_countries;
extern const char* const top_entry;
extern const char* const top_exit;
extern const char* const top_search;
extern const char* const top_users;

// Link texts to the view-all pages (KOI8-U).
extern const char* const all_sites;
extern const char* const all_urls;
extern const char* const all_referrers;
extern const char* const all_agents;
extern const char* const all_search;
extern const char* const all_users;

// Month names, January first; index with month - 1. Every short name is exactly
// 3 bytes (the graphs rely on that width).
extern const char* const month_abbr[12];
extern const char* const month_full[12];

// Response-code table. Row 0 "unknown code" collects every status without a
// row of its own; rows 1..40 follow the status order 100, 101, 200..206,
// 300..305, 307, 400..417, 500..505.
// response_table[14] -> {"Code 304 - Not Modified", hits with status 304}
struct response_entry {
    const char* desc;
    std::uint64_t count;
};
extern response_entry response_table[response_rows];

// Row of response_table for a status: 304 -> 14; 306, 418, 999, -1 -> 0.
int response_index(int status);

// Country table: 280 rows in fixed order (row 0 unresolved/unknown with code 0,
// generic domains, two-letter country domains, geolocation codes, lan), then a
// terminator row whose desc is nullptr.
// country_table[1] -> {pack_tld("com") = 14221, "<Ukrainian name> (com)", hits, files, bytes}
struct country_entry {
    std::int64_t code;     // packed domain code, 0 only in row 0
    const char* desc;      // display name, KOI8-U
    std::uint64_t count;   // hits of the current month
    std::uint64_t files;   // files of the current month
    double xfer;           // bytes of the current month
};
extern country_entry country_table[country_rows + 1];

// Packs a domain label or GeoDB country code of length n (n bytes read, no
// terminator needed) into its signed 64-bit code; 0 for an empty text.
// com -> 14221, ad -> 132, a1 -> 81, lan -> 49294, travel -> -1534893428.
std::int64_t pack_tld(const char* text, std::size_t n);
// The same for a zero-terminated text.
std::int64_t pack_tld(const char* text);

// The label text of a packed code (empty for 0). The result lives in one
// static 8-byte buffer that the next call overwrites.
const char* unpack_tld(std::int64_t code);

// Index of the first row of country_table whose code equals code; 0 when code
// is 0 or no row has it.
int find_country(std::int64_t code);

// Zero every counter of the response table / of the country table.
void reset_response_counts();
void reset_country_counts();
