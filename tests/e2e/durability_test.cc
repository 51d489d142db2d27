// The built program under real faults: killed right after a file was put in
// place, a second run started while one is running, a disk that fills up in
// the middle of a run, a damaged DNS cache, a pre-pass killed half-way
// through its cache and a full disk under the pre-pass. The faults are real
// (SIGKILL, a small tmpfs, a file-size limit); a small preloaded library
// (fault_inject.c) only chooses the moment. After each fault the run is
// repeated over the same log and must leave the files one clean run leaves.
#include <db_185.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

using namespace testing_support;

namespace {

namespace fs = std::filesystem;

// Reverse lookups from a private hosts file only, entered before any test
// runs (the tests that resolve are skipped when it could not be done). The
// small file systems of the tests are mounted in the same private namespace.
[[maybe_unused]] const bool resolver_private = use_private_resolver();

// Sets environment variables for the programs started while it lives.
class scoped_env {
  public:
    explicit scoped_env(std::vector<std::pair<std::string, std::string>> vars) : vars_(std::move(vars)) {
        for (auto& [name, value] : vars_) {
            const char* old = getenv(name.c_str());
            saved_.emplace_back(old != nullptr, old != nullptr ? old : "");
            setenv(name.c_str(), value.c_str(), 1);
        }
    }
    ~scoped_env() {
        for (size_t i = 0; i < vars_.size(); ++i) {
            if (saved_[i].first)
                setenv(vars_[i].first.c_str(), saved_[i].second.c_str(), 1);
            else
                unsetenv(vars_[i].first.c_str());
        }
    }

  private:
    std::vector<std::pair<std::string, std::string>> vars_;
    std::vector<std::pair<bool, std::string>> saved_;
};

// The faults library preloaded, with the sanitizers' runtime (when the
// binary has one) content to come after it.
std::vector<std::pair<std::string, std::string>> preload(std::vector<std::pair<std::string, std::string>> vars) {
    vars.emplace_back("LD_PRELOAD", CORVALIST_FAULT_INJECT);
    vars.emplace_back("ASAN_OPTIONS", "verify_asan_link_order=0");
    return vars;
}

constexpr int killed = 128 + SIGKILL;

// Every regular file under dir: relative name -> bytes.
std::map<std::string, std::string> tree(const std::string& dir) {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file()) files[fs::relative(e.path(), dir).string()] = read_file(e.path().string());
    return files;
}

// Names of two trees that differ, for the failure message.
std::string differences(const std::map<std::string, std::string>& a, const std::map<std::string, std::string>& b) {
    std::string out;
    for (const auto& [name, bytes] : a)
        if (!b.count(name) || b.at(name) != bytes) out += " " + name;
    for (const auto& [name, bytes] : b)
        if (!a.count(name)) out += " +" + name;
    return out;
}

// The year-end log in two pieces: the first 700 lines, all in December 2021,
// and the rest, which closes December and goes on into January 2022.
struct log_pieces {
    std::string first, second;
};

log_pieces year_end_pieces() {
    std::istringstream in(read_file(real_data("apache/rsaxvc-2021-12-yearend.log")));
    log_pieces p;
    int n = 0;
    for (std::string line; std::getline(in, line); ++n) (n < 700 ? p.first : p.second) += line + "\n";
    return p;
}

// A directory with the two pieces and an output directory "out" (on a
// mounted file system when given).
struct run_dir {
    scratch_dir dir;
    std::string out = dir.file("out");
    run_dir() {
        const log_pieces p = year_end_pieces();
        write_file(dir.file("first.log"), p.first);
        write_file(dir.file("second.log"), p.second);
        fs::create_directory(out);
    }
    run_result run(const char* piece, std::vector<std::string> extra = {}) const {
        std::vector<std::string> args = {"-Q", "-n", "test.example", "-o", out};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(piece);
        return run_program(dir.path, args);
    }
};

// ------------------------------------------------------------------ kills

// A run killed right after any of its renames, and run again over the same
// log, ends with the files of one clean run: the history and the state are
// put in place last (history, then state), so a kill before the state's
// rename leaves the earlier state, from which the rerun counts the same
// records again and overwrites what the killed run wrote.
TEST(KilledRun, RerunEndsAsOneCleanRun) {
    SKIP_WITHOUT_REAL_DATA();
    struct kill_case {
        const char* renamed;  // the kill comes right after this file is put in place
        bool incremental;
    } cases[] = {
        {"usage_202112.html", true},       // December's page, closed in the middle of the run
        {"daily_usage_202201.png", true},  // a graph of the month still open at the end
        {"corvalist.hist", true},
        {"corvalist.current", true},
        {"corvalist.hist", false},
    };
    for (const kill_case& c : cases) {
        SCOPED_TRACE(std::string(c.renamed) + (c.incremental ? " (incremental)" : ""));
        const std::vector<std::string> mode = c.incremental ? std::vector<std::string>{"-p"} : std::vector<std::string>{};
        run_dir clean, faulty;
        ASSERT_EQ(clean.run("first.log", mode).status, 0);
        ASSERT_EQ(clean.run("second.log", mode).status, 0);
        ASSERT_EQ(faulty.run("first.log", mode).status, 0);
        {
            scoped_env kill(preload({{"CORVALIST_KILL_AFTER_RENAME", c.renamed}}));
            ASSERT_EQ(faulty.run("second.log", mode).status, killed);
        }
        EXPECT_TRUE(file_exists(faulty.out + "/" + c.renamed));
        ASSERT_EQ(faulty.run("second.log", mode).status, 0);
        if (std::string(c.renamed) == "corvalist.current") {
            // The killed run had finished; its rerun counts nothing and, as
            // any such run, writes the summary index from the history file
            // (kilobytes as stored, without fractions): so does the clean
            // directory's next run over the same log.
            ASSERT_EQ(clean.run("second.log", mode).status, 0);
        }
        const auto expected = tree(clean.out), got = tree(faulty.out);
        EXPECT_EQ(got, expected) << "differ:" << differences(expected, got);
    }
}

// A run that jumps 12 months or more keeps the old history aside as
// "corvalist.hist.sav". Killed just before the new history is put in place,
// it must still leave a history under its name (the aside copy is a second
// name, not a move), so that the rerun starts from it and ends as one clean
// run, the aside copy included.
TEST(KilledRun, HistoryKeptAsideIsNeverMissing) {
    SKIP_WITHOUT_REAL_DATA();
    run_dir clean, faulty;
    for (const run_dir* d : {&clean, &faulty})
        write_file(d->dir.file("old.log"), read_file(real_data("apache/ccsite-2001-03.log")));
    for (const char* piece : {"old.log", "second.log"}) ASSERT_EQ(clean.run(piece, {"-p"}).status, 0);
    ASSERT_TRUE(file_exists(clean.out + "/corvalist.hist.sav"));
    ASSERT_EQ(faulty.run("old.log", {"-p"}).status, 0);
    const std::string first_history = read_file(faulty.out + "/corvalist.hist");
    {
        scoped_env kill(preload({{"CORVALIST_KILL_BEFORE_RENAME", "corvalist.hist"}}));
        ASSERT_EQ(faulty.run("second.log", {"-p"}).status, killed);
    }
    EXPECT_EQ(read_file(faulty.out + "/corvalist.hist"), first_history);
    ASSERT_EQ(faulty.run("second.log", {"-p"}).status, 0);
    const auto expected = tree(clean.out), got = tree(faulty.out);
    EXPECT_EQ(got, expected) << "differ:" << differences(expected, got);
    EXPECT_EQ(read_file(faulty.out + "/corvalist.hist.sav"), first_history);
}

// ------------------------------------------------------- one run at a time

struct spawned {
    pid_t pid = -1;
    int input = -1;  // the run's standard input, held open
    std::string out_path, err_path;
};

// Starts the analyser in dir reading its log from a pipe that stays open, so
// that it holds the output directory until the pipe is written and closed.
spawned spawn_on_pipe(const std::string& dir, const std::vector<std::string>& args) {
    spawned s;
    s.out_path = dir + "/first.stdout";
    s.err_path = dir + "/first.stderr";
    int p[2];
    if (pipe(p) != 0) return s;
    s.pid = fork();
    if (s.pid == 0) {
        dup2(p[0], 0);
        close(p[1]);
        int out = open(s.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(s.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(err, 2);
        if (chdir(dir.c_str()) != 0) _exit(127);
        setenv("TZ", "UTC", 1);
        setenv("LC_ALL", "C", 1);
        setenv("SOURCE_DATE_EPOCH", "1388534400", 1);
        std::string prog = analyser_binary();
        std::vector<char*> argv{const_cast<char*>(prog.c_str())};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(prog.c_str(), argv.data());
        _exit(127);
    }
    close(p[0]);
    s.input = p[1];
    return s;
}

// Waits until process pid holds a write lock on path.
bool wait_for_lock(const std::string& path, pid_t pid) {
    for (int i = 0; i < 3000; ++i) {
        int fd = open(path.c_str(), O_RDONLY);
        if (fd >= 0) {
            struct flock probe{};
            probe.l_type = F_WRLCK;
            probe.l_whence = SEEK_SET;
            const bool held = fcntl(fd, F_GETLK, &probe) == 0 && probe.l_type == F_WRLCK && probe.l_pid == pid;
            close(fd);
            if (held) return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// While one run holds the output directory, a second one (an overlapping
// cron job) is turned away at once with status 3 and touches nothing; the
// first then ends normally and leaves no lock file behind. The resolver-only
// mode writes only the cache, under the cache's own lock, and may run beside.
TEST(OneRunAtATime, SecondRunIsTurnedAwayTouchingNothing) {
    SKIP_WITHOUT_REAL_DATA();
    SKIP_WITHOUT_PRIVATE_RESOLVER();
    scratch_dir dir;
    const std::string out = dir.file("out");
    fs::create_directory(out);
    const std::string log = read_file(real_data("apache/ccsite-2001-03.log"));
    write_file(dir.file("access.log"), log);
    // Something of an earlier run for the second one to spoil.
    ASSERT_EQ(run_program(dir.path, {"-Q", "-p", "-o", "out", "access.log"}).status, 0);

    spawned first = spawn_on_pipe(dir.path, {"-Q", "-p", "-o", "out"});
    ASSERT_GT(first.pid, 0);
    ASSERT_TRUE(wait_for_lock(out + "/corvalist.lock", first.pid));
    const auto before = tree(out);

    struct second_case {
        std::string where;  // working directory
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {dir.path, {"-Q", "-p", "-o", "out", "access.log"}, "Error: Another run is using out\n"},
        {dir.path, {"-p", "-o", "out", "access.log"}, "Error: Another run is using out\n"},
        {out, {"-Q", "-p", "../access.log"}, "Error: Another run is using " + fs::canonical(out).string() + "\n"},
    };
    for (const second_case& c : cases) {
        const run_result r = run_program(c.where, c.args);
        EXPECT_EQ(r.status, 3);
        EXPECT_EQ(r.err, c.message);
        const auto after = tree(out);
        EXPECT_EQ(after, before) << "touched:" << differences(before, after);
    }
    write_file(dir.file("local.log"), "127.0.0.1 - - [10/Mar/2001:10:00:00 +0000] \"GET / HTTP/1.0\" 200 10\n");
    const run_result lookup = run_program(dir.path, {"-Q", "-o", "out", "-D", "dns.db", "-N", "1", "local.log"},
                                          "", tool_binary("corvalookup"));
    EXPECT_EQ(lookup.status, 0) << lookup.err;

    ASSERT_EQ(write(first.input, log.data(), log.size()), static_cast<ssize_t>(log.size()));
    close(first.input);
    int status = 0;
    ASSERT_EQ(waitpid(first.pid, &status, 0), first.pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << read_file(first.err_path);
    EXPECT_FALSE(file_exists(out + "/corvalist.lock"));
}

// ---------------------------------------------------------------- full disk

// A small tmpfs mounted for the test's output; where mounting is not
// permitted, the disk "fills" by a file-size limit of 0 instead (the writes
// then fail with EFBIG rather than ENOSPC).
class small_disk {
  public:
    explicit small_disk(const std::string& where, const char* size) : path_(where) {
        fs::create_directories(where);
        const std::string options = std::string("size=") + size;
        mounted_ = mount("tmpfs", where.c_str(), "tmpfs", 0, options.c_str()) == 0;
    }
    ~small_disk() {
        if (mounted_) umount2(path_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    // The preload settings that fill it up when suffix is created.
    std::vector<std::pair<std::string, std::string>> fill_at(const std::string& suffix) const {
        std::vector<std::pair<std::string, std::string>> vars = {{"CORVALIST_FULL_AT_OPEN", suffix}};
        if (mounted_) vars.emplace_back("CORVALIST_FILLER", filler());
        return preload(vars);
    }
    std::string filler() const { return path_ + "/filler"; }
    const char* reason() const { return std::strerror(mounted_ ? ENOSPC : EFBIG); }

  private:
    std::string path_;
    bool mounted_ = false;
};

// The disk fills up in the middle of an incremental run, from the state's
// temporary file, a graph, a page or the history on: every file that could
// not be written says so, none is left cut in place (each is as before the
// run or as the clean run writes it), no temporary stays, the state is not
// advanced and the run ends with status 3. Once space is freed, the same run
// again ends with the files of one clean run.
TEST(FullDisk, NothingHalfWrittenAndTheRerunCompletes) {
    SKIP_WITHOUT_REAL_DATA();
    struct full_case {
        const char* from;         // the disk fills when this file is created
        std::string message;      // printf format, %s the reason
    } cases[] = {
        {"corvalist.current.new", ""},
        {"daily_usage_202112.png.new", "Error: Unable to write file daily_usage_202112.png: %s\n"},
        {"usage_202201.html.new", "Error: Unable to write file usage_202201.html: %s\n"},
        {"corvalist.hist.new", "Error: Unable to write history file corvalist.hist.new\n"},
    };
    run_dir clean;
    ASSERT_EQ(clean.run("first.log", {"-p"}).status, 0);
    ASSERT_EQ(clean.run("second.log", {"-p"}).status, 0);
    const auto expected = tree(clean.out);
    for (const full_case& c : cases) {
        SCOPED_TRACE(c.from);
        run_dir faulty;
        small_disk disk(faulty.dir.file("disk"), "2m");
        if (!disk.mounted()) std::fprintf(stderr, "no tmpfs can be mounted here: a file-size limit stands in\n");
        faulty.out = faulty.dir.file("disk/out");
        fs::create_directory(faulty.out);
        ASSERT_EQ(faulty.run("first.log", {"-p"}).status, 0);
        const auto before = tree(faulty.out);
        run_result r;
        {
            scoped_env full(disk.fill_at(c.from));
            r = faulty.run("second.log", {"-p", "-q"});
        }
        EXPECT_EQ(r.status, 3);
        char line[256] = "";
        std::snprintf(line, sizeof line, c.message.c_str(), disk.reason());
        EXPECT_NE(r.err.find(line), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("Error: Unable to save current run data\n"), std::string::npos) << r.err;
        for (const auto& [name, bytes] : tree(faulty.out)) {
            EXPECT_FALSE(name.ends_with(".new")) << name;
            const bool as_before = before.count(name) && before.at(name) == bytes;
            const bool as_clean = expected.count(name) && expected.at(name) == bytes;
            EXPECT_TRUE(as_before || as_clean) << name << " is cut";
        }
        EXPECT_EQ(read_file(faulty.out + "/corvalist.current"), before.at("corvalist.current"));

        unlink(disk.filler().c_str());
        ASSERT_EQ(faulty.run("second.log", {"-p"}).status, 0);
        const auto got = tree(faulty.out);
        EXPECT_EQ(got, expected) << "differ:" << differences(expected, got);
    }
}

// ---------------------------------------------------------------- DNS cache

// Writes a cache with the library's version-1 interface, as an existing
// installation has it: 10.0.x.y -> host-N.example.org (N = 256 x + y), each
// name padded with pad_to - length filler characters when pad_to is given,
// all resolved just now (so that no pre-pass resolves them again).
void make_cache(const std::string& path, int records, int pad_to = 0) {
    DB* db = dbopen(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0664, DB_HASH, nullptr);
    ASSERT_NE(db, nullptr);
    for (int i = 0; i < records; ++i) {
        char address[32];
        std::snprintf(address, sizeof address, "10.0.%d.%d", i / 256, i % 256);
        std::string name = "host-" + std::to_string(i) + ".example.org";
        if (pad_to > static_cast<int>(name.size())) name.insert(0, pad_to - name.size(), 'x');
        std::string value((name.size() & ~size_t(7)) + 24, '\0');
        const int64_t when = time(nullptr);
        std::memcpy(&value[0], &when, 8);
        std::memcpy(&value[12], name.data(), name.size());
        DBT key{address, std::strlen(address)}, data{&value[0], value.size()};
        ASSERT_EQ(db->put(db, &key, &data, 0), 0);
    }
    ASSERT_EQ(db->close(db), 0);
}

// Address -> name of every record, read with the version-1 interface.
std::map<std::string, std::string> cache_names(const std::string& path) {
    std::map<std::string, std::string> names;
    DB* db = dbopen(path.c_str(), O_RDONLY, 0, DB_HASH, nullptr);
    if (db == nullptr) return names;
    DBT key, value;
    for (int rc = db->seq(db, &key, &value, R_FIRST); rc == 0; rc = db->seq(db, &key, &value, R_NEXT))
        names[std::string(static_cast<char*>(key.data), key.size)] = static_cast<char*>(value.data) + 12;
    db->close(db);
    return names;
}

// One request from each of the first count cached addresses, then one from
// each address in extra.
std::string cache_log(int count, const std::vector<std::string>& extra = {}) {
    std::string log;
    auto line = [&](const std::string& address) {
        log += address + " - - [10/Oct/2013:13:55:36 +0000] \"GET /index.html HTTP/1.0\" 200 100\n";
    };
    for (int i = 0; i < count; ++i) line("10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256));
    for (const std::string& a : extra) line(a);
    return log;
}

std::vector<std::string> documentation_addresses(int count) {
    std::vector<std::string> out;
    for (int i = 1; i <= count; ++i) out.push_back("192.0.2." + std::to_string(i));
    return out;
}

// 200 bytes of a cache, at offsets drawn from seed, each changed: the cache
// that made the library read out of bounds and the run die with no report.
void damage(const std::string& path, unsigned seed) {
    std::string bytes = read_file(path);
    std::mt19937 pick(seed);
    for (int i = 0; i < 200; ++i) bytes[pick() % bytes.size()] ^= static_cast<char>(1 + pick() % 255);
    write_file(path, bytes);
}

// A damaged cache never crashes the run: it is checked in a child process
// before the library reads it, and a cache that fails the check is left as it
// is while the run goes on without names, with one message; the library's
// own texts reach the console only with -d. The main pass alone (-N 0) and
// the pre-pass both check.
TEST(DamagedCache, RunGoesOnWithoutNames) {
    SKIP_WITHOUT_PRIVATE_RESOLVER();
    scratch_dir dir;
    make_cache(dir.file("good.db"), 2000);
    write_file(dir.file("access.log"), cache_log(2000));
    write_file(dir.file("dump.conf"), "DumpSites yes\nDumpPath .\n");
    // The undamaged cache gives names (the site dump lists every site).
    ASSERT_EQ(run_program(dir.path, {"-Q", "-c", "dump.conf", "-n", "t", "-D", "good.db", "-N", "0", "access.log"}).status, 0);
    ASSERT_NE(read_file(dir.file("site_201310.tab")).find("\thost-7.example.org\n"), std::string::npos);

    int detected = 0;
    for (unsigned seed = 1; seed <= 8; ++seed) {
        for (const char* children : {"0", "2"}) {
            SCOPED_TRACE("seed " + std::to_string(seed) + ", -N " + children);
            const std::string out = dir.file("out-" + std::to_string(seed) + "-" + children);
            fs::create_directory(out);
            const std::string cache = out + "/dns.db";
            fs::copy_file(dir.file("good.db"), cache);
            damage(cache, seed);
            const std::string damaged = read_file(cache);
            const run_result r = run_program(
                dir.path, {"-q", "-c", "dump.conf", "-n", "t", "-o", out, "-D", "dns.db", "-N", children, "access.log"});
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_TRUE(file_exists(out + "/usage_201310.html"));
            EXPECT_EQ(read_file(cache), damaged);
            EXPECT_EQ(r.err.find("BDB"), std::string::npos) << r.err;
            if (r.err.empty()) continue;  // the changed bytes fell where nothing is read
            EXPECT_EQ(r.err, "Error: Skipping damaged DNS cache file dns.db\n");
            EXPECT_EQ(read_file(out + "/site_201310.tab").find(".example.org\n"), std::string::npos);
            ++detected;
            const run_result debug = run_program(dir.path, {"-q", "-d", "-n", "t", "-o", out, "-D", "dns.db", "-N", children, "access.log"});
            EXPECT_EQ(debug.status, 0);
            EXPECT_NE(debug.err.find("BDB"), std::string::npos);
            const run_result quiet = run_program(dir.path, {"-Q", "-d", "-n", "t", "-o", out, "-D", "dns.db", "-N", children, "access.log"});
            EXPECT_EQ(quiet.err, "");
        }
    }
    EXPECT_GE(detected, 8);
}

// Found by fuzzing: a cache whose first page gives a page size of 0 made the
// library divide by zero as it opened the file (SIGFPE, no report). Bytes
// 20-23 of the file hold the page size.
TEST(DamagedCache, ZeroPageSizeNoLongerKillsTheRun) {
    SKIP_WITHOUT_PRIVATE_RESOLVER();
    scratch_dir dir;
    make_cache(dir.file("dns.db"), 100);
    std::string bytes = read_file(dir.file("dns.db"));
    bytes.replace(20, 4, 4, '\0');
    write_file(dir.file("dns.db"), bytes);
    write_file(dir.file("access.log"), cache_log(100));
    for (const char* children : {"0", "2"}) {
        const run_result r = run_program(dir.path, {"-q", "-n", "t", "-D", "dns.db", "-N", children, "access.log"});
        EXPECT_EQ(r.status, 0) << children;
        EXPECT_EQ(r.err, "Error: Skipping damaged DNS cache file dns.db\n") << children;
        EXPECT_TRUE(file_exists(dir.file("usage_201310.html")));
        EXPECT_EQ(read_file(dir.file("dns.db")), bytes);
    }
}

// Berkeley DB's own error texts ("BDB0004 fop_read_meta: ...") for a file
// that is no database, as DNS cache and as GeoDB: with -d only, and never
// with -Q; the run's own messages stay as they are.
TEST(DamagedCache, LibraryTextsOnlyWithDebug) {
    scratch_dir dir;
    write_file(dir.file("notdb"), "not a database\n");
    write_file(dir.file("access.log"), cache_log(3));
    const std::vector<std::string> files = {"-j", "-J", "notdb", "-D", "notdb", "-N", "0", "-n", "t", "access.log"};
    auto run = [&](std::vector<std::string> args) {
        args.insert(args.end(), files.begin(), files.end());
        return run_program(dir.path, args);
    };
    const run_result quiet = run({"-q"});
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.err, "Error: Unable to open DNS cache file notdb\n");
    EXPECT_EQ(quiet.out, "Error opening file: notdb\nGeoDB lookups disabled\n");
    const run_result debug = run({"-q", "-d"});
    EXPECT_NE(debug.err.find("BDB0004 fop_read_meta: notdb: unexpected file type or format\n"), std::string::npos)
        << debug.err;
    EXPECT_NE(debug.err.find("Error: Unable to open DNS cache file notdb\n"), std::string::npos);
    EXPECT_EQ(run({"-Q", "-d"}).err, "");
    EXPECT_EQ(run({"-Q"}).err, "");
}

// A pre-pass killed while the library writes the cache's pages leaves the
// cache as it was (it works on a copy); the next pre-pass adds the new
// addresses and keeps every old record.
TEST(CacheUpdate, KilledPrePassLeavesTheCacheIntact) {
    SKIP_WITHOUT_PRIVATE_RESOLVER();
    scratch_dir dir;
    make_cache(dir.file("dns.db"), 2000);
    const std::string old_cache = read_file(dir.file("dns.db"));
    const std::vector<std::string> fresh = documentation_addresses(30);
    write_file(dir.file("access.log"), cache_log(2000, fresh));
    write_file(dir.file("ips.conf"), "CacheIPs yes\n");
    const std::vector<std::string> args = {"-Q", "-c", "ips.conf", "-n", "t", "-D", "dns.db", "-N", "10", "access.log"};
    {
        scoped_env kill(preload({{"CORVALIST_KILL_AT_OVERWRITE", "dns.db.new:2"}}));
        ASSERT_EQ(run_program(dir.path, args).status, killed);
    }
    EXPECT_EQ(read_file(dir.file("dns.db")), old_cache);

    const run_result r = run_program(dir.path, args);
    ASSERT_EQ(r.status, 0) << r.err;
    const auto names = cache_names(dir.file("dns.db"));
    EXPECT_EQ(names.size(), 2030u);
    for (int i = 0; i < 2000; ++i) {
        const std::string address = "10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256);
        ASSERT_TRUE(names.count(address)) << address;
        EXPECT_EQ(names.at(address), "host-" + std::to_string(i) + ".example.org");
    }
    for (const std::string& address : fresh) EXPECT_TRUE(names.count(address)) << address;
    EXPECT_FALSE(file_exists(dir.file("dns.db.new")));
}

// A disk that fills up while the pre-pass adds to the cache: the pass ends
// promptly with a message (the library no longer retries the pages it
// cannot write), the old cache stays untouched and serves the main pass, and
// no copy is left behind. In resolver-only mode, whose one product is the
// cache, the run ends with status 3.
TEST(CacheUpdate, FullDiskKeepsTheOldCache) {
    SKIP_WITHOUT_PRIVATE_RESOLVER();
    scratch_dir dir;
    // Long names make the pages fill, so that a few additions grow the file.
    make_cache(dir.file("dns.db"), 100, 250);
    const std::string old_cache = read_file(dir.file("dns.db"));
    write_file(dir.file("access.log"), cache_log(100, documentation_addresses(40)));
    write_file(dir.file("ips.conf"), "CacheIPs yes\nDumpSites yes\nDumpPath .\n");

    // Without a limit, the additions need more than a page beyond the copy.
    fs::create_directory(dir.file("free"));
    fs::copy_file(dir.file("dns.db"), dir.file("free/dns.db"));
    ASSERT_EQ(run_program(dir.path, {"-Q", "-c", "ips.conf", "-o", "free", "-n", "t", "-D", "dns.db", "-N", "10",
                                     "access.log"}).status, 0);
    struct stat grown;
    ASSERT_EQ(stat(dir.file("free/dns.db").c_str(), &grown), 0);
    ASSERT_GT(grown.st_size, static_cast<off_t>(old_cache.size()) + 4096);

    // Room for the cache and its copy, not a page more.
    const std::string disk_dir = dir.file("disk");
    char size[32];
    std::snprintf(size, sizeof size, "%zuk", 2 * ((old_cache.size() + 4095) / 4096) * 4);
    small_disk disk(disk_dir, size);
    if (!disk.mounted()) GTEST_SKIP() << "no tmpfs can be mounted here";
    write_file(disk_dir + "/dns.db", old_cache);
    const std::string cache = disk_dir + "/dns.db";
    for (const bool lookup_only : {false, true}) {
        SCOPED_TRACE(lookup_only ? "resolver-only" : "report run");
        fs::remove_all(dir.file("out"));
        fs::create_directory(dir.file("out"));
        // With -d the library says where it failed: writing the copy's
        // pages, not making the copy.
        const run_result r = run_program(
            dir.path, {"-q", "-d", "-c", "ips.conf", "-o", "out", "-n", "t", "-D", cache, "-N", "10", "access.log"}, "",
            lookup_only ? tool_binary("corvalookup") : "");
        EXPECT_EQ(r.status, lookup_only ? 3 : 0);
        EXPECT_NE(r.err.find("Error: Unable to save DNS cache file " + cache + "\n"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(": No space left on device\n"), std::string::npos);
        EXPECT_EQ(read_file(cache), old_cache);
        EXPECT_FALSE(file_exists(cache + ".new"));
        if (!lookup_only) {
            EXPECT_NE(read_file(dir.file("out/site_201310.tab")).find("host-5.example.org\n"), std::string::npos);
        }
    }
}

// ---------------------------------------------------------------- overflows

// A domain grouping depth near INT_MAX groups by the whole host name, as any
// depth at or above a host's number of dots does, without overflowing the
// label count (the sanitizer build stops the run on an overflow).
TEST(Overflow, HugeGroupDomainsGroupsByWholeName) {
    scratch_dir dir;
    write_file(dir.file("access.log"),
               "www.a.example.org - - [10/Oct/2013:13:55:36 +0000] \"GET / HTTP/1.0\" 200 100\n"
               "mail.b.example.org - - [10/Oct/2013:13:55:37 +0000] \"GET / HTTP/1.0\" 200 100\n");
    auto page_with = [&](const char* depth) {
        const run_result r = run_program(dir.path, {"-Q", "-n", "t", "-g", depth, "access.log"});
        EXPECT_EQ(r.status, 0) << depth << r.err;
        return read_file(dir.file("usage_201310.html"));
    };
    // Three dots in each host: depth 3 keeps the last four labels, the whole name.
    const std::string whole = page_with("3");
    EXPECT_EQ(page_with("2147483647"), whole);
    EXPECT_EQ(page_with("255"), whole);
    EXPECT_NE(page_with("1"), whole);  // "example.org": grouping is at work
}

}  // namespace
