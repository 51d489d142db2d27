// Geolocation: country codes of numeric addresses from a GeoDB file.
//
// Owns the one open GeoDB of the process (none while lookups are off), the
// version text read at start and the memos of answers. Needs the file, and
// settings.Debug, which lets the libraries' own messages reach the console.
//
// The file is one of three kinds, told from its content (never its name):
//
// Berkeley DB GeoDB: a Berkeley DB 1.x hash database (dbopen, default
// parameters), opened read-only through resolve/hash_db.h (the library's own
// messages only with Debug). Every file that is not of the two kinds below is
// handed to Berkeley DB.
//   key   16 bytes, an address in network byte order: IPv6 as is; IPv4 in
//         bytes 12-15 with bytes 0-11 zero. An IPv4-mapped ::ffff:a.b.c.d
//         and a 6to4 2002:aabb:ccdd:: both become ::a.b.c.d.
//   value bytes 0-1: the country code in lower case ("ua", "a1", "ap")
//   key of 16 zero bytes: the version record, its text from value byte 3.
//
// MaxMind DB (GeoLite2-Country or -City, DB-IP, IPinfo): the file carries
// the marker "\xAB\xCD\xEFMaxMind.com" in its last 128 KiB; read through
// libmaxminddb. The code of an address is, of the data record of the
// network holding it, country.iso_code, else registered_country.iso_code,
// else the top-level country_code or two-letter country (IPinfo's layouts),
// lower-cased. Version: database_type and build date, "GeoLite2-Country
// 2026-12-01".
//
// Legacy GeoIP country file (Debian's /usr/share/GeoIP/GeoIP.dat for IPv4,
// GeoIPv6.dat for IPv6): within its last 23 bytes the structure marker
// ff ff ff and an edition byte of a country edition; read through libGeoIP
// (whole file in memory). A file named GeoIP.dat or GeoIPv6.dat brings its
// partner of the other name from the same directory when that is a legacy
// country file of the other address family. Version: the library's database
// info text ("GEO-106FREE 20260704 Build"), the partner's after " + ".
//
// Every kind is asked with the 16-byte key above: an address whose key has
// bytes 0-11 zero is looked up as the IPv4 address in bytes 12-15.
#pragma once


constexpr const char* geo_default_dir = "/usr/local/share/corvageo";
constexpr int geo_path_limit = 1024;  // longer paths are cut
constexpr int geo_key_size = 16;
constexpr int geo_version_size = 256;  // buffer size for geo_database_version

enum geo_kind : int {
    geo_berkeley_db = 0,  // also every file of no known kind, and no file
    geo_maxmind_db = 1,
    geo_legacy_geoip = 2,
};

struct geo_database;  // the open database, owned here

// Kind of the regular file at path by its content; geo_berkeley_db when it
// cannot be read or is not a regular file (Berkeley DB then has its say).
geo_kind geo_file_kind(const char* path);

// Opens path read-only (nullptr: "/usr/local/share/corvageo/GeoDB.dat"); the
// path is cut to 1023 bytes. Returns the process database, or nullptr when
// the file cannot be opened or is corrupt (process database then none). The
// database is owned here until close_geo_database. An earlier one is closed
// first.
geo_database* open_geo_database(const char* path);

// Kind of the open database; geo_berkeley_db when none is open.
geo_kind geo_database_kind();

// Fills buf (geo_version_size bytes) with the version text of the open
// database, or "Unknown" when it has none (or no database is open). Returns buf.
char* geo_database_version(char* buf);

// Fills out (3 bytes) with the two-character code of address text and a NUL;
// "--" when the text is not an IPv4 or IPv6 address, no database is open or
// it holds no code for it. Returns out. A Berkeley DB GeoDB's answers are
// remembered per key, a MaxMind file's per data record, while the database
// stays open (a month of a busy site asks for hundreds of thousands of
// addresses, and the next month for most of them again).
char* geo_country_of(const char* text, char* out);

// The 16-byte lookup key of text (rules above). Returns false, key untouched
// beyond being zeroed, when text is not an address.
bool geo_key_of(const char* text, unsigned char key[geo_key_size]);

// Closes the process database and forgets its answers; nothing when none is open.
void close_geo_database();
