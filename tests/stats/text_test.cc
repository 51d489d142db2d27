// Text functions: unescape, address_kind, mangle_agent, search strings and
// the default search engines.
#include "stats/text.h"

#include "stats_fixture.h"

namespace {

TEST(unescape, escapes) {
    struct row {
        const char* in;
        const char* out;
    } rows[] = {
        {"%41", "A"},
        {"%0a", "_"},           // a line feed is a control byte
        {"%7f%7F%00%1f", "____"},
        {"%zz", "%zz"},         // no hexadecimal digit: copied
        {"%4z", "@"},           // z counts 0 and is consumed
        {"%", "%"},             // at the very end
        {"a%4", "a@"},          // one digit at the end: 16 * 4
        {"%e9%C4", "\xe9\xc4"}, // bytes from 128 up are kept
        {"100%%41", "100%A"},
        {"/a%20b+c", "/a b+c"},
        {"", ""},
    };
    for (const row& r : rows) {
        char buf[32];
        std::strcpy(buf, r.in);
        unescape(buf);
        EXPECT_STREQ(buf, r.out) << "input " << r.in;
    }
    unescape(nullptr);  // left alone
}

TEST(address_kind, kinds) {
    struct row {
        const char* text;
        int kind;
    } rows[] = {
        {"192.0.2.7", address_ipv4},
        {"192.0.2", address_malformed},
        {"1.2.3.4.5", address_malformed},
        {".1.2.3", address_ipv4},  // digits and exactly three dots
        {"2001:db8::1", address_ipv6},
        {"::ffff:192.0.2.7", address_ipv6_dotted},
        {"2001:DB8::1", address_malformed},
        {"g::1", address_malformed},
        {"a:b:x", address_malformed},
        {"www.example.com", address_name},
        {"3com.example.com", address_name},
        {"192.0.2.7a", address_name},
        {"", address_malformed},
    };
    for (const row& r : rows) EXPECT_EQ(address_kind(r.text), r.kind) << r.text;
}

using mangling = stats_test;

TEST_F(mangling, worked_examples_at_every_level) {
    const char* msie = "\"Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1)\"";
    const char* x11 = "\"Mozilla/5.0 (X11; Linux x86_64)\"";
    const char* netscape = "\"Mozilla/4.76b2 [en] (X11; U; Linux)\"";
    const char* opera = "\"Opera/9.80 (Windows NT 6.1; U; en) Presto/2.10.289 Version/12.00\"";
    const char* bot = "\"Mozilla/5.0 (compatible; Googlebot/2.1; +http://www.google.com/bot.html)\"";
    const char* masked = "\"Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; en) Opera 8.50\"";
    struct row {
        const char* agent;
        int level;
        const char* out;
    } rows[] = {
        {msie, 1, "MSIE 6.0 (Windows NT 5.1)"},
        {msie, 2, "MSIE 6.0"},
        {msie, 4, "MSIE 6.0"},
        {msie, 5, "MSIE 6"},
        {x11, 1, "Mozilla/5.0 (X11)"},
        {x11, 4, "Mozilla/5.0"},
        {x11, 5, "Mozilla/5"},
        {netscape, 1, "Mozilla/4.76b2 (X11)"},
        {netscape, 2, "Mozilla/4.76b2"},
        {netscape, 3, "Mozilla/4.76"},
        {netscape, 4, "Mozilla/4.7"},
        {netscape, 9, "Mozilla/4"},
        {opera, 1, "Opera 9.80 (Windows NT 6.1)"},
        {opera, 3, "Opera 9.80"},
        {opera, 4, "Opera 9.8"},
        {opera, 5, "Opera 9"},
        {bot, 1, "Googlebot/2.1 (+http://www.google.com/bot.html)"},
        {masked, 3, "Opera 8.50"},
        {masked, 5, "Opera 8"},
        // Left unchanged: no ";" after the word, ";" right before the end, no form.
        {"\"Mozilla/4.0 (compatible)\"", 1, "\"Mozilla/4.0 (compatible)\""},
        {"\"Mozilla/4.0 (compatible;)\"", 1, "\"Mozilla/4.0 (compatible;)\""},
        {"\"Wget/1.12 (linux-gnu)\"", 1, "\"Wget/1.12 (linux-gnu)\""},
        // Ends of text in every step.
        {"Mozilla", 1, "Mozilla"},
        {"Mozilla/5", 1, "Mozilla/5"},
        {"Mozilla/5.", 1, "Mozilla/5."},
        {"compatible;x", 1, "x"},
    };
    for (const row& r : rows) {
        settings.MangleAgents = r.level;
        SET_FIELD(log_rec.user_agent, r.agent);
        mangle_agent();
        EXPECT_STREQ(log_rec.user_agent, r.out) << r.agent << " at level " << r.level;
    }
}

TEST_F(mangling, hostile_agents) {
    // No "(" or ";" between the version and the ")": the platform starts at
    // the reading position.
    const std::string v(50, 'v'), p(60, 'p'), z(120, 'z');
    struct row {
        std::string agent, out;
    } rows[] = {
        {"compatible;" + v + ".1 " + p + ")", v + ".1 (" + p + ")"},
        {"(((((", "((((("},
        {";;;compatible;;;", ""},
        {"Opera(", "Opera("},
        {"Mozilla/(((", "Mozilla/((("},
        {"Mozilla/1.2 (" + z, "Mozilla/1.2 (" + z.substr(0, 114)},  // cut to the field
        {"\xff\xfe compatible;\x80", "\x80"},
    };
    settings.MangleAgents = 1;
    for (const row& r : rows) {
        SET_FIELD(log_rec.user_agent, r.agent);
        mangle_agent();
        EXPECT_EQ(std::string(log_rec.user_agent), r.out) << r.agent;
    }
}

using search_strings = stats_test;

TEST_F(search_strings, from_engine_queries) {
    ASSERT_EQ(add_default_search_engines(), list_ok);
    struct row {
        const char* referrer;
        const char* query;
        bool case_insensitive;
        const char* words;  // nullptr: nothing added
    } rows[] = {
        {"http://www.google.com/search", "?hl=en&q=cheap++flights+++now&x=1", true, "cheap flights now"},
        {"http://www.google.com/search", "?q=Cheap+FLIGHTS", true, "cheap flights"},
        {"http://www.google.com/search", "?q=Cheap+FLIGHTS", false, "Cheap FLIGHTS"},
        {"http://www.google.com/search", "?q=\"a,b\"?c", true, "abc"},
        {"http://www.google.com/search", "?q=++a+b++", true, "a b"},
        {"http://www.google.com/search", "?q=a\tb", true, "a_b"},
        {"http://www.google.com/search", "?q=&z=1", true, nullptr},
        {"http://www.google.com/search", "?q=+++", true, nullptr},
        {"http://www.google.com/search", "?hl=en", true, nullptr},
        {"http://search.yahoo.com/search", "?p=weather", true, "weather"},
        {"http://www.example.com/search", "?q=weather", true, nullptr},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(std::string(r.referrer) + r.query);
        free_all_tables();
        settings.SearchCaseI = r.case_insensitive;
        SET_FIELD(log_rec.referrer, r.referrer);
        extract_search_string(r.query);
        if (r.words == nullptr) {
            EXPECT_TRUE(walk(search_table).empty());
        } else {
            EXPECT_EQ(walk(search_table), std::vector<std::string>{r.words});
        }
    }
}

TEST_F(search_strings, over_long_words_are_one_entry) {
    ASSERT_EQ(add_default_search_engines(), list_ok);
    SET_FIELD(log_rec.referrer, "http://www.google.com/search");
    const std::string query = "?q=" + std::string(200, 'w');
    testing::internal::CaptureStderr();
    extract_search_string(query.c_str());
    extract_search_string(query.c_str());
    testing::internal::GetCapturedStderr();
    ASSERT_EQ(walk(search_table), std::vector<std::string>{std::string(127, 'w')});
    EXPECT_EQ(node_named(search_table, std::string(127, 'w'))->hits, 2u);
}

TEST_F(search_strings, default_engines_in_order_and_their_hosts) {
    ASSERT_EQ(add_default_search_engines(), list_ok);
    const char* labels[16] = {"q=", "p=",      "q=",          "query=",  "q=",     "q=",
                              "query=", "MT=", "q=",          "qt=",     "searchText=",
                              "search=", "query=", "query=", "q=",      "qr="};
    int i = 0;
    for (const glist* g = settings.SearchEngine; g; g = g->next, ++i) {
        ASSERT_LT(i, 16);
        EXPECT_STREQ(g->label, labels[i]) << g->pattern;
    }
    EXPECT_EQ(i, 16);

    struct row {
        const char* referrer;
        const char* label;
    } rows[] = {
        {"http://www.google.com/search", "q="},
        {"http://www.google.co.uk/search", "q="},
        {"http://de.search.yahoo.com/search", "p="},
        {"http://www.altavista.com/web/results", "q="},
        {"http://search.aol.com/aol/search", "query="},
        {"http://www.ask.com/web", "q="},
        {"http://search.lycos.com/", "query="},
        {"http://www.hotbot.com/", "MT="},
        {"http://search.msn.com/results.aspx", "q="},
        {"http://infoseek.go.com/Titles", "qt="},
        {"http://www.webcrawler.com/info.wbcrwl/search/web", "searchText="},
        {"http://search.excite.com/search.gw", "search="},
        {"http://search.netscape.com/ns/search", "query="},
        {"http://www.mamma.com/Mamma", "query="},
        {"http://www.alltheweb.com/search", "q="},
        {"http://www.northernlight.com/nlquery.fcg", "qr="},
        // Unrelated hosts that hold an engine's name.
        {"http://www.flask.com/", nullptr},
        {"http://bigmamma.com/", nullptr},
        {"http://mail.aol.com/", nullptr},
        {"http://googleblog.example/", nullptr},
        {"http://www.northernlights.org/", nullptr},
    };
    for (const row& r : rows) {
        const char* got = group_match(settings.SearchEngine, r.referrer);
        if (r.label == nullptr)
            EXPECT_EQ(got, nullptr) << r.referrer;
        else
            EXPECT_STREQ(got, r.label) << r.referrer;
    }
}

}  // namespace
