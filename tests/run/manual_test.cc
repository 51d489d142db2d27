// The manual page corvalist(1) against the program: every option of the help
// text and of the option letters, every keyword in the sample's groups, and
// the README's exit statuses.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "run/config.h"
#include "test_support.h"

namespace ts = testing_support;

namespace {

std::string source_path(const std::string& name) { return std::string(CORVALIST_TEST_DATA) + "/../../" + name; }
// The page as the build configured it (with this build's directories).
std::string manual() { return ts::read_file(std::string(CORVALIST_TOOLS_DIR) + "/doc/corvalist.1"); }

// The text of one section (".SH NAME" up to the next ".SH").
std::string section(const std::string& page, const std::string& name) {
    const std::size_t at = page.find("\n.SH " + name + "\n");
    if (at == std::string::npos) return "";
    const std::size_t end = page.find("\n.SH ", at + 1);
    return page.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

// Options described by a tagged paragraph: ".TP" then ".B \-x" or ".BI \-x ...".
std::set<std::string> described_options(const std::string& options) {
    std::set<std::string> found;
    static const std::regex entry(R"(\n\.TP\n\.BI? \\-(\\-[a-z]+|[A-Za-z])[ \n])");
    for (std::sregex_iterator m(options.begin(), options.end(), entry), end; m != end; ++m) {
        std::string name = (*m)[1];
        if (name.rfind("\\-", 0) == 0) name = "-" + name.substr(2);
        found.insert("-" + name);
    }
    return found;
}

TEST(Manual, DescribesEveryOption) {
    const std::set<std::string> described = described_options(section(manual(), "OPTIONS"));
    ASSERT_FALSE(described.empty());

    // Every option the help text names, long ones included.
    ts::scratch_dir dir;
    const auto help = ts::run_program(dir.path, {"-h"});
    static const std::regex help_option(R"((?:^|\n)(-[A-Za-z])\s)");
    static const std::regex long_option(R"((--[a-z][a-z-]*))");
    int named = 0;
    for (std::sregex_iterator m(help.out.begin(), help.out.end(), help_option), end; m != end; ++m, ++named)
        EXPECT_TRUE(described.count((*m)[1])) << (*m)[1] << " of the help text";
    for (std::sregex_iterator m(help.out.begin(), help.out.end(), long_option), end; m != end; ++m)
        EXPECT_TRUE(described.count((*m)[1])) << (*m)[1] << " of the help text";
    EXPECT_GT(named, 40);

    // And the letters the program accepts without naming them in its help.
    const std::string source = ts::read_file(source_path("src/run/config.cc"));
    std::smatch letters;
    ASSERT_TRUE(std::regex_search(source, letters, std::regex(R"(option_string =\s*"\+?([^"]+)\")")));
    for (char c : letters[1].str()) {
        if (c != ':') EXPECT_TRUE(described.count(std::string("-") + c)) << "-" << c << " of the option letters";
    }
    for (const char* long_name : {"--help", "--version"}) EXPECT_TRUE(described.count(long_name)) << long_name;
}

// The keyword section follows the sample configuration group by group.
TEST(Manual, DescribesEveryKeywordInTheSamplesGroups) {
    const std::string keywords = section(manual(), "CONFIGURATION KEYWORDS");
    std::vector<std::string> in_manual, in_sample;
    static const std::regex subsection(R"re(^\.SS "(.+)"$)re");
    static const std::regex tagged(R"(^\.B ([A-Za-z0-9]+)$)");
    std::istringstream page(keywords);
    std::string line;
    while (std::getline(page, line)) {
        std::smatch m;
        if (std::regex_match(line, m, subsection)) in_manual.push_back("== " + m[1].str());
        if (std::regex_match(line, m, tagged)) in_manual.push_back(m[1]);
    }
    std::ifstream sample(source_path("doc/uk-corvalist.conf.sample"));
    static const std::regex sample_section(R"(^# ===== (.+) =====$)");
    static const std::regex sample_keyword(R"(^#([A-Za-z0-9]+)[ \t]+\S.*$)");
    while (std::getline(sample, line)) {
        std::smatch m;
        if (std::regex_match(line, m, sample_section)) in_sample.push_back("== " + m[1].str());
        if (std::regex_match(line, m, sample_keyword)) in_sample.push_back(m[1]);
    }
    EXPECT_EQ(in_manual, in_sample);
    std::set<std::string> listed(in_manual.begin(), in_manual.end());
    for (std::size_t row = 1; row < keyword_rows; ++row)
        EXPECT_TRUE(listed.count(keyword_table[row].name)) << keyword_table[row].name;
}

// The statuses of the README's exit-status table are the manual's.
TEST(Manual, ExitStatusesAgreeWithTheReadme) {
    std::set<std::string> readme, page;
    std::ifstream in(source_path("README.md"));
    std::string line;
    bool inside = false;
    static const std::regex row(R"(^\| ([0-9]+) \| .+ \|$)");
    while (std::getline(in, line)) {
        if (line.rfind("#", 0) == 0) inside = line == "### Exit statuses";
        std::smatch m;
        if (inside && std::regex_match(line, m, row)) readme.insert(m[1]);
    }
    const std::string statuses = section(manual(), "EXIT STATUS");
    static const std::regex tagged(R"(\n\.TP\n\.B ([0-9]+)\n)");
    for (std::sregex_iterator m(statuses.begin(), statuses.end(), tagged), end; m != end; ++m) page.insert((*m)[1]);
    EXPECT_FALSE(readme.empty());
    EXPECT_EQ(page, readme);
}

}  // namespace
