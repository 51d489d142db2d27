// Fuzzes the opening and the lookups of MaxMind DB and legacy GeoIP country
// files with arbitrary file contents: whatever opens must answer every
// address with "--" or two lower-case letters or digits, and nothing may
// read outside the file. Contents that would go to Berkeley DB are left out
// (that library's own reader is not ours to fuzz).
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "resolve/geo.h"

namespace {

int fd = -1;
char path[64];

bool code_ok(const char* c) {
    auto ok = [](char x) { return (x >= 'a' && x <= 'z') || (x >= '0' && x <= '9'); };
    return c[2] == '\0' && ((c[0] == '-' && c[1] == '-') || (ok(c[0]) && ok(c[1])));
}

const char* const addresses[] = {
    "0.0.0.0", "1.2.3.4", "10.1.2.3", "128.0.0.1", "255.255.255.255", "::", "::1", "::ffff:10.1.2.3",
    "2002:a01:203::1", "2001:db8::1", "8000::1", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff",
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (fd < 0) {
        fd = memfd_create("geo-fuzz", 0);
        if (fd < 0) abort();
        snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    }
    if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) abort();
    if (geo_file_kind(path) == geo_berkeley_db) return 0;
    if (open_geo_database(path)) {
        char version[geo_version_size], code[3];
        geo_database_version(version);
        for (int round = 0; round < 2; ++round)  // the second round answers from the memo
            for (const char* a : addresses)
                if (!code_ok(geo_country_of(a, code))) abort();
        close_geo_database();
    }
    return 0;
}
