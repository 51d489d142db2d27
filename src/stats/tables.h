// Statistics tables: the per-month sites, URLs, referrers, agents, search
// strings and users, and the run-wide resolver work items, each in a chained
// table of 4096 buckets indexed by hash_string. New nodes go to the head of
// their bucket, so a walk (buckets 0..4095, each from its head) lists a bucket
// newest first; that walk order is what the state file, the dumps and the
// sort ties see, and it never changes for the same input.
//
// The tables own their nodes and the nodes' names. Other subsystems only read
// nodes, except the state file, which rebuilds them through the add operations.
// Lookups go through an index beside the buckets, so their cost does not grow
// with the table; the buckets stay the one source of walk order.
#pragma once

#include <cstdint>

constexpr int table_size = 4096;

enum node_kind : int32_t { node_normal = 0, node_hidden = 1, node_group = 2 };

enum table_code : int { table_ok = 0, table_nomem = 1 };

// Name limits per kind (the storage size is limit + 1).
constexpr int hnode_limit = 255, unode_limit = 511, rnode_limit = 255, anode_limit = 127;
constexpr int snode_limit = 127, inode_limit = 63, dnode_limit = 255;

struct hnode {          // site: "192.0.2.7" -> hits 12, visits 2, last_page "/a.html"
    char* name;
    int32_t kind;
    uint64_t hits, files, visits, last_time;
    const char* last_page;  // name owned by a URL node, or the shared empty string
    double bytes;
    hnode* next;
    uint32_t hash;          // full 32-bit hash of name
};

struct unode {          // URL: "/index.html" -> hits 40, entries 3, exits 2
    char* name;
    int32_t kind;
    uint64_t hits, entries, exits;
    double bytes;
    unode* next;
    uint32_t hash;
};

struct rnode {          // referrer: "http://example.com/" -> hits 5
    char* name;
    int32_t kind;
    uint64_t hits;
    rnode* next;
    uint32_t hash;
};

struct anode {          // agent: "Mozilla/5.0 (X11)" -> hits 9
    char* name;
    int32_t kind;
    uint64_t hits;
    anode* next;
    uint32_t hash;
};

struct snode {          // search string: "cheap flights" -> hits 2
    char* name;
    uint64_t hits;
    snode* next;
    uint32_t hash;
};

struct inode {          // user: "alice" -> hits 7, visits 1
    char* name;
    int32_t kind;
    uint64_t hits, files, visits, last_time;
    double bytes;
    inode* next;
    uint32_t hash;
};

struct dnode {          // resolver work item: "192.0.2.7" -> socket address
    char* name;
    unsigned char addr[128];  // copy of a socket address, zero when none
    int32_t addr_len;
    dnode* resolver_link;     // set and used by the resolver only
    dnode* next;
    uint32_t hash;
};

// A table: its buckets (walk order) plus the lookup index. Treat as opaque
// except for walking buckets[0..4095] through next.
template <class Node>
struct node_table {
    Node* buckets[table_size];
    // Lookup index: open addressing over node pointers, keyed by the full hash.
    Node** slots;
    uint32_t slot_mask;  // capacity - 1 (capacity a power of two), 0 when none
    uint32_t count;      // nodes in the table
};

using site_table_t = node_table<hnode>;
extern site_table_t site_table;        // sites of the month
extern site_table_t daily_site_table;  // sites of the current day
extern node_table<unode> url_table;
extern node_table<rnode> referrer_table;
extern node_table<anode> agent_table;
extern node_table<snode> search_table;
extern node_table<inode> user_table;
extern node_table<dnode> dns_table;    // resolver items of the whole run

// The shared empty string that last_page points at when there is no page.
extern const char empty_name[];

// SuperFastHash of text, the full 32-bit value; the bucket is its low 12 bits.
uint32_t hash_full(const char* text, uint32_t len);
// Bucket index 0..4095 of text.
int hash_string(const char* text);

// Insert-or-update. Each returns table_ok (also when it ignores the name) or
// table_nomem. A name at or over its kind's storage size is cut in the caller's
// buffer first, with the "String exceeds storage size" warning. counter is the
// caller's count of distinct non-group entries, raised for each new one.
int add_site(char* name, int kind, uint64_t hits, uint64_t files, uint64_t* counter,
             uint64_t restore_visits, double bytes, uint64_t time, const char* restore_last_page,
             site_table_t* table);
int add_url(char* name, int kind, uint64_t hits, uint64_t* counter, uint64_t entries,
            uint64_t exits, double bytes);
int add_referrer(char* name, int kind, uint64_t hits, uint64_t* counter);
int add_agent(char* name, int kind, uint64_t hits, uint64_t* counter);
int add_search(char* name, uint64_t hits);
int add_user(char* name, int kind, uint64_t hits, uint64_t files, uint64_t* counter,
             uint64_t restore_visits, double bytes, uint64_t time);
int add_dns(char* name, const void* addr, int addr_len);

// Name string of the first URL node named text (any kind), or empty_name.
const char* find_url_name(const char* text);
// Sum of visits over the non-group nodes of a site table.
uint64_t sum_visits(const site_table_t* table);
// Counts an exit for every visit of site_table that is over at time now.
void close_visits(uint64_t now);
// Frees every node of one site table and empties it.
void clear_table(site_table_t* table);
// Empties the seven statistics tables (dns_table is kept).
void free_all_tables();
