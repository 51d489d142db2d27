// The run driver: the date check, the sequence check with folding, the month
// cycle, line classification, settings completion, the timing line, and the
// exit statuses of the built program.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <regex>
#include <string>

#include "lang/lang.h"
#include "run/driver.h"
#include "run/month.h"
#include "run/settings.h"
#include "stats/lists.h"
#include "stats/tables.h"
#include "test_support.h"

namespace ts = testing_support;

namespace {

// Fresh run: default settings, an empty month, empty tables, zero counters.
class DriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        reset_settings();
        settings.Verbosity = 0;
        free_all_tables();
        std::memset(&month_totals, 0, sizeof month_totals);
        std::memset(&run_state, 0, sizeof run_state);
        month_close_action = finish_closed_month;
    }
    void TearDown() override {
        month_close_action = finish_closed_month;
        free_all_tables();
    }
};

// Seconds since 1970 of a date, worked from the calendar: 2013-01-01 is day
// 15706, 2013-10-10 is day 15988.
constexpr uint64_t at(uint64_t days, int h, int m, int s) { return days * 86400 + h * 3600 + m * 60 + s; }

TEST(DayNumber, KnownDaysAndWeekdays) {
    struct row { int y, m, d; int64_t days_since_1970; int weekday; };
    const row rows[] = {
        {1970, 1, 1, 0, 4},        // a Thursday
        {2000, 2, 29, 11016, 2},   // leap day of a year divisible by 400, a Tuesday
        {2000, 3, 1, 11017, 3},
        {2012, 2, 29, 15399, 3},
        {2013, 10, 10, 15988, 4},
        {2100, 3, 1, 47541, 1},    // 2100 is no leap year
    };
    for (const row& r : rows) {
        const int64_t d = day_number(r.y, r.m, r.d);
        EXPECT_EQ(d - 719534, r.days_since_1970) << r.y << "-" << r.m << "-" << r.d;
        EXPECT_EQ(d % 7, r.weekday) << r.y << "-" << r.m << "-" << r.d;
    }
}

TEST(CheckDate, AcceptedFields) {
    struct row { const char* text; int y, mo, d, h, mi, s; uint64_t ts; };
    const row rows[] = {
        {"[10/Oct/2013:13:55:36 -0700]", 2013, 10, 10, 13, 55, 36, at(15988, 13, 55, 36)},
        {"[10/oct/2013:13:55:60 +0000]", 2013, 10, 10, 13, 55, 60, at(15988, 13, 56, 0)},
        {"[10/OCT/2013:24:00:00 +0000]", 2013, 10, 10, 0, 0, 0, at(15988, 0, 0, 0)},
        {"[10/Oct/2013:37:10:00 +0000]", 2013, 10, 10, 0, 10, 0, at(15988, 0, 10, 0)},
        {"[01/Jan/1990:00:00:00 -0000]", 1990, 1, 1, 0, 0, 0, 631152000},
        {"[31/Dec/2013:23:59:59 -0000]", 2013, 12, 31, 23, 59, 59, at(15706 + 364, 23, 59, 59)},
        {"[29/Feb/2012:00:00:01 -0000]", 2012, 2, 29, 0, 0, 1, at(15399, 0, 0, 1)},
        // Last days of their months, beside the first impossible ones below.
        {"[28/Feb/2013:12:00:00 -0000]", 2013, 2, 28, 12, 0, 0, at(15706 + 58, 12, 0, 0)},
        {"[29/Feb/2000:12:00:00 -0000]", 2000, 2, 29, 12, 0, 0, at(11016, 12, 0, 0)},  // divisible by 400
        {"[30/Apr/2013:12:00:00 -0000]", 2013, 4, 30, 12, 0, 0, at(15706 + 119, 12, 0, 0)},
        // The last second that four-digit years can hold: 253402300800 is 10000-01-01.
        {"[31/Dec/9999:23:59:59 -0000]", 9999, 12, 31, 23, 59, 59, 253402300799u},
        // Numbers off their usual places are still read, blanks before them skipped.
        {"[ 5/Oct/2013:13:55:36 -0700]", 2013, 10, 5, 13, 55, 36, at(15983, 13, 55, 36)},
        {"[10/Oct/2013: 3:05:07 -0700]", 2013, 10, 10, 3, 5, 7, at(15988, 3, 5, 7)},
    };
    for (const row& r : rows) {
        record_time t{};
        ASSERT_EQ(check_date(r.text, &t), driver_ok) << r.text;
        EXPECT_EQ(t.year, r.y) << r.text;
        EXPECT_EQ(t.month, r.mo) << r.text;
        EXPECT_EQ(t.day, r.d) << r.text;
        EXPECT_EQ(t.hour, r.h) << r.text;
        EXPECT_EQ(t.minute, r.mi) << r.text;
        EXPECT_EQ(t.second, r.s) << r.text;
        EXPECT_EQ(t.timestamp, r.ts) << r.text;
    }
}

TEST(CheckDate, RejectedFields) {
    const char* rows[] = {
        "[10/Oct/2013:13:60:00 -0700]",  // minute 60
        "[10/Oct/2013:13:00:61 -0700]",  // second 61
        "[10/Oct/1989:13:00:00 -0700]",  // before 1990
        "[00/Oct/2013:13:00:00 -0700]",  // day 0
        "[32/Oct/2013:13:00:00 -0700]",  // day 32: no slot in the daily arrays
        "[99/Oct/2013:13:00:00 -0700]",
        "[10/Okt/2013:13:00:00 -0700]",  // no such month
        "[10/Oct/2013:-1:00:00 -0700]",  // negative hour
        "[10/Oct/2013:13:-5:00 -0700]",
        "[29/Feb/2013:12:00:00 -0000]",  // past the end of its month: no leap year
        "[29/Feb/2100:12:00:00 -0000]",  // divisible by 100, not by 400
        "[30/Feb/2012:12:00:00 -0000]",
        "[31/Apr/2013:12:00:00 -0000]",
        "[31/Jun/2013:12:00:00 -0000]",
        "[31/Sep/2013:12:00:00 -0000]",
        "[31/Nov/2013:12:00:00 -0000]",
        "[01/Jan/10000:00:00:00 -0000",  // a five-digit year (cut to the field's 28 characters)
        "[01/Jan/99999:00:00:00 -0000",
        "[10/Oct/2013:13:0561926870:00",  // a minute of ten digits (read without overflow)
        "[10/Oct/2013:13:00:99999999999",
        "[10/Oct",                       // cut short: no year
        "",
    };
    for (const char* text : rows) {
        record_time t{};
        EXPECT_EQ(check_date(text, &t), driver_bad_date) << text;
    }
}

TEST_F(DriverTest, SequenceFoldsOneSlotBackAndSkipsTwo) {
    // Current position 2013-10-10 13:55:36.
    const uint64_t now = at(15988, 13, 55, 36);
    struct row { bool fold; uint64_t ts; int code; };
    const row rows[] = {
        {false, at(15988, 13, 0, 0), driver_ok},       // same hour slot, earlier: in sequence
        {false, at(15988, 14, 0, 0), driver_ok},
        {false, at(15988, 12, 59, 59), driver_folded},  // one slot behind
        {false, at(15988, 12, 0, 0), driver_folded},
        {false, at(15988, 11, 59, 59), driver_skipped}, // two slots behind
        {false, at(15900, 11, 0, 0), driver_skipped},
        {true, at(15988, 11, 59, 59), driver_folded},
        {true, at(15900, 11, 0, 0), driver_folded},
    };
    for (const row& r : rows) {
        SetUp();
        settings.FoldSeqErr = r.fold;
        month_totals = month_totals_rec{};
        month_totals.year = 2013;
        month_totals.month = 10;
        month_totals.day = 10;
        month_totals.hour = 13;
        month_totals.minute = 55;
        month_totals.second = 36;
        month_totals.last_timestamp = now;
        record_time t{2000, 1, 2, 3, 4, 5, r.ts};
        const int code = check_sequence(&t);
        EXPECT_EQ(code, r.code) << r.ts << " fold " << r.fold;
        EXPECT_EQ(run_state.prev_timestamp, now);
        if (code == driver_ok) {
            EXPECT_EQ(month_totals.last_timestamp, r.ts);
            EXPECT_EQ(run_state.record_timestamp, r.ts);
        } else {
            EXPECT_EQ(month_totals.last_timestamp, now);
        }
        if (code == driver_folded) {
            EXPECT_EQ(t.timestamp, now);
            EXPECT_EQ(run_state.record_timestamp, now);
            EXPECT_EQ(t.year, 2013);
            EXPECT_EQ(t.month, 10);
            EXPECT_EQ(t.day, 10);
            EXPECT_EQ(t.hour, 13);
            EXPECT_EQ(t.minute, 55);
            EXPECT_EQ(t.second, 36);
        }
    }
}

TEST_F(DriverTest, ResumeSkipsCountedRecordsAndResetsOnAnotherMonth) {
    const uint64_t saved = at(15988, 13, 0, 0);
    month_totals.year = 2013;
    month_totals.month = 10;
    month_totals.day = 10;
    month_totals.hour = 13;
    month_totals.last_timestamp = saved;
    month_totals.total_hits = 50;
    month_totals.first_day = 2;
    month_totals.last_day = 10;
    run_state.resume_check = true;

    record_time old{2013, 10, 10, 13, 0, 0, saved};
    EXPECT_EQ(check_sequence(&old), driver_skipped);
    EXPECT_TRUE(run_state.resume_check);

    // First newer record, in November: the restored month is dropped unreported.
    const uint64_t nov = at(15988 + 22, 8, 0, 0);  // 2013-11-01
    record_time next{2013, 11, 1, 8, 0, 0, nov};
    EXPECT_EQ(check_sequence(&next), driver_ok);
    EXPECT_FALSE(run_state.resume_check);
    EXPECT_EQ(month_totals.month, 11);
    EXPECT_EQ(month_totals.day, 1);
    EXPECT_EQ(month_totals.hour, 8);
    EXPECT_EQ(month_totals.last_timestamp, nov);
    EXPECT_EQ(month_totals.total_hits, 0u);
    EXPECT_EQ(month_totals.first_day, 1);
    EXPECT_EQ(month_totals.last_day, 1);
}

TEST_F(DriverTest, ResumeInSameMonthKeepsTheMonth) {
    month_totals.year = 2013;
    month_totals.month = 10;
    month_totals.day = 10;
    month_totals.last_timestamp = at(15988, 13, 0, 0);
    month_totals.total_hits = 50;
    run_state.resume_check = true;
    record_time t{2013, 10, 11, 1, 0, 0, at(15989, 1, 0, 0)};
    EXPECT_EQ(check_sequence(&t), driver_ok);
    EXPECT_FALSE(run_state.resume_check);
    EXPECT_EQ(month_totals.total_hits, 50u);
    EXPECT_EQ(month_totals.day, 10);  // the day close comes later, in the month cycle
}

// The finished month as the report and the history see it.
month_totals_rec closed;
int closes = 0;
void snapshot_closed_month() {
    closed = month_totals;
    ++closes;
}

void set_position(int y, int mo, int d, int h) {
    month_totals.year = y;
    month_totals.month = mo;
    month_totals.day = d;
    month_totals.hour = h;
}

TEST_F(DriverTest, FirstRecordOpensTheMonth) {
    month_close_action = snapshot_closed_month;
    closes = 0;
    month_totals.first_day = month_totals.last_day = 1;
    advance_month_cycle(record_time{2013, 10, 7, 13, 55, 36, at(15985, 13, 55, 36)});
    EXPECT_EQ(closes, 0);
    EXPECT_EQ(month_totals.year, 2013);
    EXPECT_EQ(month_totals.month, 10);
    EXPECT_EQ(month_totals.day, 7);
    EXPECT_EQ(month_totals.hour, 13);
    EXPECT_EQ(month_totals.minute, 55);
    EXPECT_EQ(month_totals.second, 36);
    EXPECT_EQ(month_totals.first_day, 7);
    EXPECT_EQ(month_totals.last_day, 7);
}

TEST_F(DriverTest, HourAndDayCloseWithinTheMonth) {
    month_close_action = snapshot_closed_month;
    closes = 0;
    set_position(2013, 10, 7, 13);
    month_totals.first_day = 7;
    month_totals.last_day = 7;
    month_totals.cur_hour_hits = 9;
    month_totals.max_hourly_hits = 4;
    month_totals.cur_day_sites = 3;

    // Next hour of the same day: only the hour closes.
    advance_month_cycle(record_time{2013, 10, 7, 14, 1, 2, 0});
    EXPECT_EQ(month_totals.max_hourly_hits, 9u);
    EXPECT_EQ(month_totals.cur_hour_hits, 0u);
    EXPECT_EQ(month_totals.hour, 14);
    EXPECT_EQ(month_totals.cur_day_sites, 3u);
    EXPECT_EQ(month_totals.daily_sites[6], 0u);

    // Same hour number on the next day: the day closes, the hour does not.
    month_totals.cur_hour_hits = 2;
    advance_month_cycle(record_time{2013, 10, 8, 14, 0, 0, 0});
    EXPECT_EQ(month_totals.daily_sites[6], 3u);
    EXPECT_EQ(month_totals.cur_day_sites, 0u);
    EXPECT_EQ(month_totals.cur_hour_hits, 2u);
    EXPECT_EQ(month_totals.max_hourly_hits, 9u);
    EXPECT_EQ(month_totals.day, 8);
    EXPECT_EQ(month_totals.last_day, 8);
    EXPECT_EQ(closes, 0);
}

TEST_F(DriverTest, ClosedMonthKeepsItsOwnLastDay) {
    month_close_action = snapshot_closed_month;
    closes = 0;
    set_position(2013, 1, 5, 10);
    month_totals.first_day = 2;
    month_totals.last_day = 5;
    month_totals.total_hits = 12;

    advance_month_cycle(record_time{2013, 2, 20, 10, 0, 0, 0});
    ASSERT_EQ(closes, 1);
    EXPECT_EQ(closed.year, 2013);
    EXPECT_EQ(closed.month, 1);
    EXPECT_EQ(closed.first_day, 2);
    EXPECT_EQ(closed.last_day, 5);
    EXPECT_EQ(closed.total_hits, 12u);
    EXPECT_EQ(month_totals.month, 2);
    EXPECT_EQ(month_totals.first_day, 20);
    EXPECT_EQ(month_totals.last_day, 20);
    EXPECT_EQ(month_totals.total_hits, 0u);
}

TEST_F(DriverTest, GapMonthWithEqualDayAndHourClosesBoth) {
    month_close_action = snapshot_closed_month;
    closes = 0;
    set_position(2013, 1, 5, 10);
    month_totals.first_day = 1;
    month_totals.last_day = 5;
    month_totals.cur_hour_hits = 7;
    month_totals.max_hourly_hits = 3;
    month_totals.cur_day_sites = 4;

    // March 5th, 10 o'clock: same day and hour numbers, two months later.
    advance_month_cycle(record_time{2013, 3, 5, 10, 30, 0, 0});
    ASSERT_EQ(closes, 1);
    EXPECT_EQ(closed.month, 1);
    EXPECT_EQ(closed.max_hourly_hits, 7u);
    EXPECT_EQ(closed.cur_hour_hits, 0u);
    EXPECT_EQ(closed.daily_sites[4], 4u);
    EXPECT_EQ(closed.last_day, 5);
    EXPECT_EQ(month_totals.month, 3);
    EXPECT_EQ(month_totals.cur_hour_hits, 0u);
    EXPECT_EQ(month_totals.max_hourly_hits, 0u);
    EXPECT_EQ(month_totals.daily_sites[4], 0u);
    EXPECT_EQ(month_totals.day, 5);
    EXPECT_EQ(month_totals.hour, 10);
    EXPECT_EQ(month_totals.minute, 30);
}

TEST_F(DriverTest, YearChangeWithSameMonthNumberClosesTheMonth) {
    month_close_action = snapshot_closed_month;
    closes = 0;
    set_position(2012, 3, 5, 10);
    advance_month_cycle(record_time{2013, 3, 5, 10, 0, 0, 0});
    EXPECT_EQ(closes, 1);
    EXPECT_EQ(closed.year, 2012);
    EXPECT_EQ(month_totals.year, 2013);
}

TEST_F(DriverTest, ResetMonthClearsCountersKeepsPosition) {
    set_position(2013, 5, 7, 11);
    month_totals.last_timestamp = 12345;
    month_totals.cur_hour_hits = 4;
    month_totals.max_hourly_hits = 8;
    month_totals.cur_day_sites = 2;
    month_totals.first_day = 3;
    month_totals.last_day = 9;
    month_totals.total_hits = 9;
    month_totals.total_bytes = 100;
    month_totals.daily_hits[30] = 2;
    month_totals.hourly_bytes[23] = 1.5;
    response_table[14].count = 5;
    country_table[1].count = 3;
    country_table[1].xfer = 7;
    char name[] = "192.0.2.9";
    uint64_t sites = 0;
    ASSERT_EQ(add_site(name, node_normal, 1, 1, &sites, 0, 10, 100, nullptr, &site_table), table_ok);
    ASSERT_EQ(site_table.count, 1u);

    reset_month();
    EXPECT_EQ(month_totals.total_hits, 0u);
    EXPECT_EQ(month_totals.total_bytes, 0);
    EXPECT_EQ(month_totals.daily_hits[30], 0u);
    EXPECT_EQ(month_totals.hourly_bytes[23], 0);
    EXPECT_EQ(month_totals.max_hourly_hits, 0u);
    EXPECT_EQ(month_totals.cur_day_sites, 0u);
    EXPECT_EQ(month_totals.first_day, 1);
    EXPECT_EQ(month_totals.last_day, 1);
    EXPECT_EQ(response_table[14].count, 0u);
    EXPECT_EQ(country_table[1].count, 0u);
    EXPECT_EQ(country_table[1].xfer, 0);
    EXPECT_EQ(site_table.count, 0u);
    // Left alone: the position and the current hour's hits.
    EXPECT_EQ(month_totals.year, 2013);
    EXPECT_EQ(month_totals.month, 5);
    EXPECT_EQ(month_totals.day, 7);
    EXPECT_EQ(month_totals.hour, 11);
    EXPECT_EQ(month_totals.last_timestamp, 12345u);
    EXPECT_EQ(month_totals.cur_hour_hits, 4u);
}

TEST_F(DriverTest, CompletedSettings) {
    settings.GraphMonths = 5;
    settings.IndexMonths = 130;
    settings.GraphLines = 25;
    settings.TopCountries = 500;
    settings.TopEntry = 50;
    settings.TopExit = 20;
    complete_settings();
    EXPECT_EQ(settings.GraphMonths, 12);
    EXPECT_EQ(settings.IndexMonths, 120);
    EXPECT_EQ(settings.GraphLines, 20);
    EXPECT_EQ(settings.TopCountries, 280);
    EXPECT_EQ(settings.TopEntry, 30);  // the larger of TopURLs 30 and TopKURLs 10
    EXPECT_EQ(settings.TopExit, 20);
    ASSERT_NE(settings.IndexAlias, nullptr);
    EXPECT_STREQ(settings.IndexAlias->pattern, "index.");
    // "html" already matches "htm*", so it is not added.
    const char* want[] = {"htm*", "cgi"};
    const nlist* p = settings.PageType;
    for (const char* w : want) {
        ASSERT_NE(p, nullptr) << w;
        EXPECT_STREQ(p->pattern, w);
        p = p->next;
    }
    EXPECT_EQ(p, nullptr);
    EXPECT_NE(settings.SearchEngine, nullptr);

    SetUp();
    settings.GraphMonths = 80;
    settings.IndexMonths = 11;
    settings.HTMLExtension = "php";
    settings.DefaultIndex = false;
    complete_settings();
    EXPECT_EQ(settings.GraphMonths, 72);
    EXPECT_EQ(settings.IndexMonths, 12);
    EXPECT_EQ(settings.IndexAlias, nullptr);
    ASSERT_NE(settings.PageType, nullptr);
    ASSERT_NE(settings.PageType->next, nullptr);
    ASSERT_NE(settings.PageType->next->next, nullptr);
    EXPECT_STREQ(settings.PageType->next->next->pattern, "php");
    EXPECT_EQ(settings.PageType->next->next->next, nullptr);

    SetUp();
    settings.LogType = log_ftp;
    complete_settings();
    EXPECT_EQ(settings.TopEntry, 0);
    EXPECT_EQ(settings.TopExit, 0);
    EXPECT_EQ(settings.TopSearch, 0);
    EXPECT_EQ(settings.SearchEngine, nullptr);
    ASSERT_NE(settings.PageType, nullptr);
    EXPECT_STREQ(settings.PageType->pattern, "txt");
    EXPECT_EQ(settings.PageType->next, nullptr);
}

// No host name has more than 127 dots, so a depth above 255 means the same
// as 255 (the whole name), and the depth plus one can no longer overflow.
TEST_F(DriverTest, GroupDomainsKeptBelowOverflow) {
    const struct { int given, kept; } rows[] = {
        {INT_MAX, 255}, {256, 255}, {255, 255}, {2, 2}, {0, 0}, {-3, -3},
    };
    for (const auto& r : rows) {
        SetUp();
        settings.GroupDomains = r.given;
        complete_settings();
        EXPECT_EQ(settings.GroupDomains, r.kept) << r.given;
    }
}

TEST(TimingLine, Formats) {
    struct row { uint64_t read, ignored, bad; double elapsed; const char* want; };
    const row rows[] = {
        {10, 0, 0, 0, "10 records in 1 seconds, 10/sec\n"},
        {10, 3, 2, 2, "10 records (3 ignored, 2 bad) in 2 seconds, 5/sec\n"},
        {10, 3, 0, 4, "10 records (3 ignored) in 4 seconds, 2/sec\n"},
        {10, 0, 2, 3, "10 records (2 bad) in 3 seconds, 3/sec\n"},
        {10, 0, 2, 20, "10 records (2 bad) in 20 seconds\n"},
        {0, 0, 0, 0, "0 records in 1 seconds\n"},
        {1000000, 0, 0, 7, "1000000 records in 7 seconds, 142857/sec\n"},
    };
    for (const row& r : rows) {
        char buf[256];
        format_timing_line(buf, sizeof buf, r.read, r.ignored, r.bad, r.elapsed);
        EXPECT_STREQ(buf, r.want);
    }
}

// ------------------------------------------------------------ whole lines

const char* const good_line =
    "192.0.2.7 - - [10/Oct/2013:13:55:36 -0700] \"GET /a.html HTTP/1.0\" 200 100\n";

int feed(const char* text) {
    static char line[line_buffer_size];
    std::strcpy(line, text);
    run_state.records_read += 1;
    return process_line(line, std::strlen(line));
}

TEST_F(DriverTest, HeaderOnlyOnTheFirstLine) {
    const char* header = "format=%Ses->client.ip% - %Req->vars.auth-user%\n";
    EXPECT_EQ(feed(header), line_ignored);
    EXPECT_EQ(feed(header), line_bad);
    EXPECT_EQ(feed("#Fields: whatever\n"), line_ignored);
    EXPECT_EQ(feed("\n"), line_ignored);
    EXPECT_EQ(feed("\r\n"), line_ignored);  // a blank line of a CRLF log
    EXPECT_EQ(feed("\rx\n"), line_bad);
    EXPECT_EQ(feed("garbage\n"), line_bad);
    EXPECT_EQ(run_state.records_ignored, 4u);
    EXPECT_EQ(run_state.records_bad, 3u);
    EXPECT_FALSE(run_state.any_valid_record);
}

TEST_F(DriverTest, BadDateLineIsCountedBad) {
    EXPECT_EQ(feed("192.0.2.7 - - [32/Oct/2013:13:55:36 -0700] \"GET / HTTP/1.0\" 200 1\n"),
              line_bad);
    EXPECT_EQ(run_state.records_bad, 1u);
    EXPECT_FALSE(run_state.any_valid_record);
    EXPECT_EQ(month_totals.month, 0);
    EXPECT_EQ(feed(good_line), line_counted);
    EXPECT_TRUE(run_state.any_valid_record);
    EXPECT_EQ(month_totals.month, 10);
    EXPECT_EQ(month_totals.total_hits, 1u);
}

// ------------------------------------------------------------ the program

TEST(Program, ExitStatuses) {
    ts::scratch_dir dir;
    ts::write_file(dir.file("real.log"), good_line);
    ASSERT_EQ(symlink("real.log", dir.file("link.log").c_str()), 0);
    ts::write_file(dir.file("baddates.log"),
                   "192.0.2.7 - - [10/Okt/2013:13:55:36 -0700] \"GET / HTTP/1.0\" 200 1\n"
                   "192.0.2.7 - - [10/Oct/1989:13:55:36 -0700] \"GET / HTTP/1.0\" 200 1\n");
    // The symlink refusal is silent under -Q; the two open failures are not.
    struct row { const char* file; int status; const char* err; bool quiet_silent; };
    const row rows[] = {
        {"link.log", 9, "Error: Can't open log file link.log (symlink)\n", true},
        {"missing.log", 1, "Error: Can't open log file missing.log\n", false},
        {"missing.log.gz", 2, "Error: Can't open log file missing.log.gz (2)\n", false},
        {"missing.log.bz2", 2, "Error: Can't open log file missing.log.bz2 (2)\n", false},
    };
    for (const row& r : rows) {
        ts::run_result loud = ts::run_program(dir.path, {r.file});
        EXPECT_EQ(loud.status, r.status) << r.file;
        EXPECT_EQ(loud.err, r.err) << r.file;
        ts::run_result quiet = ts::run_program(dir.path, {"-Q", r.file});
        EXPECT_EQ(quiet.status, r.status) << r.file;
        EXPECT_EQ(quiet.err, r.quiet_silent ? "" : r.err) << r.file;
    }
    ts::run_result bad = ts::run_program(dir.path, {"baddates.log"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.out.find("No valid records found!\n"), std::string::npos) << bad.out;
    EXPECT_NE(bad.err.find("Error: Skipping record (bad date): [10/okt/2013:13:55:36 -0700] [1]\n"),
              std::string::npos)
        << bad.err;
    EXPECT_FALSE(ts::file_exists(dir.file("usage_201310.html")));
}

}  // namespace

namespace {

std::string clf(const char* host, const char* date, const char* url) {
    return std::string(host) + " - - [" + date + " +0000] \"GET " + url + " HTTP/1.0\" 200 1024\n";
}

// The data line of one month in the history file ("month year hits files
// sites kbytes first_day last_day pages visits"), without its visits.
std::string history_line(const std::string& hist, const std::string& month_year) {
    const std::size_t at = hist.find("\n" + month_year + " ");
    if (at == std::string::npos) return "";
    const std::size_t end = hist.find('\n', at + 1);
    const std::string line = hist.substr(at + 1, end - at - 1);
    return line.substr(0, line.rfind(' '));
}

TEST(Program, FinishedMonthKeepsItsLastDay) {
    ts::scratch_dir dir;
    ts::write_file(dir.file("a.log"), clf("192.0.2.1", "03/Jan/2013:10:00:00", "/a.html") +
                                          clf("192.0.2.1", "05/Jan/2013:11:00:00", "/b.html") +
                                          clf("192.0.2.2", "20/Feb/2013:10:00:00", "/a.html"));
    ts::run_result r = ts::run_program(dir.path, {"-Q", "a.log"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string hist = ts::read_file(dir.file("corvalist.hist"));
    // January: 2 hits, 2 files, 1 site, 2 KB, days 3 to 5, 2 pages.
    EXPECT_EQ(history_line(hist, "1 2013"), "1 2013 2 2 1 2 3 5 2") << hist;
    EXPECT_EQ(history_line(hist, "2 2013"), "2 2013 1 1 1 1 20 20 1") << hist;
    EXPECT_TRUE(ts::file_exists(dir.file("usage_201301.html")));
    EXPECT_TRUE(ts::file_exists(dir.file("usage_201302.html")));
}

TEST(Program, FoldingAndTimingLine) {
    ts::scratch_dir dir;
    ts::write_file(dir.file("a.log"), clf("192.0.2.1", "10/Oct/2013:10:30:00", "/a.html") +
                                          clf("192.0.2.1", "10/Oct/2013:09:10:00", "/a.html") +
                                          clf("192.0.2.1", "10/Oct/2013:08:59:59", "/a.html") +
                                          clf("192.0.2.1", "10/Oct/2013:10:40:00", "/a.html"));
    // The run takes well under a second, so the elapsed time shows as 1.
    struct row { const char* fold; const char* timing; const char* history; };
    const row rows[] = {
        {nullptr, "\n4 records (1 ignored) in 1 seconds, 4/sec\n", "10 2013 3 3 1 3 10 10 3"},
        {"-f", "\n4 records in 1 seconds, 4/sec\n", "10 2013 4 4 1 4 10 10 4"},
    };
    for (const row& w : rows) {
        ts::run_result r = w.fold ? ts::run_program(dir.path, {"-i", w.fold, "a.log"})
                                  : ts::run_program(dir.path, {"-i", "a.log"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find(w.timing), std::string::npos) << r.out;
        EXPECT_EQ(history_line(ts::read_file(dir.file("corvalist.hist")), "10 2013"), w.history);
    }
}

TEST(Program, HeaderCommentBadLineMessages) {
    ts::scratch_dir dir;
    const std::string header = "format=%Ses->client.ip% - %Req->vars.auth-user%\n";
    const std::string bad_date = "192.0.2.1 - - [32/Oct/2013:10:30:00 +0000] \"GET / HTTP/1.0\" 200 1\n";
    ts::write_file(dir.file("a.log"), header + clf("192.0.2.1", "10/Oct/2013:10:30:00", "/") +
                                          header + "# note\n" + bad_date);
    ts::run_result r = ts::run_program(dir.path, {"a.log"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\nSkipping Netscape header record\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\n5 records (2 ignored, 2 bad) in 1 seconds, 5/sec\n"), std::string::npos)
        << r.out;
    EXPECT_NE(r.err.find("Skipping bad record (3)\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Error: Skipping record (bad date): [32/oct/2013:10:30:00 +0000] [5]\n"),
              std::string::npos)
        << r.err;

    // With -v the offending line follows the message.
    ts::run_result v = ts::run_program(dir.path, {"-v", "-i", "a.log"});
    EXPECT_NE(v.err.find("Skipping bad record (3):\n" + header + "\n"), std::string::npos) << v.err;
    EXPECT_NE(v.err.find("[5]:\n" + bad_date + "\n"), std::string::npos) << v.err;
}

}  // namespace

namespace {

TEST(Program, StartUpFailuresAndEarlyEnds) {
    ts::scratch_dir dir;
    const std::string line = clf("192.0.2.1", "10/Oct/2013:10:30:00", "/a.html");
    ts::write_file(dir.file("a.log"), line);
    ts::write_file(dir.file("corvalist.current"), "not a state file\n");

    ts::run_result r = ts::run_program(dir.path, {"-Q", "-o", "no-such-dir", "a.log"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: Can't change directory to no-such-dir\n");

    r = ts::run_program(dir.path, {"-Q", "-p", "a.log"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("Error: Unable to restore run data (", 0), 0u) << r.err;
    EXPECT_FALSE(ts::file_exists(dir.file("usage_201310.html")));

    r = ts::run_program(dir.path, {"-Q", "a.log"}, "", ts::tool_binary("corvalookup"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "No cache file specified, aborting...\n");
}

TEST(Program, ResolverPassEndsARunOverStandardInputAndRewindsAFile) {
    SKIP_WITHOUT_PRIVATE_RESOLVER();
    ts::scratch_dir dir;
    const std::string line = clf("192.0.2.1", "10/Oct/2013:10:30:00", "/a.html");
    ts::write_file(dir.file("a.log"), line);

    // Standard input cannot be read twice: the run ends after the resolver pass.
    ts::run_result r = ts::run_program(dir.path, {"-Q", "-D", "dns.db", "-N", "1", "-"}, line);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(ts::file_exists(dir.file("usage_201310.html")));
    EXPECT_FALSE(ts::file_exists(dir.file("corvalist.hist")));

    // The same log as a file is rewound and counted after the pass.
    r = ts::run_program(dir.path, {"-Q", "-D", "dns.db", "-N", "1", "a.log"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(ts::file_exists(dir.file("usage_201310.html")));
}

TEST(Program, MainPassAfterTheResolverPassStartsWithoutW3cColumns) {
    SKIP_WITHOUT_PRIVATE_RESOLVER();
    // A data line before the first fields directive is bad, also when the
    // resolver's pass has already seen the directive further down the log.
    ts::scratch_dir dir;
    ts::write_file(dir.file("w3c.log"),
                   "2013-10-10 10:00:00 192.0.2.1 GET /a.html 200 100\n"
                   "#Fields: date time c-ip cs-method cs-uri-stem sc-status sc-bytes\n"
                   "2013-10-10 10:05:00 192.0.2.1 GET /b.html 200 100\n");
    const std::vector<std::string> plain = {"-Q", "-T", "-i", "-F", "w3c", "w3c.log"};
    const std::vector<std::string> resolved = {"-Q", "-T", "-i", "-F", "w3c", "-D", "dns.db", "-N", "1", "w3c.log"};
    for (const auto& args : {plain, resolved}) {
        ts::run_result r = ts::run_program(dir.path, args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("3 records (1 ignored, 1 bad) in 1 seconds, 3/sec\n"), std::string::npos)
            << args.size() << " arguments: " << r.out;
        // October: 1 hit, 1 file, 1 site, 0 KB, day 10 to 10, 1 page.
        EXPECT_EQ(history_line(ts::read_file(dir.file("corvalist.hist")), "10 2013"), "10 2013 1 1 1 0 10 10 1");
    }
}

}  // namespace

namespace {

// A day past the end of its month and a year of five digits are bad dates in
// every log type that can write them (a proxy's seconds since 1970 always
// give a real day), with the usual message; the good records around them
// are counted, and the state they leave is one that the next incremental
// run restores. Before, a year-10000 record was saved as the open month and
// every later run stopped with "Unable to restore run data (2)".
TEST(Program, BadDatesNeverReachTheState) {
    const std::string w3c_fields = "#Fields: date time c-ip cs-method cs-uri-stem sc-status sc-bytes\n";
    auto w3c = [](const char* date) { return std::string(date) + " 192.0.2.1 GET /a.html 200 1024\n"; };
    auto ftp = [](const char* date) {
        return std::string(date) + " 3 192.0.2.1 1024 /pub/a.txt b _ o r anonymous ftp 0 * c\n";
    };
    auto squid = [](const char* seconds) {
        return std::string(seconds) + ".000 10 192.0.2.1 TCP_MISS/200 1024 GET http://h/a.html - DIRECT/10.0.0.1 text/html\n";
    };
    struct row {
        const char* type;
        std::string first, second;  // the logs of two incremental runs
        const char* err;            // of the first run
        const char* month;          // "month year" of the records counted
        const char* history;        // its history line after the second run
    };
    // 1381399200 is 2013-10-10 10:00:00 UTC, 1381485600 a day later;
    // 253402300800 is 10000-01-01 00:00:00.
    const row rows[] = {
        {"clf",
         clf("192.0.2.1", "28/Feb/2012:10:00:00", "/a.html") + clf("192.0.2.1", "29/Feb/2012:10:00:00", "/a.html") +
             clf("192.0.2.1", "30/Feb/2012:10:00:00", "/a.html") + clf("192.0.2.1", "31/Apr/2013:10:00:00", "/a.html") +
             clf("192.0.2.1", "29/Feb/2100:10:00:00", "/a.html") + clf("192.0.2.1", "01/Jan/10000:00:00:00", "/a.html"),
         clf("192.0.2.1", "29/Feb/2012:11:00:00", "/b.html"),
         "Error: Skipping record (bad date): [30/feb/2012:10:00:00 +0000] [3]\n"
         "Error: Skipping record (bad date): [31/apr/2013:10:00:00 +0000] [4]\n"
         "Error: Skipping record (bad date): [29/feb/2100:10:00:00 +0000] [5]\n"
         "Warning: Truncating oversized date field\n"
         "Error: Skipping record (bad date): [01/jan/10000:00:00:00 +0000 [6]\n",
         "2 2012", "2 2012 3 3 1 3 28 29 3"},
        {"ftp", ftp("Thu Oct 10 10:00:00 2013") + ftp("Fri Feb 29 10:00:00 2013") + ftp("Thu Sep 31 10:00:00 2013"),
         ftp("Fri Oct 11 10:00:00 2013"),
         "Error: Skipping record (bad date): [29/feb/2013:10:00:00 -0000] [2]\n"
         "Error: Skipping record (bad date): [31/sep/2013:10:00:00 -0000] [3]\n",
         "10 2013", "10 2013 2 2 1 2 10 11 2"},
        {"squid", squid("1381399200") + squid("253402300800"), squid("1381485600"),
         "Error: Skipping record (bad date): [01/jan/10000:00:00:00 -0000 [2]\n", "10 2013",
         "10 2013 2 2 1 2 10 11 2"},
        {"w3c", w3c_fields + w3c("2013-10-10 10:00:00") + w3c("2013-02-29 10:00:00") + w3c("2013-11-31 10:00:00") +
             w3c("10000-01-01 00:00:00"),
         w3c_fields + w3c("2013-10-11 10:00:00"),
         "Error: Skipping record (bad date): [29/feb/2013:10:00:00 -0000] [3]\n"
         "Error: Skipping record (bad date): [31/nov/2013:10:00:00 -0000] [4]\n"
         "Error: Skipping record (bad date): [01/jan/10000:00:00:00 -0000 [5]\n",
         "10 2013", "10 2013 2 2 1 2 10 11 2"},
    };
    for (const row& w : rows) {
        SCOPED_TRACE(w.type);
        ts::scratch_dir dir;
        ts::write_file(dir.file("a.log"), w.first);
        ts::write_file(dir.file("b.log"), w.second);
        ts::run_result r = ts::run_program(dir.path, {"-p", "-q", "-F", w.type, "a.log"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, w.err);
        r = ts::run_program(dir.path, {"-p", "-q", "-F", w.type, "b.log"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(history_line(ts::read_file(dir.file("corvalist.hist")), w.month), w.history);
    }
}

TEST(Program, IncrementalRerunOverCountedRecords) {
    ts::scratch_dir dir;
    ts::write_file(dir.file("a.log"), clf("192.0.2.1", "10/Oct/2013:10:30:00", "/a.html") +
                                          clf("192.0.2.1", "10/Oct/2013:10:40:00", "/b.html"));
    ts::run_result r = ts::run_program(dir.path, {"-p", "a.log"});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_TRUE(ts::file_exists(dir.file("corvalist.current")));
    const std::string state = ts::read_file(dir.file("corvalist.current"));
    std::remove(dir.file("usage_201310.html").c_str());
    std::remove(dir.file("index.html").c_str());

    r = ts::run_program(dir.path, {"-p", "a.log"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\n2 records (2 ignored) in 1 seconds, 2/sec\n"), std::string::npos) << r.out;
    EXPECT_FALSE(ts::file_exists(dir.file("usage_201310.html")));
    EXPECT_TRUE(ts::file_exists(dir.file("index.html")));  // history exists
    EXPECT_EQ(ts::read_file(dir.file("corvalist.current")), state);
}

}  // namespace

namespace {

// Every line of a real log is one record read, whatever becomes of it.
TEST(Program, RealLogsCountEveryLine) {
    struct row { const char* log; const char* type; };
    const row rows[] = {
        {"apache/elastic-examples-2015-05.log", "clf"},
        {"apache/lovecoding-2020-12-ipv6.log", "clf"},
        {"apache/plaso-mixed-fixture-userfield.log", "clf"},
        {"w3c/plaso-iis10-exchange-sanitized.log", "w3c"},
        {"xferlog/webtct-2016.xferlog", "ftp"},
    };
    SKIP_WITHOUT_REAL_DATA();
    for (const row& r : rows) {
        const std::string path = ts::real_data(r.log);
        const std::string text = ts::read_file(path);
        ASSERT_FALSE(text.empty()) << r.log;
        std::size_t lines = 0;
        for (char c : text) lines += c == '\n';
        if (text.back() != '\n') ++lines;
        ts::scratch_dir dir;
        ts::run_result res = ts::run_program(dir.path, {"-q", "-T", "-F", r.type, path});
        EXPECT_EQ(res.status, 0) << r.log << res.err;
        EXPECT_EQ(res.out.rfind(std::to_string(lines) + " records ", 0), 0u) << r.log << res.out;
    }
}

}  // namespace

namespace {

TEST(Program, OversizedLineIsOneBadRecord) {
    ts::scratch_dir dir;
    const std::string good = clf("192.0.2.1", "10/Oct/2013:10:30:00", "/a.html");
    const std::string huge = "192.0.2.1 - - [10/Oct/2013:10:31:00 +0000] \"GET /" +
                             std::string(9000, 'x') + " HTTP/1.0\" 200 1\n";
    ts::write_file(dir.file("a.log"), good + huge + good);
    ts::run_result r = ts::run_program(dir.path, {"a.log"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\n3 records (1 bad) in 1 seconds, 3/sec\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "Error: Skipping oversized log record\n");
}

}  // namespace

namespace {

TEST(Program, HostsAndMonthLettersAreLowerCased) {
    ts::scratch_dir dir;
    ts::write_file(dir.file("a.log"), clf("Www.Example.COM", "10/OCT/2013:10:30:00", "/a.html") +
                                          clf("www.example.com", "10/oct/2013:10:31:00", "/a.html"));
    ts::run_result r = ts::run_program(dir.path, {"-Q", "a.log"});
    ASSERT_EQ(r.status, 0) << r.err;
    // One site, two hits, both in October.
    EXPECT_EQ(history_line(ts::read_file(dir.file("corvalist.hist")), "10 2013"),
              "10 2013 2 2 1 2 10 10 2");
}

}  // namespace

namespace {

TEST(Program, LogsWithoutAValidRecordEndWithStatusOne) {
    // Comments, blank lines, garbage and NUL bytes: nothing passes the date
    // check, so no report is written.
    const struct {
        const char* what;
        std::string log;
    } rows[] = {
        {"empty file", ""},
        {"only comments", "# one\n#two\n\n"},
        {"binary garbage", std::string("\x01\xff\x80[\"\x00 x\n", 9) + std::string(5000, '\x7f') + "\n\x00\x00\n"},
        {"only bad dates", "192.0.2.1 - - [10/Oct/1989:10:30:00 +0000] \"GET / HTTP/1.0\" 200 1\n"},
    };
    for (const auto& r : rows) {
        ts::scratch_dir dir;
        ts::write_file(dir.file("a.log"), r.log);
        ts::run_result loud = ts::run_program(dir.path, {"-i", "a.log"});
        EXPECT_EQ(loud.status, 1) << r.what;
        EXPECT_NE(loud.out.find("\nNo valid records found!\n"), std::string::npos) << r.what << loud.out;
        EXPECT_EQ(loud.out.find(" seconds"), std::string::npos) << r.what << ": no timing line";
        EXPECT_FALSE(ts::file_exists(dir.file("usage_201310.html"))) << r.what;
        EXPECT_FALSE(ts::file_exists(dir.file("corvalist.hist"))) << r.what;
        ts::run_result quiet = ts::run_program(dir.path, {"-Q", "a.log"});
        EXPECT_EQ(quiet.status, 1) << r.what;
        EXPECT_EQ(quiet.out, "") << r.what;
        EXPECT_EQ(quiet.err, "") << r.what;
    }
}

TEST(Program, OutputDirectoryHoldsTheRunsFilesWhileTheLogIsFoundFromTheStart) {
    ts::scratch_dir dir;
    ts::write_file(dir.file("a.log"), clf("192.0.2.1", "10/Oct/2013:10:30:00", "/a.html"));
    ASSERT_EQ(mkdir(dir.file("out").c_str(), 0755), 0);
    ts::run_result r = ts::run_program(dir.path, {"-n", "example.org", "-p", "-o", "out", "a.log"});
    ASSERT_EQ(r.status, 0) << r.err;
    // Start-up messages in their order, after the version line.
    const std::size_t second = r.out.find('\n') + 1;
    EXPECT_EQ(r.out.rfind("Corvalist V2.23-08 (", 0), 0u) << r.out;
    const std::string want =
        "Using logfile a.log (clf)\nCreating output in out\nHostname for reports is 'example.org'\n";
    EXPECT_EQ(r.out.substr(second, want.size()), want) << r.out;
    for (const char* name : {"usage_201310.html", "corvalist.hist", "corvalist.current", "index.html"}) {
        EXPECT_TRUE(ts::file_exists(dir.file(std::string("out/") + name))) << name;
        EXPECT_FALSE(ts::file_exists(dir.file(name))) << name;
    }
}

}  // namespace

namespace {

// Without Debug the log is read on a second thread while the first counts.
// The messages of both sides must still come out in line order (a reading
// side running ahead would print its warnings early), records the sequence
// check skips must warn of nothing, and the files must be those of a run
// with Debug, which reads on one thread.
TEST(Program, MessagesKeepLineOrderAndFilesMatchTheOneThreadRun) {
    std::string log, want;
    const std::string google = "\"http://www.google.com/search?q=" + std::string(200, 'q') + "\"";
    int read = 0;
    for (int i = 0; i < 3000; ++i) {
        char when[32];
        std::snprintf(when, sizeof when, "10/Oct/2013:10:%02d:%02d", i / 60, i % 60);
        const std::string date = std::string("[") + when + " +0000]";
        const std::string n = std::to_string(++read);
        auto line = [&](const std::string& host, const std::string& d, const std::string& url,
                        const std::string& referrer) {
            return host + " - - " + d + " \"GET " + url + " HTTP/1.0\" 200 100 " + referrer + " \"Agent\"\n";
        };
        // Each message of the counting side is followed at once by one of
        // the reading side (case 11), which a reading side that printed on
        // its own would print too early.
        switch (i % 97) {
            case 11:
            case 21:
            case 31:
            case 41:
            case 51:
            case 71:  // cut while parsing
                log += line(std::string(300, 'h'), date, "/a.html", "\"-\"");
                want += "Warning: Truncating oversized hostname\n";
                break;
            case 20:  // cut while counting: a search string of 200 characters
                log += line("192.0.2.9", date, "/s.html", google);
                want += "[new_snode] Warning: String exceeds storage size (200)\n";
                break;
            case 30:
                log += line("192.0.2.9", "[99/Oct/2013:10:00:00 +0000]", "/a.html", "\"-\"");
                want += "Error: Skipping record (bad date): [99/oct/2013:10:00:00 +0000] [" + n + "]\n";
                break;
            case 40:
                log += line("192.0.2.9", date, "/" + std::string(5000, 'x'), "\"-\"");
                want += "Error: Skipping oversized log record\n";
                break;
            case 50:  // cut while normalising: a URL of 600 and a referrer of 300 characters
                log += line("192.0.2.9", date, "/" + std::string(599, 'u'), "\"http://r.example/" + std::string(283, 'r') + "\"");
                want += "Warning: Truncating oversized referrer field [" + n + "]\n";
                want += "Warning: Truncating oversized request field [" + n + "]\n";
                break;
            case 60:  // two hours behind: skipped, and its long URL is never cut
                log += line("192.0.2.9", "[10/Oct/2013:08:00:00 +0000]", "/" + std::string(599, 'u'), "\"-\"");
                break;
            case 70:  // the third field ("here"), taken as the user, ends at the newline
                log += "no record here\n";
                want += "Warning: Truncating oversized username\n";
                want += "Skipping bad record (" + n + ")\n";
                break;
            default:
                log += line("192.0.2." + std::to_string(i % 50), date, "/p" + std::to_string(i % 40) + ".html",
                            "\"http://r.example/\"");
        }
    }
    ts::scratch_dir two, one;
    ts::write_file(two.file("a.log"), log);
    ts::write_file(one.file("a.log"), log);
    const ts::run_result r = ts::run_program(two.path, {"a.log"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, want);
    const ts::run_result d = ts::run_program(one.path, {"-d", "a.log"});
    ASSERT_EQ(d.status, 0);
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(two.path)) {
        const std::string name = entry.path().filename().string();
        EXPECT_EQ(ts::read_file(entry.path().string()), ts::read_file(one.file(name))) << name;
        ++files;
    }
    EXPECT_GT(files, 5);
}

}  // namespace
