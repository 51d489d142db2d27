// Resolver pre-pass, cache records, expiry, locks and the main-pass lookup.
// Every pre-pass runs in a forked copy of the test process, so that the
// run-wide dns_table and the settings start fresh each time. The whole test
// program runs with a private resolver configuration (use_private_resolver):
// 127.0.0.1 is "localhost" and every other address has no name, answered at
// once from a hosts file, so that no outside name server is ever asked.
#include <bzlib.h>
#include <db_185.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <string>

#include "input/log_reader.h"
#include "lang/lang.h"
#include "resolve/dns.h"
#include "run/settings.h"
#include "test_support.h"

using namespace testing_support;

namespace {

struct cache_record {
    int64_t time;
    int32_t flag;
    std::string name;
    size_t size;
};

// Every record of a cache file, read with the database library directly.
std::map<std::string, cache_record> read_cache(const std::string& path) {
    std::map<std::string, cache_record> out;
    DB* db = dbopen(path.c_str(), O_RDONLY, 0, DB_HASH, nullptr);
    if (!db) return out;
    DBT key, value;
    for (int rc = db->seq(db, &key, &value, R_FIRST); rc == 0; rc = db->seq(db, &key, &value, R_NEXT)) {
        cache_record r{};
        memcpy(&r.time, value.data, 8);
        memcpy(&r.flag, static_cast<char*>(value.data) + 8, 4);
        r.name = static_cast<char*>(value.data) + 12;
        r.size = value.size;
        out[std::string(static_cast<char*>(key.data), key.size)] = r;
    }
    db->close(db);
    return out;
}

// Writes one record the way the cache stores it.
void seed_cache(const std::string& path, const std::string& address, int64_t time, const std::string& name) {
    DB* db = dbopen(path.c_str(), O_RDWR | O_CREAT, 0664, DB_HASH, nullptr);
    ASSERT_NE(db, nullptr);
    std::string value(dns_value_length(static_cast<int>(name.size())), '\0');
    int32_t flag = 0;
    memcpy(&value[0], &time, 8);
    memcpy(&value[8], &flag, 4);
    memcpy(&value[12], name.data(), name.size());
    DBT key{const_cast<char*>(address.data()), address.size()}, data{&value[0], value.size()};
    ASSERT_EQ(db->put(db, &key, &data, 0), 0);
    db->close(db);
}

struct child_run {
    int status;
    std::string out, err;
};

// Runs body in a forked copy of this process with standard output and error
// caught in files of dir; the child's exit status is body's result.
child_run in_child(const scratch_dir& dir, const std::function<int()>& body) {
    fflush(stdout);
    fflush(stderr);
    std::string out_path = dir.file("child.out"), err_path = dir.file("child.err");
    pid_t pid = fork();
    if (pid == 0) {
        int o = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(o, 1);
        dup2(e, 2);
        int rc = body();
        fflush(stdout);
        fflush(stderr);
        _exit(rc);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    return {WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st), read_file(out_path), read_file(err_path)};
}

struct prepass_options {
    int children = 3;
    bool cache_ips = false;
    int verbosity = 1;
};

// One pre-pass over log in a child. Exit status: 0 done with the cache kept,
// 4 cache setting cleared, 5 a child was left unreaped, 6 log not opened.
child_run prepass(const scratch_dir& dir, const std::string& log, const prepass_options& o) {
    std::string cache = dir.file("dns.db");
    return in_child(dir, [&] {
        reset_settings();
        settings.DNSCache = cache.c_str();
        settings.DNSChildren = o.children;
        settings.CacheIPs = o.cache_ips;
        settings.Verbosity = 0;  // no "Using logfile" line
        if (open_log(log.c_str()) != log_ok) return 6;
        settings.Verbosity = o.verbosity;
        resolve_log_addresses();
        close_log();
        errno = 0;
        if (waitpid(-1, nullptr, WNOHANG) != -1 || errno != ECHILD) return 5;
        return settings.DNSCache ? 0 : 4;
    });
}

std::string clf(const std::string& host) {
    return host + " - - [10/Jan/2014:10:00:00 +0000] \"GET /a.html HTTP/1.0\" 200 100\n";
}

// Another process holding the whole-file write lock on path, as a second
// run's pre-pass would, until this ends.
struct lock_holder {
    pid_t pid = -1;
    bool locked = false;
    explicit lock_holder(const std::string& path) {
        int told[2];
        if (pipe(told) != 0) return;
        pid = fork();
        if (pid == 0) {
            const int fd = open(path.c_str(), O_RDWR);
            struct flock lk{};
            lk.l_type = F_WRLCK;
            lk.l_whence = SEEK_SET;
            const char c = fcntl(fd, F_SETLK, &lk) == 0 ? 'y' : 'n';
            if (write(told[1], &c, 1) != 1) _exit(1);
            pause();
            _exit(0);
        }
        char c = 0;
        locked = pid > 0 && read(told[0], &c, 1) == 1 && c == 'y';
        close(told[0]);
        close(told[1]);
    }
    ~lock_holder() {
        if (pid <= 0) return;
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    lock_holder(const lock_holder&) = delete;
    lock_holder& operator=(const lock_holder&) = delete;
};

// Entered before any test runs and before anything in this process looks a
// name up; the tests that resolve are skipped when it could not be done.
[[maybe_unused]] const bool resolver_private = use_private_resolver();

}  // namespace

TEST(DnsCache, ExpiryBoundaryAndValueLength) {
    const int64_t now = 1700000000;
    struct {
        int64_t time;
        int ttl;
        bool expired;
    } rows[] = {
        {0, 7, false},                      // time 0 never expires
        {now - 7 * 86400, 7, false},        // exactly the TTL old
        {now - (7 * 86400 + 1), 7, true},   // one second more
        {now - 86400, 0, true},             // TTL 0: anything older than now
        {now, 0, false},
        // Times of a damaged record: the age is never a signed overflow.
        {INT64_MIN, 7, true},
        {INT64_MIN + 1, 100, true},
        {INT64_MAX, 7, false},
        {now + 1, 0, false},
    };
    for (const auto& r : rows)
        EXPECT_EQ(dns_record_expired(r.time, now, r.ttl), r.expired) << r.time << " ttl " << r.ttl;
    // (n & ~7) + 24 for name lengths 0, 7, 8, 9, 255.
    EXPECT_EQ(dns_value_length(0), 24);
    EXPECT_EQ(dns_value_length(7), 24);
    EXPECT_EQ(dns_value_length(8), 32);
    EXPECT_EQ(dns_value_length(9), 32);
    EXPECT_EQ(dns_value_length(255), 272);
}

TEST(DnsCache, NumericAddressTest) {
    const char* numeric[] = {"127.0.0.1", "::1", "2001:db8::7", "::ffff:10.1.2.3"};
    const char* names[] = {"localhost", "www.example.com", "", " 127.0.0.1", "1.2.3.4.5", "::1::2"};
    for (const char* t : numeric) EXPECT_TRUE(is_numeric_address(t)) << t;
    for (const char* t : names) EXPECT_FALSE(is_numeric_address(t)) << t;
    unsigned char addr[128];
    int len = 0;
    ASSERT_TRUE(is_numeric_address("127.0.0.1", addr, &len));
    EXPECT_EQ(len, static_cast<int>(sizeof(sockaddr_in)));
    ASSERT_TRUE(is_numeric_address("::1", addr, &len));
    EXPECT_EQ(len, static_cast<int>(sizeof(sockaddr_in6)));
}

TEST(DnsPrepass, ResolvesWithSeveralChildrenAndStoresRecords) {
    SKIP_WITHOUT_PRIVATE_RESOLVER();
    scratch_dir dir;
    std::string log = dir.file("access.log");
    write_file(log, clf("127.0.0.1") + clf("www.example.com") + clf("::1") + clf("127.0.0.1") + "garbage line\n");
    time_t before = time(nullptr);
    child_run r = prepass(dir, log, {3, true, 1});
    time_t after = time(nullptr);
    ASSERT_EQ(r.status, 0) << r.err;
    auto recs = read_cache(dir.file("dns.db"));
    ASSERT_EQ(recs.size(), 2u);  // the name host is never asked
    const cache_record& v4 = recs.at("127.0.0.1");
    EXPECT_EQ(v4.flag, 0);
    EXPECT_EQ(v4.name, "localhost");
    EXPECT_EQ(v4.size, 32u);
    EXPECT_GE(v4.time, before);
    EXPECT_LE(v4.time, after);
    const cache_record& v6 = recs.at("::1");
    EXPECT_EQ(v6.flag, 1);  // no name: the address itself, with CacheIPs
    EXPECT_EQ(v6.name, "::1");
    EXPECT_EQ(v6.size, 24u);
}

TEST(DnsPrepass, CacheIPsOffLeavesUnnamedAddressOut) {
    SKIP_WITHOUT_PRIVATE_RESOLVER();
    scratch_dir dir;
    std::string log = dir.file("access.log");
    write_file(log, clf("::1") + clf("127.0.0.1"));
    ASSERT_EQ(prepass(dir, log, {2, false, 1}).status, 0);
    auto recs = read_cache(dir.file("dns.db"));
    EXPECT_EQ(recs.count("::1"), 0u);
    EXPECT_EQ(recs.count("127.0.0.1"), 1u);
    // Not remembered, so the next run asks for it again.
    child_run again = prepass(dir, log, {2, false, 2});
    ASSERT_EQ(again.status, 0);
    EXPECT_EQ(again.out.rfind(std::string("1 ") + word_addresses + " " + word_in + " ", 0), 0u) << again.out;
}

TEST(DnsPrepass, UpperCaseAddressIsStoredAndFoundInLowerCase) {
    SKIP_WITHOUT_PRIVATE_RESOLVER();
    scratch_dir dir;
    std::string log = dir.file("access.log");
    write_file(log, clf("::FFFF:127.0.0.1"));
    ASSERT_EQ(prepass(dir, log, {1, true, 1}).status, 0);
    auto recs = read_cache(dir.file("dns.db"));
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs.begin()->first, "::ffff:127.0.0.1");
}

TEST(DnsPrepass, ExpiredRecordsAreAskedAgainOthersKept) {
    SKIP_WITHOUT_PRIVATE_RESOLVER();
    const int64_t now = time(nullptr);
    struct {
        int64_t time;  // seeded record time
        bool refreshed;
    } rows[] = {
        {0, false},                          // never expires
        {now - 7 * 86400 + 120, false},      // within the default 7 days
        {now - (7 * 86400 + 1), true},       // past it
        {now - 30 * 86400, true},
    };
    for (const auto& row : rows) {
        scratch_dir dir;
        std::string log = dir.file("access.log");
        write_file(log, clf("127.0.0.1"));
        seed_cache(dir.file("dns.db"), "127.0.0.1", row.time, "seeded.example");
        child_run r = prepass(dir, log, {2, false, 2});
        ASSERT_EQ(r.status, 0) << r.err;
        auto recs = read_cache(dir.file("dns.db"));
        EXPECT_EQ(recs.at("127.0.0.1").name, row.refreshed ? "localhost" : "seeded.example") << row.time;
        if (!row.refreshed) {
            EXPECT_EQ(r.out, std::string(con_none_to_process) + "\n");
        }
        if (row.refreshed) {
            EXPECT_GE(recs.at("127.0.0.1").time, now);
        }
    }
}

TEST(DnsPrepass, MoreChildrenThanAddressesAllReapedQuickly) {
    SKIP_WITHOUT_PRIVATE_RESOLVER();
    scratch_dir dir;
    std::string log = dir.file("access.log");
    write_file(log, clf("127.0.0.1") + clf("::1"));
    auto start = std::chrono::steady_clock::now();
    child_run r = prepass(dir, log, {20, true, 2});
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(r.status, 0) << "5 means a child was left unreaped; " << r.err;
    EXPECT_LT(seconds, 4.5);  // no wait ran into the 5-second timeout
    std::string head = std::string("2 ") + word_addresses + " " + word_in + " ";
    EXPECT_EQ(r.out.rfind(head, 0), 0u) << r.out;
    EXPECT_EQ(read_cache(dir.file("dns.db")).at("127.0.0.1").name, "localhost");
}

TEST(DnsPrepass, CompressedLogs) {
    SKIP_WITHOUT_PRIVATE_RESOLVER();
    for (const char* suffix : {".gz", ".bz2"}) {
        scratch_dir dir;
        std::string log = dir.file(std::string("access.log") + suffix);
        std::string text = clf("127.0.0.1");
        if (std::string(suffix) == ".gz") {
            gzFile g = gzopen(log.c_str(), "wb");
            gzwrite(g, text.data(), text.size());
            gzclose(g);
        } else {
            BZFILE* b = BZ2_bzopen(log.c_str(), "wb");
            BZ2_bzwrite(b, const_cast<char*>(text.data()), text.size());
            BZ2_bzclose(b);
        }
        ASSERT_EQ(prepass(dir, log, {2, false, 1}).status, 0) << suffix;
        EXPECT_EQ(read_cache(dir.file("dns.db")).at("127.0.0.1").name, "localhost") << suffix;
    }
}

TEST(DnsPrepass, OverlongLineSkippedNextLineKept) {
    SKIP_WITHOUT_PRIVATE_RESOLVER();
    scratch_dir dir;
    std::string log = dir.file("access.log");
    // 4094 characters and a newline is an ordinary line; the one after a
    // longer line is read normally.
    std::string exact = "::1 - - [10/Jan/2014:10:00:00 +0000] \"GET /";
    exact += std::string(4094 - exact.size() - 16, 'a') + " HTTP/1.0\" 200 1";
    ASSERT_EQ(exact.size(), 4094u);
    std::string longer = "10.9.9.9 - - " + std::string(9000, 'x');
    write_file(log, exact + "\n" + longer + "\n" + clf("127.0.0.1"));
    ASSERT_EQ(prepass(dir, log, {1, true, 1}).status, 0);
    auto recs = read_cache(dir.file("dns.db"));
    EXPECT_EQ(recs.count("::1"), 1u);
    EXPECT_EQ(recs.count("10.9.9.9"), 0u);
    EXPECT_EQ(recs.count("127.0.0.1"), 1u);
}

TEST(DnsCache, EmptyFileRules) {
    SKIP_WITHOUT_PRIVATE_RESOLVER();
    scratch_dir dir;
    std::string cache = dir.file("dns.db");
    // Main pass: the empty file is removed and the open fails.
    write_file(cache, "");
    child_run r = in_child(dir, [&] {
        reset_settings();
        settings.DNSCache = cache.c_str();
        return open_dns_cache();
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, std::string(con_dns_open_error) + " " + cache + "\n");
    EXPECT_FALSE(file_exists(cache));
    // Pre-pass: the empty file is replaced by a fresh database.
    write_file(cache, "");
    std::string log = dir.file("access.log");
    write_file(log, clf("127.0.0.1"));
    ASSERT_EQ(prepass(dir, log, {1, false, 1}).status, 0);
    EXPECT_EQ(read_cache(cache).at("127.0.0.1").name, "localhost");
}

TEST(DnsCache, LocksNeverWaitAndExcludeOtherRuns) {
    scratch_dir dir;
    std::string cache = dir.file("dns.db");
    seed_cache(cache, "127.0.0.1", 0, "pinned.example");
    std::string log = dir.file("access.log");
    write_file(log, clf("127.0.0.1"));

    // This process reads the cache under the shared lock: a pre-pass in
    // another process cannot take the exclusive one and drops the cache.
    reset_settings();
    settings.DNSCache = cache.c_str();
    settings.Verbosity = 1;
    ASSERT_EQ(open_dns_cache(), 1);
    child_run r = prepass(dir, log, {1, false, 1});
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.err, std::string(con_dns_lock_error) + " " + cache + "\n");
    // A second reader is welcome.
    child_run reader = in_child(dir, [&] {
        settings.DNSCache = cache.c_str();
        return open_dns_cache();
    });
    EXPECT_EQ(reader.status, 1);

    char host[256] = "127.0.0.1";
    EXPECT_EQ(lookup_dns_cache(host), dns_ok);
    EXPECT_STREQ(host, "pinned.example");
    char other[256] = "10.1.1.1";
    EXPECT_EQ(lookup_dns_cache(other), dns_missing);
    EXPECT_STREQ(other, "10.1.1.1");
    close_dns_cache();
    EXPECT_EQ(lookup_dns_cache(host), dns_not_open);

    // Now another process holds an exclusive lock: the main-pass open fails.
    child_run blocked;
    {
        lock_holder holder(cache);
        ASSERT_TRUE(holder.locked);
        blocked = in_child(dir, [&] {
            reset_settings();
            settings.DNSCache = cache.c_str();
            return open_dns_cache();
        });
    }
    EXPECT_EQ(blocked.status, 0);
    EXPECT_EQ(blocked.err, std::string(con_dns_lock_error) + " " + cache + "\n");
    reset_settings();
}

TEST(DnsPrepass, DebugTraceAndTimingPrefix) {
    SKIP_WITHOUT_PRIVATE_RESOLVER();
    scratch_dir dir;
    std::string log = dir.file("access.log"), cache = dir.file("dns.db");
    write_file(log, clf("127.0.0.1"));
    child_run r = in_child(dir, [&] {
        reset_settings();
        settings.Verbosity = 0;
        if (open_log(log.c_str()) != log_ok) return 6;
        settings.Verbosity = 1;
        settings.DNSCache = cache.c_str();
        settings.DNSChildren = 1;
        settings.Debug = true;
        settings.TimeMe = true;
        resolve_log_addresses();
        if (open_dns_cache() != 1) return 7;
        char host[256] = "127.0.0.1", other[256] = "10.0.0.1";
        lookup_dns_cache(host);
        lookup_dns_cache(other);
        close_dns_cache();
        return 0;
    });
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* line : {"Giving 16 bytes to Child 0\n", "Child 0 Got a result: 127.0.0.1 -> localhost\n",
                             "Child 0 back in task pool\n", "Child 0 got closed input, shutting down\n",
                             "Reaped Child "})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
    // TimeMe below verbosity 2 prefixes the statistics line.
    EXPECT_NE(r.out.find(std::string("DNS: 1 ") + word_addresses + " " + word_in + " "), std::string::npos) << r.out;
    auto recs = read_cache(cache);
    std::string found = "Checking 127.0.0.1... found: localhost (" + std::to_string(recs.at("127.0.0.1").time) + ")\n";
    EXPECT_EQ(r.err, found + "Checking 10.0.0.1... not found\n");
}

// End to end through the analyser binary.
TEST(DnsEndToEnd, StandardInputEndsAfterPrepassWithStatusZero) {
    SKIP_WITHOUT_PRIVATE_RESOLVER();
    scratch_dir dir;
    run_result r = run_program(dir.path, {"-D", "dns.db", "-N", "4", "-o", dir.path, "-"},
                               clf("127.0.0.1") + clf("127.0.0.1"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_cache(dir.file("dns.db")).at("127.0.0.1").name, "localhost");
    EXPECT_FALSE(file_exists(dir.file("usage_201401.html")));
}

TEST(DnsEndToEnd, ResolverOnlyNameFillsCacheAndWritesNoReport) {
    SKIP_WITHOUT_PRIVATE_RESOLVER();
    scratch_dir dir;
    std::string log = dir.file("access.log");
    write_file(log, clf("127.0.0.1"));
    std::string lookup = tool_binary("corvalookup");
    run_result r = run_program(dir.path, {"-D", "dns.db", "-o", dir.path, log}, "", lookup);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_cache(dir.file("dns.db")).at("127.0.0.1").name, "localhost");
    EXPECT_FALSE(file_exists(dir.file("usage_201401.html")));
    run_result none = run_program(dir.path, {"-o", dir.path, log}, "", lookup);
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.err, std::string(con_no_dns_cache) + "\n");
}

TEST(DnsEndToEnd, MainPassNamesHostsAndPlacesAddressesByGeoDb) {
    SKIP_WITHOUT_PRIVATE_RESOLVER();
    scratch_dir dir;
    // 10.1.2.3 is answered by the cache (time 0, never asked again), so only
    // the loopback address goes to a child.
    seed_cache(dir.file("dns.db"), "10.1.2.3", 0, "10.1.2.3");
    write_file(dir.file("geo.txt"), "10.1.2.3 ua\n");
    ASSERT_EQ(run_program(dir.path, {"-v", "Test-1", dir.file("GeoDB.dat"), dir.file("geo.txt")}, "",
                          tool_binary("corvageo_build"))
                  .status,
              0);
    std::string log = dir.file("access.log");
    write_file(log, clf("127.0.0.1") + clf("10.1.2.3") + clf("10.1.2.3"));
    run_result r = run_program(dir.path, {"-D", "dns.db", "-N", "2", "-j", "-J", "GeoDB.dat", "-o", dir.path, log});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(std::string(con_dns_lookup) + " (2): 1 " + word_addresses), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(std::string(con_using_dns_cache) + " dns.db\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(std::string(con_using) + " Test-1\n"), std::string::npos) << r.out;
    std::string page = read_file(dir.file("usage_201401.html"));
    EXPECT_NE(page.find("localhost"), std::string::npos);
    EXPECT_EQ(page.find("127.0.0.1"), std::string::npos);  // replaced by its name everywhere
    // Two hits of three for ua, one for the unknown row (localhost has no dot).
    const char* ua = country_table[find_country(pack_tld("ua"))].desc;
    std::string ua_row = "<TD ALIGN=right><FONT SIZE=\"-1\"><B>2</B></FONT></TD>\n"
                         "<TD ALIGN=right><FONT SIZE=\"-2\">66.67%</FONT></TD>\n";
    size_t at = page.find(ua_row);
    ASSERT_NE(at, std::string::npos);
    EXPECT_NE(page.find(std::string("<FONT SIZE=\"-1\">") + ua + "</FONT>", at), std::string::npos);
    EXPECT_TRUE(file_exists(dir.file("ctry_usage_201401.png")));
}

namespace {

// Both streams of a run of the analyser in one, as a scheduler's mail has them.
run_result combined(const std::string& dir, std::vector<std::string> args) {
    args.insert(args.begin(), {"-c", "exec \"$0\" \"$@\" 2>&1", analyser_binary()});
    return run_program(dir, args, "", "/bin/sh");
}

TEST(DnsEndToEnd, TheLookupLineEndsBeforeAnyOtherMessage) {
    SKIP_WITHOUT_PRIVATE_RESOLVER();
    scratch_dir dir;
    const std::string log = dir.file("access.log");
    write_file(log, clf("127.0.0.1"));
    const std::string head = std::string(con_dns_lookup) + " (2): ";

    // The statistics finish it, as always.
    run_result r = combined(dir.path, {"-D", "dns.db", "-N", "2", log});
    EXPECT_NE(r.out.find(head + "1 " + word_addresses + " " + word_in + " "), std::string::npos) << r.out;
    r = combined(dir.path, {"-D", "dns.db", "-N", "2", log});
    EXPECT_NE(r.out.find(head + con_none_to_process + "\n"), std::string::npos) << r.out;

    // The cache's place cannot be looked at: the pass ends without a word,
    // and the next message starts a line of its own.
    write_file(dir.file("file"), "");
    r = combined(dir.path, {"-D", "file/dns.db", "-N", "2", log});
    EXPECT_NE(r.out.find(head + "\n" + con_creating_output + " "), std::string::npos) << r.out;

    // Another run holds the cache: the error is a line of its own.
    std::remove(dir.file("dns.db").c_str());
    seed_cache(dir.file("dns.db"), "192.0.2.9", 0, "other.example");
    {
        lock_holder holder(dir.file("dns.db"));
        ASSERT_TRUE(holder.locked);
        r = combined(dir.path, {"-D", "dns.db", "-N", "2", log});
    }
    EXPECT_NE(r.out.find(head + "\n" + con_dns_lock_error + " dns.db\n"), std::string::npos) << r.out;

    // The resolver's trace (-d) comes on lines of its own, the statistics too.
    std::remove(dir.file("dns.db").c_str());
    r = combined(dir.path, {"-d", "-D", "dns.db", "-N", "1", log});
    EXPECT_NE(r.out.find(std::string(con_dns_lookup) + " (1): \n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\nGiving 16 bytes to Child 0\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\n1 " + std::string(word_addresses) + " " + word_in + " "), std::string::npos) << r.out;
}

}  // namespace
