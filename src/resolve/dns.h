// Name resolution: the resolver pre-pass with its pool of child processes and
// the DNS cache database that the main pass reads.
//
// The pre-pass reads the whole opened log (input/log_reader.h), collects the
// numeric client addresses that the cache does not answer into dns_table
// (stats/tables.h), resolves them in up to 100 forked children and stores the
// answers. The main pass replaces each numeric host by its cached name. This
// subsystem owns the open cache handle, its lock and the child pool; it needs
// settings (DNSCache, DNSChildren, CacheTTL, CacheIPs, Verbosity, Debug,
// TimeMe, LogType) and the log parsers.
//
// Cache file: a Berkeley DB 1.x hash database (dbopen, default parameters;
// read and written through resolve/hash_db.h), created with mode 0664. One
// record per address:
//   key   the address text in lower case, no terminating NUL ("192.0.2.7")
//   value bytes 0-7   time of the resolving run, seconds since the epoch
//                     (native int64; 0 = never expires)
//         bytes 8-11  flag (native int32): 0 a name from reverse lookup,
//                     1 no name, the address itself stored (CacheIPs)
//         bytes 12..  the name in lower case, NUL, zero padding
//   value length = (name length & ~7) + 24
// Readers use only the time and the name. Runs on the same file exclude each
// other with whole-file fcntl locks that never wait: exclusive on the cache
// while a pre-pass fills its copy, shared while a main pass reads.
#pragma once

#include <cstdint>

enum dns_code : int {
    dns_ok = 0,
    dns_nomem = 1,
    dns_missing = 2,   // the cache holds no record for the address
    dns_db_error = 3,  // the database reported an error
    dns_not_open = 4,  // no cache is open (pre-pass: none configured, or its status unreadable)
    dns_damaged = 5,   // pre-pass: the cache failed its check; the run goes on without names
    dns_save_failed = 6,  // pre-pass: the additions could not be saved; the old cache stays
};

// Value layout of one cache record (the name follows from byte 12).
struct dns_record_head {
    int64_t time;
    int32_t flag;
};
constexpr int dns_value_name_offset = 12;
static_assert(sizeof(int64_t) == 8 && sizeof(int32_t) == 4);

// Value length of a cache record whose name is name_len bytes long.
constexpr int dns_value_length(int name_len) { return (name_len & ~7) + 24; }

// True when a record stamped record_time must be resolved again at now: its
// time is not 0 and it is more than ttl_days x 86400 seconds older. Any
// record_time is allowed (a damaged record may hold INT64_MIN).
bool dns_record_expired(int64_t record_time, int64_t now, int ttl_days);

// The pre-pass over the opened log (as left by open_log; the caller rewinds it
// afterwards). Needs settings.DNSCache set and settings.DNSChildren >= 1
// (already clamped to 100). Reads the log to its end.
//
// The cache is checked in a child process first (the library's own
// verification and every record); the additions go to a copy,
// "<cache>.new", that replaces the cache only when every record was stored
// and the copy is on disk, so a pass that is killed or meets a full disk
// leaves the old cache intact. A cache behind a symbolic link is updated
// where the link points.
//
// Returns dns_ok (DNSCache stays set, cache closed); dns_save_failed after
// "Error: Unable to save DNS cache file <name>" (the old cache stays and
// DNSCache stays set, so the main pass uses it); or, after its message,
// dns_db_error (open or lock failure), dns_damaged ("Error: Skipping damaged
// DNS cache file <name>") or dns_not_open, all three with DNSCache cleared so
// the run goes on without names.
int resolve_log_addresses();

// Opens settings.DNSCache read-only with the shared lock for the main pass.
// A cache other than the one this run's pre-pass has just put in place is
// first checked in a child process. Returns 1 when the cache is open and
// locked, 0 otherwise (no DNSCache, unreadable status, a damaged cache, open
// or lock failure; the last three with a message).
int open_dns_cache();

// True while the main-pass cache is open.
bool dns_cache_is_open();

// Releases the lock and closes the main-pass cache; nothing when not open.
void close_dns_cache();

// Main pass, for a numeric host: when the open cache holds host (the text of
// the 256-byte host field), replaces it by the cached name (at most 255
// bytes). Returns dns_ok (replaced), dns_missing, dns_db_error or
// dns_not_open; the field is unchanged except for dns_ok.
int lookup_dns_cache(char host[256]);

// True when text is a numeric IPv4 or IPv6 address, by the system resolver
// with numeric hosts only (stream sockets, service "0"). With addr given
// (at least 128 bytes), the socket address is copied there and its length
// stored in *addr_len.
bool is_numeric_address(const char* text, unsigned char* addr = nullptr, int* addr_len = nullptr);
