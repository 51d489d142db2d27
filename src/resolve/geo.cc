#include "resolve/geo.h"

#include <GeoIP.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <maxminddb.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "resolve/hash_db.h"
#include "run/settings.h"

struct geo_database {
    geo_kind kind;
    hash_db* berkeley;  // geo_berkeley_db
    MMDB_s maxmind;   // geo_maxmind_db
    GeoIP* v4;        // geo_legacy_geoip: the IPv4 edition file, or none
    GeoIP* v6;        // and the IPv6 edition file, or none
    char version[geo_version_size];  // MaxMind and legacy: text made at open
};

namespace {

geo_database the_db;
geo_database* geo_db = nullptr;  // &the_db while a database is open

constexpr unsigned char maxmind_marker[] = "\xAB\xCD\xEFMaxMind.com";
constexpr size_t maxmind_marker_size = sizeof maxmind_marker - 1;
constexpr long maxmind_search_size = 128 * 1024;  // libmaxminddb looks no further
constexpr long legacy_tail_size = 23;             // libGeoIP: 20 steps back from 3 before the end

// Answers of a Berkeley DB GeoDB by key, e.g. ::8.8.8.8 -> "us". A month's
// report asks once for each of its sites, so within a month there is nothing
// to remember; but the next month asks for most of the same addresses again.
// Answers cannot change while the database is open, so the memo lives as
// long as the database. Direct-mapped: a new key takes its slot over, so it
// stays 1.5 MB however many addresses a run asks for. On 131,002 lookups of
// 38,621 addresses over four months it saves a third of the lookup time;
// in front of a MaxMind or legacy file, whose trees are already in memory,
// it cost more than it saved, so those ask their library every time.
struct memo_slot {
    uint64_t high, low;  // the key's two halves
    char code[2];
    bool used;
};
static_assert(sizeof(memo_slot) == 24, "1 << 16 slots make 1.5 MB");
constexpr int memo_bits = 16;
memo_slot* memo = nullptr;  // 1 << memo_bits slots, made at the first lookup; none without memory

// MaxMind data record -> code, e.g. offset 1234 -> "ua": the networks of a
// country or a city share one record, and reading a City record for its
// country walks past its city and continent maps (a fifth of the lookup
// time on a City-sized file).
struct record_slot {
    uint32_t offset;
    char code[2];
    bool used;
};
constexpr int record_slots = 4096;
record_slot record_memo[record_slots];

bool berkeley_meta_page(const unsigned char* head) {
    // Hash meta page: magic 0x061561 at byte 12 in either byte order, page
    // type 8 at byte 25.
    const unsigned char le[4] = {0x61, 0x15, 0x06, 0x00}, be[4] = {0x00, 0x06, 0x15, 0x61};
    return (memcmp(head + 12, le, 4) == 0 || memcmp(head + 12, be, 4) == 0) && head[25] == 8;
}

// The edition in a legacy file's tail (the last n bytes, n <= 23), found the
// way libGeoIP finds it; -1 without a structure marker.
int legacy_edition(const unsigned char* tail, long n) {
    for (long back = 0; back < 20; ++back) {
        long at = n - 3 - back;
        if (at < 0) return -1;
        if (tail[at] == 0xff && tail[at + 1] == 0xff && tail[at + 2] == 0xff) {
            if (at + 3 >= n) return -1;
            int edition = tail[at + 3];
            return edition >= 106 ? edition - 105 : edition;
        }
    }
    return -1;
}

bool country_edition(int edition) {
    return edition == GEOIP_COUNTRY_EDITION || edition == GEOIP_LARGE_COUNTRY_EDITION ||
           edition == GEOIP_COUNTRY_EDITION_V6 || edition == GEOIP_LARGE_COUNTRY_EDITION_V6;
}

bool v6_edition(int edition) {
    return edition == GEOIP_COUNTRY_EDITION_V6 || edition == GEOIP_LARGE_COUNTRY_EDITION_V6;
}

geo_kind kind_of_content(int fd, off_t size) {
    if (size >= 26) {
        unsigned char head[26];
        if (pread(fd, head, sizeof head, 0) == static_cast<ssize_t>(sizeof head) && berkeley_meta_page(head))
            return geo_berkeley_db;
    }
    long n = size < maxmind_search_size ? static_cast<long>(size) : maxmind_search_size;
    if (n == 0) return geo_berkeley_db;
    unsigned char* tail = static_cast<unsigned char*>(malloc(n));
    if (!tail) return geo_berkeley_db;
    geo_kind kind = geo_berkeley_db;
    if (pread(fd, tail, n, size - n) == n) {
        if (memmem(tail, n, maxmind_marker, maxmind_marker_size))
            kind = geo_maxmind_db;
        else {
            long t = n < legacy_tail_size ? n : legacy_tail_size;
            if (country_edition(legacy_edition(tail + n - t, t))) kind = geo_legacy_geoip;
        }
    }
    free(tail);
    return kind;
}

// Keeps printable ASCII of a library's text; anything else becomes '?', so a
// hostile file cannot send control sequences to the console.
void copy_printable(char* out, size_t size, const char* text) {
    size_t i = 0;
    for (; text[i] && i + 1 < size; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        out[i] = c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '?';
    }
    out[i] = '\0';
}

// Two lower-case characters of a code the library gave ("US" -> "us");
// false for anything that is not two ASCII letters or digits.
bool fold_code(const char* code, size_t n, char out[2]) {
    if (n != 2) return false;
    char folded[2];
    for (size_t i = 0; i < 2; ++i) {
        char c = code[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) return false;
        folded[i] = c;
    }
    memcpy(out, folded, 2);
    return true;
}

hash_db* open_berkeley_geodb(const char* file) { return hash_db_open(file, hash_read_only, 0); }

// Every record of the search tree leads to a node, to nothing or into the
// data section (not into the 16 bytes before it, which libmaxminddb lets
// through as data at an offset below zero), and the tree fits in the file
// (libmaxminddb computes its size in 32 bits). A broken tree refuses the
// file at open, like a truncated one, rather than answering some addresses
// wrongly for the whole run. A damaged data record still shows only at its
// lookup, as a miss.
int maxmind_tree_check(const MMDB_s& db) {
    uint64_t tree = static_cast<uint64_t>(db.metadata.node_count) * db.full_record_byte_size;
    if (tree + 16 > static_cast<uint64_t>(db.file_size)) return MMDB_INVALID_METADATA_ERROR;
    const uint64_t first_data = uint64_t{db.metadata.node_count} + 16;
    auto sound = [first_data](uint8_t type, uint64_t record) {
        return type != MMDB_RECORD_TYPE_INVALID && (type != MMDB_RECORD_TYPE_DATA || record >= first_data);
    };
    for (uint32_t n = 0; n < db.metadata.node_count; ++n) {
        MMDB_search_node_s node;
        if (MMDB_read_node(&db, n, &node) != MMDB_SUCCESS || !sound(node.left_record_type, node.left_record) ||
            !sound(node.right_record_type, node.right_record))
            return MMDB_CORRUPT_SEARCH_TREE_ERROR;
    }
    return MMDB_SUCCESS;
}

bool open_maxmind(const char* file) {
    int status = MMDB_open(file, MMDB_MODE_MMAP, &the_db.maxmind);
    if (status == MMDB_SUCCESS) {
        status = maxmind_tree_check(the_db.maxmind);
        if (status != MMDB_SUCCESS) MMDB_close(&the_db.maxmind);
    }
    if (status != MMDB_SUCCESS) {
        if (settings.Debug) fprintf(stderr, "GeoDB: %s: %s\n", file, MMDB_strerror(status));
        return false;
    }
    const MMDB_metadata_s& m = the_db.maxmind.metadata;
    char type[128];
    copy_printable(type, sizeof type, m.database_type ? m.database_type : "");
    time_t built = static_cast<time_t>(m.build_epoch);
    struct tm day;
    if (m.build_epoch <= 253402300799ull && gmtime_r(&built, &day))  // up to 9999-12-31
        snprintf(the_db.version, sizeof the_db.version, "%s %04d-%02d-%02d", type, day.tm_year + 1900,
                 day.tm_mon + 1, day.tm_mday);
    else
        snprintf(the_db.version, sizeof the_db.version, "%s", type);
    memset(record_memo, 0, sizeof record_memo);
    return true;
}

// Every node reachable from the root lies inside the file and every leaf
// names a country the library knows; nodes are two 3-byte little-endian
// records, a record at or above the edition's first country value a leaf.
// libGeoIP checks each step of a lookup, so this only turns a damaged file
// into a refused one instead of one that answers wrongly.
bool legacy_tree_sound(const GeoIP* gi) {
    if (!gi->cache) return true;  // read from disk step by step, each step checked
    if (gi->record_length != 3 || !gi->databaseSegments) return false;
    const uint64_t nodes = static_cast<uint64_t>(gi->size) / 6;
    const uint32_t first_country = gi->databaseSegments[0];
    if (nodes == 0) return false;
    std::vector<bool> seen(nodes);
    std::vector<uint32_t> todo{0};
    seen[0] = true;
    while (!todo.empty()) {
        const unsigned char* r = gi->cache + uint64_t{todo.back()} * 6;
        todo.pop_back();
        for (int side = 0; side < 2; ++side, r += 3) {
            uint32_t x = r[0] | r[1] << 8 | r[2] << 16;
            if (x >= first_country) {
                if (!GeoIP_code_by_id(static_cast<int>(x - first_country))) return false;
            } else if (x >= nodes) {
                return false;
            } else if (!seen[x]) {
                seen[x] = true;
                todo.push_back(x);
            }
        }
    }
    return true;
}

// libGeoIP prints its complaints itself; they are details for -d only.
GeoIP* open_legacy_file(const char* file) {
    GeoIP* gi = GeoIP_open(file, GEOIP_MEMORY_CACHE | (settings.Debug ? 0 : GEOIP_SILENCE));
    if (!gi) return nullptr;
    const char* fault = !country_edition(GeoIP_database_edition(gi)) ? "not a country edition"
                        : !legacy_tree_sound(gi)                      ? "the country tree is corrupt"
                                                                      : nullptr;
    if (fault) {
        if (settings.Debug) fprintf(stderr, "GeoDB: %s: %s\n", file, fault);
        GeoIP_delete(gi);
        gi = nullptr;
    }
    return gi;
}

// The other file of Debian's pair beside file ("/usr/share/GeoIP/GeoIP.dat"
// -> ".../GeoIPv6.dat"); false when file is not named like one of them.
bool legacy_partner(const char* file, char* out, size_t size) {
    const char* slash = strrchr(file, '/');
    const char* base = slash ? slash + 1 : file;
    const char* other = strcmp(base, "GeoIP.dat") == 0     ? "GeoIPv6.dat"
                        : strcmp(base, "GeoIPv6.dat") == 0 ? "GeoIP.dat"
                                                           : nullptr;
    if (!other) return false;
    int n = snprintf(out, size, "%.*s%s", static_cast<int>(base - file), file, other);
    return n > 0 && static_cast<size_t>(n) < size;
}

void append_info(GeoIP* gi) {
    char* info = GeoIP_database_info(gi);
    size_t used = strlen(the_db.version);
    if (used > 0 && used + 3 < sizeof the_db.version) {
        memcpy(the_db.version + used, " + ", 4);
        used += 3;
    }
    copy_printable(the_db.version + used, sizeof the_db.version - used, info ? info : "");
    free(info);
}

bool open_legacy(const char* file) {
    GeoIP* named = open_legacy_file(file);
    if (!named) return false;
    bool named_v6 = v6_edition(GeoIP_database_edition(named));
    (named_v6 ? the_db.v6 : the_db.v4) = named;
    the_db.version[0] = '\0';
    append_info(named);
    char partner_file[geo_path_limit];
    if (legacy_partner(file, partner_file, sizeof partner_file) &&
        geo_file_kind(partner_file) == geo_legacy_geoip) {
        GeoIP* partner = open_legacy_file(partner_file);
        if (partner && v6_edition(GeoIP_database_edition(partner)) != named_v6) {
            (named_v6 ? the_db.v4 : the_db.v6) = partner;
            append_info(partner);
        } else if (partner) {
            GeoIP_delete(partner);  // the same family twice: the named file answers
        }
    }
    return true;
}

bool ipv4_key(const unsigned char key[geo_key_size]) {
    for (int i = 0; i < 12; ++i)
        if (key[i] != 0) return false;
    return true;
}

void berkeley_lookup(const unsigned char k[geo_key_size], char out[2]) {
    const void* value = nullptr;
    size_t size = 0;
    if (hash_db_get(the_db.berkeley, k, geo_key_size, &value, &size) == hash_found && size >= 2) memcpy(out, value, 2);
}

bool maxmind_code(MMDB_entry_s* entry, char out[2]) {
    static const char* const paths[][3] = {
        {"country", "iso_code", nullptr},
        {"registered_country", "iso_code", nullptr},
        {"country_code", nullptr, nullptr},  // IPinfo Lite
        {"country", nullptr, nullptr},       // IPinfo's country file: a two-letter string
    };
    for (const auto& path : paths) {
        MMDB_entry_data_s data;
        if (MMDB_aget_value(entry, &data, path) == MMDB_SUCCESS && data.has_data &&
            data.type == MMDB_DATA_TYPE_UTF8_STRING && fold_code(data.utf8_string, data.data_size, out))
            return true;
    }
    return false;
}

void maxmind_lookup(const unsigned char key[geo_key_size], char out[2]) {
    sockaddr_in v4{};
    sockaddr_in6 v6{};
    const sockaddr* address;
    if (ipv4_key(key)) {
        v4.sin_family = AF_INET;
        memcpy(&v4.sin_addr, key + 12, 4);
        address = reinterpret_cast<const sockaddr*>(&v4);
    } else {
        v6.sin6_family = AF_INET6;
        memcpy(&v6.sin6_addr, key, 16);
        address = reinterpret_cast<const sockaddr*>(&v6);
    }
    int error = MMDB_SUCCESS;
    MMDB_lookup_result_s found = MMDB_lookup_sockaddr(&the_db.maxmind, address, &error);
    if (error != MMDB_SUCCESS || !found.found_entry) return;
    record_slot& slot = record_memo[(found.entry.offset * 2654435761u) >> 20];
    if (!(slot.used && slot.offset == found.entry.offset)) {
        char code[2] = {'-', '-'};
        maxmind_code(&found.entry, code);
        slot = record_slot{found.entry.offset, {code[0], code[1]}, true};
    }
    memcpy(out, slot.code, 2);
}

void legacy_lookup(const unsigned char key[geo_key_size], char out[2]) {
    GeoIPLookup gl{};
    int id = 0;
    if (ipv4_key(key) && the_db.v4) {
        unsigned long number = (static_cast<unsigned long>(key[12]) << 24) | (key[13] << 16) | (key[14] << 8) | key[15];
        id = GeoIP_id_by_ipnum_gl(the_db.v4, number, &gl);
    } else if (the_db.v6) {
        // Without an IPv4 file, the IPv6 file answers IPv4 at ::a.b.c.d.
        geoipv6_t number;
        memcpy(number.s6_addr, key, 16);
        id = GeoIP_id_by_ipnum_v6_gl(the_db.v6, number, &gl);
    }
    const char* code = id > 0 ? GeoIP_code_by_id(id) : nullptr;
    if (code) fold_code(code, strlen(code), out);
}

void berkeley_remembered(const unsigned char key[geo_key_size], char out[2]) {
    uint64_t high, low;
    memcpy(&high, key, 8);
    memcpy(&low, key + 8, 8);
    if (!memo) memo = static_cast<memo_slot*>(calloc(size_t{1} << memo_bits, sizeof(memo_slot)));
    if (!memo) {  // no memory for it: ask every time
        berkeley_lookup(key, out);
        return;
    }
    uint64_t h = (high * 0x9e3779b97f4a7c15ull) ^ (low * 0xc2b2ae3d27d4eb4full);
    memo_slot& slot = memo[h >> (64 - memo_bits)];
    if (!(slot.used && slot.high == high && slot.low == low)) {
        berkeley_lookup(key, out);
        slot = memo_slot{high, low, {out[0], out[1]}, true};
    }
    memcpy(out, slot.code, 2);
}

}  // namespace

geo_kind geo_file_kind(const char* path) {
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);  // a FIFO must not stop the run here
    if (fd < 0) return geo_berkeley_db;
    struct stat st;
    geo_kind kind = geo_berkeley_db;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) kind = kind_of_content(fd, st.st_size);
    close(fd);
    return kind;
}

geo_database* open_geo_database(const char* path) {
    close_geo_database();
    char file[geo_path_limit];
    if (path)
        snprintf(file, sizeof file, "%s", path);
    else
        snprintf(file, sizeof file, "%s/GeoDB.dat", geo_default_dir);
    the_db = geo_database{};
    the_db.kind = geo_file_kind(file);
    bool opened = false;
    switch (the_db.kind) {
        case geo_berkeley_db:
            the_db.berkeley = open_berkeley_geodb(file);
            opened = the_db.berkeley != nullptr;
            break;
        case geo_maxmind_db: opened = open_maxmind(file); break;
        case geo_legacy_geoip: opened = open_legacy(file); break;
    }
    if (!opened) {
        the_db = geo_database{};
        return nullptr;
    }
    geo_db = &the_db;
    return geo_db;
}

geo_kind geo_database_kind() { return geo_db ? geo_db->kind : geo_berkeley_db; }

char* geo_database_version(char* buf) {
    strcpy(buf, "Unknown");
    if (!geo_db) return buf;
    if (geo_db->kind != geo_berkeley_db) {
        if (geo_db->version[0]) snprintf(buf, geo_version_size, "%s", geo_db->version);
        return buf;
    }
    unsigned char zero[geo_key_size] = {};
    const void* value = nullptr;
    size_t size = 0;
    if (hash_db_get(geo_db->berkeley, zero, geo_key_size, &value, &size) != hash_found || size < 3) return buf;
    const char* text = static_cast<const char*>(value) + 3;
    size_t n = size - 3;
    if (n > geo_version_size - 1) n = geo_version_size - 1;
    size_t i = 0;
    while (i < n && text[i]) ++i;
    memcpy(buf, text, i);
    buf[i] = '\0';
    return buf;
}

bool geo_key_of(const char* text, unsigned char key[geo_key_size]) {
    memset(key, 0, geo_key_size);
    if (inet_pton(AF_INET6, text, key) != 1) {
        memset(key, 0, geo_key_size);
        if (inet_pton(AF_INET, text, key + 12) != 1) {
            memset(key, 0, geo_key_size);
            return false;
        }
    }
    if (key[0] == 0 && key[1] == 0 && key[2] == 0) {
        key[10] = key[11] = 0;  // ::ffff:a.b.c.d looks up as ::a.b.c.d
    } else if (key[0] == 0x20 && key[1] == 0x02) {
        memmove(key + 12, key + 2, 4);  // 6to4: the embedded IPv4 address
        memset(key, 0, 12);
    }
    return true;
}

char* geo_country_of(const char* text, char* out) {
    out[0] = out[1] = '-';
    out[2] = '\0';
    unsigned char k[geo_key_size];
    if (!geo_key_of(text, k) || !geo_db) return out;
    switch (geo_db->kind) {
        case geo_berkeley_db: berkeley_remembered(k, out); break;
        case geo_maxmind_db: maxmind_lookup(k, out); break;
        case geo_legacy_geoip: legacy_lookup(k, out); break;
    }
    return out;
}

void close_geo_database() {
    if (geo_db) {
        if (geo_db->berkeley) hash_db_close(geo_db->berkeley, false);
        if (geo_db->kind == geo_maxmind_db) MMDB_close(&geo_db->maxmind);
        if (geo_db->v4) GeoIP_delete(geo_db->v4);
        if (geo_db->v6) GeoIP_delete(geo_db->v6);
        the_db = geo_database{};
    }
    free(memo);
    memo = nullptr;
    geo_db = nullptr;
}
