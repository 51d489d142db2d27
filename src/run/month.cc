// The month being accumulated, the run-wide counters and the day count.
#include "run/month.h"

#include <cstring>

#include "lang/lang.h"
#include "report/countries.h"
#include "stats/tables.h"

month_totals_rec month_totals;
run_state_rec run_state;
log_compression LogCompression = compress_none;

namespace {

// Days before the first of each month in a common year.
constexpr int days_before_month[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};

}  // namespace

int64_t day_number(int year, int month, int day) {
    // A month outside 1..12 has no row in the table; callers validate months
    // first, this only keeps the index inside it.
    if (month < 1) month = 1;
    if (month > 12) month = 12;
    const int64_t y = year;
    int64_t d = 365 * y + day + days_before_month[month - 1] + (y + 4) / 4 - y / 100 + y / 400 + 5;
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    if (leap && month <= 2) d -= 1;
    return d;
}

namespace {

void clear_day_hour_arrays() {
    month_totals_rec& m = month_totals;
    std::memset(m.daily_hits, 0, sizeof m.daily_hits);
    std::memset(m.daily_files, 0, sizeof m.daily_files);
    std::memset(m.daily_pages, 0, sizeof m.daily_pages);
    std::memset(m.daily_sites, 0, sizeof m.daily_sites);
    std::memset(m.daily_visits, 0, sizeof m.daily_visits);
    for (double& b : m.daily_bytes) b = 0;
    std::memset(m.hourly_hits, 0, sizeof m.hourly_hits);
    std::memset(m.hourly_files, 0, sizeof m.hourly_files);
    std::memset(m.hourly_pages, 0, sizeof m.hourly_pages);
    for (double& b : m.hourly_bytes) b = 0;
}

void clear_month_sums() {
    month_totals_rec& m = month_totals;
    m.total_hits = m.total_files = m.total_pages = m.total_visits = m.total_sites = 0;
    m.total_urls = m.total_referrers = m.total_agents = m.total_users = 0;
    m.total_bytes = 0;
    m.cur_day_sites = 0;
    m.max_hourly_hits = 0;
    m.first_day = 1;
    m.last_day = 1;
}

}  // namespace

// The order is the one reset_month documents; the position, cur_hour_hits and
// the history are left alone.
void clear_month_counters() {
    reset_response_counts();
    clear_day_hour_arrays();
    reset_country_counts();
    clear_month_sums();
}

void reset_month() {
    clear_month_counters();
    free_all_tables();
    clear_top_country_slots();
}
