// Keyword table, configuration files and command-line options.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "lang/lang.h"
#include "run/config.h"
#include "run/install_dirs.h"
#include "run/settings.h"
#include "test_support.h"

namespace ts = testing_support;

namespace {

class Config : public ::testing::Test {
protected:
    void SetUp() override { reset_settings(); }
    void TearDown() override { reset_settings(); }

    // Writes text as a configuration file and reads it; returns what went to
    // standard output.
    std::string read_text(const std::string& text, const std::string& name = "test.conf") {
        const std::string path = dir.file(name);
        ts::write_file(path, text);
        testing::internal::CaptureStdout();
        EXPECT_EQ(read_config(path.c_str()), config_ok);
        return testing::internal::GetCapturedStdout();
    }

    // Runs process_options over args (the program name is added in front).
    int options(std::vector<std::string> args) {
        args.insert(args.begin(), "corvalist");
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        return process_options(static_cast<int>(args.size()), argv.data());
    }

    ts::scratch_dir dir;
};

std::string list_text(const nlist* l) {
    std::string out;
    for (; l != nullptr; l = l->next) out += std::string(l->pattern) + "|";
    return out;
}

TEST(KeywordTable, OrderAndKinds) {
    ASSERT_EQ(keyword_rows, 121u);
    struct {
        std::size_t row;
        const char* name;
        keyword_kind kind;
    } spots[] = {
        {0, "Undefined", kw_placeholder}, {1, "OutputDir", kw_text},      {6, "Quiet", kw_quiet},
        {7, "TimeMe", kw_not_no},         {11, "TopSites", kw_number},    {29, "ReallyQuiet", kw_really_quiet},
        {31, "GroupURL", kw_group},       {38, "IncrementalName", kw_text}, {41, "HTMLPre", kw_list},
        {60, "LogType", kw_log_type},     {61, "SearchEngine", kw_group}, {90, "ColorHit", kw_colour},
        {100, "PieColor4", kw_colour},    {111, "GeoIP", kw_unsupported}, {112, "GeoIPDatabase", kw_unsupported},
        {119, "FlagDir", kw_flag_dir},    {120, "SearchCaseI", kw_not_no},
    };
    for (const auto& s : spots) {
        EXPECT_STREQ(keyword_table[s.row].name, s.name) << s.row;
        EXPECT_EQ(keyword_table[s.row].kind, s.kind) << s.row;
    }
    // Each row carries exactly the member its kind needs.
    for (std::size_t row = 0; row < keyword_rows; ++row) {
        const keyword_row& k = keyword_table[row];
        const int members = (k.text != nullptr) + (k.number != nullptr) + (k.flag != nullptr) +
                            (k.list != nullptr) + (k.group != nullptr) + (k.colour != nullptr);
        const bool needs_text = k.kind == kw_text || k.kind == kw_flag_dir;
        const bool needs_none = k.kind == kw_placeholder || k.kind == kw_unsupported || k.kind == kw_quiet ||
                                k.kind == kw_really_quiet || k.kind == kw_log_type;
        EXPECT_EQ(members, needs_none ? 0 : 1) << k.name;
        if (needs_text) {
            EXPECT_NE(k.text, nullptr) << k.name;
        }
        if (k.kind == kw_number) {
            EXPECT_NE(k.number, nullptr) << k.name;
        }
        if (k.kind == kw_yes || k.kind == kw_not_no) {
            EXPECT_NE(k.flag, nullptr) << k.name;
        }
        if (k.kind == kw_list) {
            EXPECT_NE(k.list, nullptr) << k.name;
        }
        if (k.kind == kw_group) {
            EXPECT_NE(k.group, nullptr) << k.name;
        }
        if (k.kind == kw_colour) {
            EXPECT_NE(k.colour, nullptr) << k.name;
        }
    }
}

TEST(KeywordTable, AbbreviationsSelectTheFirstRowInOrder) {
    struct {
        const char* word;
        const char* selects;  // nullptr: invalid keyword
    } cases[] = {
        {"Top", "TopSites"},
        {"HTMLP", "HTMLPost"},
        {"HTMLPr", "HTMLPre"},
        {"logfile", "LogFile"},
        {"LOGFILE", "LogFile"},
        {"Incremental", "Incremental"},
        {"IncrementalName", "IncrementalName"},
        {"Geo", "GeoDB"},
        {"GeoIP", "GeoIP"},
        {"c", "CountryGraph"},
        {"Color", "ColorHit"},
        {"SearchCaseI", "SearchCaseI"},
        {"U", nullptr},  // the placeholder "Undefined" begins with it
        {"Undefined", nullptr},
        {"TopSitesX", nullptr},
        {"Nonsense", nullptr},
        {"", nullptr},
    };
    for (const auto& c : cases) {
        const int row = find_keyword(c.word);
        if (c.selects == nullptr)
            EXPECT_EQ(row, 0) << c.word;
        else
            EXPECT_STREQ(keyword_table[row].name, c.selects) << c.word;
    }
}

TEST_F(Config, ValuesByKind) {
    const std::string v200(200, 'v');
    struct {
        const char* name;
        std::string text;
        std::function<bool()> check;
    } cases[] = {
        {"lower-case keyword", "logfile /var/log/x\n", [] { return std::string(settings.LogFile) == "/var/log/x"; }},
        {"abbreviation Top", "Top 7\n", [] { return settings.TopSites == 7 && settings.TopURLs == 30; }},
        {"abbreviation HTMLP", "HTMLP <p>\n",
         [] { return list_text(settings.HTMLPost) == "<p>|" && settings.HTMLPre == nullptr; }},
        {"IncrementalName", "IncrementalName inc.state\n",
         [] { return std::string(settings.IncrementalName) == "inc.state" && !settings.Incremental; }},
        {"yes with 1", "Incremental yes\nIncremental 1\n", [] { return !settings.Incremental; }},
        {"yes with Y", "Incremental Yes\n", [] { return settings.Incremental; }},
        {"not-no with 0", "HourlyGraph 0\n", [] { return settings.HourlyGraph; }},
        {"not-no with no", "HourlyGraph no\n", [] { return !settings.HourlyGraph; }},
        {"not-no with N", "HourlyGraph no\nHourlyGraph x\nDailyGraph N\n",
         [] { return settings.HourlyGraph && !settings.DailyGraph; }},
        {"Quiet no", "Quiet yes\nQuiet no\n", [] { return settings.Verbosity == 2; }},
        {"Quiet yes", "Quiet yes\n", [] { return settings.Verbosity == 1; }},
        {"ReallyQuiet yes", "ReallyQuiet yes\n", [] { return settings.Verbosity == 0; }},
        {"ReallyQuiet no", "Quiet yes\nReallyQuiet no\n", [] { return settings.Verbosity == 1; }},
        {"colour", "ColorHit ff0000\n", [] { return std::string(settings.ColorHit) == "#ff0000"; }},
        {"colour with #", "ColorHit #ff0000\n", [] { return std::string(settings.ColorHit) == "##ff000"; }},
        {"short colour", "PieColor4 abc\n", [] { return std::string(settings.PieColor4) == "#abc"; }},
        {"long colour", "ColorMisc 0123456789\n", [] { return std::string(settings.ColorMisc) == "#012345"; }},
        {"indented line", "  TopSites 5\n\tTopURLs 5\n",
         [] { return settings.TopSites == 30 && settings.TopURLs == 30; }},
        {"keyword only", "TopSites\nTopURLs    \r\n", [] { return settings.TopSites == 30 && settings.TopURLs == 30; }},
        {"comment", "# TopSites 5\n\n", [] { return settings.TopSites == 30; }},
        {"= belongs to the value", "LogFile=name\n", [] { return std::string(settings.LogFile) == "=name"; }},
        {"# belongs to the value", "HideSite a # b\n", [] { return list_text(settings.HideSite) == "a # b|"; }},
        {"carriage return", "LogFile name \r\nHostName h\r\n",
         [] { return std::string(settings.LogFile) == "name" && std::string(settings.HostName) == "h"; }},
        {"no final line end", "TopSites 9", [] { return settings.TopSites == 9; }},
        {"value cut to 131", "ReportTitle " + v200 + "\n",
         [v200] { return std::string(settings.ReportTitle) == v200.substr(0, 131); }},
        {"blanks inside kept", "ReportTitle  My   Site  \n",
         [] { return std::string(settings.ReportTitle) == "My   Site"; }},
        {"numbers", "TopSites -12\nTopURLs abc\nTopAgents  +8x\nTopCountries 99999999999\nTopEntry -99999999999\n",
         [] {
             return settings.TopSites == -12 && settings.TopURLs == 0 && settings.TopAgents == 8 &&
                    settings.TopCountries == INT_MAX && settings.TopEntry == INT_MIN;
         }},
        {"log types", "LogType Squid\n", [] { return settings.LogType == log_squid; }},
        {"log type w3c", "LogType ftp\nLogType W3C\n", [] { return settings.LogType == log_w3c; }},
        {"log type other", "LogType ftp\nLogType xyz\n", [] { return settings.LogType == log_clf; }},
        {"FlagDir", "FlagDir img\n",
         [] { return std::string(settings.FlagDir) == "img" && settings.CountryFlags; }},
        {"lists keep order", "HideSite b\nHideSite a\nHideS c\n",
         [] { return list_text(settings.HideSite) == "b|a|c|"; }},
        {"group line", "GroupSite 'my host' Label x\nSearchEngine finder\n",
         [] {
             return std::string(settings.GroupSite->pattern) == "my host" &&
                    std::string(settings.GroupSite->label) == "Label x" &&
                    std::string(settings.SearchEngine->label) == "finder";
         }},
        {"later line wins", "TopSites 5\nTopSites 6\n", [] { return settings.TopSites == 6; }},
    };
    for (const auto& c : cases) {
        reset_settings();
        const std::string out = read_text(c.text);
        EXPECT_TRUE(c.check()) << c.name;
        EXPECT_EQ(out, "") << c.name;
    }
}

TEST_F(Config, InvalidKeywordsAreReportedAlways) {
    settings.Verbosity = 0;
    const std::string path = dir.file("bad.conf");
    const std::string long_word(40, 'A');
    const std::string out = read_text(
        "GeoIP /x\nGeoIPDatabase /y\nNope 1\nU 1\nTopSites 3\n" + long_word + " 1\n", "bad.conf");
    EXPECT_EQ(out, "Warning: Invalid keyword 'GeoIP' (" + path + ")\n"
                   "Warning: Invalid keyword 'GeoIPDatabase' (" + path + ")\n"
                   "Warning: Invalid keyword 'Nope' (" + path + ")\n"
                   "Warning: Invalid keyword 'U' (" + path + ")\n"
                   "Warning: Invalid keyword '" + std::string(31, 'A') + "' (" + path + ")\n");
    EXPECT_EQ(settings.TopSites, 3);
    EXPECT_EQ(settings.GeoDBDatabase, nullptr);
    EXPECT_FALSE(settings.GeoDB);
}

TEST_F(Config, UnopenableFile) {
    const std::string path = dir.file("missing.conf");
    testing::internal::CaptureStderr();
    EXPECT_EQ(read_config(path.c_str()), config_open_error);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: Unable to open configuration file " + path + "\n");
    settings.Verbosity = 0;
    testing::internal::CaptureStderr();
    EXPECT_EQ(read_config(path.c_str()), config_open_error);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(Config, HostileFilesDoNotBreakTheReader) {
    EXPECT_EQ(read_text(""), "");
    EXPECT_EQ(settings.TopSites, 30);

    // A line of 5000 characters arrives in pieces; each piece is a line.
    const std::string long_line = "HideSite " + std::string(5000, 'a') + "\n";
    const std::string out = read_text(long_line + "TopSites 4\n");
    EXPECT_EQ(list_text(settings.HideSite), std::string(131, 'a') + "|");
    EXPECT_EQ(settings.TopSites, 4);
    EXPECT_NE(out.find("Warning: Invalid keyword '" + std::string(31, 'a') + "'"), std::string::npos);

    // Every byte value, zeros included, many times over.
    std::string binary;
    for (int round = 0; round < 64; ++round)
        for (int b = 0; b < 256; ++b) binary += static_cast<char>((b * 37 + round) & 0xff);
    read_text(binary + "\nTopURLs 3\n" + std::string(3, '\0') + "TopAgents 2\n");
    EXPECT_EQ(settings.TopURLs, 3);
}

TEST_F(Config, OptionOrder) {
    struct {
        std::vector<std::string> args;
        int verbosity;
        bool debug;
    } cases[] = {
        {{"-q", "-v"}, 2, true}, {{"-v", "-q"}, 1, true}, {{"-Q"}, 0, false},
        {{"-qQ"}, 0, false},     {{"-d"}, 2, true},       {{"-v", "-Q"}, 0, true},
    };
    for (const auto& c : cases) {
        reset_settings();
        options(c.args);
        EXPECT_EQ(settings.Verbosity, c.verbosity) << c.args[0];
        EXPECT_EQ(settings.Debug, c.debug) << c.args[0];
    }
}

TEST_F(Config, OptionsSetTheirSettings) {
    const int first = options({"-a", "bot", "-A5", "-b", "-C", "7", "-D", "dns.db", "-e", "3", "-E", "4", "-f",
                               "-F", "squid", "-g", "2", "-G", "-H", "-i", "-I", "home.", "-j", "-J", "geo.db",
                               "-k", "24", "-K", "36", "-l", "5", "-L", "-m", "60", "-M", "3", "-n", "host",
                               "-N", "8", "-o", "out", "-O", "/x", "-p", "-P", "php", "-r", "ref", "-R", "9",
                               "-s", "site", "-S", "11", "-t", "Title", "-T", "-u", "/u", "-U", "12", "-w",
                               "-W", "ignored", "-x", "htm", "-XYZ", "-z", "fl", "log.txt", "-Q"});
    const settings_rec& s = settings;
    EXPECT_EQ(first, 71);  // "log.txt", after the program name and 70 arguments
    EXPECT_EQ(list_text(s.HideAgent), "bot|");
    EXPECT_EQ(s.TopAgents, 5);
    EXPECT_TRUE(s.IgnoreState);
    EXPECT_EQ(s.TopCountries, 7);
    EXPECT_STREQ(s.DNSCache, "dns.db");
    EXPECT_EQ(s.TopEntry, 3);
    EXPECT_EQ(s.TopExit, 4);
    EXPECT_TRUE(s.FoldSeqErr);
    EXPECT_EQ(s.LogType, log_squid);
    EXPECT_EQ(s.GroupDomains, 2);
    EXPECT_FALSE(s.HourlyGraph);
    EXPECT_FALSE(s.HourlyStats);
    EXPECT_TRUE(s.IgnoreHist);
    EXPECT_EQ(list_text(s.IndexAlias), "home.|");
    EXPECT_TRUE(s.GeoDB);
    EXPECT_STREQ(s.GeoDBDatabase, "geo.db");
    EXPECT_EQ(s.GraphMonths, 24);
    EXPECT_EQ(s.IndexMonths, 36);
    EXPECT_EQ(s.GraphLines, 5);
    EXPECT_FALSE(s.GraphLegend);
    EXPECT_EQ(s.VisitTimeout, 60);
    EXPECT_EQ(s.MangleAgents, 3);
    EXPECT_STREQ(s.HostName, "host");
    EXPECT_EQ(s.DNSChildren, 8);
    EXPECT_STREQ(s.OutputDir, "out");
    EXPECT_EQ(list_text(s.OmitPage), "/x|");
    EXPECT_TRUE(s.Incremental);
    EXPECT_EQ(list_text(s.PageType), "php|");
    EXPECT_EQ(list_text(s.HideReferrer), "ref|");
    EXPECT_EQ(s.TopReferrers, 9);
    EXPECT_EQ(list_text(s.HideSite), "site|");
    EXPECT_EQ(s.TopSites, 11);
    EXPECT_STREQ(s.ReportTitle, "Title");
    EXPECT_TRUE(s.TimeMe);
    EXPECT_EQ(list_text(s.HideURL), "/u|");
    EXPECT_EQ(s.TopURLs, 12);
    EXPECT_STREQ(s.HTMLExtension, "htm");
    EXPECT_TRUE(s.HideAllSites);
    EXPECT_FALSE(s.CountryGraph);
    EXPECT_FALSE(s.NormalizeURL);
    EXPECT_STREQ(s.FlagDir, "fl");
    EXPECT_TRUE(s.CountryFlags);
    EXPECT_EQ(s.Verbosity, 2);  // "-Q" after the log name is not an option
}

TEST_F(Config, UnknownOptionsAndMissingArgumentsAreIgnored) {
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    EXPECT_EQ(options({"-y", "-1", "-S", "5", "-F", "w", "-U"}), 8);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(settings.TopSites, 5);
    EXPECT_EQ(settings.LogType, log_w3c);
    EXPECT_EQ(settings.TopURLs, 30);
    EXPECT_EQ(options({}), 1);
    EXPECT_EQ(options({"--", "-S", "6"}), 2);
    EXPECT_EQ(settings.TopSites, 5);
}

TEST_F(Config, ConfigFilesApplyAtTheirPlace) {
    const std::string path = dir.file("five.conf");
    ts::write_file(path, "TopSites 5\nReportTitle From file\n");
    options({"-S", "7", "-c", path, "-t", "From option"});
    EXPECT_EQ(settings.TopSites, 5);
    EXPECT_STREQ(settings.ReportTitle, "From option");
    reset_settings();
    options({"-c", path, "-S", "7"});
    EXPECT_EQ(settings.TopSites, 7);
    EXPECT_STREQ(settings.ReportTitle, "From file");
    reset_settings();
    EXPECT_STREQ(settings.ReportTitle, rpt_default_title);
}

TEST_F(Config, VeryLongOptionArguments) {
    const std::string huge(100000, 'h');
    testing::internal::CaptureStderr();
    options({"-a", huge, "-t", huge, "-S", huge, "-F", huge, "-c", huge});
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("[new_nlist] Warning: String exceeds storage size\n"), std::string::npos);
    EXPECT_NE(err.find("Error: Unable to open configuration file hhh"), std::string::npos);
    EXPECT_EQ(std::string(settings.HideAgent->pattern), huge.substr(0, 131));
    EXPECT_EQ(std::string(settings.ReportTitle), huge);  // option texts are not cut
    EXPECT_EQ(settings.TopSites, 0);
    EXPECT_EQ(settings.LogType, log_clf);
}

// Runs process_options in a child; returns its exit status (0 when the
// options returned) and what it wrote to standard output and error.
struct child_result {
    int status = -1;
    std::string out, err;
};
child_result run_options_in_child(std::vector<std::string> args) {
    args.insert(args.begin(), "corvalist");
    ts::scratch_dir dir;
    const std::string out_path = dir.file("out"), err_path = dir.file("err");
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        reset_settings();
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        process_options(static_cast<int>(args.size()), argv.data());
        std::fflush(nullptr);
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    child_result r;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = ts::read_file(out_path);
    r.err = ts::read_file(err_path);
    return r;
}

TEST(ConfigExit, HelpText) {
    const child_result r = run_options_in_child({"-q", "-h", "-S", "5"});
    EXPECT_EQ(r.status, 1);
    std::string expected = "Usage: corvalist [options] [log file]\n";
    for (const char* const* line = help_lines; *line != nullptr; ++line) expected += std::string(*line) + "\n";
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.out.substr(0, 74),
              "Usage: corvalist [options] [log file]\n-h        = print this help message\n");
}

TEST(ConfigExit, VersionTextAndTheDebugDetails) {
    utsname u;
    ASSERT_EQ(uname(&u), 0);
    const std::string first = std::string("Corvalist V2.23-08 (") + u.sysname + " " + u.release + " " + u.machine +
                              ") Ukrainian\n";
    const std::string details =
        "Mod date: 26-Aug-2013  Options: DNS/GeoDB BZip2 \n"
        "Default GeoDB dir : /usr/local/share/corvageo\n"
        "Default config dir: " + std::string(config_dir) + "\n";
    struct {
        std::vector<std::string> args;
        bool details;
    } cases[] = {
        {{"-V"}, false},
        {{"-d", "-V"}, true},
        {{"-V", "-d"}, false},
        {{"-v", "-V"}, true},
        {{"-dV"}, true},
    };
    for (const auto& c : cases) {
        const child_result r = run_options_in_child(c.args);
        EXPECT_EQ(r.status, 1) << c.args[0];
        ASSERT_EQ(r.out.compare(0, first.size(), first), 0) << r.out;
        // The notice line, then the details, then an empty line.
        const std::size_t notice_end = r.out.find('\n', first.size());
        ASSERT_NE(notice_end, std::string::npos);
        EXPECT_GT(notice_end, first.size()) << "notice line is empty";
        EXPECT_EQ(r.out.substr(notice_end + 1), (c.details ? details : "") + std::string("\n")) << c.args[0];
    }
}

TEST(ConfigExit, LongOptions) {
    // The texts are those of -h and -V, which the tests above check.
    const child_result help = run_options_in_child({"-h"});
    const child_result version = run_options_in_child({"-V"});
    const child_result detailed = run_options_in_child({"-d", "-V"});
    ASSERT_EQ(help.status, 1);
    ASSERT_NE(version.out, detailed.out);
    struct row {
        std::vector<std::string> args;
        int status;  // 0 also when the options returned
        std::string out, err;
    } rows[] = {
        {{"--help"}, 0, help.out, ""},
        {{"--help", "-V"}, 0, help.out, ""},
        {{"--h"}, 0, help.out, ""},  // an unambiguous abbreviation
        {{"--version"}, 0, version.out, ""},
        {{"-d", "--version"}, 0, detailed.out, ""},
        {{"--version", "-d"}, 0, version.out, ""},
        {{"--vers"}, 0, version.out, ""},
        {{"--frob"}, 1, "", "Error: Unknown option --frob\n"},
        {{"-Q", "--frob", "--help"}, 1, "", "Error: Unknown option --frob\n"},
        {{"--help=now"}, 1, "", "Error: Unknown option --help=now\n"},
        {{"--Version"}, 1, "", "Error: Unknown option --Version\n"},
        {{"---"}, 1, "", "Error: Unknown option ---\n"},
        // Not options: an option's argument, what follows "--", what follows
        // the log file name.
        {{"-t", "--version"}, 0, "", ""},
        {{"--", "--version"}, 0, "", ""},
        {{"access.log", "--frob"}, 0, "", ""},
    };
    for (const row& r : rows) {
        std::string shown;
        for (const auto& a : r.args) shown += a + " ";
        const child_result got = run_options_in_child(r.args);
        EXPECT_EQ(got.status, r.status) << shown;
        EXPECT_EQ(got.out, r.out) << shown;
        EXPECT_EQ(got.err, r.err) << shown;
    }
}

// Starts the analyser with args and a standard input that stays open (its
// writing end is held here) and waits at most ten seconds for it to end.
// Returns its exit status, or -1 when it was still running (it is killed).
int status_with_input_held_open(const std::string& dir, const std::vector<std::string>& args) {
    int in[2];
    if (pipe(in) != 0) return -2;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], STDIN_FILENO);
        close(in[0]);
        close(in[1]);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        if (chdir(dir.c_str()) != 0) _exit(127);
        setenv("LC_ALL", "C", 1);
        const std::string program = ts::analyser_binary();
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(in[0]);
    int status = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    pid_t done = 0;
    while ((done = waitpid(pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < until)
        poll(nullptr, 0, 20);
    if (done == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    close(in[1]);
    if (done == 0) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(ConfigExit, LongOptionsEndBeforeAnyInputIsRead) {
    ts::scratch_dir dir;
    // --version used to be taken as -v -e rsion and then read standard input.
    EXPECT_EQ(status_with_input_held_open(dir.path, {"--version"}), 0);
    EXPECT_EQ(status_with_input_held_open(dir.path, {"-v", "--version"}), 0);
    EXPECT_EQ(status_with_input_held_open(dir.path, {"--help"}), 0);
    EXPECT_EQ(status_with_input_held_open(dir.path, {"--verbose"}), 1);
    EXPECT_EQ(status_with_input_held_open(dir.path, {"-p", "--frob", "-"}), 1);
    EXPECT_TRUE(std::filesystem::is_empty(dir.path));
    // The texts reach a full disk as failures.
    ts::run_result full = ts::run_program(dir.path, {"-c", "exec \"$0\" --help >/dev/full", ts::analyser_binary()}, "",
                                          "/bin/sh");
    EXPECT_EQ(full.status, 1);
}

}  // namespace
