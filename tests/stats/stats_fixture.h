// Shared set-up of the statistics tests: default settings with the page
// types and the index alias that start-up would add, empty tables, zeroed
// month and record.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "input/log_rec.h"
#include "lang/lang.h"
#include "run/month.h"
#include "run/settings.h"
#include "stats/lists.h"
#include "stats/tables.h"

class stats_test : public ::testing::Test {
protected:
    void SetUp() override {
        reset_settings();
        settings.Verbosity = 1;
        append_nlist("htm*", &settings.PageType);
        append_nlist("cgi", &settings.PageType);
        append_nlist("index.", &settings.IndexAlias);
        free_all_tables();
        std::memset(&log_rec, 0, sizeof(log_rec));
        month_totals = month_totals_rec{};
        run_state = run_state_rec{};
        reset_response_counts();
        set_record_page(-1);
    }
    void TearDown() override {
        free_all_tables();
        reset_settings();
    }
};

// Names of a table in walk order.
template <class Node>
std::vector<std::string> walk(const node_table<Node>& t) {
    std::vector<std::string> names;
    for (const Node* b : t.buckets)
        for (const Node* n = b; n != nullptr; n = n->next) names.emplace_back(n->name);
    return names;
}

// The node of table t named name with group-ness group, by walking buckets.
template <class Node>
Node* node_named(const node_table<Node>& t, const std::string& name, bool group = false) {
    for (Node* b : t.buckets)
        for (Node* n = b; n != nullptr; n = n->next) {
            bool g = false;
            if constexpr (requires { n->kind; }) g = n->kind == node_group;
            if (name == n->name && g == group) return n;
        }
    return nullptr;
}

inline void set_field(char* field, std::size_t size, const std::string& text) {
    std::size_t n = text.size() < size - 1 ? text.size() : size - 1;
    std::memcpy(field, text.data(), n);
    field[n] = '\0';
}
#define SET_FIELD(field, text) set_field(field, sizeof(field), text)
