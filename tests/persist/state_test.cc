// Incremental state file: exact format, restore of every value, every restore
// error number, the accepted version headers and the safe rewrite.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "lang/lang.h"
#include "persist/state.h"
#include "run/month.h"
#include "run/settings.h"
#include "stats/tables.h"
#include "test_support.h"

using testing_support::file_exists;
using testing_support::read_file;
using testing_support::scratch_dir;
using testing_support::write_file;

namespace {

// The records of two names in walk order: lower bucket first. The names used
// here lie in different buckets (checked in SaveWritesTheExactFormat), so the
// order survives a restore, which reverses nodes within one bucket.
std::string in_walk_order(const char* a, const std::string& rec_a, const char* b, const std::string& rec_b) {
    return hash_string(a) < hash_string(b) ? rec_a + rec_b : rec_b + rec_a;
}

// A state file worked out by hand: 2014-03-14 10:20:30, one monthly site
// with two visits whose last page is /b.html, two URLs, two users.
std::vector<std::string> base_lines() {
    std::vector<std::string> l;
    l.push_back("# Corvalist V2.23-08 Incremental Data - 03/14/2014 10:20:30\n");
    l.push_back("2014 3 14 10 20 30\n");
    l.push_back("8 6 1 2 1 1 3072 5 2 2\n");
    l.push_back("1 3 3 14 14\n");
    for (int d = 1; d <= 31; ++d) l.push_back(d == 14 ? "8 6 3072 1 5 2\n" : "0 0 0 0 0 0\n");
    for (int h = 0; h < 24; ++h) l.push_back(h == 10 ? "8 6 3072 5\n" : "0 0 0 0\n");
    for (int r = 0; r < 41; ++r) l.push_back(r == 3 ? "7\n" : r == 14 ? "1\n" : r == 39 ? "3\n" : "0\n");
    // index 100
    l.push_back("# -urls- \n");
    std::string urls = in_walk_order("/a.html", "/a.html\n0 5 0 2048 1 1\n", "/b.html", "/b.html\n0 3 0 1024 1 0\n");
    for (size_t s = 0, e; (e = urls.find('\n', s)) != std::string::npos; s = e + 1) l.push_back(urls.substr(s, e - s + 1));
    l.push_back("# End Of Table - urls\n");
    l.push_back("# -sites- (monthly)\n");  // 106
    l.push_back("192.0.2.7\n");
    l.push_back("0 8 6 3072 2 1394792400\n");
    l.push_back("/b.html\n");
    l.push_back("# End Of Table - sites (monthly)\n");
    l.push_back("# -sites- (daily)\n");  // 111
    l.push_back("192.0.2.7\n");
    l.push_back("0 8 6 3072 1 1394792400\n");
    l.push_back("-\n");
    l.push_back("# End Of Table - sites (daily)\n");
    l.push_back("# -referrers- \n");  // 116
    l.push_back("http://example.com/\n");
    l.push_back("0 4\n");
    l.push_back("# End Of Table - referrers\n");
    l.push_back("# -agents- \n");  // 120
    l.push_back("Mozilla/5.0\n");
    l.push_back("0 8\n");
    l.push_back("# End Of Table - agents\n");
    l.push_back("# -search strings- \n");  // 124
    l.push_back("cheap flights\n");
    l.push_back("2\n");
    l.push_back("# End Of Table - search strings\n");
    l.push_back("# -usernames- \n");  // 128
    std::string users = in_walk_order("alice", "alice\n0 8 6 3072 1 1394792400\n", "bob", "bob\n1 1 1 10 1 1394792000\n");
    for (size_t s = 0, e; (e = users.find('\n', s)) != std::string::npos; s = e + 1) l.push_back(users.substr(s, e - s + 1));
    l.push_back("# End Of Table - usernames\n");  // 133
    return l;
}

std::string join(const std::vector<std::string>& lines, size_t keep = SIZE_MAX) {
    std::string s;
    for (size_t i = 0; i < lines.size() && i < keep; ++i) s += lines[i];
    return s;
}

template <class Node>
const Node* find_node(const node_table<Node>& t, const char* name) {
    for (int b = 0; b < table_size; ++b)
        for (const Node* n = t.buckets[b]; n != nullptr; n = n->next)
            if (std::strcmp(n->name, name) == 0) return n;
    return nullptr;
}

struct StateTest : ::testing::Test {
    scratch_dir dir;
    std::string state = dir.file("corvalist.current");
    void SetUp() override {
        settings.Verbosity = 1;
        settings.IncrementalName = state.c_str();
        settings.IgnoreState = false;
        clean();
    }
    void TearDown() override {
        clean();
        settings.IncrementalName = "corvalist.current";
        settings.Verbosity = 2;
    }
    static void clean() {
        free_all_tables();
        month_totals = month_totals_rec{};
        run_state = run_state_rec{};
        reset_response_counts();
    }
    int restore_text(const std::string& text) {
        clean();
        write_file(state, text);
        return restore_state();
    }
};

TEST_F(StateTest, RestoresEveryValue) {
    ASSERT_EQ(restore_text(join(base_lines())), restore_ok);
    const month_totals_rec& m = month_totals;
    EXPECT_EQ(m.year, 2014);
    EXPECT_EQ(m.month, 3);
    EXPECT_EQ(m.day, 14);
    EXPECT_EQ(m.second, 30);
    // 16143 days from 1970-01-01 to 2014-03-14, plus 10:20:30
    EXPECT_EQ(m.last_timestamp, 16143ull * 86400 + 37230);
    EXPECT_TRUE(run_state.resume_check);
    EXPECT_EQ(m.total_hits, 8u);
    EXPECT_EQ(m.total_urls, 2u);  // from the totals line, not from counting nodes
    EXPECT_DOUBLE_EQ(m.total_bytes, 3072);
    EXPECT_EQ(m.total_users, 2u);
    EXPECT_EQ(m.cur_day_sites, 1u);
    EXPECT_EQ(m.max_hourly_hits, 3u);
    EXPECT_EQ(m.first_day, 14);
    EXPECT_EQ(m.daily_pages[13], 5u);
    EXPECT_EQ(m.daily_visits[13], 2u);
    EXPECT_DOUBLE_EQ(m.hourly_bytes[10], 3072);
    EXPECT_EQ(m.hourly_pages[10], 5u);
    EXPECT_EQ(response_table[3].count, 7u);
    EXPECT_EQ(response_table[14].count, 1u);
    EXPECT_EQ(response_table[39].count, 3u);

    const unode* a = find_node(url_table, "/a.html");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->hits, 5u);
    EXPECT_DOUBLE_EQ(a->bytes, 2048);
    EXPECT_EQ(a->entries, 1u);
    EXPECT_EQ(a->exits, 1u);
    const hnode* site = find_node(site_table, "192.0.2.7");
    ASSERT_NE(site, nullptr);
    EXPECT_EQ(site->visits, 2u);
    EXPECT_EQ(site->last_time, 1394792400u);
    EXPECT_EQ(site->last_page, find_url_name("/b.html"));  // points at the URL node's name
    EXPECT_STREQ(site->last_page, "/b.html");
    const hnode* day_site = find_node(daily_site_table, "192.0.2.7");
    ASSERT_NE(day_site, nullptr);
    EXPECT_EQ(day_site->visits, 1u);
    EXPECT_STREQ(day_site->last_page, "");
    EXPECT_EQ(find_node(referrer_table, "http://example.com/")->hits, 4u);
    EXPECT_EQ(find_node(agent_table, "Mozilla/5.0")->hits, 8u);
    EXPECT_EQ(find_node(search_table, "cheap flights")->hits, 2u);
    const inode* bob = find_node(user_table, "bob");
    ASSERT_NE(bob, nullptr);
    EXPECT_EQ(bob->kind, node_hidden);
    EXPECT_EQ(bob->visits, 1u);
    EXPECT_EQ(bob->last_time, 1394792000u);
    EXPECT_DOUBLE_EQ(bob->bytes, 10);
}

TEST_F(StateTest, SaveWritesTheExactFormat) {
    ASSERT_NE(hash_string("/a.html"), hash_string("/b.html"));
    ASSERT_NE(hash_string("alice"), hash_string("bob"));
    std::vector<std::string> lines = base_lines();
    ASSERT_EQ(restore_text(join(lines)), restore_ok);
    std::remove(state.c_str());
    settings.Verbosity = 2;
    testing::internal::CaptureStdout();
    ASSERT_EQ(save_state(), state_ok);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Saving current run data... [03/14/2014 10:20:30]\n");
    EXPECT_EQ(read_file(state), join(lines));
    EXPECT_FALSE(file_exists(state + ".new"));

    // Referrer and agent records are left out when their totals are 0; the
    // section lines stay.
    month_totals.total_referrers = 0;
    month_totals.total_agents = 0;
    settings.Verbosity = 1;
    ASSERT_EQ(save_state(), state_ok);
    std::string text = read_file(state);
    EXPECT_NE(text.find("# -referrers- \n# End Of Table - referrers\n# -agents- \n# End Of Table - agents\n"),
              std::string::npos);
    EXPECT_EQ(text.find("Mozilla/5.0"), std::string::npos);
}

TEST_F(StateTest, RestoreErrorNumbers) {
    const std::vector<std::string> base = base_lines();
    struct row {
        const char* what;
        size_t keep;         // lines kept from the start (all when SIZE_MAX)
        int replace;         // index of a line to replace, -1 none
        const char* with;    // replacement text; nullptr deletes the line
        int expected;
    } rows[] = {
        {"empty file", 0, -1, "", restore_no_header},
        {"header only", 1, -1, "", restore_no_position},
        {"no totals", 2, -1, "", restore_no_totals},
        {"no day and hour line", 3, -1, "", restore_no_day_hour},
        {"ten days only", 14, -1, "", restore_no_daily},
        {"five hours only", 40, -1, "", restore_no_hourly},
        {"twenty response codes", 79, -1, "", restore_no_response},
        {"ends after the response codes", 100, -1, "", restore_bad_urls},
        {"url header wrong", SIZE_MAX, 100, "# -url-\n", restore_bad_urls},
        {"40 response codes", SIZE_MAX, 99, nullptr, restore_ok},
        {"url name without numbers", 102, -1, "", restore_bad_urls},
        {"url numbers not a digit", SIZE_MAX, 102, "x 5 0 2048 1 1\n", restore_bad_urls},
        {"url numbers after a blank", SIZE_MAX, 102, " 0 5 0 2048 1 1\n", restore_bad_urls},
        {"cut inside the url section", 105, -1, "", restore_bad_sites},
        {"monthly site header wrong", SIZE_MAX, 106, "# -hosts- (monthly)\n", restore_bad_sites},
        {"monthly site without last page", 109, -1, "", restore_bad_sites},
        {"monthly site numbers wrong", SIZE_MAX, 108, "-\n", restore_bad_sites},
        {"daily site header wrong", SIZE_MAX, 111, "# -site- (daily)\n", restore_bad_daily_sites},
        {"daily site numbers wrong", SIZE_MAX, 113, "-\n", restore_bad_daily_sites},
        {"daily site without last page", 114, -1, "", restore_bad_daily_sites},
        {"referrer header wrong", SIZE_MAX, 116, "# -referer- \n", restore_bad_referrers},
        {"referrer numbers wrong", SIZE_MAX, 118, "a\n", restore_bad_referrers},
        {"agent header wrong", SIZE_MAX, 120, "# agents\n", restore_bad_agents},
        {"agent without numbers", 122, -1, "", restore_bad_agents},
        {"search header wrong", SIZE_MAX, 124, "# -search\n", restore_bad_search},
        {"search numbers empty", SIZE_MAX, 126, "\n", restore_bad_search},
        {"user header wrong", SIZE_MAX, 128, "# -users- \n", restore_bad_users},
        {"user without numbers", 130, -1, "", restore_bad_users},
        {"ends right after the user header", 129, -1, "", restore_ok},
        {"ends between user records", 131, -1, "", restore_ok},
        {"no user end line", 133, -1, "", restore_ok},
        {"month 13 in the position", SIZE_MAX, 1, "2014 13 14 10 20 30\n", restore_no_position},
        {"day 32 in the day line", SIZE_MAX, 3, "1 3 3 14 32\n", restore_no_day_hour},
    };
    for (const row& r : rows) {
        std::vector<std::string> lines = base;
        if (r.replace >= 0) {
            if (r.with == nullptr)
                lines.erase(lines.begin() + r.replace);
            else
                lines[r.replace] = r.with;
        }
        response_table[40].count = 77;
        EXPECT_EQ(restore_text(join(lines, r.keep)), r.expected) << r.what;
        if (r.expected == restore_ok) {
            EXPECT_TRUE(run_state.resume_check) << r.what;
        }
        if (r.replace == 99) {
            EXPECT_EQ(response_table[39].count, 3u);
            EXPECT_EQ(response_table[40].count, 0u);
            EXPECT_NE(find_node(url_table, "/a.html"), nullptr);
        }
    }
}

TEST_F(StateTest, VersionHeaders) {
    struct row {
        const char* header;
        int expected;
    } rows[] = {
        {"# Corvalist V2.23-08 Incremental Data - 03/14/2014 10:20:30\n", restore_ok},
        {"# Corvalist V2.20-01 Incremental Data - 01/01/2010 00:00:00\n", restore_ok},
        {"# Corvalist V2.29\n", restore_ok},
        {"# Corvalist V2.01-1 Incremental Data\n", restore_ok},
        {"# Corvalist V2.01-2 Incremental Data\n", restore_bad_version},
        {"# Corvalist V2.01\n", restore_bad_version},
        {"# Corvalist V2.30-01\n", restore_bad_version},
        {"# Corvalist V1.23-08\n", restore_bad_version},
        {"# Corvalist V2.\n", restore_bad_version},
        {"2014 3 14 10 20 30\n", restore_bad_version},
    };
    std::vector<std::string> lines = base_lines();
    for (const row& r : rows) {
        lines[0] = r.header;
        EXPECT_EQ(restore_text(join(lines)), r.expected) << r.header;
    }
}

TEST_F(StateTest, IgnoredOrMissingStateIsNotAnError) {
    settings.Verbosity = 2;
    testing::internal::CaptureStdout();
    EXPECT_EQ(restore_state(), restore_ok);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Previous run data not found...\n");
    EXPECT_FALSE(run_state.resume_check);

    write_file(state, "not a state file\n");
    settings.IgnoreState = true;
    EXPECT_EQ(restore_state(), restore_ok);
    EXPECT_FALSE(run_state.resume_check);
    settings.IgnoreState = false;
    EXPECT_EQ(restore_state(), restore_bad_version);
}

TEST_F(StateTest, LongNamesAreCutToTheirLimit) {
    std::vector<std::string> lines = base_lines();
    lines[124 + 1] = std::string(300, 's') + "\n";
    ASSERT_EQ(restore_text(join(lines)), restore_ok);
    EXPECT_NE(find_node(search_table, std::string(snode_limit, 's').c_str()), nullptr);
}

TEST_F(StateTest, NamesThatLookLikeEndLinesSurvive) {
    // An agent and a referrer are whatever the log says; one that reads like
    // an end line must not end its section early.
    std::vector<std::string> lines = base_lines();
    lines[117] = "# End Of Table - referrers\n";
    lines[121] = "# End Of Table \n";
    ASSERT_EQ(restore_text(join(lines)), restore_ok);
    ASSERT_NE(find_node(agent_table, "# End Of Table "), nullptr);
    EXPECT_EQ(find_node(agent_table, "# End Of Table ")->hits, 8u);
    EXPECT_EQ(find_node(referrer_table, "# End Of Table - referrers")->hits, 4u);
    EXPECT_NE(find_node(user_table, "alice"), nullptr);
    std::remove(state.c_str());
    ASSERT_EQ(save_state(), state_ok);
    EXPECT_EQ(read_file(state), join(lines));
}

TEST_F(StateTest, SymlinkedTemporaryIsRefused) {
    write_file(state, "old state\n");
    std::string target = dir.file("target");
    write_file(target, "target\n");
    ASSERT_EQ(symlink(target.c_str(), (state + ".new").c_str()), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(save_state(), state_symlink);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: Unable to open file " + state + ".new (symlink)\n");
    EXPECT_EQ(read_file(target), "target\n");
    EXPECT_EQ(read_file(state), "old state\n");
}

TEST_F(StateTest, FailedWriteNeverReplacesTheStateFile) {
    ASSERT_EQ(restore_text(join(base_lines())), restore_ok);
    write_file(state, "old state\n");
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // A file-size limit makes the writes fail as on a full disk.
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit lim{1000, 1000};
        setrlimit(RLIMIT_FSIZE, &lim);
        _exit(save_state());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), state_failed);
    EXPECT_EQ(read_file(state), "old state\n");
    EXPECT_FALSE(file_exists(state + ".new"));
}

}  // namespace
