// History window: reading, moving, updating and the safe rewrite of the file.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "lang/lang.h"
#include "persist/history.h"
#include "run/month.h"
#include "run/settings.h"
#include "test_support.h"

using testing_support::file_exists;
using testing_support::read_file;
using testing_support::scratch_dir;
using testing_support::write_file;

namespace {

struct HistoryTest : ::testing::Test {
    scratch_dir dir;
    std::string hist = dir.file("corvalist.hist");
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        setenv("SOURCE_DATE_EPOCH", "1394014830", 1);  // 2014-03-05 10:20:30 UTC
        settings.Verbosity = 1;
        settings.HistoryName = hist.c_str();
        clear_history();
        month_totals = month_totals_rec{};
    }
    void TearDown() override { settings.HistoryName = "corvalist.hist"; settings.Verbosity = 2; }

    // Completes month (y, m) with the given totals through update_history.
    int complete(int y, int m, uint64_t hits = 0, double bytes = 0) {
        month_totals.year = y;
        month_totals.month = m;
        month_totals.total_hits = hits;
        month_totals.total_bytes = bytes;
        month_totals.first_day = 1;
        month_totals.last_day = 1;
        return update_history();
    }
};

// n empty data lines from month (y, m) backwards.
std::string empty_lines(int y, int m, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) {
        s += std::to_string(m) + " " + std::to_string(y) + " 0 0 0 0 0 0 0 0\n";
        if (--m == 0) m = 12, --y;
    }
    return s;
}

TEST_F(HistoryTest, WritesHeaderAndOneLinePerMonthNewestFirst) {
    month_totals.year = 2014;
    month_totals.month = 3;
    month_totals.total_hits = 1200;
    month_totals.total_files = 900;
    month_totals.total_sites = 40;
    month_totals.total_pages = 300;
    month_totals.total_visits = 60;
    month_totals.total_bytes = 5242880;  // 5120 kilobytes
    month_totals.first_day = 2;
    month_totals.last_day = 31;
    ASSERT_EQ(update_history(), history_ok);
    EXPECT_EQ(history[119].year, 2014);
    EXPECT_EQ(history[0].year, 2004);  // 119 months before March 2014 is April 2004
    EXPECT_EQ(history[0].month, 4);
    ASSERT_EQ(write_history(), history_ok);

    std::string expected = "# Corvalist V2.23-08 History Data - 05/Mar/2014 10:20:30 (120 month)\n"
                           "3 2014 1200 900 40 5120 2 31 300 60\n";
    expected += empty_lines(2014, 2, 119);
    EXPECT_TRUE(expected.ends_with("\n5 2004 0 0 0 0 0 0 0 0\n4 2004 0 0 0 0 0 0 0 0\n"));
    EXPECT_EQ(read_file(hist), expected);
    EXPECT_FALSE(file_exists(hist + ".new"));
}

TEST_F(HistoryTest, ReadsLinesInAnyOrderAndSkipsBadOnes) {
    settings.Verbosity = 1;
    write_file(hist,
               "# comment line\n"
               "1 2014 10 9 8 7 3 4 6 5\n"      // older first: the window moves forward later
               "garbage\n"
               "13 2014 1 1 1 1 1 1 1 1\n"      // invalid month
               "2 1969 1 1 1 1 1 1 1 1\n"       // year before 1970
               "3 2014 100 90 80 70.4 1 31 60 50\n"
               "2 2014 20 19 18 17 1 28\n"      // eight fields: pages and visits stay 0
               "3 2004 5 5 5 5 5 5 5 5\n"       // 120 months older than March 2014: dropped
               "4 2004 7 7 7 7 7 7 7 7\n");     // oldest month of the window
    testing::internal::CaptureStderr();
    ASSERT_EQ(read_history(), history_ok);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "Error: Ignoring invalid history record (mth=13)\n"
                   "Error: Ignoring invalid history record (mth=2)\n");

    const hist_entry& mar = history[119];
    EXPECT_EQ(mar.year, 2014);
    EXPECT_EQ(mar.month, 3);
    EXPECT_EQ(mar.hits, 100u);
    EXPECT_EQ(mar.files, 90u);
    EXPECT_EQ(mar.sites, 80u);
    EXPECT_DOUBLE_EQ(mar.kbytes, 70.4);
    EXPECT_EQ(mar.first_day, 1);
    EXPECT_EQ(mar.last_day, 31);
    EXPECT_EQ(mar.pages, 60u);
    EXPECT_EQ(mar.visits, 50u);
    const hist_entry& feb = history[118];
    EXPECT_EQ(feb.hits, 20u);
    EXPECT_EQ(feb.last_day, 28);
    EXPECT_EQ(feb.pages, 0u);
    EXPECT_EQ(feb.visits, 0u);
    const hist_entry& jan = history[117];
    EXPECT_EQ(jan.month, 1);
    EXPECT_EQ(jan.hits, 10u);
    EXPECT_EQ(jan.visits, 5u);
    EXPECT_EQ(history[0].month, 4);
    EXPECT_EQ(history[0].year, 2004);
    EXPECT_EQ(history[0].hits, 7u);
    EXPECT_FALSE(history_saved_aside);  // reading never sets the set-aside flag
}

TEST_F(HistoryTest, MissingFileLeavesWindowEmpty) {
    testing::internal::CaptureStdout();
    settings.Verbosity = 2;
    EXPECT_EQ(read_history(), history_missing);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "History file not found...\n");
    EXPECT_EQ(history[119].year, 0);
}

TEST_F(HistoryTest, WrittenHistoryReadsBackUnchanged) {
    ASSERT_EQ(complete(2013, 11, 500, 2048), history_ok);
    ASSERT_EQ(complete(2014, 1, 700, 4096), history_ok);
    ASSERT_EQ(write_history(), history_ok);
    hist_entry before[120];
    std::copy(history, history + 120, before);
    clear_history();
    ASSERT_EQ(read_history(), history_ok);
    for (int i = 0; i < 120; ++i) {
        EXPECT_EQ(history[i].year, before[i].year) << i;
        EXPECT_EQ(history[i].month, before[i].month) << i;
        EXPECT_EQ(history[i].hits, before[i].hits) << i;
        EXPECT_DOUBLE_EQ(history[i].kbytes, before[i].kbytes) << i;
    }
    EXPECT_EQ(history[119].hits, 700u);
    EXPECT_DOUBLE_EQ(history[119].kbytes, 4.0);
    EXPECT_EQ(history[117].hits, 500u);
}

TEST_F(HistoryTest, WindowMovesWithGapWarning) {
    struct row {
        int from_y, from_m, to_y, to_m;
        const char* warning;
        bool saved_aside;
    } rows[] = {
        {2013, 11, 2014, 1, "", false},  // gap 2: no warning
        {2013, 12, 2014, 3, "Warning! 3 month gap detected! (12/2013 to 3/2014)\n", false},
        {2013, 1, 2013, 12, "Warning! 11 month gap detected! (1/2013 to 12/2013)\n", false},
        {2012, 12, 2013, 12, "Warning! 12 month gap detected! (12/2012 to 12/2013)\n", true},
        {2000, 5, 2014, 5, "Warning! 168 month gap detected! (5/2000 to 5/2014)\n", true},
    };
    for (const row& r : rows) {
        clear_history();
        ASSERT_EQ(complete(r.from_y, r.from_m, 42), history_ok);
        testing::internal::CaptureStderr();
        ASSERT_EQ(complete(r.to_y, r.to_m, 43), history_ok);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), r.warning) << r.from_y << "/" << r.from_m;
        EXPECT_EQ(history_saved_aside, r.saved_aside) << r.from_y << "/" << r.from_m;
        EXPECT_EQ(history[119].year, r.to_y);
        EXPECT_EQ(history[119].month, r.to_m);
        EXPECT_EQ(history[119].hits, 43u);
        int g = 12 * (r.to_y - r.from_y) + r.to_m - r.from_m;
        if (g < 120) {
            EXPECT_EQ(history[119 - g].hits, 42u) << "old month kept " << g << " places back";
            EXPECT_EQ(history[119 - g].month, r.from_m);
            EXPECT_EQ(history[118].hits, g == 1 ? 42u : 0u);
        }
        // every entry one month after the one before it
        for (int i = 1; i < 120; ++i)
            EXPECT_EQ(history[i].year * 12 + history[i].month, history[i - 1].year * 12 + history[i - 1].month + 1);
    }
}

TEST_F(HistoryTest, MonthsOlderThanWindowAreDroppedAndSameMonthOverwritten) {
    ASSERT_EQ(complete(2014, 3, 1), history_ok);
    EXPECT_EQ(complete(2004, 3, 2), history_dropped);  // 120 months older
    EXPECT_EQ(complete(2004, 4, 3), history_ok);       // 119 months older: entry 0
    EXPECT_EQ(history[0].hits, 3u);
    EXPECT_EQ(complete(2014, 3, 9), history_ok);
    EXPECT_EQ(history[119].hits, 9u);
    month_totals.month = 0;  // no month held
    EXPECT_EQ(update_history(), history_dropped);
}

TEST_F(HistoryTest, BigGapKeepsOldFileAsSav) {
    write_file(hist, "old history\n");
    ASSERT_EQ(complete(2012, 1, 1), history_ok);
    testing::internal::CaptureStderr();
    ASSERT_EQ(complete(2013, 6, 2), history_ok);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Warning! 17 month gap detected! (1/2012 to 6/2013)\n");
    ASSERT_TRUE(history_saved_aside);
    ASSERT_EQ(write_history(), history_ok);
    EXPECT_EQ(read_file(hist + ".sav"), "old history\n");
    EXPECT_TRUE(read_file(hist).starts_with("# Corvalist V2.23-08 History Data"));

    // Without an old file the set-aside is silently skipped.
    scratch_dir other;
    std::string fresh = other.file("h");
    settings.HistoryName = fresh.c_str();
    testing::internal::CaptureStderr();
    EXPECT_EQ(write_history(), history_ok);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_FALSE(file_exists(fresh + ".sav"));
    settings.HistoryName = hist.c_str();
}

TEST_F(HistoryTest, SymlinkedTemporaryIsNeverWrittenThrough) {
    write_file(hist, "old history\n");
    std::string target = dir.file("target");
    write_file(target, "target\n");
    ASSERT_EQ(symlink(target.c_str(), (hist + ".new").c_str()), 0);
    ASSERT_EQ(complete(2014, 3, 1), history_ok);
    testing::internal::CaptureStderr();
    EXPECT_EQ(write_history(), history_symlink);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: Unable to open file " + hist + ".new (symlink)\n");
    EXPECT_EQ(read_file(target), "target\n");
    EXPECT_EQ(read_file(hist), "old history\n");
}

TEST_F(HistoryTest, FailedWriteKeepsOldHistory) {
    // A file-size limit makes the writes of the temporary file fail the way a
    // full disk does; the limit is set in a child so the test runner keeps
    // its own.
    write_file(hist, "old history\n");
    ASSERT_EQ(complete(2014, 3, 123456789), history_ok);
    std::string err_path = dir.file("stderr");
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit lim{600, 600};
        setrlimit(RLIMIT_FSIZE, &lim);
        if (!freopen(err_path.c_str(), "w", stderr)) _exit(100);
        int code = write_history();
        std::fflush(stderr);
        _exit(code);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), history_write_error);
    EXPECT_EQ(read_file(hist), "old history\n");
    EXPECT_FALSE(file_exists(hist + ".new"));
    EXPECT_EQ(read_file(err_path), "Error: Unable to write history file " + hist + ".new\n");
}

}  // namespace
