// Fuzzes the DNS cache as the main pass meets it: arbitrary file contents go
// through open_dns_cache (which checks the file in a child process and
// refuses a damaged one); a file it accepts is then read the way the main
// pass reads it, address by address. Nothing may crash in this process: a
// file that passes the check must be safe to read.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

#include "resolve/dns.h"
#include "run/settings.h"

namespace {

std::string cache_path;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (cache_path.empty()) {
        cache_path = "/dev/shm/corvalist-dns-fuzz-" + std::to_string(getpid()) + ".db";
        settings.Verbosity = 0;
    }
    std::FILE* f = std::fopen(cache_path.c_str(), "wb");
    if (f == nullptr) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    settings.DNSCache = cache_path.c_str();
    if (open_dns_cache() == 1) {
        // Addresses the seeds hold, and some they do not.
        static const char* const addresses[] = {"10.0.0.1", "10.0.0.2", "10.0.0.77", "10.0.1.3",
                                                "192.0.2.1", "::1", "2001:db8::5", ""};
        for (const char* a : addresses) {
            char host[256] = {};
            std::snprintf(host, sizeof host, "%s", a);
            lookup_dns_cache(host);
            if (std::memchr(host, '\0', sizeof host) == nullptr) __builtin_trap();
        }
        close_dns_cache();
    }
    settings.DNSCache = nullptr;
    return 0;
}
