// corvageo_build: makes a GeoDB file for the analyser's country lookups.
//
//   corvageo_build [-v version-text] output-file [input-file]
//
// Input (standard input when no input file is named): one "address code" pair
// per line, the address an IPv4 or IPv6 text, the code two characters
// ("ua", "a1", "ap"; folded to lower case). Blank lines and lines starting
// with '#' are skipped. Each address is stored under the same 16-byte key the
// analyser looks up (IPv4 in bytes 12-15; IPv4-mapped and 6to4 addresses
// reduced to their IPv4 address), value the two code bytes. With -v, the
// all-zero key holds the version record: three bytes "--" and NUL, then the
// version text with its NUL. Without -v the database has no version record.
//
// The output is created afresh (mode 0644); a symbolic link is refused.
// Exit status: 0 done, 1 bad usage or input line (its number is printed),
// 2 output cannot be created or written.
#include <db_185.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "resolve/geo.h"

namespace {

enum build_code : int { build_ok = 0, build_bad_input = 1, build_bad_output = 2 };

int usage() {
    fprintf(stderr, "usage: corvageo_build [-v version-text] output-file [input-file]\n");
    return build_bad_input;
}

bool put(DB* db, const void* k, size_t klen, const void* v, size_t vlen) {
    DBT key{const_cast<void*>(k), klen}, value{const_cast<void*>(v), vlen};
    return db->put(db, &key, &value, 0) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    const char* version = nullptr;
    int a = 1;
    if (a + 1 < argc && strcmp(argv[a], "-v") == 0) {
        version = argv[a + 1];
        a += 2;
    }
    if (a >= argc || argc - a > 2) return usage();
    const char* output = argv[a];
    const char* input_name = a + 1 < argc ? argv[a + 1] : nullptr;

    struct stat st;
    if (lstat(output, &st) == 0) {
        if (S_ISLNK(st.st_mode)) {
            fprintf(stderr, "corvageo_build: %s is a symbolic link\n", output);
            return build_bad_output;
        }
        unlink(output);
    }
    FILE* in = input_name ? fopen(input_name, "r") : stdin;
    if (!in) {
        fprintf(stderr, "corvageo_build: cannot read %s\n", input_name);
        return build_bad_input;
    }
    DB* db = dbopen(output, O_RDWR | O_CREAT | O_TRUNC, 0644, DB_HASH, nullptr);
    if (!db) {
        fprintf(stderr, "corvageo_build: cannot create %s\n", output);
        return build_bad_output;
    }

    int status = build_ok;
    char line[1024];
    long number = 0;
    while (status == build_ok && fgets(line, sizeof line, in)) {
        ++number;
        char address[128], code[8];
        const char* p = line;
        while (*p == ' ' || *p == '\t') ++p;
        if (*p == '\0' || *p == '\n' || *p == '#') continue;
        unsigned char key[geo_key_size];
        if (sscanf(p, "%127s %7s", address, code) != 2 || strlen(code) != 2 || !geo_key_of(address, key)) {
            fprintf(stderr, "corvageo_build: line %ld: expected \"address code\"\n", number);
            status = build_bad_input;
            break;
        }
        for (char* c = code; *c; ++c) *c = static_cast<char>(tolower(static_cast<unsigned char>(*c)));
        if (!put(db, key, sizeof key, code, 2)) status = build_bad_output;
    }
    if (status == build_ok && version) {
        unsigned char zero[geo_key_size] = {};
        size_t n = strlen(version);
        char value[3 + geo_version_size] = {'-', '-', '\0'};
        if (n > geo_version_size - 1) n = geo_version_size - 1;
        memcpy(value + 3, version, n);
        value[3 + n] = '\0';
        if (!put(db, zero, sizeof zero, value, 3 + n + 1)) status = build_bad_output;
    }
    if (db->close(db) != 0 && status == build_ok) status = build_bad_output;
    if (input_name) fclose(in);
    if (status == build_bad_output) fprintf(stderr, "corvageo_build: cannot write %s\n", output);
    if (status != build_ok) unlink(output);
    return status;
}
