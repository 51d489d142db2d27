#include "report/top_tables.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "lang/lang.h"
#include "report/page.h"
#include "report/view_all.h"
#include "run/month.h"
#include "run/settings.h"

node_array<unode> u_array;
node_array<hnode> h_array;
node_array<rnode> r_array;
node_array<snode> s_array;
node_array<inode> i_array;
node_array<anode> a_array;

namespace {
void drop_node_ranks(const void* items);  // forgets the name ranks of a released array
}  // namespace

namespace {
// Walks the chains of a group of buckets side by side, so that the loads of
// their nodes overlap instead of waiting one after another; each chain goes
// to its own lane, and the lanes are then copied in bucket order. false
// (items and *k untouched) without memory for the lanes.
template <class Node>
bool fill_interleaved(Node** items, uint64_t n, const node_table<Node>* table, uint64_t* k) {
    constexpr int lanes = 16;
    static_assert(table_size % lanes == 0, "whole groups of buckets");
    Node** lane[lanes] = {};
    uint64_t room[lanes] = {}, used[lanes];
    bool ok = true;
    uint64_t at = 0;
    for (int g = 0; g < table_size && ok; g += lanes) {
        const Node* p[lanes];
        int live = 0;
        for (int j = 0; j < lanes; ++j) {
            p[j] = table->buckets[g + j];
            used[j] = 0;
            if (p[j] != nullptr) ++live;
        }
        while (live > 0 && ok) {
            for (int j = 0; j < lanes; ++j) {
                if (p[j] == nullptr) continue;
                if (used[j] == room[j]) {
                    const uint64_t more = room[j] == 0 ? 64 : 2 * room[j];
                    auto* grown = static_cast<Node**>(realloc(lane[j], more * sizeof(Node*)));
                    if (grown == nullptr) {
                        ok = false;
                        break;
                    }
                    lane[j] = grown;
                    room[j] = more;
                }
                lane[j][used[j]++] = const_cast<Node*>(p[j]);
                p[j] = p[j]->next;
                if (p[j] == nullptr) --live;
            }
        }
        for (int j = 0; j < lanes && ok; ++j) {
            const uint64_t m = std::min(used[j], n - at);
            if (m != 0) std::memcpy(items + at, lane[j], m * sizeof(Node*));
            at += m;
        }
    }
    for (int j = 0; j < lanes; ++j) free(lane[j]);
    if (ok) *k = at;
    return ok;
}
}  // namespace

template <class Node>
int fill_node_array(node_array<Node>* arr, const node_table<Node>* table) {
    free_node_array(arr);
    // The table keeps its node count, so the chains are walked only once.
    const uint64_t n = table->count;
    if (n == 0) return report_ok;
    Node** items = static_cast<Node**>(malloc(n * sizeof(Node*)));
    if (items == nullptr) return report_nomem;
    uint64_t k = 0;
    if (!fill_interleaved(items, n, table, &k))
        for (int b = 0; b < table_size; ++b)
            for (Node* p = table->buckets[b]; p != nullptr && k < n; p = p->next) items[k++] = p;
    arr->items = items;
    arr->count = k;
    arr->order = order_table;
    return report_ok;
}

template <class Node>
void free_node_array(node_array<Node>* arr) {
    if (arr->items != nullptr) drop_node_ranks(arr->items);
    free(arr->items);
    arr->items = nullptr;
    arr->count = 0;
    arr->order = order_table;
}

#define CORVALIST_NODE_ARRAY(Node)                                              \
    template int fill_node_array<Node>(node_array<Node>*, const node_table<Node>*); \
    template void free_node_array<Node>(node_array<Node>*);
CORVALIST_NODE_ARRAY(unode)
CORVALIST_NODE_ARRAY(hnode)
CORVALIST_NODE_ARRAY(rnode)
CORVALIST_NODE_ARRAY(snode)
CORVALIST_NODE_ARRAY(inode)
CORVALIST_NODE_ARRAY(anode)
#undef CORVALIST_NODE_ARRAY

namespace {

using ull = unsigned long long;

// Key descending, then name ascending byte-wise (strcmp compares unsigned
// bytes). Two nodes with equal key and equal name (a group label equal to an
// ordinary name) keep no defined order between them; the names decide all
// other ties, so the result does not depend on the sort algorithm.
//
// Each node gets the rank of its name among the array's names once (equal
// names, equal ranks), and every sort then runs over copies of (key, rank):
// no comparison touches a node or a name. Rank order is strcmp order, and
// std::sort's steps depend only on the comparison answers, so the permutation
// (ties of equal names included) is the one the plain node sort gives.
struct name_rec {
    uint64_t hi, lo;  // first sixteen name bytes, big-endian, zero after the end
    const char* name;
    uint32_t at;      // position in the array
};

template <class K>
struct sort_rec {
    K key;
    uint32_t rank;
    void* node;
};

// Ranks of the names of the array last ranked, in its current order; the
// array's items pointer identifies it until it is filled again or freed.
struct rank_cache {
    const void* items = nullptr;
    uint64_t count = 0;
    uint32_t* ranks = nullptr;
    bool distinct = false;  // no two names equal, so no two ranks equal
} ranked;

void drop_ranks() {
    free(ranked.ranks);
    ranked = rank_cache{};
}

void drop_node_ranks(const void* items) {
    if (ranked.items == items) drop_ranks();
}

inline uint64_t be_bytes(const char* p, int* ended) {
    uint64_t v = 0;
    int i = 0;
    if (!*ended)
        for (; i < 8 && p[i] != '\0'; ++i) v = (v << 8) | static_cast<unsigned char>(p[i]);
    if (i < 8) *ended = 1;
    return i == 0 ? 0 : v << (8 * (8 - i));
}

inline bool name_less(const name_rec& a, const name_rec& b) {
    if (a.hi != b.hi) return a.hi < b.hi;
    if (a.lo != b.lo) return a.lo < b.lo;
    if ((a.lo & 0xff) == 0) return false;  // both names end within sixteen bytes: equal
    return strcmp(a.name + 16, b.name + 16) < 0;
}

template <class Node>
bool rank_names(const node_array<Node>* arr) {
    if (ranked.items == arr->items && ranked.count == arr->count && ranked.ranks) return true;
    drop_ranks();
    const uint64_t n = arr->count;
    if (n > UINT32_MAX) return false;
    auto* ranks = static_cast<uint32_t*>(malloc(n * sizeof(uint32_t)));
    auto* names = static_cast<name_rec*>(malloc(n * sizeof(name_rec)));
    if (ranks == nullptr || names == nullptr) {
        free(ranks);
        free(names);
        return false;
    }
    for (uint64_t k = 0; k < n; ++k) {
        const char* name = arr->items[k]->name;
        int ended = 0;
        const uint64_t hi = be_bytes(name, &ended);
        const uint64_t lo = be_bytes(name + (ended ? 0 : 8), &ended);
        names[k] = name_rec{hi, lo, name, static_cast<uint32_t>(k)};
    }
    std::sort(names, names + n, name_less);
    uint32_t rank = 0;
    for (uint64_t k = 0; k < n; ++k) {
        if (k > 0 && name_less(names[k - 1], names[k])) ++rank;
        ranks[names[k].at] = rank;
    }
    free(names);
    ranked = rank_cache{arr->items, n, ranks, uint64_t(rank) + 1 == n};
    return true;
}

// Keys as unsigned integers in the same order: counts as they are, byte
// totals (never negative) by their bit pattern; a zero of either sign is 0.
// A byte total that is not a number has no order, and refuses.
inline bool key_bits(uint64_t k, uint64_t* out) {
    *out = k;
    return true;
}
inline bool key_bits(double k, uint64_t* out) {
    if (!(k >= 0.0)) return false;
    if (k == 0.0) k = 0.0;
    std::memcpy(out, &k, sizeof(*out));
    return true;
}

struct radix_rec {
    uint64_t key;  // complemented, so that ascending order is key descending
    uint32_t rank;
    void* node;
};

// Sorts recs by (key descending, rank ascending) with a least-significant-
// digit radix sort, a byte per pass, skipping bytes that all records share.
// With distinct ranks every pair differs, so this is the one order the
// comparison sort gives. Returns false (recs untouched) without memory.
bool radix_sort(radix_rec* recs, uint64_t n) {
    auto* tmp = static_cast<radix_rec*>(malloc(n * sizeof(radix_rec)));
    if (tmp == nullptr) return false;
    static uint64_t counts[12][256];
    std::memset(counts, 0, sizeof(counts));
    auto digit = [](const radix_rec& r, int d) -> unsigned {
        return d < 4 ? (r.rank >> (8 * d)) & 0xff : (r.key >> (8 * (d - 4))) & 0xff;
    };
    for (uint64_t k = 0; k < n; ++k) {
        const radix_rec& r = recs[k];
        for (int d = 0; d < 4; ++d) ++counts[d][(r.rank >> (8 * d)) & 0xff];
        for (int d = 0; d < 8; ++d) ++counts[4 + d][(r.key >> (8 * d)) & 0xff];
    }
    radix_rec* from = recs;
    radix_rec* to = tmp;
    for (int d = 0; d < 12; ++d) {
        uint64_t* c = counts[d];
        if (c[digit(from[0], d)] == n) continue;
        uint64_t at = 0;
        for (int b = 0; b < 256; ++b) {
            const uint64_t m = c[b];
            c[b] = at;
            at += m;
        }
        for (uint64_t k = 0; k < n; ++k) to[c[digit(from[k], d)]++] = from[k];
        std::swap(from, to);
    }
    if (from != recs) std::memcpy(recs, from, n * sizeof(radix_rec));
    free(tmp);
    return true;
}

// The radix path: taken when the ranks are distinct and every key has an
// order. Returns false when it was not taken (the array is then untouched).
template <class Node, class Key>
bool radix_sort_by(node_array<Node>* arr, Key key) {
    const uint64_t n = arr->count;
    if (!ranked.distinct || n < 2) return false;
    auto* recs = static_cast<radix_rec*>(malloc(n * sizeof(radix_rec)));
    if (recs == nullptr) return false;
    for (uint64_t k = 0; k < n; ++k) {
        uint64_t bits;
        if (!key_bits(key(arr->items[k]), &bits)) {
            free(recs);
            return false;
        }
        recs[k] = radix_rec{~bits, ranked.ranks[k], arr->items[k]};
    }
    if (!radix_sort(recs, n)) {
        free(recs);
        return false;
    }
    for (uint64_t k = 0; k < n; ++k) {
        arr->items[k] = static_cast<Node*>(recs[k].node);
        ranked.ranks[k] = recs[k].rank;
    }
    free(recs);
    return true;
}

template <class Node>
bool is_group(const Node* n) {
    return n->kind == node_group;
}
bool is_group(const snode*) { return false; }

// Whether a group node carries the name of another node (a label equal to
// an ordinary name); only then can two nodes of one array share a name.
template <class Node>
bool shared_group_name(const node_array<Node>* arr) {
    const uint64_t n = arr->count;
    uint64_t groups = 0;
    for (uint64_t k = 0; k < n; ++k) groups += is_group(arr->items[k]) ? 1 : 0;
    if (groups == 0) return false;
    struct label {
        uint32_t hash;
        const char* name;
    };
    auto* labels = static_cast<label*>(malloc(groups * sizeof(label)));
    if (labels == nullptr) return true;
    uint64_t g = 0;
    for (uint64_t k = 0; k < n; ++k)
        if (is_group(arr->items[k])) {
            const char* name = arr->items[k]->name;
            labels[g++] = label{hash_full(name, uint32_t(strlen(name))), name};
        }
    auto by_hash = [](const label& a, const label& b) { return a.hash < b.hash; };
    std::sort(labels, labels + groups, by_hash);
    bool shared = false;
    for (uint64_t k = 0; k < n && !shared; ++k) {
        if (is_group(arr->items[k])) continue;
        const char* name = arr->items[k]->name;
        const label probe{hash_full(name, uint32_t(strlen(name))), name};
        for (const label* l = std::lower_bound(labels, labels + groups, probe, by_hash);
             l != labels + groups && l->hash == probe.hash && !shared; ++l)
            shared = strcmp(l->name, name) == 0;
    }
    free(labels);
    return shared;
}

// The leading part for `rows` table rows (see sort_urls). The keys alone
// find a threshold key, the entries at or above it are ordered by key and
// name, and (as a guard) the leading part must hold no two entries of equal
// key and equal name. When hidden
// entries leave too few rows, a larger part is taken. Returns false, arr
// untouched, when the whole sort must run instead.
template <class Node, class Key, class Row>
bool select_top(node_array<Node>* arr, Key key, Row is_row, uint64_t rows) {
    using K = decltype(key(arr->items[0]));
    struct rec {
        K key;
        Node* node;
    };
    const uint64_t n = arr->count;
    uint64_t want = rows + rows / 2 + 8;
    if (want > n / 4) return false;  // a large share: the whole sort is as quick
    // Two nodes of one name have no order between them but the one the
    // whole sort happens to give, and later sorts start from that order:
    // such arrays take the whole sort every time.
    if (shared_group_name(arr)) return false;
    auto* recs = static_cast<rec*>(malloc(n * sizeof(rec)));
    if (recs == nullptr) return false;
    for (uint64_t k = 0; k < n; ++k) {
        const K v = key(arr->items[k]);
        if (!(v == v)) {  // a byte total that is not a number has no order
            free(recs);
            return false;
        }
        recs[k] = rec{v, arr->items[k]};
    }
    auto by_key = [](const rec& a, const rec& b) { return a.key > b.key; };
    auto before = [](const rec& a, const rec& b) {
        if (a.key != b.key) return a.key > b.key;
        return strcmp(a.node->name, b.node->name) < 0;
    };
    auto same = [](const rec& a, const rec& b) { return a.key == b.key && strcmp(a.node->name, b.node->name) == 0; };
    for (;;) {
        std::nth_element(recs, recs + (want - 1), recs + n, by_key);
        const K threshold = recs[want - 1].key;
        rec* tail = std::partition(recs + want, recs + n, [&](const rec& r) { return r.key == threshold; });
        const uint64_t m = static_cast<uint64_t>(tail - recs);  // entries with key >= threshold
        if (want < m) std::nth_element(recs, recs + want, recs + m, before);
        std::sort(recs, recs + want, before);
        bool tie = want < m && same(recs[want - 1], recs[want]);
        uint64_t found = 0;
        for (uint64_t k = 0; k < want && !tie; ++k) {
            if (k > 0 && same(recs[k - 1], recs[k])) tie = true;
            if (is_row(recs[k].node)) ++found;
        }
        if (tie) break;
        if (found >= rows) {
            for (uint64_t k = 0; k < n; ++k) arr->items[k] = recs[k].node;
            free(recs);
            drop_node_ranks(arr->items);  // the ranks no longer follow the items
            return true;
        }
        want *= 4;
        if (want > n / 4) break;
    }
    free(recs);
    return false;
}

template <class Node, class Key, class Row>
void sort_by(node_array<Node>* arr, Key key, sort_order order, Row is_row, uint64_t rows) {
    arr->order = order;
    if (arr->items == nullptr) return;
    if (rows != all_rows && (rows == 0 || select_top(arr, key, is_row, rows))) return;
    using K = decltype(key(arr->items[0]));
    using rec = sort_rec<K>;
    const uint64_t n = arr->count;
    const bool ranks_ready = rank_names(arr);
    if (ranks_ready && radix_sort_by(arr, key)) return;
    rec* recs = ranks_ready ? static_cast<rec*>(malloc(n * sizeof(rec))) : nullptr;
    if (recs == nullptr) {  // no room for the copies: the same order, slower
        std::sort(arr->items, arr->items + n, [&](const Node* a, const Node* b) {
            auto ka = key(a), kb = key(b);
            if (ka != kb) return ka > kb;
            return strcmp(a->name, b->name) < 0;
        });
        drop_ranks();
        return;
    }
    for (uint64_t k = 0; k < n; ++k) recs[k] = rec{key(arr->items[k]), ranked.ranks[k], arr->items[k]};
    std::sort(recs, recs + n, [](const rec& a, const rec& b) {
        if (a.key != b.key) return a.key > b.key;
        return a.rank < b.rank;
    });
    for (uint64_t k = 0; k < n; ++k) {
        arr->items[k] = static_cast<Node*>(recs[k].node);
        ranked.ranks[k] = recs[k].rank;
    }
    free(recs);
}

}  // namespace

namespace {
// Which entries the top tables write as rows.
template <class Node>
bool shown_row(const Node* n) {
    return n->kind != node_hidden;
}
bool any_row(const snode*) { return true; }
bool entry_row(const unode* n) { return n->kind == node_normal && n->entries != 0; }
bool exit_row(const unode* n) { return n->kind == node_normal && n->exits != 0; }
}  // namespace

void sort_urls(node_array<unode>* arr, sort_order order, uint64_t rows) {
    switch (order) {
        case order_kbytes: sort_by(arr, [](const unode* n) { return n->bytes; }, order, shown_row<unode>, rows); break;
        case order_entry: sort_by(arr, [](const unode* n) { return n->entries; }, order, entry_row, rows); break;
        case order_exit: sort_by(arr, [](const unode* n) { return n->exits; }, order, exit_row, rows); break;
        default: sort_by(arr, [](const unode* n) { return n->hits; }, order_hits, shown_row<unode>, rows); break;
    }
}
void sort_sites(node_array<hnode>* arr, sort_order order, uint64_t rows) {
    if (order == order_kbytes)
        sort_by(arr, [](const hnode* n) { return n->bytes; }, order, shown_row<hnode>, rows);
    else
        sort_by(arr, [](const hnode* n) { return n->hits; }, order_hits, shown_row<hnode>, rows);
}
void sort_referrers(node_array<rnode>* arr, uint64_t rows) {
    sort_by(arr, [](const rnode* n) { return n->hits; }, order_hits, shown_row<rnode>, rows);
}
void sort_search(node_array<snode>* arr, uint64_t rows) {
    sort_by(arr, [](const snode* n) { return n->hits; }, order_hits, any_row, rows);
}
void sort_users(node_array<inode>* arr, uint64_t rows) {
    sort_by(arr, [](const inode* n) { return n->hits; }, order_hits, shown_row<inode>, rows);
}
void sort_agents(node_array<anode>* arr, uint64_t rows) {
    sort_by(arr, [](const anode* n) { return n->hits; }, order_hits, shown_row<anode>, rows);
}

double share_pct(uint64_t value, uint64_t total) {
    if (total == 0) return 0.0;
    float q = static_cast<float>(value) / static_cast<float>(total);
    return static_cast<double>(q) * 100.0;
}

double kbyte_pct(double bytes, double total) {
    if (total == 0.0) return 0.0;
    return static_cast<double>(static_cast<float>(bytes)) / total * 100.0;
}

namespace {

constexpr const char table_open[] = "<TABLE WIDTH=510 BORDER=2 CELLSPACING=1 CELLPADDING=1>\n";
constexpr const char spacer[] = "<TR><TH HEIGHT=4></TH></TR>\n";
constexpr const char grey[] = "#C0C0C0";
constexpr const char shade[] = "#D0D0E0";

// Cells, in the order they appear in a row.
constexpr const char num_cell[] = "<TD ALIGN=center><FONT SIZE=\"-1\"><B>%d</B></FONT></TD>\n";
constexpr const char count_cell[] = "<TD ALIGN=right><FONT SIZE=\"-1\"><B>%llu</B></FONT></TD>\n";
constexpr const char pct_cell[] = "<TD ALIGN=right><FONT SIZE=\"-2\">%3.02f%%</FONT></TD>\n";
constexpr const char kb_cell[] = "<TD ALIGN=right><FONT SIZE=\"-1\"><B>%.0f</B></FONT></TD>\n";
constexpr const char name_open[] = "<TD ALIGN=left NOWRAP><FONT SIZE=\"-1\">";
constexpr const char name_close[] = "</FONT></TD></TR>\n";

struct visible {
    uint64_t normal = 0, group = 0;
    uint64_t shown() const { return normal + group; }
};

template <class Node>
visible count_visible(const node_array<Node>& arr) {
    visible v;
    for (uint64_t k = 0; k < arr.count; ++k) {
        if (arr.items[k]->kind == node_normal) ++v.normal;
        else if (arr.items[k]->kind == node_group) ++v.group;
    }
    return v;
}

uint64_t smaller(uint64_t a, int b) { return b < 0 ? 0 : std::min<uint64_t>(a, static_cast<uint64_t>(b)); }

// One heading cell of the column row: colour, label, spanning two columns
// (count and percentage) or one (the name).
struct column {
    const char* colour;
    const char* label;
};

void write_heading(FILE* out, const column* cols, std::size_t n) {
    fprintf(out, "<TR><TH BGCOLOR=\"%s\" ALIGN=center><FONT SIZE=\"-1\">#</FONT></TH>\n", grey);
    for (std::size_t i = 0; i + 1 < n; ++i)
        fprintf(out, "<TH BGCOLOR=\"%s\" ALIGN=center COLSPAN=2><FONT SIZE=\"-1\">%s</FONT></TH>\n", cols[i].colour,
                cols[i].label);
    fprintf(out, "<TH BGCOLOR=\"%s\" ALIGN=center><FONT SIZE=\"-1\">%s</FONT></TH></TR>\n", cols[n - 1].colour,
            cols[n - 1].label);
}

void write_title(FILE* out, int colspan, uint64_t limit, uint64_t total, const char* noun, bool by_kbytes) {
    if (by_kbytes)
        fprintf(out, "<TR><TH BGCOLOR=\"%s\" ALIGN=CENTER COLSPAN=%d>%s %llu %s %llu %s %s %s</TH></TR>\n", grey,
                colspan, top_first, static_cast<ull>(limit), top_of, static_cast<ull>(total), noun, lbl_by,
                lbl_kbytes);
    else
        fprintf(out, "<TR><TH BGCOLOR=\"%s\" ALIGN=CENTER COLSPAN=%d>%s %llu %s %llu %s</TH></TR>\n", grey, colspan,
                top_first, static_cast<ull>(limit), top_of, static_cast<ull>(total), noun);
}

void write_row_start(FILE* out, int kind) {
    if (kind == node_group && settings.GroupShading)
        fprintf(out, "<TR BGCOLOR=\"%s\">\n", shade);
    else
        fputs("<TR>\n", out);
}

void write_group_name(FILE* out, const char* name) {
    html_text e(name);
    if (settings.GroupHighlight)
        fprintf(out, "<STRONG>%s</STRONG>%s", e.text, name_close);
    else
        fprintf(out, "%s%s", e.text, name_close);
}

void write_plain_name(FILE* out, const char* name) {
    html_text e(name);
    fprintf(out, "%s%s", e.text, name_close);
}

// Whether a name is a web or file-transfer address ("http://", "https://",
// "ftp://", the scheme in any case), which links as written. Any other
// scheme, "javascript://%0A..." and its kin, would run script in the
// reader's browser when clicked.
bool is_web_address(const char* name) {
    const char* sep = strstr(name, "://");
    if (sep == nullptr) return false;
    std::size_t n = static_cast<std::size_t>(sep - name);
    static constexpr const char* schemes[] = {"http", "https", "ftp"};
    for (const char* s : schemes)
        if (strlen(s) == n && strncasecmp(name, s, n) == 0) return true;
    return false;
}

// URL name cell. A URL links only when it is a web address (as written) or
// a path of this server, starting with "/" (after HostName, also when it
// names an address further on, so that "//other.example/..." can never become
// a link to another host). Anything else is logged text that only looks like
// a place: a proxy's "host:443" of a CONNECT, ".evil.example/q" or
// "@evil.example/p", which after "http://" + HostName would lead to a host of
// the writer's choosing; it is shown as plain text. With ftp_plain, an FTP
// log's paths are plain text as well. So is every path when HostName is
// empty: "http:///a/b" is read by browsers as the host "a".
void write_url_name(FILE* out, const char* name, bool ftp_plain) {
    html_text e(name);
    const char* host = settings.HostName != nullptr ? settings.HostName : "localhost";
    if (is_web_address(name)) {
        fprintf(out, "<A HREF=\"%s\">%s</A>%s", e.text, e.text, name_close);
    } else if (name[0] != '/' || (ftp_plain && settings.LogType == log_ftp) || host[0] == '\0') {
        fprintf(out, "%s%s", e.text, name_close);
    } else {
        fprintf(out, settings.UseHTTPS ? "<A HREF=\"https://%s%s\">%s</A>%s" : "<A HREF=\"http://%s%s\">%s</A>%s",
                host, e.text, e.text, name_close);
    }
}

// A referrer links (with LinkReferrer) only when it is a web address.
void write_referrer_name(FILE* out, const rnode* n) {
    html_text e(n->name);
    if (n->kind == node_group) {
        if (settings.GroupHighlight)
            fprintf(out, "<STRONG>%s</STRONG>", e.text);
        else
            fputs(e.text, out);
    } else if (settings.LinkReferrer && is_web_address(n->name)) {
        fprintf(out, "<A HREF=\"%s\" rel=\"nofollow\">%s</A>", e.text, e.text);
    } else {
        fputs(e.text, out);
    }
    fputs(name_close, out);
}

void write_link_row(FILE* out, int colspan, const char* file_prefix, const char* text) {
    fprintf(out, "<TR BGCOLOR=\"%s\">", shade);
    fprintf(out, "<TD COLSPAN=%d ALIGN=\"center\">\n", colspan);
    fputs("<FONT SIZE=\"-1\">", out);
    fprintf(out, "<A HREF=\"./%s_%04d%02d.%s\">", file_prefix, month_totals.year, month_totals.month,
            settings.HTMLExtension);
    fprintf(out, "%s</A></TD></TR>\n", text);
}

void write_table_start(FILE* out) {
    fputs(table_open, out);
    fputs(spacer, out);
}

void write_table_end(FILE* out) { fputs("</TABLE>\n<P>\n", out); }

// The ten-column row of sites and user names.
template <class Node>
void write_wide_numbers(FILE* out, int row, const Node* n) {
    const month_totals_rec& m = month_totals;
    fprintf(out, num_cell, row);
    fprintf(out, count_cell, static_cast<ull>(n->hits));
    fprintf(out, pct_cell, share_pct(n->hits, m.total_hits));
    fprintf(out, count_cell, static_cast<ull>(n->files));
    fprintf(out, pct_cell, share_pct(n->files, m.total_files));
    fprintf(out, kb_cell, n->bytes / 1024.0);
    fprintf(out, pct_cell, kbyte_pct(n->bytes, m.total_bytes));
    fprintf(out, count_cell, static_cast<ull>(n->visits));
    fprintf(out, pct_cell, share_pct(n->visits, m.total_visits));
    fputs(name_open, out);
}

// The four-column numbers of referrers, agents and search strings.
void write_narrow_numbers(FILE* out, int row, uint64_t hits, uint64_t total) {
    fprintf(out, num_cell, row);
    fprintf(out, count_cell, static_cast<ull>(hits));
    fprintf(out, pct_cell, share_pct(hits, total));
    fputs(name_open, out);
}

// Sites and user names share one table shape; only texts and the view-all
// page differ.
struct wide_table {
    const char* anchor;
    uint64_t total;
    const char* noun;
    const char* name_label;
    const char* file_prefix;
    const char* all_text;
    bool (*view_all)(uint64_t, uint64_t);
};

template <class Node>
void write_wide_table(const node_array<Node>& arr, const wide_table& t, bool by_kbytes, int limit_count,
                      bool write_anchor, bool want_view_all) {
    FILE* out = report_page;
    visible v = count_visible(arr);
    if (v.shown() == 0) return;
    uint64_t limit = smaller(v.shown(), limit_count);
    if (write_anchor) fprintf(out, "<A NAME=\"%s\"></A>\n", t.anchor);
    write_table_start(out);
    write_title(out, 10, limit, t.total, t.noun, by_kbytes);
    fputs(spacer, out);
    const column cols[] = {{settings.ColorHit, lbl_hits},
                           {settings.ColorFile, lbl_files},
                           {settings.ColorKbyte, lbl_kbytes},
                           {settings.ColorVisit, lbl_visits},
                           {settings.ColorMisc, t.name_label}};
    write_heading(out, cols, 5);
    fputs(spacer, out);
    uint64_t written = 0;
    for (uint64_t k = 0; k < arr.count && written < limit; ++k) {
        const Node* n = arr.items[k];
        if (n->kind == node_hidden) continue;
        ++written;
        write_row_start(out, n->kind);
        write_wide_numbers(out, static_cast<int>(written), n);
        if (n->kind == node_group)
            write_group_name(out, n->name);
        else
            write_plain_name(out, n->name);
    }
    fputs(spacer, out);
    if (want_view_all && t.view_all(v.normal, v.group)) write_link_row(out, 10, t.file_prefix, t.all_text);
    write_table_end(out);
}

}  // namespace

void write_top_urls(bool by_kbytes) {
    FILE* out = report_page;
    const month_totals_rec& m = month_totals;
    visible v = count_visible(u_array);
    if (v.shown() == 0) return;
    uint64_t limit = smaller(v.shown(), by_kbytes ? settings.TopKURLs : settings.TopURLs);
    // The page carries the anchor once: on the hits table, or on the
    // kilobytes table when there is no hits table.
    if (!by_kbytes || settings.TopURLs == 0) fputs("<A NAME=\"TOPURLS\"></A>\n", out);
    write_table_start(out);
    write_title(out, 6, limit, m.total_urls, top_urls, by_kbytes);
    fputs(spacer, out);
    const column cols[] = {{settings.ColorHit, lbl_hits}, {settings.ColorKbyte, lbl_kbytes}, {settings.ColorMisc, lbl_url}};
    write_heading(out, cols, 3);
    fputs(spacer, out);
    uint64_t written = 0;
    for (uint64_t k = 0; k < u_array.count && written < limit; ++k) {
        const unode* n = u_array.items[k];
        if (n->kind == node_hidden) continue;
        ++written;
        write_row_start(out, n->kind);
        fprintf(out, num_cell, static_cast<int>(written));
        fprintf(out, count_cell, static_cast<ull>(n->hits));
        fprintf(out, pct_cell, share_pct(n->hits, m.total_hits));
        fprintf(out, kb_cell, n->bytes / 1024.0);
        fprintf(out, pct_cell, kbyte_pct(n->bytes, m.total_bytes));
        fputs(name_open, out);
        if (n->kind == node_group)
            write_group_name(out, n->name);
        else
            write_url_name(out, n->name, true);
    }
    fputs(spacer, out);
    bool want = settings.AllURLs &&
                (by_kbytes ? settings.TopURLs == 0 : v.shown() > static_cast<uint64_t>(settings.TopURLs));
    if (want && write_view_all_urls(v.normal, v.group)) write_link_row(out, 6, "url", all_urls);
    write_table_end(out);
}

void write_top_entry_exit(bool exit) {
    FILE* out = report_page;
    const month_totals_rec& m = month_totals;
    uint64_t count = 0, sum = 0;
    for (uint64_t k = 0; k < u_array.count; ++k) {
        const unode* n = u_array.items[k];
        if (n->kind != node_normal) continue;
        uint64_t c = exit ? n->exits : n->entries;
        if (c != 0) ++count;
        sum += c;
    }
    uint64_t limit = smaller(count, exit ? settings.TopExit : settings.TopEntry);
    if (limit == 0) return;
    fputs(exit ? "<A NAME=\"TOPEXIT\"></A>\n" : "<A NAME=\"TOPENTRY\"></A>\n", out);
    write_table_start(out);
    write_title(out, 6, limit, count, exit ? top_exit : top_entry, false);
    fputs(spacer, out);
    const column cols[] = {{settings.ColorHit, lbl_hits}, {settings.ColorVisit, lbl_visits}, {settings.ColorMisc, lbl_url}};
    write_heading(out, cols, 3);
    fputs(spacer, out);
    uint64_t written = 0;
    for (uint64_t k = 0; k < u_array.count && written < limit; ++k) {
        const unode* n = u_array.items[k];
        uint64_t c = exit ? n->exits : n->entries;
        if (n->kind != node_normal || c == 0) continue;
        ++written;
        fputs("<TR>\n", out);
        fprintf(out, num_cell, static_cast<int>(written));
        fprintf(out, count_cell, static_cast<ull>(n->hits));
        fprintf(out, pct_cell, share_pct(n->hits, m.total_hits));
        fprintf(out, count_cell, static_cast<ull>(c));
        fprintf(out, pct_cell, share_pct(c, sum));
        fputs(name_open, out);
        write_url_name(out, n->name, false);
    }
    fputs(spacer, out);
    write_table_end(out);
}

void write_top_sites(bool by_kbytes) {
    const wide_table t = {"TOPSITES", month_totals.total_sites, top_sites, lbl_hostname, "site", all_sites, write_view_all_sites};
    visible v = count_visible(h_array);
    bool want = settings.AllSites &&
                (by_kbytes ? settings.TopSites == 0 : v.shown() > static_cast<uint64_t>(settings.TopSites));
    write_wide_table(h_array, t, by_kbytes, by_kbytes ? settings.TopKSites : settings.TopSites,
                     !by_kbytes || settings.TopSites == 0, want);
}

void write_top_users() {
    const wide_table t = {"TOPUSERS", month_totals.total_users, top_users, lbl_username, "user", all_users, write_view_all_users};
    visible v = count_visible(i_array);
    write_wide_table(i_array, t, false, settings.TopUsers, true,
                     settings.AllUsers && v.shown() > static_cast<uint64_t>(settings.TopUsers));
}

void write_top_referrers() {
    FILE* out = report_page;
    const month_totals_rec& m = month_totals;
    if (m.total_referrers == 0) return;
    visible v = count_visible(r_array);
    if (v.shown() == 0) return;
    uint64_t limit = smaller(v.shown(), settings.TopReferrers);
    fputs("<A NAME=\"TOPREFS\"></A>\n", out);
    write_table_start(out);
    write_title(out, 4, limit, m.total_referrers, top_referrers, false);
    fputs(spacer, out);
    const column cols[] = {{settings.ColorHit, lbl_hits}, {settings.ColorMisc, lbl_referrer}};
    write_heading(out, cols, 2);
    fputs(spacer, out);
    uint64_t written = 0;
    for (uint64_t k = 0; k < r_array.count && written < limit; ++k) {
        const rnode* n = r_array.items[k];
        if (n->kind == node_hidden) continue;
        ++written;
        write_row_start(out, n->kind);
        write_narrow_numbers(out, static_cast<int>(written), n->hits, m.total_hits);
        write_referrer_name(out, n);
    }
    fputs(spacer, out);
    if (settings.AllReferrers && v.shown() > static_cast<uint64_t>(settings.TopReferrers) &&
        write_view_all_referrers(v.normal, v.group))
        write_link_row(out, 4, "ref", all_referrers);
    write_table_end(out);
}

void write_top_agents() {
    FILE* out = report_page;
    const month_totals_rec& m = month_totals;
    if (m.total_agents == 0) return;
    visible v = count_visible(a_array);
    if (v.shown() == 0) return;
    uint64_t limit = smaller(v.shown(), settings.TopAgents);
    fputs("<A NAME=\"TOPAGENTS\"></A>\n", out);
    write_table_start(out);
    write_title(out, 4, limit, m.total_agents, top_agents, false);
    fputs(spacer, out);
    const column cols[] = {{settings.ColorHit, lbl_hits}, {settings.ColorMisc, lbl_agent}};
    write_heading(out, cols, 2);
    fputs(spacer, out);
    uint64_t written = 0;
    for (uint64_t k = 0; k < a_array.count && written < limit; ++k) {
        const anode* n = a_array.items[k];
        if (n->kind == node_hidden) continue;
        ++written;
        write_row_start(out, n->kind);
        write_narrow_numbers(out, static_cast<int>(written), n->hits, m.total_hits);
        if (n->kind == node_group)
            write_group_name(out, n->name);
        else
            write_plain_name(out, n->name);
    }
    fputs(spacer, out);
    if (settings.AllAgents && v.shown() > static_cast<uint64_t>(settings.TopAgents) &&
        write_view_all_agents(v.normal, v.group))
        write_link_row(out, 4, "agent", all_agents);
    write_table_end(out);
}

void write_top_search() {
    FILE* out = report_page;
    uint64_t count = s_array.count, sum = 0;
    if (count == 0) return;
    for (uint64_t k = 0; k < count; ++k) sum += s_array.items[k]->hits;
    uint64_t limit = smaller(count, settings.TopSearch);
    fputs("<A NAME=\"TOPSEARCH\"></A>\n", out);
    write_table_start(out);
    write_title(out, 4, limit, count, top_search, false);
    fputs(spacer, out);
    const column cols[] = {{settings.ColorHit, lbl_hits}, {settings.ColorMisc, lbl_search}};
    write_heading(out, cols, 2);
    fputs(spacer, out);
    for (uint64_t k = 0; k < limit; ++k) {
        const snode* n = s_array.items[k];
        fputs("<TR>\n", out);
        write_narrow_numbers(out, static_cast<int>(k + 1), n->hits, sum);
        write_plain_name(out, n->name);
    }
    fputs(spacer, out);
    if (settings.AllSearchStr && count > static_cast<uint64_t>(settings.TopSearch) &&
        write_view_all_search(count, sum))
        write_link_row(out, 4, "search", all_search);
    write_table_end(out);
}
