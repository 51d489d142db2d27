// Configuration reader and command-line options. See run/config.h.
#include "run/config.h"

#include <getopt.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "lang/lang.h"
#include "run/install_dirs.h"
#include "run/version.h"

namespace {

using S = settings_rec;

constexpr keyword_row text_row(const char* name, const char* S::*m, keyword_kind kind = kw_text) {
    return {name, kind, m, nullptr, nullptr, nullptr, nullptr, nullptr};
}
constexpr keyword_row number_row(const char* name, int S::*m) {
    return {name, kw_number, nullptr, m, nullptr, nullptr, nullptr, nullptr};
}
constexpr keyword_row yes_row(const char* name, bool S::*m) {
    return {name, kw_yes, nullptr, nullptr, m, nullptr, nullptr, nullptr};
}
constexpr keyword_row not_no_row(const char* name, bool S::*m) {
    return {name, kw_not_no, nullptr, nullptr, m, nullptr, nullptr, nullptr};
}
constexpr keyword_row list_row(const char* name, nlist* S::*m) {
    return {name, kw_list, nullptr, nullptr, nullptr, m, nullptr, nullptr};
}
constexpr keyword_row group_row(const char* name, glist* S::*m) {
    return {name, kw_group, nullptr, nullptr, nullptr, nullptr, m, nullptr};
}
constexpr keyword_row colour_row(const char* name, char (S::*m)[8]) {
    return {name, kw_colour, nullptr, nullptr, nullptr, nullptr, nullptr, m};
}
constexpr keyword_row special_row(const char* name, keyword_kind kind) {
    return {name, kind, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
}

}  // namespace

// The order is the matching order: an abbreviation selects the first row it begins.
const keyword_row keyword_table[keyword_rows] = {
    special_row("Undefined", kw_placeholder),
    text_row("OutputDir", &S::OutputDir),
    text_row("LogFile", &S::LogFile),
    text_row("ReportTitle", &S::ReportTitle),
    text_row("HostName", &S::HostName),
    yes_row("IgnoreHist", &S::IgnoreHist),
    special_row("Quiet", kw_quiet),
    not_no_row("TimeMe", &S::TimeMe),
    yes_row("Debug", &S::Debug),
    not_no_row("HourlyGraph", &S::HourlyGraph),
    not_no_row("HourlyStats", &S::HourlyStats),
    number_row("TopSites", &S::TopSites),
    number_row("TopURLs", &S::TopURLs),
    number_row("TopReferrers", &S::TopReferrers),
    number_row("TopAgents", &S::TopAgents),
    number_row("TopCountries", &S::TopCountries),
    list_row("HideSite", &S::HideSite),
    list_row("HideURL", &S::HideURL),
    list_row("HideReferrer", &S::HideReferrer),
    list_row("HideAgent", &S::HideAgent),
    list_row("IndexAlias", &S::IndexAlias),
    list_row("HTMLHead", &S::HTMLHead),
    list_row("HTMLPost", &S::HTMLPost),
    list_row("HTMLTail", &S::HTMLTail),
    number_row("MangleAgents", &S::MangleAgents),
    list_row("IgnoreSite", &S::IgnoreSite),
    list_row("IgnoreURL", &S::IgnoreURL),
    list_row("IgnoreReferrer", &S::IgnoreReferrer),
    list_row("IgnoreAgent", &S::IgnoreAgent),
    special_row("ReallyQuiet", kw_really_quiet),
    yes_row("GMTTime", &S::GMTTime),
    group_row("GroupURL", &S::GroupURL),
    group_row("GroupSite", &S::GroupSite),
    group_row("GroupReferrer", &S::GroupReferrer),
    group_row("GroupAgent", &S::GroupAgent),
    not_no_row("GroupShading", &S::GroupShading),
    not_no_row("GroupHighlight", &S::GroupHighlight),
    yes_row("Incremental", &S::Incremental),
    text_row("IncrementalName", &S::IncrementalName),
    text_row("HistoryName", &S::HistoryName),
    text_row("HTMLExtension", &S::HTMLExtension),
    list_row("HTMLPre", &S::HTMLPre),
    list_row("HTMLBody", &S::HTMLBody),
    list_row("HTMLEnd", &S::HTMLEnd),
    yes_row("UseHTTPS", &S::UseHTTPS),
    list_row("IncludeSite", &S::IncludeSite),
    list_row("IncludeURL", &S::IncludeURL),
    list_row("IncludeReferrer", &S::IncludeReferrer),
    list_row("IncludeAgent", &S::IncludeAgent),
    list_row("PageType", &S::PageType),
    number_row("VisitTimeout", &S::VisitTimeout),
    not_no_row("GraphLegend", &S::GraphLegend),
    number_row("GraphLines", &S::GraphLines),
    yes_row("FoldSeqErr", &S::FoldSeqErr),
    not_no_row("CountryGraph", &S::CountryGraph),
    number_row("TopKSites", &S::TopKSites),
    number_row("TopKURLs", &S::TopKURLs),
    number_row("TopEntry", &S::TopEntry),
    number_row("TopExit", &S::TopExit),
    number_row("TopSearch", &S::TopSearch),
    special_row("LogType", kw_log_type),
    group_row("SearchEngine", &S::SearchEngine),
    number_row("GroupDomains", &S::GroupDomains),
    yes_row("HideAllSites", &S::HideAllSites),
    yes_row("AllSites", &S::AllSites),
    yes_row("AllURLs", &S::AllURLs),
    yes_row("AllReferrers", &S::AllReferrers),
    yes_row("AllAgents", &S::AllAgents),
    yes_row("AllSearchStr", &S::AllSearchStr),
    yes_row("AllUsers", &S::AllUsers),
    number_row("TopUsers", &S::TopUsers),
    list_row("HideUser", &S::HideUser),
    list_row("IgnoreUser", &S::IgnoreUser),
    list_row("IncludeUser", &S::IncludeUser),
    group_row("GroupUser", &S::GroupUser),
    text_row("DumpPath", &S::DumpPath),
    text_row("DumpExtension", &S::DumpExtension),
    yes_row("DumpHeader", &S::DumpHeader),
    yes_row("DumpSites", &S::DumpSites),
    yes_row("DumpURLs", &S::DumpURLs),
    yes_row("DumpReferrers", &S::DumpReferrers),
    yes_row("DumpAgents", &S::DumpAgents),
    yes_row("DumpUsers", &S::DumpUsers),
    yes_row("DumpSearchStr", &S::DumpSearchStr),
    text_row("DNSCache", &S::DNSCache),
    number_row("DNSChildren", &S::DNSChildren),
    not_no_row("DailyGraph", &S::DailyGraph),
    not_no_row("DailyStats", &S::DailyStats),
    yes_row("LinkReferrer", &S::LinkReferrer),
    list_row("PagePrefix", &S::PagePrefix),
    colour_row("ColorHit", &S::ColorHit),
    colour_row("ColorFile", &S::ColorFile),
    colour_row("ColorSite", &S::ColorSite),
    colour_row("ColorKbyte", &S::ColorKbyte),
    colour_row("ColorPage", &S::ColorPage),
    colour_row("ColorVisit", &S::ColorVisit),
    colour_row("ColorMisc", &S::ColorMisc),
    colour_row("PieColor1", &S::PieColor1),
    colour_row("PieColor2", &S::PieColor2),
    colour_row("PieColor3", &S::PieColor3),
    colour_row("PieColor4", &S::PieColor4),
    yes_row("CacheIPs", &S::CacheIPs),
    number_row("CacheTTL", &S::CacheTTL),
    yes_row("GeoDB", &S::GeoDB),
    text_row("GeoDBDatabase", &S::GeoDBDatabase),
    not_no_row("StripCGI", &S::StripCGI),
    number_row("TrimSquidURL", &S::TrimSquidURL),
    list_row("OmitPage", &S::OmitPage),
    yes_row("HTAccess", &S::HTAccess),
    yes_row("IgnoreState", &S::IgnoreState),
    not_no_row("DefaultIndex", &S::DefaultIndex),
    special_row("GeoIP", kw_unsupported),
    special_row("GeoIPDatabase", kw_unsupported),
    not_no_row("NormalizeURL", &S::NormalizeURL),
    number_row("IndexMonths", &S::IndexMonths),
    number_row("GraphMonths", &S::GraphMonths),
    not_no_row("YearHeaders", &S::YearHeaders),
    not_no_row("YearTotals", &S::YearTotals),
    yes_row("CountryFlags", &S::CountryFlags),
    text_row("FlagDir", &S::FlagDir, kw_flag_dir),
    not_no_row("SearchCaseI", &S::SearchCaseI),
};

namespace {

constexpr const char* default_geodb_dir = "/usr/local/share/corvageo";
constexpr const char* default_config_dir = config_dir;
// Words for the features built in; "none" is printed when the list is empty.
constexpr const char* build_features[] = {"DNS/GeoDB", "BZip2"};
constexpr const char* version_notice =
    "Corvalist comes with no warranty; it is free software you may share and change.";

// The option letters; a colon marks an option that takes an argument. The
// leading "+" stops option processing at the first argument that is not an
// option instead of searching the rest of the command line.
constexpr const char* option_string =
    "+a:A:bc:C:dD:e:E:fF:g:GhHiI:jJ:k:K:l:Lm:M:n:N:o:O:pP:qQr:R:s:S:t:Tu:U:vVwW:x:XYz:Z";

// The two long options, as GNU programs have them (unambiguous
// abbreviations such as --vers are taken too). Their codes lie above every
// option letter: a long option written with a value ("--help=x") comes back
// as an error with its code, an unknown one with code 0.
enum long_option_code : int { opt_help = 0x100, opt_version = 0x101 };
constexpr option long_options[] = {
    {"help", no_argument, nullptr, opt_help},
    {"version", no_argument, nullptr, opt_version},
    {nullptr, 0, nullptr, 0},
};

// The end of --help and --version: status 0 once the text is out, 1 when it
// could not be written (a full disk, a closed pipe).
[[noreturn]] void exit_after_text() {
    const bool written = std::fflush(stdout) == 0 && std::ferror(stdout) == 0;
    std::exit(written ? 0 : 1);
}

// Every text copy handed to the settings record, kept reachable so that a
// replaced value is still owned by someone and can be freed on reset.
struct owned_text {
    owned_text* next;
    char text[1];
};
owned_text* owned_texts = nullptr;

bool is_space(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }
char lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

// Leading decimal integer after optional white space and sign; no digits give
// 0; values beyond the int range stop at its ends.
int read_number(const char* text) {
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

log_type log_type_of(const char* value) {
    switch (lower(value[0])) {
        case 'f': return log_ftp;
        case 's': return log_squid;
        case 'w': return log_w3c;
        default: return log_clf;
    }
}

void set_text(const char* S::*field, const char* value) {
    // A failed copy leaves the setting unset.
    settings.*field = copy_setting_text(value);
}

// Applies one value to the row's setting; returns false for the rows that are
// to be reported as invalid keywords.
bool apply_keyword(const keyword_row& row, const char* value) {
    settings_rec& s = settings;
    const char first = lower(value[0]);
    switch (row.kind) {
        case kw_placeholder:
        case kw_unsupported: return false;
        case kw_text: set_text(row.text, value); break;
        case kw_number: s.*row.number = read_number(value); break;
        case kw_yes: s.*row.flag = first == 'y'; break;
        case kw_not_no: s.*row.flag = first != 'n'; break;
        case kw_list: append_nlist(value, &(s.*row.list)); break;
        case kw_group: append_glist(value, &(s.*row.group)); break;
        case kw_colour: {
            // The "#" stays; a shorter value ends the colour early.
            char* colour = s.*row.colour;
            std::size_t n = 0;
            while (n < 6 && value[n] != '\0') {
                colour[1 + n] = value[n];
                ++n;
            }
            colour[1 + n] = '\0';
            break;
        }
        case kw_quiet: s.Verbosity = first == 'y' ? 1 : 2; break;
        case kw_really_quiet:
            if (first == 'y') s.Verbosity = 0;
            break;
        case kw_log_type: s.LogType = log_type_of(value); break;
        case kw_flag_dir:
            set_text(row.text, value);
            s.CountryFlags = true;
            break;
    }
    return true;
}

// One line (or one piece of an over-long line) of a configuration file.
void config_line(const char* line, const char* path) {
    if (line[0] == '#' || line[0] == '\0' || is_space(line[0])) return;

    char keyword[keyword_limit + 1];
    std::size_t k = 0;
    while (k < keyword_limit && std::isalnum(static_cast<unsigned char>(line[k]))) {
        keyword[k] = line[k];
        ++k;
    }
    keyword[k] = '\0';

    const char* p = line + k;
    while (*p != '\0' && *p != '\n' && is_space(*p)) ++p;
    char value[config_value_limit + 1];
    std::size_t v = 0;
    while (v < config_value_limit && p[v] != '\0' && p[v] != '\n') {
        value[v] = p[v];
        ++v;
    }
    while (v > 0 && is_space(value[v - 1])) --v;  // a carriage return included
    value[v] = '\0';

    if (k == 0 || v == 0) return;
    const int row = find_keyword(keyword);
    if (row == 0 || !apply_keyword(keyword_table[row], value))
        std::printf("%s '%s' (%s)\n", con_bad_keyword, keyword, path);
}

}  // namespace

int find_keyword(const char* word) {
    const std::size_t n = std::strlen(word);
    if (n == 0) return 0;
    for (std::size_t row = 0; row < keyword_rows; ++row)
        if (strncasecmp(word, keyword_table[row].name, n) == 0) return static_cast<int>(row);
    return 0;
}

int read_config(const char* path) {
    std::FILE* f = std::fopen(path, "r");
    if (f == nullptr) {
        if (settings.Verbosity != 0) std::fprintf(stderr, "%s %s\n", con_config_open_error, path);
        return config_open_error;
    }
    char line[config_line_size];
    while (std::fgets(line, sizeof line, f) != nullptr) config_line(line, path);
    std::fclose(f);
    return config_ok;
}

const char* copy_setting_text(const char* text) {
    const std::size_t n = std::strlen(text);
    auto* t = static_cast<owned_text*>(std::malloc(sizeof(owned_text) + n));
    if (t == nullptr) return nullptr;
    std::memcpy(t->text, text, n + 1);
    t->next = owned_texts;
    owned_texts = t;
    return t->text;
}

void release_setting_texts() {
    while (owned_texts != nullptr) {
        owned_text* next = owned_texts->next;
        std::free(owned_texts);
        owned_texts = next;
    }
}

void print_help(std::FILE* out, const char* program_name) {
    std::fprintf(out, "%s: %s %s\n", help_usage, program_name, help_args);
    for (const char* const* line = help_lines; *line != nullptr; ++line) std::fprintf(out, "%s\n", *line);
}

void print_version_line(std::FILE* out) {
    utsname machine;
    const bool known = uname(&machine) == 0;
    std::fprintf(out, "Corvalist V%s-%s (%s %s %s) %s\n", version_text, edition_text,
                 known ? machine.sysname : "", known ? machine.release : "", known ? machine.machine : "",
                 lang_name);
}

void print_version(std::FILE* out) {
    print_version_line(out);
    std::fprintf(out, "%s\n", version_notice);
    if (settings.Debug) {
        std::fprintf(out, "Mod date: %s  Options: ", mod_date_text);
        for (const char* word : build_features) std::fprintf(out, "%s ", word);
        if (std::size(build_features) == 0) std::fprintf(out, "none ");
        std::fprintf(out, "\n");
        std::fprintf(out, "Default GeoDB dir : %s\n", default_geodb_dir);
        std::fprintf(out, "Default config dir: %s\n", default_config_dir);
    }
    std::fprintf(out, "\n");
}

int process_options(int argc, char** argv) {
    settings_rec& s = settings;
    opterr = 0;
    optind = 0;  // a fresh scan, also when called more than once in one process
    int c;
    while ((c = getopt_long(argc, argv, option_string, long_options, nullptr)) != -1) {
        const char* arg = optarg;
        switch (c) {
            case opt_help:
                print_help(stdout, argv[0]);
                exit_after_text();
            case opt_version:
                print_version(stdout);
                exit_after_text();
            case '?':
                // An unknown letter or a missing argument is ignored; a long
                // option that is not one of ours ends the run before any
                // input is read (it used to be taken for a group of letters:
                // --version as -v -e rsion).
                if (optopt == 0 || optopt >= opt_help) {
                    std::fprintf(stderr, "%s %s\n", con_unknown_option, argv[optind - 1]);
                    std::exit(1);
                }
                break;
            case 'a': append_nlist(arg, &s.HideAgent); break;
            case 'A': s.TopAgents = read_number(arg); break;
            case 'b': s.IgnoreState = true; break;
            case 'c': read_config(arg); break;
            case 'C': s.TopCountries = read_number(arg); break;
            case 'd': s.Debug = true; break;
            case 'D': set_text(&S::DNSCache, arg); break;
            case 'e': s.TopEntry = read_number(arg); break;
            case 'E': s.TopExit = read_number(arg); break;
            case 'f': s.FoldSeqErr = true; break;
            case 'F': s.LogType = log_type_of(arg); break;
            case 'g': s.GroupDomains = read_number(arg); break;
            case 'G': s.HourlyGraph = false; break;
            case 'h':
                print_help(stdout, argv[0]);
                std::exit(1);
            case 'H': s.HourlyStats = false; break;
            case 'i': s.IgnoreHist = true; break;
            case 'I': append_nlist(arg, &s.IndexAlias); break;
            case 'j': s.GeoDB = true; break;
            case 'J': set_text(&S::GeoDBDatabase, arg); break;
            case 'k': s.GraphMonths = read_number(arg); break;
            case 'K': s.IndexMonths = read_number(arg); break;
            case 'l': s.GraphLines = read_number(arg); break;
            case 'L': s.GraphLegend = false; break;
            case 'm': s.VisitTimeout = read_number(arg); break;
            case 'M': s.MangleAgents = read_number(arg); break;
            case 'n': set_text(&S::HostName, arg); break;
            case 'N': s.DNSChildren = read_number(arg); break;
            case 'o': set_text(&S::OutputDir, arg); break;
            case 'O': append_nlist(arg, &s.OmitPage); break;
            case 'p': s.Incremental = true; break;
            case 'P': append_nlist(arg, &s.PageType); break;
            case 'q': s.Verbosity = 1; break;
            case 'Q': s.Verbosity = 0; break;
            case 'r': append_nlist(arg, &s.HideReferrer); break;
            case 'R': s.TopReferrers = read_number(arg); break;
            case 's': append_nlist(arg, &s.HideSite); break;
            case 'S': s.TopSites = read_number(arg); break;
            case 't': set_text(&S::ReportTitle, arg); break;
            case 'T': s.TimeMe = true; break;
            case 'u': append_nlist(arg, &s.HideURL); break;
            case 'U': s.TopURLs = read_number(arg); break;
            case 'v':
                s.Verbosity = 2;
                s.Debug = true;
                break;
            case 'V':
                print_version(stdout);
                std::exit(1);
            case 'w': break;
            case 'W': break;
            case 'x': set_text(&S::HTMLExtension, arg); break;
            case 'X': s.HideAllSites = true; break;
            case 'Y': s.CountryGraph = false; break;
            case 'z':
                set_text(&S::FlagDir, arg);
                s.CountryFlags = true;
                break;
            case 'Z': s.NormalizeURL = false; break;
            default: break;  // unknown option or missing argument: ignored
        }
    }
    return optind;
}
