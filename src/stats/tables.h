// Statistics tables: the per-month sites, URLs, referrers, agents, search
// strings and users, and the run-wide resolver work items, each in a chained
// table of 4096 buckets indexed by hash_string. New nodes go to the head of
// their bucket, so a walk (buckets 0..4095, each from its head) lists a bucket
// newest first; that walk order is what the state file, the dumps and the
// sort ties see, and it never changes for the same input.
//
// The tables own their nodes and the nodes' names; node and name pointers stay
// valid until the table is emptied (clear_table, free_all_tables). Other
// subsystems only read nodes, except the state file, which rebuilds them
// through the add operations. Lookups go through an index beside the buckets,
// so their cost does not grow with the table; the buckets stay the one source
// of walk order. Needs settings (Hide lists, HideAllSites, VisitTimeout,
// Verbosity, Debug), the page test and log_rec.request (the current URL).
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
    uint32_t store_size;    // bytes of node and name in the table's storage (tables.cc only)
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

struct table_arena;  // blocks holding a table's nodes and names (tables.cc)

static_assert(sizeof(dnode::addr) == 128, "room for any socket address");

// A table: its buckets (walk order) plus the lookup index. Treat as opaque
// except for walking buckets[0..4095] through next.
//
// Nodes and their names are carved from the table's arena and freed with it,
// all at once, by clear_table or free_all_tables; a node is never freed alone.
// The index is linear probing, slot = (hash * golden) >> slot_shift; a slot
// keeps the name's full hash and group flag beside the node pointer, so a
// probe touches a node only when its name is almost surely the one sought.
// It doubles when half full, so a lookup costs the same in a table of ten
// names as in one of a million.
template <class Node>
struct index_slot {
    uint32_t hash;   // full hash of the node's name
    uint32_t group;  // 1 when the node is a group
    Node* node;      // nullptr: free slot
};

template <class Node>
struct node_table {
    Node* buckets[table_size];
    index_slot<Node>* slots;  // index, nullptr until the first insert
    uint32_t slot_mask;   // capacity - 1 (capacity a power of two), 0 when none
    uint32_t count;       // nodes in the table
    uint32_t slot_shift;  // 32 - log2(capacity)
    table_arena* arena;   // storage of nodes and names
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
// table_nomem (the table is unchanged). A name over its kind's limit is cut in
// the caller's buffer first, with the "String exceeds storage size" warning,
// and only then looked up, so a long name and its cut form are one entry.
// counter (may be nullptr) is the caller's count of distinct non-group
// entries, raised for each new one. add_referrer rewrites a name beginning
// with "-" to "- (Direct Request)" in the caller's buffer, which must then
// hold 19 bytes. Group site entries keep hits, files, bytes and visits but
// never count entry or exit pages.
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

// The page test of the record being counted. add_site and add_user ask
// is_page(log_rec.request) for every call; record processing answers it once
// per record here (1 page, 0 not) and withdraws the answer (-1) when done.
void set_record_page(int page);

// Hints before the inserts of one record, in two steps so that memory loads
// overlap instead of following one another: prefetch_record starts loading
// the index entries that host, url and referrer will touch (the tables that
// grow large), prefetch_record_nodes, called a little later, the nodes those
// entries name. prefetch_record may be called once per name as each becomes
// final (nullptr: leave that name as it is). They change nothing; a table
// that changed in between is skipped.
void prefetch_record(const char* host, const char* url, const char* referrer);
void prefetch_record_nodes();
// Record processing vouches, once the record's names are final, that the
// URL and referrer buffers (and the host, when host_unchanged) still hold what
// prefetch_record saw; until set_record_page(-1), inserts of those buffers
// reuse the prefetch's length and hash.
void vouch_prefetched_names(bool host_unchanged);

// Names hashed ahead of counting (the two-thread pass hashes each record
// from its packed texts as soon as it is the next one): name_hashes are the
// lengths and hashes of a record's host, URL and referrer, taken anywhere
// (they need no table);
// warm_index starts loading the index entries of the record after the one
// being counted, and use_name_hashes stands for prefetch_record once that
// record is in log_rec. (Warming the nodes a record ahead as well, or the
// index entries two ahead, was measured slower.)
struct name_hashes {
    uint32_t len[3], hash[3];  // host, URL, referrer
    bool known[3];             // false: over its limit, or rewritten by its insert
    uint32_t agent_len, agent_slot;  // the agent's length and its place in the agents' hash memo
};
// names and lengths: host, URL, referrer, then the agent (not necessarily
// zero-terminated).
void hash_names(const char* const names[3], const uint32_t lengths[3], const char* agent, uint32_t agent_len,
                name_hashes* out);
void warm_index(const name_hashes& h);
void use_name_hashes(const name_hashes& h);

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
