// One month counted in one run, or in three incremental runs over
// consecutive pieces of the same log, gives the same counters, the same table
// entries (visits, entries, exits and last pages included), the same history
// and the same report page. Only the order of nodes inside a hash bucket may
// differ, because a restore puts each node at the head of its bucket, so
// table sections and page lines are compared as sorted lists.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>
#include <unistd.h>

#include "test_support.h"

using testing_support::read_file;
using testing_support::real_data;
using testing_support::run_program;
using testing_support::scratch_dir;
using testing_support::write_file;

namespace {

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) lines.push_back(l + "\n");
    return lines;
}

// Seconds of the record's "[dd/Mon/yyyy:hh:mm:ss" field, comparable within a log.
long long record_time(const std::string& line) {
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    size_t open = line.find('[');
    if (open == std::string::npos) return -1;
    int d = 0, y = 0, h = 0, mi = 0, s = 0;
    char mon[4] = "";
    if (std::sscanf(line.c_str() + open, "[%d/%3s/%d:%d:%d:%d", &d, mon, &y, &h, &mi, &s) != 6) return -1;
    int m = 0;
    while (m < 12 && std::strcmp(months[m], mon) != 0) ++m;
    return ((((y * 12LL + m) * 31 + d) * 24 + h) * 60 + mi) * 60 + s;
}

// First index at or after from where every earlier record is strictly older
// than every later one, so that the resumed run skips nothing of its piece.
size_t clean_cut(const std::vector<std::string>& lines, size_t from) {
    std::vector<long long> later_min(lines.size() + 1, LLONG_MAX);
    for (size_t i = lines.size(); i-- > 0;) later_min[i] = std::min(later_min[i + 1], record_time(lines[i]));
    long long earlier_max = -1;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i >= from && earlier_max < later_min[i]) return i;
        earlier_max = std::max(earlier_max, record_time(lines[i]));
    }
    return lines.size();
}

// The state file as its 100 fixed lines, then each table section as a sorted
// list of records (a site record has three lines, every other record two).
std::vector<std::string> state_parts(const std::string& text) {
    std::vector<std::string> lines = split_lines(text);
    std::vector<std::string> parts;
    size_t i = 0;
    for (; i < lines.size() && i < 100; ++i) parts.push_back(lines[i]);
    while (i < lines.size()) {
        std::string header = lines[i++];
        size_t per_record = header.starts_with("# -sites- ") ? 3 : 2;
        std::vector<std::string> records;
        while (i < lines.size() && !lines[i].starts_with("# End Of Table ")) {
            std::string r;
            for (size_t k = 0; k < per_record && i < lines.size(); ++k) r += lines[i++];
            records.push_back(r);
        }
        std::sort(records.begin(), records.end());
        std::string section = header;
        for (const std::string& r : records) section += r;
        if (i < lines.size()) section += lines[i++];
        parts.push_back(section);
    }
    return parts;
}

std::vector<std::string> sorted_lines(const std::string& text) {
    std::vector<std::string> l = split_lines(text);
    std::sort(l.begin(), l.end());
    return l;
}

TEST(Incremental, ThreePiecesGiveTheSameMonthAsOneRun) {
    SKIP_WITHOUT_REAL_DATA();
    const std::string log = read_file(real_data("apache/ccsite-2001-03.log"));
    ASSERT_FALSE(log.empty());
    const std::vector<std::string> lines = split_lines(log);
    const size_t cut1 = clean_cut(lines, lines.size() / 3);
    const size_t cut2 = clean_cut(lines, lines.size() * 2 / 3);
    ASSERT_LT(cut1, cut2);
    ASSERT_LT(cut2, lines.size());

    scratch_dir whole, pieces;
    write_file(whole.file("access.log"), log);
    const std::vector<std::string> args = {"-p", "-Q", "-n", "test"};
    auto with_log = [&](const std::string& name) {
        std::vector<std::string> a = args;
        a.push_back(name);
        return a;
    };
    ASSERT_EQ(run_program(whole.path, with_log("access.log")).status, 0);

    const size_t bounds[] = {0, cut1, cut2, lines.size()};
    for (int p = 0; p < 3; ++p) {
        std::string piece;
        for (size_t i = bounds[p]; i < bounds[p + 1]; ++i) piece += lines[i];
        const std::string name = "piece" + std::to_string(p + 1) + ".log";
        write_file(pieces.file(name), piece);
        ASSERT_EQ(run_program(pieces.path, with_log(name)).status, 0) << name;
    }

    const std::string state_one = read_file(whole.file("corvalist.current"));
    const std::string state_three = read_file(pieces.file("corvalist.current"));
    ASSERT_FALSE(state_one.empty());
    const std::vector<std::string> one = state_parts(state_one), three = state_parts(state_three);
    ASSERT_EQ(one.size(), 107u);  // 100 fixed lines and 7 sections
    ASSERT_EQ(three.size(), one.size());
    for (size_t i = 0; i < one.size(); ++i) EXPECT_EQ(three[i], one[i]) << "state part " << i;

    EXPECT_EQ(read_file(pieces.file("corvalist.hist")), read_file(whole.file("corvalist.hist")));
    EXPECT_EQ(read_file(pieces.file("index.html")), read_file(whole.file("index.html")));
    for (const char* graph : {"daily_usage_200103.png", "hourly_usage_200103.png"})
        EXPECT_EQ(read_file(pieces.file(graph)), read_file(whole.file(graph))) << graph;

    const std::string page_one = read_file(whole.file("usage_200103.html"));
    ASSERT_FALSE(page_one.empty());
    EXPECT_EQ(sorted_lines(read_file(pieces.file("usage_200103.html"))), sorted_lines(page_one));
}

// An incremental run whose first new record opens the next month starts that
// month as a run over its records alone would: nothing of the restored month
// (its open hour's hits, the day's sites, visits, tables) runs on into it.
// Its state, page, graphs and history line equal those of a fresh run.
TEST(Incremental, ResumedRunIntoANewMonthEqualsAFreshRun) {
    auto line = [](const char* host, const char* date, const char* url) {
        return std::string(host) + " - - [" + date + " +0000] \"GET " + url + " HTTP/1.0\" 200 1024\n";
    };
    // October ends with two hits in hour 10 of the 31st, the last from the
    // host that opens November, also in hour 10, within its visit timeout.
    const std::string october = line("192.0.2.2", "31/Oct/2013:10:10:00", "/b.html") +
                                line("192.0.2.1", "31/Oct/2013:10:50:00", "/a.html");
    const std::string november = line("192.0.2.1", "01/Nov/2013:10:00:00", "/a.html") +
                                 line("192.0.2.1", "01/Nov/2013:10:05:00", "/c.html") +
                                 line("192.0.2.3", "01/Nov/2013:11:00:00", "/a.html") +
                                 line("192.0.2.1", "02/Nov/2013:09:00:00", "/b.html");
    scratch_dir resumed, fresh;
    write_file(resumed.file("oct.log"), october);
    write_file(resumed.file("nov.log"), november);
    write_file(fresh.file("nov.log"), november);
    for (const char* log : {"oct.log", "nov.log"})
        ASSERT_EQ(run_program(resumed.path, {"-p", "-Q", "-n", "test", log}).status, 0) << log;
    ASSERT_EQ(run_program(fresh.path, {"-p", "-Q", "-n", "test", "nov.log"}).status, 0);

    const std::string state = read_file(resumed.file("corvalist.current"));
    // Day sites, hour hits, largest hour, first and last day: one site on the
    // 2nd, one hit in its hour 9, two in hour 10 of the 1st, days 1 to 2.
    const std::vector<std::string> lines = split_lines(state);
    ASSERT_GT(lines.size(), 4u);
    EXPECT_EQ(lines[3], "1 1 2 1 2\n");
    EXPECT_EQ(state_parts(state), state_parts(read_file(fresh.file("corvalist.current"))));
    for (const char* file : {"usage_201311.html", "daily_usage_201311.png", "hourly_usage_201311.png"})
        EXPECT_EQ(read_file(resumed.file(file)), read_file(fresh.file(file))) << file;
    auto november_line = [](const std::string& hist) {
        const size_t at = hist.find("\n11 2013 ");
        return at == std::string::npos ? std::string() : hist.substr(at, hist.find('\n', at + 1) - at);
    };
    const std::string nov = november_line(read_file(fresh.file("corvalist.hist")));
    ASSERT_FALSE(nov.empty());
    EXPECT_EQ(november_line(read_file(resumed.file("corvalist.hist"))), nov);
}

// The state is saved before the run's last visits are closed: a visit that is
// over at the end of one piece gets its exit once, when the next piece shows
// the site again, not a second time at the save.
TEST(Incremental, SavedStateKeepsOpenVisitsOpen) {
    scratch_dir dir;
    auto line = [](const char* host, const char* time, const char* url) {
        return std::string(host) + " - - [10/Oct/2013:" + time + " +0000] \"GET " + url + " HTTP/1.0\" 200 1024\n";
    };
    // 192.0.2.1's visit is over (two hours without a request) when each run ends.
    write_file(dir.file("a.log"), line("192.0.2.1", "10:00:00", "/a.html") + line("192.0.2.2", "11:00:00", "/b.html"));
    write_file(dir.file("b.log"), line("192.0.2.1", "12:00:00", "/c.html") + line("192.0.2.2", "14:00:00", "/b.html"));
    struct row { const char* log; std::vector<std::string> urls; };
    const row rows[] = {
        // name / kind hits 0 bytes entries exits
        {"a.log", {"/a.html\n0 1 0 1024 1 0\n", "/b.html\n0 1 0 1024 1 0\n"}},
        {"b.log", {"/a.html\n0 1 0 1024 1 1\n", "/b.html\n0 2 0 2048 2 1\n", "/c.html\n0 1 0 1024 1 0\n"}},
    };
    for (const row& r : rows) {
        ASSERT_EQ(run_program(dir.path, {"-p", "-Q", r.log}).status, 0) << r.log;
        const std::string state = read_file(dir.file("corvalist.current"));
        for (const std::string& u : r.urls) EXPECT_NE(state.find("\n" + u), std::string::npos) << r.log << ": " << u;
    }
}

// A save that fails (here: the temporary name is a planted symbolic link)
// keeps the state of the run before: the next run restores that position and
// counts this log again, where a removed state would throw away the month's
// earlier runs. The link's target is never written, the month's report and
// history are still written, and the run ends with status 3.
TEST(Incremental, FailedSaveKeepsTheOldState) {
    scratch_dir dir;
    auto line = [](const char* time, const char* url) {
        return std::string("192.0.2.1 - - [10/Oct/2013:") + time + " +0000] \"GET " + url + " HTTP/1.0\" 200 1024\n";
    };
    write_file(dir.file("a.log"), line("10:00:00", "/a.html"));
    write_file(dir.file("b.log"), line("11:00:00", "/b.html"));
    ASSERT_EQ(run_program(dir.path, {"-p", "-Q", "a.log"}).status, 0);
    const std::string old_state = read_file(dir.file("corvalist.current"));
    ASSERT_FALSE(old_state.empty());

    write_file(dir.file("target"), "keep\n");
    ASSERT_EQ(symlink("target", dir.file("corvalist.current.new").c_str()), 0);
    const testing_support::run_result r = run_program(dir.path, {"-p", "-q", "b.log"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "Error: Unable to open file corvalist.current.new (symlink)\n"
                     "Error: Unable to save current run data\n");
    EXPECT_EQ(read_file(dir.file("corvalist.current")), old_state);
    EXPECT_EQ(read_file(dir.file("target")), "keep\n");
    // October: 2 hits, 2 files, 1 site, 2 KB over day 10, 2 pages.
    EXPECT_NE(read_file(dir.file("corvalist.hist")).find("\n10 2013 2 2 1 2 10 10 2 "), std::string::npos);
    EXPECT_TRUE(testing_support::file_exists(dir.file("usage_201310.html")));

    // With the link gone, the rerun over the same log from the kept state
    // ends as the two runs would have without the fault.
    ASSERT_EQ(unlink(dir.file("corvalist.current.new").c_str()), 0);
    ASSERT_EQ(run_program(dir.path, {"-p", "-Q", "b.log"}).status, 0);
    scratch_dir clean;
    write_file(clean.file("a.log"), line("10:00:00", "/a.html"));
    write_file(clean.file("b.log"), line("11:00:00", "/b.html"));
    ASSERT_EQ(run_program(clean.path, {"-p", "-Q", "a.log"}).status, 0);
    ASSERT_EQ(run_program(clean.path, {"-p", "-Q", "b.log"}).status, 0);
    for (const char* name : {"corvalist.current", "corvalist.hist", "usage_201310.html"})
        EXPECT_EQ(read_file(dir.file(name)), read_file(clean.file(name))) << name;
}

}  // namespace
