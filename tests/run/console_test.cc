// The console: catalogue texts in UTF-8 where the locale asks for it (and
// files unchanged), the held "DNS Lookup" line, and the progress line on a
// terminal, checked on a pseudo-terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "lang/lang.h"
#include "run/console.h"
#include "test_support.h"

namespace ts = testing_support;

namespace {

// ------------------------------------------------------------ texts

TEST(ProgressText, Formats) {
    struct row {
        uint64_t records;
        int percent;
        uint64_t rate;
        std::size_t size;
        const char* expected;
    } rows[] = {
        {0, 0, 0, 64, "0 records, 0%, 0/sec"},
        {1234567, 45, 812345, 64, "1234567 records, 45%, 812345/sec"},
        {18446744073709551615ull, 100, 18446744073709551615ull, 128,
         "18446744073709551615 records, 100%, 18446744073709551615/sec"},
        {42, -1, 7, 64, "42 records, 7/sec"},  // standard input from a pipe: no share
        {1234567, 45, 812345, 11, "1234567 re"},  // cut, always terminated
        {1, 1, 1, 1, ""},
    };
    for (const row& r : rows) {
        char buf[128];
        const std::size_t n = format_progress(buf, r.size, r.records, r.percent, r.rate);
        EXPECT_STREQ(buf, r.expected) << r.records << " " << r.size;
        EXPECT_EQ(n, std::strlen(r.expected));
    }
}

TEST(ConsoleText, Utf8OnlyWhereTheLocaleAsks) {
    const char* march = month_full[2];  // "Березень" in KOI8-U
    ASSERT_NE(std::setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
    console_start();
    EXPECT_TRUE(console_takes_utf8());
    EXPECT_STREQ(console_text(march), "Березень");
    EXPECT_EQ(console_text(con_generating_report), con_generating_report);  // plain ASCII: itself
    std::setlocale(LC_CTYPE, "C");
    console_start();
    EXPECT_FALSE(console_takes_utf8());
    EXPECT_EQ(console_text(march), march);
}

// ------------------------------------------------------------ held line

// Runs body in a child whose standard output and error share one file, and
// returns what the file holds afterwards.
std::string both_streams_of(const std::function<void()>& body) {
    ts::scratch_dir dir;
    const std::string path = dir.file("console");
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, STDOUT_FILENO);
        dup2(fd, STDERR_FILENO);
        close(fd);
        body();
        std::fflush(nullptr);
        _exit(0);
    }
    waitpid(pid, nullptr, 0);
    return ts::read_file(path);
}

void held_prefix() {
    std::printf("DNS Lookup (2): ");
    std::fflush(stdout);
    console_hold_line();
}

TEST(HeldLine, OtherMessagesStartOnALineOfTheirOwn) {
    struct row {
        const char* name;
        std::function<void()> between;  // after the prefix
        const char* expected;
    } rows[] = {
        {"the statistics finish the line",
         [] {
             console_finish_held_line();
             std::printf("2 addresses in 1 seconds, 2/sec\n");
         },
         "DNS Lookup (2): 2 addresses in 1 seconds, 2/sec\nnext\n"},
        {"an error first",
         [] { std::fprintf(stderr, "Error: Unable to lock DNS cache file dns.db\n"); },
         "DNS Lookup (2): \nError: Unable to lock DNS cache file dns.db\nnext\n"},
        {"a trace held in the buffer, then the statistics",
         [] {
             std::printf("Giving 16 bytes to Child 0\n");
             console_finish_held_line();
             std::printf("1 addresses in 1 seconds, 1/sec\n");
         },
         "DNS Lookup (2): \nGiving 16 bytes to Child 0\n1 addresses in 1 seconds, 1/sec\nnext\n"},
        {"a system error text",
         [] {
             errno = EPIPE;
             std::perror("Could not write to pipe");
         },
         "DNS Lookup (2): \nCould not write to pipe: Broken pipe\nnext\n"},
        {"nothing at all", [] {}, "DNS Lookup (2): \nnext\n"},
        {"a resolver child first, then this process",
         [] {
             std::fflush(nullptr);
             const pid_t child = fork();
             if (child == 0) {
                 std::printf("Child 0 getnameinfo failed!\n");
                 std::fflush(stdout);
                 _exit(0);
             }
             waitpid(child, nullptr, 0);
             std::printf("Reaped Child %d\n", 7);
         },
         "DNS Lookup (2): \nChild 0 getnameinfo failed!\nReaped Child 7\nnext\n"},
    };
    for (const row& r : rows) {
        const std::string got = both_streams_of([&] {
            held_prefix();
            r.between();
            console_release_line();
            std::printf("next\n");
        });
        EXPECT_EQ(got, r.expected) << r.name;
    }
}

TEST(HeldLine, ChildrenPrintingAtOnceEndItOnceAndBeforeTheirTexts) {
    for (int round = 0; round < 20; ++round) {
        const std::string got = both_streams_of([] {
            held_prefix();
            int go[2];
            if (pipe(go) != 0) return;
            std::fflush(nullptr);
            std::vector<pid_t> children;
            for (int i = 0; i < 8; ++i) {
                const pid_t child = fork();
                if (child == 0) {
                    close(go[1]);
                    char c;
                    if (read(go[0], &c, 1) < 0) _exit(1);  // all start when the pipe closes
                    std::printf("Child %d getnameinfo failed!\n", i);
                    std::fflush(stdout);
                    _exit(0);
                }
                children.push_back(child);
            }
            close(go[0]);
            close(go[1]);
            for (pid_t child : children) waitpid(child, nullptr, 0);
            console_release_line();
        });
        const std::string head = "DNS Lookup (2): \n";
        ASSERT_EQ(got.compare(0, head.size(), head), 0) << got;
        std::vector<std::string> lines;
        for (std::size_t at = head.size(); at < got.size();) {
            const std::size_t end = got.find('\n', at);
            ASSERT_NE(end, std::string::npos) << got;
            lines.push_back(got.substr(at, end - at));
            at = end + 1;
        }
        ASSERT_EQ(lines.size(), 8u) << got;
        std::sort(lines.begin(), lines.end());
        for (int i = 0; i < 8; ++i) EXPECT_EQ(lines[i], "Child " + std::to_string(i) + " getnameinfo failed!") << got;
    }
}

// ------------------------------------------------- runs of the analyser

std::string clf_at(const char* day_month_year, int second_of_day) {
    char date[64];
    std::snprintf(date, sizeof date, "%s:%02d:%02d:%02d", day_month_year, second_of_day / 3600,
                  second_of_day / 60 % 60, second_of_day % 60);
    return std::string("192.0.2.1 - - [") + date + " +0000] \"GET /a.html HTTP/1.0\" 200 1024\n";
}

std::string lines_of(const char* day_month_year, int from, int count) {
    std::string text;
    for (int i = from; i < from + count; ++i) text += clf_at(day_month_year, i);
    return text;
}

std::string version_line() {
    utsname u;
    if (uname(&u) != 0) return "";
    return std::string("Corvalist V2.23-08 (") + u.sysname + " " + u.release + " " + u.machine + ") Ukrainian\n";
}

// Every file under root, by its path below root, with its bytes.
std::map<std::string, std::string> tree_of(const std::string& root) {
    std::map<std::string, std::string> files;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root))
        if (e.is_regular_file())
            files[std::filesystem::relative(e.path(), root).string()] = ts::read_file(e.path().string());
    return files;
}

TEST(ConsoleText, MonthNamesOnAUtf8ConsoleAndFilesUnchanged) {
    // One record in each month of 2013: twelve reports, each announced.
    std::string log;
    const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    for (const char* m : months) log += clf_at((std::string("15/") + m + "/2013").c_str(), 3600);
    const char* const utf8_names[12] = {"Січень", "Лютий",  "Березень", "Квітень",  "Травень", "Червень",
                                        "Липень", "Серпень", "Вересень", "Жовтень", "Листопад", "Грудень"};
    ts::scratch_dir plain, utf8;
    const std::string conf = "AllSites yes\nAllURLs yes\nDumpPath dumps\nDumpSites yes\nDumpURLs yes\nIncremental yes\n";
    std::map<std::string, std::string> trees[2];
    std::string out[2];
    const std::string* dirs[2] = {&plain.path, &utf8.path};
    const char* locales[2] = {"LC_ALL=C", "LC_ALL=C.UTF-8"};
    for (int i = 0; i < 2; ++i) {
        ts::write_file(*dirs[i] + "/a.log", log);
        ts::write_file(*dirs[i] + "/run.conf", conf);
        mkdir((*dirs[i] + "/dumps").c_str(), 0755);
        ts::run_result r = ts::run_program(*dirs[i], {locales[i], ts::analyser_binary(), "-n", "test.example", "-c",
                                                      "run.conf", "a.log"},
                                           "", "/usr/bin/env");
        ASSERT_EQ(r.status, 0) << locales[i] << r.err;
        out[i] = r.out;
        trees[i] = tree_of(*dirs[i]);
    }
    // Every page, graph, dump, history and state byte is the same.
    EXPECT_GT(trees[0].size(), 40u);
    EXPECT_TRUE(trees[0] == trees[1]);
    for (const auto& [name, bytes] : trees[0]) EXPECT_EQ(trees[1][name], bytes) << name;
    // Only the console's month names differ: catalogue bytes in C, UTF-8 here.
    std::string expected_plain = out[0], expected_utf8 = out[0];
    for (int m = 0; m < 12; ++m) {
        const std::string heading = std::string(con_generating_report) + " ";
        const std::string koi8 = heading + month_full[m] + " 2013\n";
        const std::string shown = heading + utf8_names[m] + " 2013\n";
        const std::size_t at = expected_utf8.find(koi8);
        ASSERT_NE(at, std::string::npos) << m + 1 << "\n" << out[0];
        expected_utf8.replace(at, koi8.size(), shown);
        EXPECT_NE(out[1].find(shown), std::string::npos) << m + 1;
    }
    // The timing line's figures may differ between the two runs.
    const std::regex timing("in [0-9]+ seconds, [0-9]+/sec");
    EXPECT_EQ(std::regex_replace(out[1], timing, "in N"), std::regex_replace(expected_utf8, timing, "in N"));
    EXPECT_EQ(out[0], expected_plain);
}

// A run of the analyser with its standard output and error on a
// pseudo-terminal (standard error to a pipe instead when err_on_terminal is
// off). The terminal is raw, so the bytes arrive as written. Standard input
// gets the chunks with a pause after each but the last (none: /dev/null).
// watch sees the terminal's bytes so far after every read.
struct terminal_run {
    int status = -1;
    std::string terminal, err;
};

terminal_run run_on_terminal(const std::string& dir, const std::vector<std::string>& args,
                             const std::vector<std::string>& chunks, double pause, const char* locale,
                             bool err_on_terminal = true,
                             const std::function<void(pid_t, const std::string&)>& watch = nullptr) {
    terminal_run r;
    termios raw{};
    cfmakeraw(&raw);
    winsize size{24, 100, 0, 0};
    int master = -1, slave = -1;
    if (openpty(&master, &slave, nullptr, &raw, &size) != 0) return r;
    int in[2], err[2];
    if (pipe(in) != 0 || pipe(err) != 0) return r;
    const std::string program = ts::analyser_binary();
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        setsid();
        ioctl(slave, TIOCSCTTY, 0);
        if (chunks.empty()) {
            const int null = open("/dev/null", O_RDONLY);
            dup2(null, STDIN_FILENO);
        } else {
            dup2(in[0], STDIN_FILENO);
        }
        dup2(slave, STDOUT_FILENO);
        dup2(err_on_terminal ? slave : err[1], STDERR_FILENO);
        for (int fd : {in[0], in[1], err[0], err[1], master, slave}) close(fd);
        if (chdir(dir.c_str()) != 0) _exit(127);
        setenv("TZ", "UTC", 1);
        setenv("LC_ALL", locale, 1);
        setenv("SOURCE_DATE_EPOCH", "1388534400", 1);
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(slave);
    close(in[0]);
    close(err[1]);
    std::thread feeder([&] {
        for (std::size_t i = 0; i < chunks.size(); ++i) {
            const std::string& c = chunks[i];
            for (std::size_t off = 0; off < c.size();) {
                const ssize_t n = write(in[1], c.data() + off, c.size() - off);
                if (n <= 0) break;
                off += static_cast<std::size_t>(n);
            }
            if (i + 1 < chunks.size())
                std::this_thread::sleep_for(std::chrono::duration<double>(pause));
        }
        close(in[1]);
    });
    std::thread err_reader([&] {
        char buf[4096];
        ssize_t n;
        while ((n = read(err[0], buf, sizeof buf)) > 0) r.err.append(buf, static_cast<std::size_t>(n));
    });
    char buf[65536];
    for (;;) {
        const ssize_t n = read(master, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // EIO: the terminal's other side is closed
        r.terminal.append(buf, static_cast<std::size_t>(n));
        if (watch) watch(pid, r.terminal);
    }
    feeder.join();
    err_reader.join();
    close(master);
    close(err[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

// What a terminal got, taken apart: the progress line's draws and erases,
// and everything else (the messages). A message byte that arrives while a
// progress text stands on the line would join it there.
struct terminal_text {
    std::string messages;
    std::vector<std::string> draws;  // each drawn text
    int erases = 0;
    int joined = 0;       // message bytes written over a standing progress text
    bool left_standing = false;
};

terminal_text take_apart(const std::string& bytes) {
    static const std::regex draw("\r([0-9]+ records, (?:[0-9]+%, )?[0-9]+/sec)(?: +\r\\1)?");
    static const std::regex erase("\r +\r");
    terminal_text t;
    bool standing = false;
    for (std::size_t at = 0; at < bytes.size();) {
        std::smatch m;
        const auto from = bytes.begin() + static_cast<std::ptrdiff_t>(at);
        if (bytes[at] == '\r' && std::regex_search(from, bytes.end(), m, draw, std::regex_constants::match_continuous)) {
            t.draws.push_back(m[1].str());
            standing = true;
            at += static_cast<std::size_t>(m.length(0));
        } else if (bytes[at] == '\r' &&
                   std::regex_search(from, bytes.end(), m, erase, std::regex_constants::match_continuous)) {
            ++t.erases;
            standing = false;
            at += static_cast<std::size_t>(m.length(0));
        } else {
            if (standing) ++t.joined;
            t.messages += bytes[at++];
        }
    }
    t.left_standing = standing;
    return t;
}

// Three pieces of standard input with pauses between them, so that the
// progress line comes up: January, a bad line and February, then more of
// February, a bad line and March. 9002 records; the bad ones are 3001 and 6502.
std::vector<std::string> three_pieces() {
    return {lines_of("01/Jan/2014", 0, 3000), "a-bad-line\n" + lines_of("01/Feb/2014", 0, 3000),
            lines_of("01/Feb/2014", 3000, 500) + "another-bad-line\n" + lines_of("01/Mar/2014", 0, 2500)};
}

const std::regex timing_figures("in [0-9]+ seconds, [0-9]+/sec\n");

std::string messages_of_three_pieces(const char* january, const char* february, const char* march) {
    return version_line() +
           "Using logfile STDIN (clf)\n"
           "Creating output in current directory\n"
           "Hostname for reports is 'test.example'\n"
           "History file not found...\n"
           "Skipping bad record (3001)\n"
           "Generating report for " + january + " 2014\n"
           "Skipping bad record (6502)\n"
           "Generating report for " + february + " 2014\n"
           "Generating report for " + march + " 2014\n"
           "Saving history information...\n"
           "Generating summary report\n"
           "9002 records (2 bad) in N";
}

TEST(Progress, OnATerminalRedrawnInPlaceAndErasedBeforeEveryMessage) {
    ts::scratch_dir dir;
    const terminal_run r = run_on_terminal(dir.path, {"-n", "test.example", "-"}, three_pieces(), 0.7, "C.UTF-8");
    ASSERT_EQ(r.status, 0) << r.terminal;
    const terminal_text t = take_apart(r.terminal);
    // Drawn after each pause (records 3072 and 6144 come after one), with
    // records and rate; standard input from a pipe has no share to show.
    ASSERT_GE(t.draws.size(), 2u) << r.terminal;
    for (const auto& d : t.draws) EXPECT_EQ(d.find('%'), std::string::npos) << d;
    auto drawn_at = [&](const std::string& records) {
        for (const auto& d : t.draws)
            if (d.rfind(records + " records, ", 0) == 0) return true;
        return false;
    };
    EXPECT_TRUE(drawn_at("3072")) << r.terminal;
    EXPECT_TRUE(drawn_at("6144")) << r.terminal;
    EXPECT_GE(t.erases, 1);  // at least before the second bad record's message
    EXPECT_EQ(t.joined, 0) << r.terminal;
    EXPECT_FALSE(t.left_standing);
    // Without the progress line, exactly the messages of the run, the month
    // names in UTF-8.
    EXPECT_EQ(std::regex_replace(t.messages, timing_figures, "in N"),
              messages_of_three_pieces("Січень", "Лютий", "Березень"));
}

TEST(Progress, NeverWithoutATerminalOrWhenQuiet) {
    ts::scratch_dir dir;
    // Standard output on the terminal, standard error to a pipe: no progress,
    // and each stream gets its messages; the C locale shows the catalogue's
    // own month names.
    terminal_run r = run_on_terminal(dir.path, {"-n", "test.example", "-"}, three_pieces(), 0.7, "C", false);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.terminal.find('\r'), std::string::npos);
    EXPECT_EQ(r.err, "Skipping bad record (3001)\nSkipping bad record (6502)\n");
    std::string expected = std::regex_replace(messages_of_three_pieces(month_full[0], month_full[1], month_full[2]),
                                              std::regex("Skipping bad record \\([0-9]+\\)\n"), "");
    EXPECT_EQ(std::regex_replace(r.terminal, timing_figures, "in N"), expected);

    // Both on the terminal, but quiet: the errors alone, no progress.
    ts::scratch_dir quiet_dir;
    r = run_on_terminal(quiet_dir.path, {"-q", "-"}, three_pieces(), 0.7, "C");
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.terminal, "Skipping bad record (3001)\nSkipping bad record (6502)\n");
}

TEST(Progress, ARegularFileShowsTheShareRead) {
    // Two days of records with a bad line after every tenth: 10000 messages
    // on the terminal, more than it holds unread.
    std::string log;
    for (int i = 0; i < 100000; ++i) {
        log += clf_at(i < 86400 ? "01/Jan/2014" : "02/Jan/2014", i % 86400);
        if (i % 10 == 9) log += "bad\n";
    }
    ts::scratch_dir dir;
    ts::write_file(dir.file("big.log"), log);
    // Once the main pass begins (the history message is the last word before
    // it), the terminal is not read for a while: the run waits on its full
    // terminal, and when it goes on the time for the line has come while
    // most of the file is still to be read.
    bool paused = false;
    const terminal_run r = run_on_terminal(
        dir.path, {"-n", "test.example", "big.log"}, {}, 0, "C", true, [&](pid_t, const std::string& seen) {
            if (paused || seen.find("History file not found...\n") == std::string::npos) return;
            paused = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(800));
        });
    ASSERT_EQ(r.status, 0) << r.terminal.substr(0, 2000);
    ASSERT_TRUE(paused);
    const terminal_text t = take_apart(r.terminal);
    ASSERT_GE(t.draws.size(), 1u) << r.terminal.substr(0, 2000);
    EXPECT_EQ(t.joined, 0);
    EXPECT_FALSE(t.left_standing);
    int last_percent = 0;
    uint64_t last_records = 0;
    for (const auto& d : t.draws) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(d, m, std::regex("([0-9]+) records, ([0-9]+)%, [0-9]+/sec"))) << d;
        const uint64_t records = std::stoull(m[1].str());
        const int percent = std::stoi(m[2].str());
        EXPECT_LE(percent, 100);
        EXPECT_GE(percent, last_percent);
        EXPECT_GT(records, last_records);
        EXPECT_LT(records, 110000u);
        last_percent = percent;
        last_records = records;
    }
    // Every bad line's message arrived whole, on a line of its own.
    std::size_t bad_messages = 0;
    for (std::size_t at = 0; (at = t.messages.find("\nSkipping bad record (", at)) != std::string::npos; ++at)
        ++bad_messages;
    EXPECT_EQ(bad_messages, 10000u);
    EXPECT_NE(t.messages.find("\n110000 records (10000 bad) in "), std::string::npos);
}

}  // namespace
