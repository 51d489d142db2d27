// The sample configuration (doc/uk-corvalist.conf.sample) against the keyword
// table: every keyword exactly once, each with an explanation and a default
// that is the program's own, grouped as the README groups them.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "run/config.h"
#include "run/settings.h"
#include "test_support.h"

namespace ts = testing_support;

namespace {

std::string source_path(const char* name) { return std::string(CORVALIST_TEST_DATA) + "/../../" + name; }

struct sample_entry {
    std::string section;
    std::string keyword;
    std::string value;    // the commented-out line's value
    std::string claimed;  // the explanation's "Default: ..." text, without its final "."
    int line = 0;
};

struct sample {
    std::vector<std::string> sections;  // in file order
    std::vector<sample_entry> entries;
    std::vector<std::string> problems;
};

sample read_sample() {
    sample s;
    std::ifstream in(source_path("doc/uk-corvalist.conf.sample"));
    static const std::regex section_line(R"(^# ===== (.+) =====$)");
    static const std::regex keyword_line(R"(^#([A-Za-z0-9]+)[ \t]+(\S.*)$)");
    std::string line, previous, section;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        std::smatch m;
        if (std::regex_match(line, m, section_line)) {
            section = m[1];
            s.sections.push_back(section);
        } else if (std::regex_match(line, m, keyword_line)) {
            sample_entry e{section, m[1], m[2], "", number};
            const std::size_t at = previous.find("Default: ");
            if (previous.rfind("# ", 0) != 0 || at == std::string::npos || previous.back() != '.')
                s.problems.push_back("line " + std::to_string(number) + ": no explanation with its default above " +
                                     e.keyword);
            else
                e.claimed = previous.substr(at + 9, previous.size() - at - 10);
            if (section.empty()) s.problems.push_back(e.keyword + " outside every section");
            s.entries.push_back(e);
        }
        previous = line;
    }
    return s;
}

TEST(SampleConfig, ListsEveryKeywordOfTheTableOnce) {
    const sample s = read_sample();
    for (const std::string& p : s.problems) ADD_FAILURE() << p;
    std::map<std::string, int> seen;
    for (const sample_entry& e : s.entries) seen[e.keyword] += 1;
    std::set<std::string> table;
    for (std::size_t row = 1; row < keyword_rows; ++row) {
        const std::string name = keyword_table[row].name;
        table.insert(name);
        EXPECT_EQ(seen[name], 1) << name;
    }
    for (const auto& [name, count] : seen) EXPECT_TRUE(table.count(name)) << name << " is no keyword";
    EXPECT_EQ(s.entries.size(), 120u);
    EXPECT_EQ(table.size(), 120u);
}

// The pristine value of a row's setting equals the one in settings; false for
// rows without a plain setting of their own.
bool same_setting(const keyword_row& row, const settings_rec& a, const settings_rec& b) {
    switch (row.kind) {
        case kw_number: return a.*row.number == b.*row.number;
        case kw_yes:
        case kw_not_no: return a.*row.flag == b.*row.flag;
        case kw_colour: return std::strcmp(a.*row.colour, b.*row.colour) == 0;
        case kw_text: return std::strcmp(a.*row.text, b.*row.text) == 0;
        case kw_quiet:
        case kw_really_quiet: return a.Verbosity == b.Verbosity;
        case kw_log_type: return a.LogType == b.LogType;
        default: return false;
    }
}

bool printable_ascii(const char* text) {
    for (; *text != '\0'; ++text)
        if (*text < ' ' || *text > '~') return false;
    return true;
}

// Where a line shows the default, uncommenting it must leave every setting as
// it was; where the explanation says "none", the setting starts unset.
TEST(SampleConfig, DefaultsShownAreTheProgramsDefaults) {
    const sample s = read_sample();
    const settings_rec pristine{};
    ts::scratch_dir dir;
    for (const sample_entry& e : s.entries) {
        const int row_number = find_keyword(e.keyword.c_str());
        ASSERT_GT(row_number, 0) << e.keyword;
        const keyword_row& row = keyword_table[row_number];
        const bool plain_default = row.kind == kw_number || row.kind == kw_yes || row.kind == kw_not_no ||
                                   row.kind == kw_colour || row.kind == kw_quiet || row.kind == kw_really_quiet ||
                                   row.kind == kw_log_type ||
                                   (row.kind == kw_text && pristine.*row.text != nullptr &&
                                    printable_ascii(pristine.*row.text));
        if (plain_default) {
            EXPECT_EQ(e.value, e.claimed) << "line " << e.line << ": " << e.keyword << " shows no default";
            reset_settings();
            ts::write_file(dir.file("one.conf"), e.keyword + " " + e.value + "\n");
            ASSERT_EQ(read_config(dir.file("one.conf").c_str()), config_ok);
            EXPECT_TRUE(same_setting(row, settings, pristine))
                << "line " << e.line << ": " << e.keyword << " " << e.value << " is not the default";
        } else if (e.claimed.rfind("none", 0) == 0) {
            const bool unset = (row.text != nullptr && pristine.*row.text == nullptr) ||
                               (row.list != nullptr && pristine.*row.list == nullptr) ||
                               (row.group != nullptr && pristine.*row.group == nullptr) ||
                               row.kind == kw_unsupported;
            EXPECT_TRUE(unset) << "line " << e.line << ": " << e.keyword << " has a default";
        }
    }
    reset_settings();
}

// README.md: "| Group | `Keyword`, `Keyword` |" rows under "#### Keywords by group".
TEST(SampleConfig, GroupedAsTheReadme) {
    std::ifstream in(source_path("README.md"));
    std::vector<std::pair<std::string, std::vector<std::string>>> readme;
    std::string line;
    bool inside = false;
    static const std::regex row(R"(^\| ([^|`]+?) \| (`.*`) \|$)");
    static const std::regex word("`([A-Za-z0-9]+)`");
    while (std::getline(in, line)) {
        if (line.rfind("#", 0) == 0) inside = line == "#### Keywords by group";
        std::smatch m;
        if (!inside || !std::regex_match(line, m, row)) continue;
        std::vector<std::string> words;
        const std::string list = m[2];
        for (std::sregex_iterator w(list.begin(), list.end(), word), end; w != end; ++w) words.push_back((*w)[1]);
        readme.emplace_back(m[1], words);
    }
    const sample s = read_sample();
    std::vector<std::pair<std::string, std::vector<std::string>>> grouped;
    for (const std::string& section : s.sections) {
        grouped.emplace_back(section, std::vector<std::string>{});
        for (const sample_entry& e : s.entries)
            if (e.section == section) grouped.back().second.push_back(e.keyword);
    }
    ASSERT_FALSE(readme.empty()) << "no keyword groups in README.md";
    EXPECT_EQ(readme, grouped);
}

}  // namespace
