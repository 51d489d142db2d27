// View-all pages: one HTML page per kind and month that lists every visible
// entry of the kind's node array (top_tables.h) in its current order, group
// entries first, in a preformatted block. Requested by the top tables, which
// link to the page only when it was written.
//
// Files: "site_YYYYMM.<ext>", "url_", "ref_", "agent_", "search_", "user_",
// in the current directory. Each call opens, writes and closes its own stream;
// report_page is not touched. Names are HTML-escaped (page.h).
#pragma once

#include <cstdint>

// Each takes the number of visible normal entries and of group entries in
// the array. Returns true when the page was written, false when it could not
// be opened (the open routine has written its message).
bool write_view_all_sites(uint64_t normal_count, uint64_t group_count);
bool write_view_all_urls(uint64_t normal_count, uint64_t group_count);
bool write_view_all_referrers(uint64_t normal_count, uint64_t group_count);
bool write_view_all_agents(uint64_t normal_count, uint64_t group_count);
bool write_view_all_users(uint64_t normal_count, uint64_t group_count);
// Takes the number of search strings and the sum of their hits (the total the
// percentages are shares of). Returns false without writing when count is 0.
bool write_view_all_search(uint64_t count, uint64_t hits_sum);
