// Geolocation: country codes of numeric addresses from a GeoDB file.
//
// Owns the one open GeoDB handle of the process (none while lookups are off)
// and the version text read at start. Needs nothing but the file.
//
// GeoDB file: a Berkeley DB 1.x hash database (dbopen, default parameters),
// opened read-only through resolve/hash_db.h (the library's own messages
// only with Debug).
//   key   16 bytes, an address in network byte order: IPv6 as is; IPv4 in
//         bytes 12-15 with bytes 0-11 zero. An IPv4-mapped ::ffff:a.b.c.d
//         and a 6to4 2002:aabb:ccdd:: both become ::a.b.c.d.
//   value bytes 0-1: the country code in lower case ("ua", "a1", "ap")
//   key of 16 zero bytes: the version record, its text from value byte 3.
#pragma once

#include "resolve/hash_db.h"

constexpr const char* geo_default_dir = "/usr/local/share/corvageo";
constexpr int geo_path_limit = 1024;  // longer paths are cut
constexpr int geo_key_size = 16;
constexpr int geo_version_size = 256;  // buffer size for geo_database_version

// Opens path read-only (nullptr: "/usr/local/share/corvageo/GeoDB.dat"); the
// path is cut to 1023 bytes. Returns the handle, also kept as the process
// handle, or nullptr (process handle then none). The handle is owned here
// until close_geo_database. An earlier open handle is closed first.
hash_db* open_geo_database(const char* path);

// Fills buf (geo_version_size bytes) with the version text of the open
// database, or "Unknown" when it has none (or no database is open). Returns buf.
char* geo_database_version(char* buf);

// Fills out (3 bytes) with the two-character code of address text and a NUL;
// "--" when the text is not an IPv4 or IPv6 address, no database is open or
// it holds no record. Returns out.
char* geo_country_of(const char* text, char* out);

// The 16-byte lookup key of text (rules above). Returns false, key untouched
// beyond being zeroed, when text is not an address.
bool geo_key_of(const char* text, unsigned char key[geo_key_size]);

// Closes the process handle; nothing when none is open.
void close_geo_database();
