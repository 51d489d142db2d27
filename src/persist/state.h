// Incremental state: the whole month in progress (month_totals, the
// response-code counts and the seven statistics tables) saved at the end of an
// incremental run and loaded back at the start of the next one, so that a
// month can be built from many runs over successive pieces of a log.
//
// Owns the state file format below. Needs the settings (Incremental,
// IncrementalName, IgnoreState, Verbosity), month_totals and run_state
// (run/month.h), the response table (lang/lang.h) and the table add
// operations (stats/tables.h), through which a restore rebuilds every node.
//
// State file format (text, every line ends with "\n"):
//   "# Corvalist V2.23-08 Incremental Data - 03/14/2014 10:20:30"  (m/d/Y of the last record)
//   "2014 3 14 10 20 30"                                   year month day hour minute second
//   "hits files sites urls referrers agents bytes pages visits users"  (bytes "%.0f")
//   "cur_day_sites cur_hour_hits max_hourly_hits first_day last_day"
//   31 day lines  "hits files bytes sites pages visits"
//   24 hour lines "hits files bytes pages"
//   41 lines, the count of each response-table row (older files: 40)
//   sections, each "header / records / end line", nodes in walk order:
//     "# -urls- "             name / "kind hits 0 bytes entries exits"
//     "# -sites- (monthly)"   name / "kind hits files bytes visits last_time" / last page or "-"
//     "# -sites- (daily)"     the same for the day's sites
//     "# -referrers- "        name / "kind hits"     (records only when total_referrers != 0)
//     "# -agents- "           name / "kind hits"     (records only when total_agents != 0)
//     "# -search strings- "   name / "hits"
//     "# -usernames- "        name / "kind hits files bytes visits last_time"
//   each closed by "# End Of Table - urls" ... "# End Of Table - usernames".
#pragma once

enum state_code : int {
    state_ok = 0,
    state_failed = 1,        // save: not opened, not fully written, or not renamed
    state_symlink = 9,       // save: "<name>.new" is a symbolic link
};

// Error numbers of restore_state (restore_ok also for "no file" and IgnoreState).
enum restore_code : int {
    restore_ok = 0,
    restore_no_header = 1,         // the file has no first line
    restore_no_position = 2,       // position line missing (or unusable)
    restore_no_totals = 3,
    restore_no_day_hour = 4,       // cur_day_sites ... last_day line missing (or unusable)
    restore_no_daily = 5,
    restore_no_hourly = 6,
    restore_no_response = 7,
    restore_bad_sites = 8,         // monthly site header missing or record incomplete
    restore_bad_daily_sites = 9,
    restore_bad_urls = 10,
    restore_bad_referrers = 11,
    restore_bad_agents = 12,
    restore_bad_search = 13,
    restore_bad_users = 14,
    restore_bad_version = 99,      // header of a version not accepted
};

// Saving is two steps, so that the state can be the last file of a run to be
// put in place (it says "everything up to here is counted and written"):
//
// prepare_state writes the state to "<name>.new" (every write, the flush to
// disk and the close checked) without putting it in place. Call before the
// run's last close_visits, so that open visits are saved open. Returns
// state_ok, state_symlink (nothing written) or state_failed (the broken
// ".new" removed). The state file itself is untouched in every case.
int prepare_state();

// Renames the prepared "<name>.new" over the state file and syncs its
// directory. Returns state_ok or state_failed (after "Failed renaming ..."
// when the rename failed; the old state file then stays).
int commit_state();

// Removes a prepared "<name>.new" that is not to be committed.
void discard_state();

// prepare_state, then commit_state when it succeeded; returns the first
// failing answer.
int save_state();

// Loads the state file into month_totals, response_table and the tables, and
// sets run_state.resume_check. Returns restore_ok (loaded, no file, or
// IgnoreState on) or one of the restore_code error numbers; the caller then
// prints the restore error with the number and ends the run.
int restore_state();
