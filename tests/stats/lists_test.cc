// Pattern lists: append order, group-line splitting, the wildcard matcher and
// the page test.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "run/settings.h"
#include "stats/lists.h"

namespace {

class Lists : public ::testing::Test {
protected:
    void SetUp() override { reset_settings(); }
    void TearDown() override { reset_settings(); }
};

bool matches(const char* pattern, const char* name) {
    nlist* list = nullptr;
    EXPECT_EQ(append_nlist(pattern, &list), list_ok);
    const bool hit = list_match(list, name) != nullptr;
    std::free(list);
    return hit;
}

TEST_F(Lists, Matcher) {
    struct {
        const char* pattern;
        const char* name;
        bool match;
    } cases[] = {
        // leading "*": backward scan; the name's first character is never compared
        {"*.gif", "x.gif", true},
        {"*.gif", "dir/a.gif", true},
        {"*.gif", ".gif", false},
        {"*.gif", "gif", false},
        {"*.gif", "x.GIF", false},
        {"*.gif", "x.gifs", false},
        {"*", "", true},
        {"*", "anything", true},
        {"*html*", "index.php", true},
        {"*html*", "", true},
        {"*a*b", "zzzb", true},  // the inner "*" is met before any mismatch
        {"*abc", "", false},
        {"*c", "c", false},
        // trailing "*": prefix test
        {"abc*", "abc", true},
        {"abc*", "abcdef", true},
        {"abc*", "ab", false},
        {"abc*", "", false},
        {"abc*", "xabc", false},
        {"/cgi-bin/*", "/cgi-bin/x.pl", true},
        {"/cgi-bin/*", "/cgi/x", false},
        {"a*c*", "abbb", true},  // the first "*" ends the comparison
        // otherwise a substring; "*" inside is an ordinary character
        {"images", "/pub/images/x.png", true},
        {"Images", "/pub/images/x.png", false},
        {"a*b", "xa*by", true},
        {"a*b", "xaqby", false},
        {"abc", "", false},
        {"abc", "ab", false},
        // empty pattern
        {"", "anything", true},
        {"", "", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(matches(c.pattern, c.name), c.match) << '"' << c.pattern << "\" vs \"" << c.name << '"';
}

TEST_F(Lists, FirstMatchInAppendOrder) {
    glist* groups = nullptr;
    ASSERT_EQ(append_glist("/a/* first", &groups), list_ok);
    ASSERT_EQ(append_glist("/a/b/* second", &groups), list_ok);
    EXPECT_STREQ(group_match(groups, "/a/b/c"), "first");
    EXPECT_STREQ(group_match(groups, "/a/x"), "first");
    EXPECT_EQ(group_match(groups, "/b/a/"), nullptr);
    EXPECT_EQ(group_match(nullptr, "/a/b"), nullptr);

    nlist* names = nullptr;
    for (const char* p : {"one", "two", "three"}) ASSERT_EQ(append_nlist(p, &names), list_ok);
    ASSERT_NE(names, nullptr);
    EXPECT_STREQ(names->pattern, "one");
    EXPECT_STREQ(names->next->pattern, "two");
    EXPECT_STREQ(names->next->next->pattern, "three");
    EXPECT_EQ(names->next->next->next, nullptr);
    EXPECT_EQ(list_match(names, "a two b"), names->next);
    EXPECT_EQ(list_match(nullptr, "x"), nullptr);
    settings.HideSite = names;  // freed by the reset
    settings.GroupURL = groups;
}

TEST_F(Lists, GroupLineSplitting) {
    struct {
        const char* line;
        const char* pattern;
        const char* label;
    } cases[] = {
        {"finder   query=", "finder", "query="},
        {"finder\tquery=", "finder", "query="},
        {"word", "word", "word"},
        {"word   ", "word", "word"},
        {"*.example.com Example Sites", "*.example.com", "Example Sites"},
        {"\"my host\" Label x", "my host", "Label x"},
        {"'my host'   Label", "my host", "Label"},
        {"'my host'", "my host", "my host"},
        {"'my host'Label", "my host", "Label"},
        {"\"it's\" x", "it's", "x"},
        {"\"unclosed quote", "unclosed quote", "unclosed quote"},
        {"\"\" empty", "", "empty"},
    };
    for (const auto& c : cases) {
        glist* list = nullptr;
        ASSERT_EQ(append_glist(c.line, &list), list_ok) << c.line;
        EXPECT_STREQ(list->pattern, c.pattern) << c.line;
        EXPECT_STREQ(list->label, c.label) << c.line;
        std::free(list);
    }
}

TEST_F(Lists, LongTextsAreCutTo131) {
    const std::string long_text(200, 'x');
    nlist* list = nullptr;
    testing::internal::CaptureStderr();
    ASSERT_EQ(append_nlist(long_text.c_str(), &list), list_ok);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[new_nlist] Warning: String exceeds storage size\n");
    EXPECT_EQ(std::string(list->pattern), long_text.substr(0, 131));

    settings.Verbosity = 0;
    testing::internal::CaptureStderr();
    ASSERT_EQ(append_nlist(long_text.c_str(), &list), list_ok);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    settings.HideURL = list;

    // 131 characters fit exactly and give no warning.
    settings.Verbosity = 2;
    nlist* fits = nullptr;
    testing::internal::CaptureStderr();
    ASSERT_EQ(append_nlist(long_text.substr(0, 131).c_str(), &fits), list_ok);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(std::string(fits->pattern), long_text.substr(0, 131));
    settings.HideAgent = fits;

    // A group line is cut to 131 characters before it is split.
    glist* groups = nullptr;
    const std::string line = std::string(100, 'p') + " " + std::string(100, 'l');
    ASSERT_EQ(append_glist(line.c_str(), &groups), list_ok);
    EXPECT_EQ(std::string(groups->pattern), std::string(100, 'p'));
    EXPECT_EQ(std::string(groups->label), std::string(30, 'l'));
    const std::string one_word(300, 'w');
    ASSERT_EQ(append_glist(one_word.c_str(), &groups), list_ok);
    EXPECT_EQ(std::string(groups->next->pattern), one_word.substr(0, 131));
    EXPECT_EQ(std::string(groups->next->label), one_word.substr(0, 131));
    settings.GroupSite = groups;
}

TEST_F(Lists, PageTest) {
    append_nlist("htm*", &settings.PageType);
    append_nlist("cgi", &settings.PageType);
    append_nlist("/private/", &settings.OmitPage);
    append_nlist("/app", &settings.PagePrefix);
    append_nlist("/st*", &settings.PagePrefix);  // a plain prefix: "*" is a character here
    struct {
        const char* url;
        bool page;
    } cases[] = {
        {"/", true},
        {"/dir/", true},
        {"/noext", true},
        {"", true},
        {".gif", true},  // no "." after the first character
        {"/index.html", true},
        {"/index.htm", true},
        {"/x.cgi", true},
        {"/img/a.gif", false},
        {"/a.HTML", false},
        {"/a.b/c", false},  // the text after the last "." is "b/c"
        {"/a.b/c/", true},
        {"/private/a.html", false},
        {"/x/private/", false},
        {"/app/logo.gif", true},
        {"/apple.png", true},
        {"/style.css", false},
        {"/st*/a.css", true},
    };
    for (const auto& c : cases) EXPECT_EQ(is_page(c.url), c.page) << c.url;
}

}  // namespace
