// Summary index page: at the end of a run, the summary graph "usage.png"
// over the history, the optional ".htaccess" that makes the index the
// directory's default document, and "index.<HTMLExtension>": the most recent
// IndexMonths months, newest first, with daily averages, monthly totals, a
// link to each month's page, year headers and year totals (only when
// IndexMonths is above 16) and the grand totals.
//
// Reads only `history` (persist/history.h) and the settings; writes through
// report_page (report/page.h), which it opens and closes. Owns nothing that
// survives the call.
#pragma once

// Draws the graph, creates ".htaccess" when HTAccess is on and it does not
// exist yet (an existing one is never changed), and writes the index page.
// Reports nothing to the caller: an index that cannot be opened gets only the
// open routine's message, a failed ".htaccess" its own message.
void write_summary_index();
