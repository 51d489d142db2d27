// Statistics tables: hashing, node storage, the lookup index and the
// insert-or-update operations with their visit, entry and exit bookkeeping.
// See stats/tables.h.
#include "stats/tables.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>

#include "input/log_rec.h"
#include "lang/lang.h"
#include "run/settings.h"
#include "stats/lists.h"

site_table_t site_table;
site_table_t daily_site_table;
node_table<unode> url_table;
node_table<rnode> referrer_table;
node_table<anode> agent_table;
node_table<snode> search_table;
node_table<inode> user_table;
node_table<dnode> dns_table;

const char empty_name[] = "";

// ------------------------------------------------------------------ hashing

namespace {

inline uint32_t read16(const unsigned char* p) { return uint32_t(p[0]) | (uint32_t(p[1]) << 8); }

// A byte of the remainder counts as a signed char, so bytes above 127 are
// sign-extended; this fixes the bucket (and the walk order) of every name.
inline uint32_t signed_byte(unsigned char c) { return uint32_t(int32_t(static_cast<signed char>(c))); }

}  // namespace

uint32_t hash_full(const char* text, uint32_t len) {
    if (len == 0 || text == nullptr) return 0;
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    uint32_t h = len;
    for (uint32_t groups = len >> 2; groups > 0; --groups, p += 4) {
        h += read16(p);
        const uint32_t t = (read16(p + 2) << 11) ^ h;
        h = (h << 16) ^ t;
        h += h >> 11;
    }
    switch (len & 3) {
    case 3:
        h += read16(p);
        h ^= h << 16;
        h ^= signed_byte(p[2]) << 18;
        h += h >> 11;
        break;
    case 2:
        h += read16(p);
        h ^= h << 11;
        h += h >> 17;
        break;
    case 1:
        h += signed_byte(p[0]);
        h ^= h << 10;
        h += h >> 1;
        break;
    }
    h ^= h << 3;
    h += h >> 5;
    h ^= h << 4;
    h += h >> 17;
    h ^= h << 25;
    h += h >> 6;
    return h;
}

int hash_string(const char* text) {
    if (text == nullptr) return 0;
    return int(hash_full(text, uint32_t(std::strlen(text))) & (table_size - 1));
}

// ------------------------------------------------------------------- arenas

// A table's storage: a chain of blocks, newest first, each filled from the
// front. Block sizes double up to 2 MiB so that a table of a few names costs
// a few kilobytes and a table of a million names some dozens of blocks.
struct alignas(16) table_arena {
    table_arena* next;
    std::size_t used, size;
    bool mapped;  // a block of its own mapping (big_alloc), not from malloc
    unsigned char* data() { return reinterpret_cast<unsigned char*>(this + 1); }
};

namespace {

// The index of a big table and the later blocks of its storage are mapped on
// their own, 2 MiB aligned, and offered to the kernel for huge pages: a busy
// month spreads its look-ups over a hundred megabytes or more, and with
// 4 KiB pages nearly every look-up also missed the address translation
// cache. The offer is only a hint; where it is refused the memory is the
// same, only slower.
constexpr std::size_t huge_page = std::size_t(2) << 20;

// bytes (a multiple of huge_page) of zeroed memory, or nullptr.
void* big_alloc(std::size_t bytes) {
    const std::size_t span = bytes + huge_page;
    void* p = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    const auto start = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t aligned = (start + huge_page - 1) & ~std::uintptr_t(huge_page - 1);
    if (aligned > start) munmap(p, aligned - start);
    if (start + span > aligned + bytes) munmap(reinterpret_cast<void*>(aligned + bytes), start + span - aligned - bytes);
    madvise(reinterpret_cast<void*>(aligned), bytes, MADV_HUGEPAGE);
    return reinterpret_cast<void*>(aligned);
}

void big_free(void* p, std::size_t bytes) { munmap(p, bytes); }

constexpr std::size_t first_block = 16 * 1024, last_block = huge_page - sizeof(table_arena);
static_assert(sizeof(table_arena) % 16 == 0, "arena data stays 16-byte aligned");

inline std::size_t stored_size(std::size_t bytes) { return (bytes + 15) & ~std::size_t(15); }

void* arena_alloc(table_arena** arena, std::size_t bytes) {
    bytes = stored_size(bytes);
    table_arena* a = *arena;
    if (a == nullptr || a->size - a->used < bytes) {
        std::size_t size = a ? a->size * 2 : first_block;
        if (size > last_block) size = last_block;
        if (size < bytes) size = bytes;
        const bool mapped = size == last_block;
        auto* b = static_cast<table_arena*>(mapped ? big_alloc(huge_page) : std::malloc(sizeof(table_arena) + size));
        if (b == nullptr) return nullptr;
        b->next = a;
        b->used = 0;
        b->size = size;
        b->mapped = mapped;
        *arena = a = b;
    }
    void* p = a->data() + a->used;
    a->used += bytes;
    return p;
}

void arena_free(table_arena** arena) {
    for (table_arena* a = *arena; a != nullptr;) {
        table_arena* next = a->next;
        if (a->mapped)
            big_free(a, huge_page);
        else
            std::free(a);
        a = next;
    }
    *arena = nullptr;
}

// ------------------------------------------------------------ table engine

template <class Node>
constexpr bool has_kind = requires(Node n) { n.kind; };

template <class Node>
inline bool is_group(const Node* n) {
    if constexpr (has_kind<Node>)
        return n->kind == node_group;
    else
        return false;
}

inline uint32_t slot_of(uint32_t hash, uint32_t shift) { return (hash * 0x9E3779B1u) >> shift; }

inline bool same_name(const char* stored, const char* name, uint32_t len) {
    return std::memcmp(stored, name, len) == 0 && stored[len] == '\0';
}

// The node named name whose group-ness is group (the matching rule: equal
// kinds, or neither a group), or nullptr.
template <class Node>
Node* find_node(const node_table<Node>* t, const char* name, uint32_t len, uint32_t hash, bool group) {
    if (t->slots == nullptr) return nullptr;
    for (uint32_t i = slot_of(hash, t->slot_shift);; i = (i + 1) & t->slot_mask) {
        const index_slot<Node>& s = t->slots[i];
        if (s.node == nullptr) return nullptr;
        if (s.hash == hash && s.group == uint32_t(group) && same_name(s.node->name, name, len)) return s.node;
    }
}

// The first node in walk order named name, whatever its kind. A name has at
// most two nodes (one group, one not), both on the same probe run; when both
// exist the bucket decides.
template <class Node>
Node* find_any(const node_table<Node>* t, const char* name, uint32_t len, uint32_t hash) {
    if (t->slots == nullptr) return nullptr;
    Node* found[2] = {nullptr, nullptr};
    for (uint32_t i = slot_of(hash, t->slot_shift);; i = (i + 1) & t->slot_mask) {
        const index_slot<Node>& s = t->slots[i];
        if (s.node == nullptr) break;
        if (s.hash == hash && same_name(s.node->name, name, len)) found[s.group] = s.node;
    }
    if (found[0] == nullptr || found[1] == nullptr) return found[0] ? found[0] : found[1];
    for (Node* n = t->buckets[hash & (table_size - 1)]; n != nullptr; n = n->next)
        if (n == found[0] || n == found[1]) return n;
    return found[0];
}

// Zeroed room for an index of bytes (a power of two).
void* index_alloc(std::size_t bytes) { return bytes >= huge_page ? big_alloc(bytes) : std::calloc(1, bytes); }

void index_free(void* slots, std::size_t bytes) {
    if (bytes >= huge_page)
        big_free(slots, bytes);
    else
        std::free(slots);
}

template <class Node>
bool grow_index(node_table<Node>* t) {
    const uint32_t capacity = t->slots ? (t->slot_mask + 1) * 2 : 256;
    auto* slots = static_cast<index_slot<Node>*>(index_alloc(capacity * sizeof(index_slot<Node>)));
    if (slots == nullptr) return false;
    uint32_t shift = 32;
    for (uint32_t c = capacity; c > 1; c >>= 1) --shift;
    if (t->slots) {
        for (uint32_t i = 0; i <= t->slot_mask; ++i) {
            const index_slot<Node>& s = t->slots[i];
            if (s.node == nullptr) continue;
            uint32_t j = slot_of(s.hash, shift);
            while (slots[j].node != nullptr) j = (j + 1) & (capacity - 1);
            slots[j] = s;
        }
        index_free(t->slots, (t->slot_mask + 1) * sizeof(index_slot<Node>));
    }
    t->slots = slots;
    t->slot_mask = capacity - 1;
    t->slot_shift = shift;
    return true;
}

// A new zeroed node named name at the head of its bucket and in the index,
// or nullptr (table unchanged) when memory runs out. group is fixed for the
// node's life: kinds only ever change from normal to hidden.
template <class Node>
Node* insert_node(node_table<Node>* t, const char* name, uint32_t len, uint32_t hash, bool group = false) {
    if (t->slots == nullptr || (t->count + 1) * 2 > t->slot_mask + 1) {
        if (!grow_index(t)) return nullptr;
    }
    void* mem = arena_alloc(&t->arena, sizeof(Node) + len + 1);
    if (mem == nullptr) return nullptr;
    Node* n = new (mem) Node{};
    n->name = reinterpret_cast<char*>(n + 1);
    std::memcpy(n->name, name, len);
    n->name[len] = '\0';
    n->hash = hash;
    if constexpr (std::is_same_v<Node, hnode>) n->store_size = uint32_t(stored_size(sizeof(Node) + len + 1));
    const int b = int(hash & (table_size - 1));
    n->next = t->buckets[b];
    t->buckets[b] = n;
    uint32_t i = slot_of(hash, t->slot_shift);
    while (t->slots[i].node != nullptr) i = (i + 1) & t->slot_mask;
    t->slots[i] = index_slot<Node>{hash, uint32_t(group), n};
    ++t->count;
    return n;
}

// Bumped whenever a table is emptied: node pointers remembered under an
// older value may be gone.
uint64_t table_generation = 1;

template <class Node>
void empty_table(node_table<Node>* t) {
    ++table_generation;
    arena_free(&t->arena);
    if (t->slots) index_free(t->slots, (t->slot_mask + 1) * sizeof(index_slot<Node>));
    std::memset(t->buckets, 0, sizeof(t->buckets));
    t->slots = nullptr;
    t->slot_mask = 0;
    t->slot_shift = 0;
    t->count = 0;
}

// Cuts name in place to limit characters, with the over-long-name warning
// (who is the warning's tag, such as "new_hnode"). Returns the length.
uint32_t cut_name(char* name, uint32_t limit, const char* who) {
    const std::size_t len = std::strlen(name);
    if (len <= limit) return uint32_t(len);
    name[limit] = '\0';
    if (settings.Verbosity != 0) {
        std::fprintf(stderr, "[%s] %s (%d)", who, con_string_too_long, int(len));
        if (settings.Debug) std::fprintf(stderr, ":\n--> %s", name);
        std::fputc('\n', stderr);
    }
    return limit;
}

// Page answer of the record being counted: -1 unknown (ask is_page).
int record_page = -1;

// The record's host, URL and referrer as hashed for the prefetch. While the
// record is counted, and only for names record processing has vouched for
// (vouch_prefetched_names), an insert of the same buffer at the same length
// reuses length and hash instead of scanning the name twice more.
struct known_name {
    const char* name;  // nullptr: none
    uint32_t len, hash;
};
known_name known[3];  // host, URL, referrer
bool known_vouched = false;

// Length (after the over-long cut) and hash of a name given to an insert.
uint32_t cut_and_hash(char* name, uint32_t limit, const char* who, uint32_t* hash) {
    if (known_vouched)
        for (const known_name& k : known)
            if (k.name == name) {
                *hash = k.hash;
                return k.len;
            }
    const uint32_t len = cut_name(name, limit, who);
    *hash = hash_full(name, len);
    return len;
}

// Agents are long and few (hundreds in a busy month), and nearly every record
// names one: their hashes are remembered by name, in 4096 slots chosen by a
// quick mix of the name's bytes (agent_slot), e.g.
// "Mozilla/5.0 (X11)" -> 0x8f3e21c4. A hash depends on the name alone, so a
// remembered one is always right; a slot taken by another name only costs a
// full hash.
// A slot also remembers the agent's non-group node while the tables have not
// been emptied since (generation), so a known agent costs no index look-up.
struct agent_hash_slot {
    uint32_t len, hash;  // len 0: empty
    anode* node;         // nullptr: not known
    uint64_t generation;
    char name[anode_limit + 1];
};
constexpr uint32_t agent_slot_bits = 12;
agent_hash_slot agent_hashes[1u << agent_slot_bits];

inline uint64_t load8(const unsigned char* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Slot of a name of len (1..anode_limit) characters, from every byte of it
// (agents differ in version numbers anywhere), eight at a time; only bytes
// inside the name are read.
inline uint32_t agent_slot(const unsigned char* u, uint32_t len) {
    uint64_t x = len;
    uint32_t i = 0;
    for (; i + 8 <= len; i += 8) x = (x ^ load8(u + i)) * 0x9e3779b97f4a7c15ull;
    if (i < len) {
        uint64_t tail = 0;
        if (len >= 8)
            tail = load8(u + len - 8);
        else
            for (; i < len; ++i) tail = (tail << 8) | u[i];
        x = (x ^ tail) * 0x9e3779b97f4a7c15ull;
    }
    return uint32_t((x ^ (x >> 29)) * 0xff51afd7ed558ccdull >> (64 - agent_slot_bits));
}

// The record's agent as measured off the counting side (name nullptr: none),
// used like known[] while the record's names are vouched for.
struct known_agent_rec {
    const char* name;
    uint32_t len, slot;
} known_agent;

// Sets *slot to the agent's slot, which then holds name (nullptr for an
// empty name).

uint32_t cut_and_hash_agent(char* name, const char* who, uint32_t* hash, agent_hash_slot** slot_out) {
    *slot_out = nullptr;
    const bool measured = known_vouched && known_agent.name == name;
    const uint32_t len = measured ? known_agent.len : cut_name(name, anode_limit, who);
    if (len == 0) {
        *hash = 0;
        return 0;
    }
    const auto* u = reinterpret_cast<const unsigned char*>(name);
    agent_hash_slot& slot = agent_hashes[measured ? known_agent.slot : agent_slot(u, len)];
    *slot_out = &slot;
    if (slot.len == len && std::memcmp(slot.name, name, len) == 0) {
        *hash = slot.hash;
        return len;
    }
    *hash = hash_full(name, len);
    slot.len = len;
    slot.hash = *hash;
    slot.node = nullptr;
    std::memcpy(slot.name, name, len);
    return len;
}

bool current_is_page() {
    if (record_page >= 0) return record_page != 0;
    return is_page(log_rec.request);
}

// Both URL nodes named like the record's URL (the first in walk order and the
// first non-group one), looked up once per counted record: every site insert
// of the record needs them, and only a URL insert can change them.
struct url_memo {
    bool valid;
    unode* any;
    unode* plain;
} current_url;

void find_current_url(unode** any, unode** plain) {
    if (record_page >= 0 && current_url.valid) {
        *any = current_url.any;
        *plain = current_url.plain;
        return;
    }
    const char* text = log_rec.request;
    const bool known_url = known_vouched && known[1].name == text;
    const uint32_t len = known_url ? known[1].len : uint32_t(strnlen(text, sizeof(log_rec.request)));
    *any = *plain = nullptr;
    if (len <= uint32_t(unode_limit)) {
        const uint32_t hash = known_url ? known[1].hash : hash_full(text, len);
        *any = find_any(&url_table, text, len, hash);
        *plain = (*any == nullptr || (*any)->kind != node_group) ? *any
                                                                  : find_node(&url_table, text, len, hash, false);
    }
    current_url = url_memo{record_page >= 0, *any, *plain};
}

unode* find_plain_url(const char* name) {
    const uint32_t len = uint32_t(std::strlen(name));
    if (len > uint32_t(unode_limit)) return nullptr;
    return find_node(&url_table, name, len, hash_full(name, len), false);
}

// The non-group URL node named like a site's last page. last_page is the
// name of a URL node (stored right behind it) or the shared empty string;
// when that node is no group it is the one, with no look-up.
unode* plain_url_of_page(const char* last_page) {
    if (last_page != empty_name) {
        unode* u = reinterpret_cast<unode*>(const_cast<char*>(last_page)) - 1;
        if (u->name == last_page && u->kind != node_group) return u;
    }
    return find_plain_url(last_page);
}

inline bool visit_over(uint64_t now, uint64_t last) {
    // Unsigned on purpose: a time before last_time gives a huge difference
    // and so starts a new visit.
    return now - last >= uint64_t(int64_t(settings.VisitTimeout));
}

}  // namespace

void set_record_page(int page) {
    record_page = page < 0 ? -1 : (page != 0);
    current_url.valid = false;
    if (page < 0) known_vouched = false;
}

void vouch_prefetched_names(bool host_unchanged) {
    if (!host_unchanged) known[0].name = nullptr;
    known_vouched = true;
}

// ---------------------------------------------------------------- prefetch

namespace {

struct warm_name {
    const void* slots;  // the index the slot was taken from; nullptr: none
    uint32_t hash;
    uint32_t slot;
};

warm_name warm_site, warm_daily, warm_url, warm_referrer;

// Hash of name for the prefetch, or nothing (false) when it is over limit.
bool warm_hash(const char* name, uint32_t limit, uint32_t* hash, uint32_t* length) {
    const uint32_t len = uint32_t(strnlen(name, limit + 1));
    if (len > limit) return false;
    *hash = hash_full(name, len);
    *length = len;
    return true;
}

template <class Node>
warm_name warm_slot(const node_table<Node>* t, uint32_t hash) {
    warm_name w{nullptr, 0, 0};
    if (t->slots == nullptr) return w;
    w.slots = t->slots;
    w.hash = hash;
    w.slot = slot_of(w.hash, t->slot_shift);
    __builtin_prefetch(&t->slots[w.slot]);
    __builtin_prefetch(&t->buckets[w.hash & (table_size - 1)]);  // for a new node
    return w;
}

template <class Node>
void warm_node(const node_table<Node>* t, warm_name& w) {
    if (w.slots == nullptr || w.slots != t->slots) return;
    w.slots = nullptr;
    // The table may have been emptied and regrown at the same address since
    // the slot was saved, so the slot is kept inside its current size.
    for (uint32_t i = w.slot & t->slot_mask, probes = 0; probes < 4; i = (i + 1) & t->slot_mask, ++probes) {
        const index_slot<Node>& s = t->slots[i];
        if (s.node == nullptr) return;
        if (s.hash == w.hash) {
            // The node and the start of its name (stored right after it)
            // span up to three cache lines.
            const char* at = reinterpret_cast<const char*>(s.node);
            __builtin_prefetch(at);
            __builtin_prefetch(at + 64);
            __builtin_prefetch(at + sizeof(Node) + 16);
            return;
        }
    }
}

}  // namespace

void prefetch_record(const char* host, const char* url, const char* referrer) {
    uint32_t hash, len;
    known_vouched = false;
    known_agent.name = nullptr;
    if (host) {
        known[0].name = nullptr;
        if (warm_hash(host, hnode_limit, &hash, &len)) {
            warm_site = warm_slot(&site_table, hash);
            warm_daily = warm_slot(&daily_site_table, hash);
            known[0] = known_name{host, len, hash};
        }
    }
    if (url) {
        known[1].name = nullptr;
        if (warm_hash(url, unode_limit, &hash, &len)) {
            warm_url = warm_slot(&url_table, hash);
            if (url[0] != '-') known[1] = known_name{url, len, hash};
        }
    }
    if (referrer) {
        known[2].name = nullptr;
        // A referrer beginning with "-" is rewritten by its insert.
        if (warm_hash(referrer, rnode_limit, &hash, &len)) {
            warm_referrer = warm_slot(&referrer_table, hash);
            if (referrer[0] != '-') known[2] = known_name{referrer, len, hash};
        }
    }
}

void prefetch_record_nodes() {
    warm_node(&url_table, warm_url);
    warm_node(&referrer_table, warm_referrer);
    warm_node(&daily_site_table, warm_daily);
    warm_node(&site_table, warm_site);
}

void hash_names(const char* const names[3], const uint32_t lengths[3], const char* agent, uint32_t agent_len,
                name_hashes* out) {
    // An agent field holds at most anode_limit characters, so none is cut.
    out->agent_len = agent_len;
    out->agent_slot = agent_len > 0 ? agent_slot(reinterpret_cast<const unsigned char*>(agent), agent_len) : 0;
    const uint32_t limits[3] = {hnode_limit, unode_limit, rnode_limit};
    for (int i = 0; i < 3; ++i) {
        // A URL or referrer beginning with "-" is rewritten by its insert.
        out->known[i] = lengths[i] <= limits[i] && !(i > 0 && lengths[i] > 0 && names[i][0] == '-');
        out->len[i] = lengths[i];
        out->hash[i] = out->known[i] ? hash_full(names[i], lengths[i]) : 0;
    }
}

namespace {

template <class Node>
inline void warm_index_of(const node_table<Node>* t, uint32_t hash) {
    if (t->slots != nullptr) __builtin_prefetch(&t->slots[slot_of(hash, t->slot_shift)]);
}

}  // namespace

void warm_index(const name_hashes& h) {
    if (h.known[0]) {
        warm_index_of(&site_table, h.hash[0]);
        warm_index_of(&daily_site_table, h.hash[0]);
    }
    if (h.known[1]) warm_index_of(&url_table, h.hash[1]);
    if (h.known[2]) warm_index_of(&referrer_table, h.hash[2]);
}

void use_name_hashes(const name_hashes& h) {
    known_vouched = false;
    const char* names[3] = {log_rec.host, log_rec.request, log_rec.referrer};
    for (int i = 0; i < 3; ++i)
        known[i] = h.known[i] ? known_name{names[i], h.len[i], h.hash[i]} : known_name{nullptr, 0, 0};
    known_agent = known_agent_rec{log_rec.user_agent, h.agent_len, h.agent_slot};
    // Index entries now, nodes in prefetch_record_nodes.
    if (h.known[0]) {
        warm_site = warm_slot(&site_table, h.hash[0]);
        warm_daily = warm_slot(&daily_site_table, h.hash[0]);
    }
    if (h.known[1]) warm_url = warm_slot(&url_table, h.hash[1]);
    if (h.known[2]) warm_referrer = warm_slot(&referrer_table, h.hash[2]);
}

// ----------------------------------------------------------------- queries

const char* find_url_name(const char* text) {
    if (text == nullptr) return empty_name;
    const uint32_t len = uint32_t(std::strlen(text));
    if (len > uint32_t(unode_limit)) return empty_name;
    unode* n = find_any(&url_table, text, len, hash_full(text, len));
    return n ? n->name : empty_name;
}

namespace {

// Every site of table in storage order (not walk order), for the sums that
// do not depend on order: the storage is read front to back instead of
// chasing bucket chains across the heap.
template <class F>
void for_each_site(const site_table_t* table, F f) {
    for (table_arena* a = table->arena; a != nullptr; a = a->next) {
        for (std::size_t at = 0; at < a->used;) {
            auto* n = reinterpret_cast<hnode*>(a->data() + at);
            f(n);
            at += n->store_size;
        }
    }
}

}  // namespace

uint64_t sum_visits(const site_table_t* table) {
    uint64_t sum = 0;
    for_each_site(table, [&sum](const hnode* n) {
        if (n->kind != node_group) sum += n->visits;
    });
    return sum;
}

void close_visits(uint64_t now) {
    for_each_site(&site_table, [now](const hnode* n) {
        if (n->kind == node_group || !visit_over(now, n->last_time)) return;
        if (unode* u = plain_url_of_page(n->last_page)) ++u->exits;
    });
}

void clear_table(site_table_t* table) { empty_table(table); }

void free_all_tables() {
    current_url.valid = false;
    empty_table(&daily_site_table);
    empty_table(&url_table);
    empty_table(&site_table);
    empty_table(&referrer_table);
    empty_table(&agent_table);
    empty_table(&search_table);
    empty_table(&user_table);
}

// -------------------------------------------------------- insert-or-update

int add_url(char* name, int kind, uint64_t hits, uint64_t* counter, uint64_t entries, uint64_t exits,
            double bytes) {
    if (name[0] == '-') return table_ok;
    uint32_t hash;
    const uint32_t len = cut_and_hash(name, unode_limit, "new_unode", &hash);
    if (unode* n = find_node(&url_table, name, len, hash, kind == node_group)) {
        n->hits += hits;
        n->bytes += bytes;
        return table_ok;
    }
    unode* n = insert_node(&url_table, name, len, hash, kind == node_group);
    if (n == nullptr) return table_nomem;
    current_url.valid = false;
    n->kind = kind;
    n->hits = hits;
    n->bytes = bytes;
    n->entries = entries;
    n->exits = exits;
    if (kind != node_group) {
        if (counter) ++*counter;
        if (settings.HideURL && list_match(settings.HideURL, n->name)) n->kind = node_hidden;
    }
    return table_ok;
}

namespace {

// Referrers and agents: one hit counter and a Hide list.
template <class Node>
int add_counted(node_table<Node>* t, char* name, uint32_t limit, const char* who, int kind, uint64_t hits,
                uint64_t* counter, const nlist* hide) {
    uint32_t hash;
    uint32_t len;
    agent_hash_slot* slot = nullptr;  // agents only; kept for non-group nodes
    if constexpr (std::is_same_v<Node, anode>) {
        len = cut_and_hash_agent(name, who, &hash, &slot);
        if (kind == node_group) slot = nullptr;
        if (slot != nullptr && slot->node != nullptr && slot->generation == table_generation) {
            slot->node->hits += hits;
            return table_ok;
        }
    } else {
        len = cut_and_hash(name, limit, who, &hash);
    }
    auto remember = [&](Node* n) {
        if constexpr (std::is_same_v<Node, anode>)
            if (slot != nullptr) {
                slot->node = n;
                slot->generation = table_generation;
            }
    };
    if (Node* n = find_node(t, name, len, hash, kind == node_group)) {
        n->hits += hits;
        remember(n);
        return table_ok;
    }
    Node* n = insert_node(t, name, len, hash, kind == node_group);
    if (n == nullptr) return table_nomem;
    remember(n);
    n->kind = kind;
    n->hits = hits;
    if (kind != node_group) {
        if (counter) ++*counter;
        if (hide && list_match(hide, n->name)) n->kind = node_hidden;
    }
    return table_ok;
}

constexpr char direct_request[] = "- (Direct Request)";
static_assert(sizeof(direct_request) - 1 == 18 && sizeof(direct_request) <= sizeof(log_record::referrer));

}  // namespace

int add_referrer(char* name, int kind, uint64_t hits, uint64_t* counter) {
    // The caller's buffer must hold 19 bytes when name begins with "-".
    if (name[0] == '-') std::memcpy(name, direct_request, sizeof(direct_request));
    return add_counted(&referrer_table, name, rnode_limit, "new_rnode", kind, hits, counter,
                       settings.HideReferrer);
}

int add_agent(char* name, int kind, uint64_t hits, uint64_t* counter) {
    if (name[0] == '-') return table_ok;
    return add_counted(&agent_table, name, anode_limit, "new_anode", kind, hits, counter, settings.HideAgent);
}

int add_search(char* name, uint64_t hits) {
    if (name[0] == '\0' || name[0] == ' ') return table_ok;
    const uint32_t len = cut_name(name, snode_limit, "new_snode");
    const uint32_t hash = hash_full(name, len);
    if (snode* n = find_node(&search_table, name, len, hash, false)) {
        n->hits += hits;
        return table_ok;
    }
    snode* n = insert_node(&search_table, name, len, hash);
    if (n == nullptr) return table_nomem;
    n->hits = hits;
    return table_ok;
}

int add_site(char* name, int kind, uint64_t hits, uint64_t files, uint64_t* counter, uint64_t restore_visits,
             double bytes, uint64_t time, const char* restore_last_page, site_table_t* table) {
    uint32_t hash;
    const uint32_t len = cut_and_hash(name, hnode_limit, "new_hnode", &hash);
    // Entry and exit pages belong to the visits of real sites in the month's
    // table; a group total has visits of its own but must not count its
    // members' entries and exits a second time.
    const bool pages_counted = table == &site_table && kind != node_group;

    if (hnode* n = find_node(table, name, len, hash, kind == node_group)) {
        n->hits += hits;
        n->files += files;
        n->bytes += bytes;
        if (!current_is_page()) return table_ok;
        unode *any, *plain;
        find_current_url(&any, &plain);
        if (visit_over(time, n->last_time)) {
            ++n->visits;
            if (pages_counted) {
                if (unode* u = plain_url_of_page(n->last_page)) ++u->exits;
                if (plain) ++plain->entries;
            }
        }
        n->last_page = any ? any->name : empty_name;
        n->last_time = time;
        return table_ok;
    }

    hnode* n = insert_node(table, name, len, hash, kind == node_group);
    if (n == nullptr) return table_nomem;
    n->kind = kind;
    n->hits = hits;
    n->files = files;
    n->bytes = bytes;
    n->last_page = empty_name;
    if (kind != node_group && counter) ++*counter;

    if (restore_visits != 0) {
        n->visits = restore_visits - 1;
        n->last_page = restore_last_page ? find_url_name(restore_last_page) : empty_name;
        n->last_time = time;
        return table_ok;
    }
    if (current_is_page()) {
        unode *any, *plain;
        find_current_url(&any, &plain);
        if (pages_counted && plain) ++plain->entries;
        n->last_page = any ? any->name : empty_name;
        n->last_time = time;
        n->visits = 1;
    }
    if (kind != node_group) {
        if (settings.HideAllSites || (settings.HideSite && list_match(settings.HideSite, n->name)))
            n->kind = node_hidden;
    }
    return table_ok;
}

int add_user(char* name, int kind, uint64_t hits, uint64_t files, uint64_t* counter, uint64_t restore_visits,
             double bytes, uint64_t time) {
    if (name[0] == '\0' || name[0] == '-') return table_ok;
    const uint32_t len = cut_name(name, inode_limit, "new_inode");
    const uint32_t hash = hash_full(name, len);
    if (inode* n = find_node(&user_table, name, len, hash, kind == node_group)) {
        n->hits += hits;
        n->files += files;
        n->bytes += bytes;
        if (current_is_page()) {
            if (visit_over(time, n->last_time)) ++n->visits;
            n->last_time = time;
        }
        return table_ok;
    }
    inode* n = insert_node(&user_table, name, len, hash, kind == node_group);
    if (n == nullptr) return table_nomem;
    n->kind = kind;
    n->hits = hits;
    n->files = files;
    n->bytes = bytes;
    n->visits = 1;  // a new user starts with one visit, page or not
    if (kind != node_group && counter) ++*counter;
    if (restore_visits != 0) {
        n->visits = restore_visits - 1;
        n->last_time = time;
        return table_ok;
    }
    if (current_is_page()) n->last_time = time;
    if (kind != node_group && settings.HideUser && list_match(settings.HideUser, n->name)) n->kind = node_hidden;
    return table_ok;
}

int add_dns(char* name, const void* addr, int addr_len) {
    if (name[0] == '\0' || name[0] == ' ') return table_ok;
    const uint32_t len = cut_name(name, dnode_limit, "new_dnode");
    const uint32_t hash = hash_full(name, len);
    if (find_node(&dns_table, name, len, hash, false)) return table_ok;
    dnode* n = insert_node(&dns_table, name, len, hash);
    if (n == nullptr) return table_nomem;
    // A length outside the field would send the resolver past it: the
    // stored length is the one copied.
    int copy = addr_len < 0 ? 0 : addr_len;
    if (copy > int(sizeof(n->addr))) copy = int(sizeof(n->addr));
    if (addr != nullptr) std::memcpy(n->addr, addr, std::size_t(copy));
    n->addr_len = copy;
    return table_ok;
}
