// KOI8-U to UTF-8; see lang/koi8u.h. The table is generated (utf8gen).
#include "lang/koi8u.h"

#include <cstring>

std::size_t koi8u_to_utf8(const char* text, char* out, std::size_t size) {
    if (size == 0) return 0;
    std::size_t n = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
        const char* bytes = nullptr;
        std::size_t len = 1;
        if (*p >= 0x80) {
            bytes = koi8u_utf8[*p - 0x80];
            len = std::strlen(bytes);
        }
        if (n + len > size - 1) break;
        if (bytes == nullptr)
            out[n] = static_cast<char>(*p);
        else
            std::memcpy(out + n, bytes, len);
        n += len;
    }
    out[n] = '\0';
    return n;
}
