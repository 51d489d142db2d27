#include "resolve/geo.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

namespace {
hash_db* geo_db = nullptr;  // the process handle; nullptr while lookups are off
}

hash_db* open_geo_database(const char* path) {
    close_geo_database();
    char file[geo_path_limit];
    if (path)
        snprintf(file, sizeof file, "%s", path);
    else
        snprintf(file, sizeof file, "%s/GeoDB.dat", geo_default_dir);
    geo_db = hash_db_open(file, hash_read_only, 0);
    return geo_db;
}

char* geo_database_version(char* buf) {
    unsigned char zero[geo_key_size] = {};
    const void* value = nullptr;
    size_t value_size = 0;
    strcpy(buf, "Unknown");
    if (!geo_db || hash_db_get(geo_db, zero, geo_key_size, &value, &value_size) != hash_found || value_size < 3)
        return buf;
    const char* text = static_cast<const char*>(value) + 3;
    size_t n = value_size - 3;
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
    const void* value = nullptr;
    size_t value_size = 0;
    if (hash_db_get(geo_db, k, geo_key_size, &value, &value_size) == hash_found && value_size >= 2) {
        memcpy(out, value, 2);
    }
    return out;
}

void close_geo_database() {
    if (geo_db) hash_db_close(geo_db, false);
    geo_db = nullptr;
}
