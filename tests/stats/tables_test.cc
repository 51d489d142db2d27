// Statistics tables: hashing, matching, counters, visits and walk order.
#include <functional>

#include "stats_fixture.h"

namespace {

// Buckets and full hashes computed with a separate Python transcription of
// the hash (signed remainder bytes included), not with this program.
TEST(hash_string, matches_independent_values) {
    struct row {
        const char* text;
        uint32_t full;
        int bucket;
    } rows[] = {
        {"", 0x0, 0},
        {"a", 0x115ea782, 1922},
        {"ab", 0x516b8b44, 2884},
        {"abc", 0xd2be198a, 2442},
        {"abcd", 0xdad8b8db, 2267},
        {"/index.html", 0x5ea75a21, 2593},
        {"192.0.2.7", 0x528203dc, 988},
        {"\xe9", 0x69ea06c0, 1728},                   // one byte above 127
        {"x\xff\xfe", 0xd18a1078, 120},               // third byte above 127
        {"\xc4\xc5\xc6\xc7\xc8", 0x7c63a04a, 74},     // group of four, then one high byte
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.text);
        EXPECT_EQ(hash_full(r.text, uint32_t(std::strlen(r.text))), r.full);
        EXPECT_EQ(hash_string(r.text), r.bucket);
    }
}

using tables = stats_test;

void url(const char* name, int kind = node_normal, uint64_t* counter = nullptr) {
    char buf[600];
    std::snprintf(buf, sizeof buf, "%s", name);
    ASSERT_EQ(add_url(buf, kind, 1, counter, 0, 0, 100), table_ok);
}

// One page or file request of host for path at time t, in the order record
// processing uses: URL first, then the day's and the month's site table.
void hit(const char* host, const char* path, uint64_t t, bool daily = false) {
    SET_FIELD(log_rec.request, path);
    url(path);
    char h[300];
    if (daily) {
        std::snprintf(h, sizeof h, "%s", host);
        ASSERT_EQ(add_site(h, node_normal, 1, 1, nullptr, 0, 10, t, nullptr, &daily_site_table), table_ok);
    }
    std::snprintf(h, sizeof h, "%s", host);
    ASSERT_EQ(add_site(h, node_normal, 1, 1, nullptr, 0, 10, t, nullptr, &site_table), table_ok);
}

TEST_F(tables, names_in_one_bucket_stay_apart_newest_first) {
    ASSERT_EQ(hash_string("/p0.html"), 3729);
    ASSERT_EQ(hash_string("/p402.html"), 3729);
    uint64_t urls = 0;
    url("/p0.html", node_normal, &urls);
    url("/p402.html", node_normal, &urls);
    url("/p0.html", node_normal, &urls);
    EXPECT_EQ(urls, 2u);
    const unode* head = url_table.buckets[3729];
    ASSERT_NE(head, nullptr);
    EXPECT_STREQ(head->name, "/p402.html");
    ASSERT_NE(head->next, nullptr);
    EXPECT_STREQ(head->next->name, "/p0.html");
    EXPECT_EQ(head->next->next, nullptr);
    EXPECT_EQ(head->hits, 1u);
    EXPECT_EQ(head->next->hits, 2u);
    EXPECT_EQ(head->next->bytes, 200.0);
}

TEST_F(tables, group_and_normal_are_two_entries_hidden_and_normal_one) {
    append_nlist("secret*", &settings.HideSite);
    uint64_t sites = 0;
    char name[32];
    for (int kind : {node_normal, node_group, node_normal, node_hidden, node_group}) {
        std::strcpy(name, "secret.example");
        ASSERT_EQ(add_site(name, kind, 1, 0, &sites, 0, 0, 1, nullptr, &site_table), table_ok);
    }
    EXPECT_EQ(sites, 1u);  // groups never raise the counter
    const hnode* plain = node_named(site_table, "secret.example");
    const hnode* group = node_named(site_table, "secret.example", true);
    ASSERT_NE(plain, nullptr);
    ASSERT_NE(group, nullptr);
    EXPECT_EQ(plain->kind, node_hidden);  // HideSite applied to the new node
    EXPECT_EQ(plain->hits, 3u);
    EXPECT_EQ(group->hits, 2u);
    EXPECT_EQ(site_table.count, 2u);
}

TEST_F(tables, direct_request_and_ignored_dashes) {
    char ref[32] = "-";
    uint64_t refs = 0;
    ASSERT_EQ(add_referrer(ref, node_normal, 1, &refs), table_ok);
    EXPECT_STREQ(ref, "- (Direct Request)");
    std::strcpy(ref, "-");
    add_referrer(ref, node_normal, 1, &refs);
    ASSERT_NE(node_named(referrer_table, "- (Direct Request)"), nullptr);
    EXPECT_EQ(node_named(referrer_table, "- (Direct Request)")->hits, 2u);
    EXPECT_EQ(refs, 1u);
    // The group of that name is an entry of its own, and after the tables
    // are emptied the direct requests start again from one.
    std::strcpy(ref, "- (Direct Request)");
    add_referrer(ref, node_group, 1, &refs);
    std::strcpy(ref, "-");
    add_referrer(ref, node_normal, 1, &refs);
    EXPECT_EQ(referrer_table.count, 2u);
    EXPECT_EQ(node_named(referrer_table, "- (Direct Request)")->hits, 3u);
    EXPECT_EQ(node_named(referrer_table, "- (Direct Request)", true)->hits, 1u);
    EXPECT_EQ(refs, 1u);
    free_all_tables();
    for (int i = 0; i < 2; ++i) {
        std::strcpy(ref, "-");
        add_referrer(ref, node_normal, 1, &refs);
    }
    ASSERT_EQ(referrer_table.count, 1u);
    EXPECT_EQ(node_named(referrer_table, "- (Direct Request)")->hits, 2u);

    char dash[4] = "-", blank[4] = " x", empty[1] = "";
    uint64_t n = 0;
    EXPECT_EQ(add_agent(dash, node_normal, 1, &n), table_ok);
    EXPECT_EQ(add_url(dash, node_normal, 1, &n, 0, 0, 0), table_ok);
    EXPECT_EQ(add_user(dash, node_normal, 1, 0, &n, 0, 0, 0), table_ok);
    EXPECT_EQ(add_user(empty, node_normal, 1, 0, &n, 0, 0, 0), table_ok);
    EXPECT_EQ(add_search(blank, 1), table_ok);
    EXPECT_EQ(add_search(empty, 1), table_ok);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(agent_table.count + url_table.count + user_table.count + search_table.count, 0u);
}

constexpr uint64_t T = 1380000000;  // a time of 2013

TEST_F(tables, visit_boundary_entries_and_exits) {
    struct row {
        const char* name;
        uint64_t second_time;
        uint64_t visits, a_entries, a_exits, b_entries;
    } rows[] = {
        {"1799 s apart: one visit", T + 1799, 1, 1, 0, 0},
        {"1800 s apart: two visits", T + 1800, 2, 1, 1, 1},
        {"back in time: new visit", T - 5, 2, 1, 1, 1},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        free_all_tables();
        hit("h.example", "/a.html", T, true);
        hit("h.example", "/b.html", r.second_time, true);
        const hnode* h = node_named(site_table, "h.example");
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(h->visits, r.visits);
        EXPECT_STREQ(h->last_page, "/b.html");
        EXPECT_EQ(h->last_page, node_named(url_table, "/b.html")->name);  // a pointer, not a copy
        EXPECT_EQ(node_named(url_table, "/a.html")->entries, r.a_entries);  // daily table adds none
        EXPECT_EQ(node_named(url_table, "/a.html")->exits, r.a_exits);
        EXPECT_EQ(node_named(url_table, "/b.html")->entries, r.b_entries);
        EXPECT_EQ(sum_visits(&daily_site_table), r.visits);
    }
}

TEST_F(tables, files_before_the_first_page_make_no_visit) {
    hit("h.example", "/x.gif", T);
    const hnode* h = node_named(site_table, "h.example");
    EXPECT_EQ(h->visits, 0u);
    EXPECT_EQ(h->last_page, empty_name);
    EXPECT_EQ(h->last_time, 0u);
    hit("h.example", "/x.gif", T + 5000);
    EXPECT_EQ(h->visits, 0u);
    hit("h.example", "/a.html", T + 5001);
    EXPECT_EQ(h->visits, 1u);
    EXPECT_EQ(node_named(url_table, "/a.html")->entries, 1u);
    EXPECT_EQ(h->hits, 3u);
    EXPECT_EQ(h->files, 3u);
}

TEST_F(tables, close_visits_counts_exits_of_visits_that_are_over) {
    hit("one.example", "/a.html", T);
    hit("two.example", "/b.html", T + 100);
    char g[16] = "group";
    SET_FIELD(log_rec.request, "/b.html");
    add_site(g, node_group, 1, 0, nullptr, 0, 0, T, nullptr, &site_table);
    close_visits(T + 1799);
    EXPECT_EQ(node_named(url_table, "/a.html")->exits, 0u);
    close_visits(T + 1800);
    EXPECT_EQ(node_named(url_table, "/a.html")->exits, 1u);
    EXPECT_EQ(node_named(url_table, "/b.html")->exits, 0u);  // the group's visit counts none
    EXPECT_EQ(sum_visits(&site_table), 2u);                 // nor do its visits
}

TEST_F(tables, find_url_name_any_kind_newest_first) {
    EXPECT_EQ(find_url_name("/a.html"), empty_name);
    url("/a.html");
    const char* plain = find_url_name("/a.html");
    EXPECT_EQ(plain, node_named(url_table, "/a.html")->name);
    url("/a.html", node_group);
    EXPECT_EQ(find_url_name("/a.html"), node_named(url_table, "/a.html", true)->name);
}

TEST_F(tables, restore_sets_visits_last_page_and_kind) {
    url("/r.html");
    char h[32] = "restored.example";
    uint64_t sites = 0;
    ASSERT_EQ(add_site(h, node_hidden, 7, 3, &sites, 5, 70, T, "/r.html", &site_table), table_ok);
    const hnode* n = node_named(site_table, "restored.example");
    EXPECT_EQ(n->visits, 4u);
    EXPECT_EQ(n->kind, node_hidden);
    EXPECT_EQ(n->last_time, T);
    EXPECT_EQ(n->last_page, node_named(url_table, "/r.html")->name);
    EXPECT_EQ(node_named(url_table, "/r.html")->entries, 0u);
    EXPECT_EQ(sites, 1u);

    char u[8] = "bob";
    ASSERT_EQ(add_user(u, node_normal, 2, 1, nullptr, 3, 20, T), table_ok);
    EXPECT_EQ(node_named(user_table, "bob")->visits, 2u);
}

TEST_F(tables, user_visits) {
    char u[8];
    SET_FIELD(log_rec.request, "/x.gif");
    std::strcpy(u, "ann");
    add_user(u, node_normal, 1, 1, nullptr, 0, 5, T);
    const inode* n = node_named(user_table, "ann");
    EXPECT_EQ(n->visits, 1u);  // a new user has one visit even without a page
    EXPECT_EQ(n->last_time, 0u);
    SET_FIELD(log_rec.request, "/a.html");
    std::strcpy(u, "ann");
    add_user(u, node_normal, 1, 0, nullptr, 0, 5, T);
    EXPECT_EQ(n->visits, 2u);
    std::strcpy(u, "ann");
    add_user(u, node_normal, 1, 0, nullptr, 0, 5, T + 1799);
    EXPECT_EQ(n->visits, 2u);
    EXPECT_EQ(n->last_time, T + 1799);
    EXPECT_EQ(n->hits, 3u);
    EXPECT_EQ(n->files, 1u);
    EXPECT_EQ(n->bytes, 15.0);
}

TEST_F(tables, dns_items_keep_their_first_address) {
    unsigned char a[4] = {192, 0, 2, 7}, b[4] = {1, 2, 3, 4};
    char name[16] = "192.0.2.7";
    ASSERT_EQ(add_dns(name, a, 4), table_ok);
    ASSERT_EQ(add_dns(name, b, 4), table_ok);
    char none[16] = "192.0.2.8";
    ASSERT_EQ(add_dns(none, nullptr, 0), table_ok);
    const dnode* n = node_named(dns_table, "192.0.2.7");
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(std::memcmp(n->addr, a, 4), 0);
    EXPECT_EQ(n->addr_len, 4);
    const dnode* z = node_named(dns_table, "192.0.2.8");
    for (unsigned char c : z->addr) EXPECT_EQ(c, 0);
    unsigned char big[300] = {};
    char over[16] = "192.0.2.9";
    ASSERT_EQ(add_dns(over, big, 300), table_ok);
    EXPECT_EQ(node_named(dns_table, "192.0.2.9")->addr_len, 128);  // never more than the field
    const uint32_t items = dns_table.count;
    free_all_tables();  // leaves the run-wide resolver items alone
    EXPECT_EQ(dns_table.count, items);
    EXPECT_NE(node_named(dns_table, "192.0.2.7"), nullptr);
}

// Every limit, at and over: the stored name is cut to the limit before the
// lookup, so the over-long name and its cut form are one entry, with one
// warning per over-long add.
TEST_F(tables, names_at_and_over_each_limit) {
    struct row {
        const char* tag;
        int limit;
        std::function<void(char*)> add;
        std::function<std::vector<std::string>()> names;
    } rows[] = {
        {"new_hnode", 255, [](char* s) { add_site(s, node_normal, 1, 0, nullptr, 0, 0, 1, nullptr, &site_table); },
         [] { return walk(site_table); }},
        {"new_unode", 511, [](char* s) { add_url(s, node_normal, 1, nullptr, 0, 0, 0); },
         [] { return walk(url_table); }},
        {"new_rnode", 255, [](char* s) { add_referrer(s, node_normal, 1, nullptr); },
         [] { return walk(referrer_table); }},
        {"new_anode", 127, [](char* s) { add_agent(s, node_normal, 1, nullptr); }, [] { return walk(agent_table); }},
        {"new_snode", 127, [](char* s) { add_search(s, 1); }, [] { return walk(search_table); }},
        {"new_inode", 63, [](char* s) { add_user(s, node_normal, 1, 0, nullptr, 0, 0, 1); },
         [] { return walk(user_table); }},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.tag);
        free_all_tables();
        char buf[1024];
        std::string at(std::size_t(r.limit), 'n');
        std::strcpy(buf, at.c_str());
        testing::internal::CaptureStderr();
        r.add(buf);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

        std::string over = at + "XYZ";
        std::strcpy(buf, over.c_str());
        testing::internal::CaptureStderr();
        r.add(buf);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "[" + std::string(r.tag) + "] Warning: String exceeds storage size (" +
                      std::to_string(r.limit + 3) + ")\n");
        EXPECT_EQ(std::string(buf), at);  // cut in the caller's buffer
        EXPECT_EQ(r.names(), std::vector<std::string>{at});
    }
    // With Debug the cut name follows.
    settings.Debug = true;
    char buf[200];
    std::strcpy(buf, (std::string(130, 'q')).c_str());
    testing::internal::CaptureStderr();
    add_search(buf, 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[new_snode] Warning: String exceeds storage size (130):\n--> " + std::string(127, 'q') + "\n");
}

TEST_F(tables, many_names_are_all_found_again) {
    // Enough names for the index to grow many times and for both the index
    // and the node storage to outgrow ordinary allocations into blocks mapped
    // of their own; then the table is emptied and filled again.
    constexpr int names = 100000;
    char buf[32];
    for (int fill = 0; fill < 2; ++fill) {
        uint64_t urls = 0;
        for (int round = 0; round < 2; ++round)
            for (int i = 0; i < names; ++i) {
                std::snprintf(buf, sizeof buf, "/u%d.html", i + fill);
                ASSERT_EQ(add_url(buf, node_normal, 1, &urls, 0, 0, 0), table_ok);
            }
        EXPECT_EQ(urls, uint64_t(names));
        EXPECT_EQ(url_table.count, uint32_t(names));
        std::size_t n = 0;
        for (const unode* b : url_table.buckets)
            for (const unode* u = b; u; u = u->next, ++n) ASSERT_EQ(u->hits, 2u) << u->name;
        EXPECT_EQ(n, std::size_t(names));
        std::snprintf(buf, sizeof buf, "/u%d.html", fill);
        EXPECT_STREQ(find_url_name(buf), buf);
        free_all_tables();
    }
}

// Agents repeat on nearly every record, so their nodes are found without the
// index; a stale find after the tables are emptied, or a group hit counted on
// the plain node, would show here (and as a use after free under ASan).
TEST_F(tables, agents_count_right_across_repeats_groups_and_a_clear) {
    char buf[140];
    auto agent = [&](const std::string& name, int kind = node_normal) {
        std::snprintf(buf, sizeof buf, "%s", name.c_str());
        ASSERT_EQ(add_agent(buf, kind, 1, nullptr), table_ok);
    };
    for (int round = 0; round < 3; ++round) {
        agent("Mozilla/5.0 (X11; Linux x86_64) Firefox/24.0");
        agent("Mozilla/5.0 (X11; Linux x86_64) Firefox/24.0", node_group);
    }
    ASSERT_NE(node_named(agent_table, "Mozilla/5.0 (X11; Linux x86_64) Firefox/24.0"), nullptr);
    EXPECT_EQ(node_named(agent_table, "Mozilla/5.0 (X11; Linux x86_64) Firefox/24.0")->hits, 3u);
    EXPECT_EQ(node_named(agent_table, "Mozilla/5.0 (X11; Linux x86_64) Firefox/24.0", true)->hits, 3u);

    free_all_tables();
    agent("Mozilla/5.0 (X11; Linux x86_64) Firefox/24.0");
    EXPECT_EQ(agent_table.count, 1u);
    EXPECT_EQ(node_named(agent_table, "Mozilla/5.0 (X11; Linux x86_64) Firefox/24.0")->hits, 1u);

    // More distinct agents than are remembered, differing only in the middle
    // and of every length from 1 up: each keeps its own count.
    free_all_tables();
    for (int round = 0; round < 2; ++round)
        for (int i = 0; i < 6000; ++i) agent("A/" + std::to_string(i) + " (same tail)");
    for (int len = 1; len <= 127; ++len) agent(std::string(std::size_t(len), 'z'));
    EXPECT_EQ(agent_table.count, 6000u + 127u);
    for (const anode* b : agent_table.buckets)
        for (const anode* n = b; n; n = n->next) ASSERT_EQ(n->hits, n->name[0] == 'z' ? 1u : 2u) << n->name;
}

TEST_F(tables, walk_order_is_bucket_order_and_repeats) {
    auto fill = [] {
        char buf[32];
        for (int i = 0; i < 3000; ++i) {
            std::snprintf(buf, sizeof buf, "/p%d.html", i % 1700);
            add_url(buf, node_normal, 1, nullptr, 0, 0, 0);
        }
    };
    fill();
    const std::vector<std::string> first = walk(url_table);
    free_all_tables();
    fill();
    EXPECT_EQ(walk(url_table), first);
    ASSERT_EQ(first.size(), 1700u);
    for (std::size_t i = 1; i < first.size(); ++i)
        ASSERT_LE(hash_string(first[i - 1].c_str()), hash_string(first[i].c_str()));
    // Within bucket 3729, /p402.html came after /p0.html and so walks first.
    auto p0 = std::find(first.begin(), first.end(), "/p0.html");
    auto p402 = std::find(first.begin(), first.end(), "/p402.html");
    EXPECT_LT(p402, p0);
}

TEST_F(tables, clear_table_empties_only_its_table) {
    hit("a.example", "/a.html", T, true);
    clear_table(&daily_site_table);
    EXPECT_TRUE(walk(daily_site_table).empty());
    EXPECT_EQ(daily_site_table.count, 0u);
    EXPECT_EQ(walk(site_table), std::vector<std::string>{"a.example"});
    hit("a.example", "/a.html", T + 1, true);  // usable again after clearing
    EXPECT_EQ(walk(daily_site_table), std::vector<std::string>{"a.example"});
}

}  // namespace
