// Top tables of the monthly page: the node arrays that the top tables, the
// view-all pages and the dumps share, their sort orders, and one writer per
// table (URLs by hits and by kilobytes, entry and exit pages, sites by hits
// and by kilobytes, referrers, search strings, user names, user agents).
//
// A node array holds references to every node of one month table, filled
// bucket by bucket (chain order within a bucket); the nodes stay owned by the
// statistics tables. One array exists at a time, built and released by the
// monthly page writer. Writers write into report_page (page.h).
#pragma once

#include <cstdint>

#include "stats/tables.h"

// Sort orders, each by its key descending and then by name ascending
// byte-wise (so "B" comes before "a").
enum sort_order : int {
    order_table = 0,  // as filled from the table
    order_hits = 1,   // hits (search strings too)
    order_kbytes = 2, // bytes
    order_entry = 3,  // entries (URLs)
    order_exit = 4,   // exits (URLs)
};

// u_array: [ -> "/index.html", -> "/a.gif", ... ], count 2, order_hits
template <class Node>
struct node_array {
    Node** items = nullptr;
    uint64_t count = 0;
    sort_order order = order_table;
};

extern node_array<unode> u_array;
extern node_array<hnode> h_array;
extern node_array<rnode> r_array;
extern node_array<snode> s_array;
extern node_array<inode> i_array;
extern node_array<anode> a_array;

// Fills arr with every node of table. Returns report_ok (page.h), also for an
// empty table (count 0, no memory reserved), or report_nomem (arr left empty).
template <class Node>
int fill_node_array(node_array<Node>* arr, const node_table<Node>* table);
// Releases the references (not the nodes).
template <class Node>
void free_node_array(node_array<Node>* arr);

// Sorts arr; order_hits for every kind, order_kbytes for URLs and sites,
// order_entry / order_exit for URLs.
//
// With rows below all_rows only the leading part of arr that the top table
// of that order reads is put in order: enough entries for `rows` table rows
// (hidden entries, and for entries / exits every entry that is not a normal
// one with a count, are skipped by the table and do not count). The rest of
// arr is then in no defined order, so a caller passes a row count only when
// neither a view-all page nor a dump nor a later sort of the same array
// needs the whole order. The leading part is the one the whole sort gives.
constexpr uint64_t all_rows = UINT64_MAX;
void sort_urls(node_array<unode>* arr, sort_order order, uint64_t rows = all_rows);
void sort_sites(node_array<hnode>* arr, sort_order order, uint64_t rows = all_rows);
void sort_referrers(node_array<rnode>* arr, uint64_t rows = all_rows);
void sort_search(node_array<snode>* arr, uint64_t rows = all_rows);
void sort_users(node_array<inode>* arr, uint64_t rows = all_rows);
void sort_agents(node_array<anode>* arr, uint64_t rows = all_rows);

// Table percentages: value / total computed in single precision, times 100;
// 0 when total is 0.
double share_pct(uint64_t value, uint64_t total);
// Kilobyte share: bytes rounded to single precision, over total in double
// precision, times 100; 0 when total is 0.
double kbyte_pct(double bytes, double total);

// The writers read the current array of their kind (sorted as their order
// needs) and month_totals; each may write its view-all page and link to it.
void write_top_urls(bool by_kbytes);
void write_top_entry_exit(bool exit);
void write_top_sites(bool by_kbytes);
void write_top_referrers();
void write_top_search();
void write_top_users();
void write_top_agents();
