// Record processing: normalisation of the fields, host check, filters and
// counting.
#include "stats/process.h"

#include <db_185.h>
#include <fcntl.h>

#include "resolve/dns.h"
#include "stats/text.h"
#include "stats_fixture.h"
#include "test_support.h"

namespace {

struct record {
    std::string host = "192.0.2.7";
    std::string request = "\"GET /index.html\"";
    int status = 200;
    uint64_t bytes = 1000;
    std::string referrer = "\"-\"";
    std::string agent = "\"Mozilla/5.0 (X11)\"";
    std::string user = "-";
};

void load(const record& r) {
    std::memset(&log_rec, 0, sizeof(log_rec));
    SET_FIELD(log_rec.host, r.host);
    SET_FIELD(log_rec.request, r.request);
    SET_FIELD(log_rec.referrer, r.referrer);
    SET_FIELD(log_rec.user_agent, r.agent);
    SET_FIELD(log_rec.user, r.user);
    log_rec.status = r.status;
    log_rec.bytes = r.bytes;
}

class processing : public stats_test {
protected:
    void SetUp() override {
        stats_test::SetUp();
        ASSERT_EQ(add_default_search_engines(), list_ok);
        month_totals.day = 5;
        month_totals.hour = 13;
        run_state.record_timestamp = 1380000000;
    }
    // Normalises and counts r as the driver does; returns count_record's code.
    int count(const record& r, uint64_t time = 0) {
        load(r);
        ++run_state.records_read;
        if (time) run_state.record_timestamp = time;
        normalise_record();
        return count_record();
    }
    std::string normalised_url(const record& r) {
        load(r);
        normalise_record();
        return log_rec.request;
    }
};

TEST_F(processing, request_to_url) {
    struct row {
        const char* request;
        int status;
        bool normalize, strip_cgi;
        const char* url;
    } rows[] = {
        {"\"GET /index.htm\"", 200, true, true, "/"},
        {"\"GET /a.htm\"", 200, true, true, "/a.htm"},
        {"\"-\"", 200, true, true, "/INVALID-URL"},
        {"\"GET ///a.html\"", 200, true, true, "/a.html"},
        {"\"GET   /a.html\"", 200, true, true, "/a.html"},
        {"\"GET /a.cgi?x=1\"", 200, true, true, "/a.cgi"},
        {"\"GET /a.cgi?x=1\"", 200, true, false, "/a.cgi?x=1"},
        {"\"GET /a.cgi?x=1#top\"", 200, true, false, "/a.cgi?x=1"},
        {"\"GET /a%2525b\"", 200, true, false, "/a"},  // "%" left after decoding ends the URL
        {"\"GET /a.html?\"", 200, true, false, "/a.html"},
        {"\"GET /\"", 200, true, true, "/"},
        {"\"GET \"", 200, true, true, "/"},
        {"\"GET <x>\"", 200, false, true, "/"},
        {"", 200, false, true, "/"},
        {"\"GET http://example.com/x/./y.html\"", 200, true, true, "/x/y.html"},
        {"\"GET http://example.com\"", 200, true, true, "/example.com"},
        {"\"GET /a/././b/./c.html\"", 200, true, true, "/a/b/c.html"},
        {"\"GET x.html\"", 200, true, true, "/"},
        {"\"GET x.html\"", 304, true, true, "/"},
        {"\"GET x.html\"", 403, true, true, "/INVALID-URL"},
        {"\"GET x.html\"", 404, true, true, "x.html"},
        {"\"GET HTTP://Example.com/A\"", 200, false, true, "http://Example.com/A"},
        {"\"GET /dir/index.html\"", 200, true, true, "/dir/"},
        {"\"GET /dir/myindex.html\"", 200, true, true, "/dir/myindex.html"},
        {"\"GET /dir/index.html?x=1\"", 200, true, false, "/dir/?x=1"},
        {"\"GET /dir/index.html?x=1\"", 200, true, true, "/dir/"},
        {"\"GET index.html\"", 200, false, true, "index.html"},  // an alias at the very start stays
    };
    for (const row& r : rows) {
        settings.NormalizeURL = r.normalize;
        settings.StripCGI = r.strip_cgi;
        record rec;
        rec.request = r.request;
        rec.status = r.status;
        EXPECT_EQ(normalised_url(rec), r.url) << r.request << " status " << r.status;
    }
}

TEST_F(processing, referrer_and_search_words) {
    struct row {
        const char* raw;
        const char* referrer;
        const char* search_words;
    } rows[] = {
        {"\"-\"", "-", ""},
        {"\"\"", "-", ""},
        {"\"", "-", ""},  // only a quote
        {"", "-", ""},
        {"\"http://WWW.Example.COM/Path/X.html?q=a+b\"", "http://www.example.com/Path/X.html", "?q=a+b"},
        {"\"HTTP://Example.COM\"", "http://example.com", ""},
        {"\"http://a.example/x<script>\"", "http://a.example/x", ""},
        {"\"http://a.example/%3Fq%3Dy\"", "http://a.example/", "?q=y"},
        {"\"http://a.example/x%", "http://a.example/x", ""},  // "%" at the end, no closing quote
        {"\"ftp://A.example/\"", "ftp://A.example/", ""},
    };
    for (const row& r : rows) {
        record rec;
        rec.referrer = r.raw;
        load(rec);
        normalise_record();
        EXPECT_STREQ(log_rec.referrer, r.referrer) << r.raw;
        EXPECT_STREQ(log_rec.search_words, r.search_words) << r.raw;
    }
}

TEST_F(processing, agent_and_user_clean_up) {
    struct row {
        const char* agent;
        const char* user;
        const char* clean_agent;
        const char* clean_user;
    } rows[] = {
        {"\"Mozilla/5.0 (X11)\"", "alice", "Mozilla/5.0 (X11)", "alice"},
        {"()", "", "", "-"},
        {"(", "\"bob\"", "", "-"},
        {"\"a<b>\"", "al\"ice", "a", "al"},
        {"\"tab\there\"", "a%41%0a", "tab", "aA_"},
        {"", "x%", "", "x%"},
    };
    for (const row& r : rows) {
        record rec;
        rec.agent = r.agent;
        rec.user = r.user;
        load(rec);
        normalise_record();
        EXPECT_STREQ(log_rec.user_agent, r.clean_agent) << r.agent;
        EXPECT_STREQ(log_rec.user, r.clean_user) << r.user;
    }
}

TEST_F(processing, long_fields_are_cut_with_the_record_number) {
    const std::string ref_warning = "Warning: Truncating oversized referrer field [7]\n";
    const std::string url_warning = "Warning: Truncating oversized request field [7]\n";
    struct row {
        std::size_t url_len, ref_len;  // characters after normalisation
        std::string messages;
    } rows[] = {
        {511, 255, ""},
        {511, 256, ref_warning},
        {512, 255, url_warning},
        {700, 600, ref_warning + url_warning},
    };
    for (const row& r : rows) {
        record rec;
        rec.request = "\"GET /" + std::string(r.url_len - 1, 'u') + "\"";
        rec.referrer = "\"http://" + std::string(r.ref_len - 7, 'r') + "\"";
        load(rec);
        run_state.records_read = 7;
        testing::internal::CaptureStderr();
        normalise_record();
        EXPECT_EQ(testing::internal::GetCapturedStderr(), r.messages) << r.url_len << " " << r.ref_len;
        EXPECT_EQ(std::strlen(log_rec.request), 511u - (r.url_len < 511 ? 511 - r.url_len : 0));
        EXPECT_EQ(std::strlen(log_rec.referrer), 255u);
    }
}

TEST_F(processing, host_check) {
    struct row {
        const char* host;
        const char* checked;
    } rows[] = {
        {"www.example.com", "www.example.com"},
        {"Upper.Example.COM", "upper.example.com"},
        {"a_b.example.com", "a_b.example.com"},
        {"a.b_c.example.com", "Invalid"},
        {"-bad.example.com", "Invalid"},
        {"bad.example.com.", "Invalid"},
        {"bad host", "Invalid"},
        {"", "Invalid"},
        {"::1", "::1"},
        {"\xe9t\xe9.example", "Invalid"},
        {"192.0.2.7", "192.0.2.7"},
    };
    for (const row& r : rows) {
        record rec;
        rec.host = r.host;
        count(rec);
        EXPECT_STREQ(log_rec.host, r.checked) << r.host;
    }
}

// A numeric host is looked up in the cache; a bad cached name gives way to
// the address, a good one is lowered. Names are never looked up.
TEST_F(processing, host_from_the_cache) {
    testing_support::scratch_dir dir;
    const std::string path = dir.file("dns.db");
    const struct {
        const char* address;
        const char* name;
    } cached[] = {
        {"192.0.2.1", "host.example.com"}, {"192.0.2.2", "a.b_c.example"}, {"192.0.2.3", "Mixed.Example"},
        {"2001:db8::1", "v6.example"},     {"www.example.com", "other.example"},
    };
    DB* db = dbopen(path.c_str(), O_RDWR | O_CREAT, 0664, DB_HASH, nullptr);
    ASSERT_NE(db, nullptr);
    for (const auto& c : cached) {
        std::string value(std::size_t(dns_value_length(int(std::strlen(c.name)))), '\0');
        std::memcpy(&value[12], c.name, std::strlen(c.name));
        DBT key{const_cast<char*>(c.address), std::strlen(c.address)}, data{&value[0], value.size()};
        ASSERT_EQ(db->put(db, &key, &data, 0), 0);
    }
    db->close(db);
    settings.DNSCache = path.c_str();
    ASSERT_EQ(open_dns_cache(), 1);

    const struct {
        const char* host;
        const char* counted;
    } rows[] = {
        {"192.0.2.1", "host.example.com"},
        {"192.0.2.2", "192.0.2.2"},  // "_" after a dot: the address stays
        {"192.0.2.3", "mixed.example"},
        {"192.0.2.4", "192.0.2.4"},  // not cached
        {"2001:db8::1", "v6.example"},
        {"www.example.com", "www.example.com"},  // not numeric
    };
    for (const auto& r : rows) {
        record rec;
        rec.host = r.host;
        count(rec);
        EXPECT_STREQ(log_rec.host, r.counted) << r.host;
        EXPECT_NE(node_named(site_table, r.counted), nullptr) << r.host;
    }
    close_dns_cache();
    settings.DNSCache = nullptr;
}

TEST_F(processing, include_beats_ignore) {
    append_nlist("*.example.com", &settings.IgnoreSite);
    append_nlist("/keep*", &settings.IncludeURL);
    record keep, drop, other;
    keep.host = drop.host = "www.example.com";
    keep.request = "\"GET /keep.html\"";
    drop.request = "\"GET /drop.html\"";
    other.host = "www.example.org";
    EXPECT_EQ(count(keep), record_counted);
    EXPECT_EQ(count(drop), record_ignored);
    EXPECT_EQ(count(other), record_counted);
    EXPECT_EQ(month_totals.total_hits, 2u);
    EXPECT_EQ(walk(url_table).size(), 2u);
    EXPECT_EQ(node_named(url_table, "/drop.html"), nullptr);
    EXPECT_EQ(response_table[response_index(200)].count, 2u);

    append_nlist("Wget*", &settings.IgnoreAgent);
    other.agent = "\"Wget/1.12\"";
    EXPECT_EQ(count(other), record_ignored);
}

TEST_F(processing, status_decides_tables_and_files) {
    struct row {
        int status;
        uint64_t total_files, site_files, url_hits, users, response_count;
    } rows[] = {
        {200, 1, 1, 1, 1, 1},
        {206, 0, 1, 1, 1, 1},
        {304, 0, 0, 1, 1, 1},
        {404, 0, 0, 0, 0, 1},
        {999, 0, 0, 0, 0, 1},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.status);
        free_all_tables();
        month_totals = month_totals_rec{};
        month_totals.day = 5;
        month_totals.hour = 13;
        reset_response_counts();
        record rec;
        rec.status = r.status;
        rec.user = "alice";
        rec.referrer = "\"http://ref.example/\"";
        ASSERT_EQ(count(rec), record_counted);
        EXPECT_EQ(month_totals.total_hits, 1u);
        EXPECT_EQ(month_totals.total_bytes, 1000.0);
        EXPECT_EQ(month_totals.total_files, r.total_files);
        EXPECT_EQ(month_totals.daily_files[4], r.total_files);
        EXPECT_EQ(month_totals.hourly_files[13], r.total_files);
        ASSERT_NE(node_named(site_table, "192.0.2.7"), nullptr);
        EXPECT_EQ(node_named(site_table, "192.0.2.7")->files, r.site_files);
        EXPECT_EQ(node_named(daily_site_table, "192.0.2.7")->files, r.site_files);
        EXPECT_EQ(walk(url_table).size(), r.url_hits);
        EXPECT_EQ(walk(user_table).size(), r.users);
        EXPECT_EQ(month_totals.total_users, r.users);
        EXPECT_EQ(walk(referrer_table), std::vector<std::string>{"http://ref.example/"});
        EXPECT_EQ(response_table[response_index(r.status)].count, r.response_count);
    }
    EXPECT_EQ(response_index(999), 0);
}

TEST_F(processing, totals_pages_and_search_strings) {
    record page, image;
    page.request = "\"GET /a.html\"";
    page.referrer = "\"http://www.google.com/search?hl=en&q=blue++whale\"";
    image.request = "\"GET /a.gif\"";
    image.referrer = page.referrer;
    count(page);
    count(image);
    count(page);
    const month_totals_rec& m = month_totals;
    EXPECT_EQ(m.total_hits, 3u);
    EXPECT_EQ(m.cur_hour_hits, 3u);
    EXPECT_EQ(m.daily_hits[4], 3u);
    EXPECT_EQ(m.hourly_hits[13], 3u);
    EXPECT_EQ(m.daily_bytes[4], 3000.0);
    EXPECT_EQ(m.hourly_bytes[13], 3000.0);
    EXPECT_EQ(m.total_pages, 2u);
    EXPECT_EQ(m.daily_pages[4], 2u);
    EXPECT_EQ(m.hourly_pages[13], 2u);
    EXPECT_EQ(m.total_sites, 1u);
    EXPECT_EQ(m.cur_day_sites, 1u);
    EXPECT_EQ(m.total_urls, 2u);
    EXPECT_EQ(m.total_referrers, 1u);
    EXPECT_EQ(m.total_agents, 1u);
    ASSERT_EQ(walk(search_table), std::vector<std::string>{"blue whale"});
    EXPECT_EQ(node_named(search_table, "blue whale")->hits, 2u);  // pages only
    EXPECT_EQ(walk(referrer_table), std::vector<std::string>{"http://www.google.com/search"});

    settings.TopSearch = 0;
    count(page);
    EXPECT_EQ(node_named(search_table, "blue whale")->hits, 2u);
}

TEST_F(processing, top_zero_skips_the_table_but_not_the_groups) {
    settings.TopReferrers = 0;
    settings.TopAgents = 0;
    append_glist("*.example  Example", &settings.GroupReferrer);
    append_glist("Mozilla*  Browsers", &settings.GroupAgent);
    record rec;
    rec.referrer = "\"http://ref.example\"";
    count(rec);
    EXPECT_EQ(walk(referrer_table), std::vector<std::string>{"Example"});
    EXPECT_EQ(node_named(referrer_table, "Example", true)->hits, 1u);
    EXPECT_EQ(walk(agent_table), std::vector<std::string>{"Browsers"});
    EXPECT_EQ(month_totals.total_referrers, 0u);
    EXPECT_EQ(month_totals.total_agents, 0u);
}

TEST_F(processing, groups_of_every_kind) {
    append_glist("/docs/*  Docs", &settings.GroupURL);
    append_glist("alice  Staff", &settings.GroupUser);
    append_glist("*.example.net  Net", &settings.GroupSite);
    record rec;
    rec.host = "www.example.net";
    rec.request = "\"GET /docs/a.html\"";
    rec.user = "alice";
    rec.status = 404;  // groups count whatever the status
    count(rec);
    ASSERT_NE(node_named(url_table, "Docs", true), nullptr);
    EXPECT_EQ(node_named(url_table, "Docs", true)->bytes, 1000.0);
    EXPECT_EQ(node_named(user_table, "Staff", true)->hits, 1u);
    EXPECT_EQ(node_named(site_table, "Net", true)->hits, 1u);
    EXPECT_EQ(node_named(site_table, "Net", true)->files, 0u);
    EXPECT_EQ(month_totals.total_urls, 0u);
    EXPECT_EQ(month_totals.total_sites, 1u);
}

TEST_F(processing, last_page_is_the_newest_url_node_of_the_name) {
    // A URL group named like the URL itself: the group node is newer, so it
    // heads the bucket and becomes the last page of the site group added
    // after it, while the site added before it still points at the URL.
    append_glist("/a.html  /a.html", &settings.GroupURL);
    append_glist("*.example  Example", &settings.GroupSite);
    record rec;
    rec.host = "www.example";
    rec.request = "\"GET /a.html\"";
    count(rec);
    const unode* plain = node_named(url_table, "/a.html");
    const unode* group = node_named(url_table, "/a.html", true);
    ASSERT_NE(plain, nullptr);
    ASSERT_NE(group, nullptr);
    EXPECT_EQ(node_named(site_table, "www.example")->last_page, plain->name);
    EXPECT_EQ(node_named(site_table, "Example", true)->last_page, group->name);
    EXPECT_EQ(plain->entries, 1u);
    EXPECT_EQ(group->entries, 0u);
}

TEST_F(processing, domain_groups) {
    settings.GroupDomains = 2;
    struct row {
        const char* host;
        const char* group;  // nullptr: none
    } rows[] = {
        {"a.b.c.d.e", "c.d.e"},
        {"b.c.d", "b.c.d"},  // fewer than three dots: itself
        {"x.c.d.e", "c.d.e"},
        {"192.0.2.7", nullptr},
        {"2001:db8::1", nullptr},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.host);
        free_all_tables();
        record rec;
        rec.host = r.host;
        count(rec);
        if (r.group == nullptr) {
            EXPECT_EQ(site_table.count, 1u);
        } else {
            ASSERT_NE(node_named(site_table, r.group, true), nullptr);
            EXPECT_EQ(site_table.count, 2u);
        }
    }
}

TEST_F(processing, domain_groups_leave_entry_and_exit_pages_alone) {
    settings.GroupDomains = 1;
    const uint64_t t = 1380000000;
    record one, two;
    one.host = "www.example.com";
    two.host = "ftp.example.com";
    one.request = two.request = "\"GET /start.html\"";
    count(one, t);
    count(two, t + 10);
    one.request = two.request = "\"GET /end.html\"";
    count(one, t + 3000);  // a new visit for both sites and for their group
    count(two, t + 3010);
    const hnode* group = node_named(site_table, "example.com", true);
    ASSERT_NE(group, nullptr);
    EXPECT_EQ(group->visits, 2u);
    EXPECT_EQ(group->hits, 4u);
    EXPECT_EQ(node_named(url_table, "/start.html")->entries, 2u);
    EXPECT_EQ(node_named(url_table, "/start.html")->exits, 2u);
    EXPECT_EQ(node_named(url_table, "/end.html")->entries, 2u);
    close_visits(t + 3010 + 1800);
    EXPECT_EQ(node_named(url_table, "/end.html")->exits, 2u);
    EXPECT_EQ(sum_visits(&site_table), 4u);
    EXPECT_EQ(month_totals.total_sites, 2u);
}

TEST_F(processing, same_log_walks_the_same_way_twice) {
    auto run = [this] {
        free_all_tables();
        for (int i = 0; i < 400; ++i) {
            record r;
            r.host = "h" + std::to_string(i % 37) + ".example.org";
            r.request = "\"GET /p" + std::to_string(i % 53) + ".html\"";
            r.referrer = "\"http://r" + std::to_string(i % 11) + ".example/\"";
            count(r, 1380000000 + uint64_t(i) * 97);
        }
        return std::vector<std::vector<std::string>>{walk(site_table), walk(url_table), walk(referrer_table)};
    };
    const auto first = run();
    EXPECT_EQ(run(), first);
    EXPECT_EQ(first[0].size(), 37u);
    EXPECT_EQ(first[1].size(), 53u);
}

}  // namespace
