// Fuzzes the date check with arbitrary date fields of at most 28 characters,
// in a zeroed slot of 29 bytes as the parsers leave them. Whatever it
// accepts must be a real date and time that the state and the history can
// hold (a day inside its month, a year of 1990 to 9999, an hour 0..23, a
// minute 0..59, a second 0..60), and its timestamp must equal the one worked
// out here from the civil calendar by a different method.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "input/log_rec.h"
#include "run/driver.h"

namespace {

// Days from 1970-01-01 to y-m-d (proleptic Gregorian), by eras of 400 years.
int64_t days_from_civil(int64_t y, int m, int d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

bool leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    char slot[sizeof log_record::date_text] = {};
    const std::size_t n = size < sizeof slot - 1 ? size : sizeof slot - 1;
    std::memcpy(slot, data, n);
    record_time t{};
    if (check_date(slot, &t) != driver_ok) return 0;
    static constexpr int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (t.month < 1 || t.month > 12 || t.year < 1990 || t.year > 9999) std::abort();
    if (t.day < 1 || t.day > days[t.month - 1] + (t.month == 2 && leap(t.year))) std::abort();
    if (t.hour < 0 || t.hour > 23 || t.minute < 0 || t.minute > 59 || t.second < 0 || t.second > 60) std::abort();
    const int64_t want = days_from_civil(t.year, t.month, t.day) * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
    if (static_cast<int64_t>(t.timestamp) != want) std::abort();
    return 0;
}
