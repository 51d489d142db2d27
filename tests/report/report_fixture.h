// Shared set-up of the report tests: a clean month, settings at their
// defaults, a fixed clock and zone, and the current directory moved into a
// scratch directory for the files the writers produce.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "lang/lang.h"
#include "report/page.h"
#include "run/month.h"
#include "run/settings.h"
#include "stats/tables.h"
#include "test_support.h"

namespace report_test {

using testing_support::read_file;

// 2014-01-01 00:00:00 UTC, a Wednesday.
inline constexpr char fixed_epoch[] = "1388534400";

class ReportTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        setenv("SOURCE_DATE_EPOCH", fixed_epoch, 1);
        reset_settings();
        settings.Verbosity = 1;
        settings.HostName = "www.example.org";
        reset_month();
        reset_response_counts();
        free_all_tables();
        month_totals.year = 2014;
        month_totals.month = 1;
        cwd_ = std::make_unique<testing_support::working_dir>(dir_.path);
        ASSERT_TRUE(cwd_->ok());
    }
    void TearDown() override {
        if (report_page != nullptr) fclose(report_page);
        report_page = nullptr;
        free_all_tables();
        reset_response_counts();
        reset_settings();
        cwd_.reset();
    }

    // Runs write with report_page pointed at a memory stream; returns the bytes.
    template <class Fn>
    std::string capture(Fn write) {
        char* data = nullptr;
        size_t size = 0;
        report_page = open_memstream(&data, &size);
        write();
        fclose(report_page);
        report_page = nullptr;
        std::string s(data, size);
        free(data);
        return s;
    }

    // Runs fn with standard error captured; returns what was written.
    template <class Fn>
    std::string capture_stderr(Fn fn) {
        fflush(stderr);
        std::string path = dir_.file(".stderr");
        int saved = dup(2);
        FILE* f = fopen(path.c_str(), "w");
        dup2(fileno(f), 2);
        fn();
        fflush(stderr);
        dup2(saved, 2);
        close(saved);
        fclose(f);
        return read_file(path);
    }

    std::string file(const std::string& name) const { return dir_.file(name); }
    std::string contents(const std::string& name) const { return read_file(dir_.file(name)); }

    testing_support::scratch_dir dir_;
    std::unique_ptr<testing_support::working_dir> cwd_;
};

// add_* take writable buffers.
inline void url(const char* name, uint64_t hits, double bytes, int kind = node_normal, uint64_t entries = 0,
                uint64_t exits = 0) {
    std::vector<char> b(name, name + strlen(name) + 1);
    b.resize(b.size() + 32);
    ASSERT_EQ(add_url(b.data(), kind, hits, &month_totals.total_urls, entries, exits, bytes), table_ok);
}
// visits are set through the restore path (restore_visits = visits + 1).
inline void site(const char* name, uint64_t hits, uint64_t files, uint64_t visits, double bytes,
                 int kind = node_normal) {
    std::vector<char> b(name, name + strlen(name) + 1);
    ASSERT_EQ(add_site(b.data(), kind, hits, files, &month_totals.total_sites, visits + 1, bytes, 0, nullptr,
                       &site_table),
              table_ok);
}
inline void referrer(const char* name, uint64_t hits, int kind = node_normal) {
    std::vector<char> b(name, name + strlen(name) + 1);
    b.resize(b.size() + 32);
    ASSERT_EQ(add_referrer(b.data(), kind, hits, &month_totals.total_referrers), table_ok);
}
inline void agent(const char* name, uint64_t hits, int kind = node_normal) {
    std::vector<char> b(name, name + strlen(name) + 1);
    ASSERT_EQ(add_agent(b.data(), kind, hits, &month_totals.total_agents), table_ok);
}
inline void search(const char* name, uint64_t hits) {
    std::vector<char> b(name, name + strlen(name) + 1);
    ASSERT_EQ(add_search(b.data(), hits), table_ok);
}
inline void user(const char* name, uint64_t hits, uint64_t files, uint64_t visits, double bytes,
                 int kind = node_normal) {
    std::vector<char> b(name, name + strlen(name) + 1);
    ASSERT_EQ(add_user(b.data(), kind, hits, files, &month_totals.total_users, visits + 1, bytes, 0), table_ok);
}

// Finds a node of a table by name and sets its kind (hidden / group marks
// for cases the hide and group lists would produce).
template <class Node>
inline void set_kind(node_table<Node>& table, const char* name, int kind) {
    for (int b = 0; b < table_size; ++b)
        for (Node* p = table.buckets[b]; p != nullptr; p = p->next)
            if (strcmp(p->name, name) == 0) p->kind = kind;
}

inline std::string S(const char* s) { return std::string(s); }

// Number of times needle occurs in hay.
inline int count_of(const std::string& hay, const std::string& needle) {
    int n = 0;
    for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + needle.size())) ++n;
    return n;
}

}  // namespace report_test
