#include "run/clock.h"

#include <cerrno>
#include <cstdlib>

std::time_t stamp_clock() {
    const char* fixed = std::getenv("SOURCE_DATE_EPOCH");
    if (fixed != nullptr && *fixed != '\0') {
        char* end = nullptr;
        errno = 0;
        const long long v = std::strtoll(fixed, &end, 10);
        if (errno == 0 && *end == '\0' && v >= 0) return static_cast<std::time_t>(v);
    }
    return std::time(nullptr);
}
