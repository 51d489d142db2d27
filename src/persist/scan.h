// Number scanning for the history and state readers: each call reads the next
// number of a zero-terminated line after any blanks, like the matching scanf
// conversion, and advances p past it. Out-of-range values saturate (ints are
// clamped to the int range) instead of being undefined. A call that finds no
// number returns false and leaves out and p unchanged.
#pragma once

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>

inline bool scan_int(const char*& p, int& out) {
    char* end = nullptr;
    long v = std::strtol(p, &end, 10);
    if (end == p) return false;
    out = v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : static_cast<int>(v);
    p = end;
    return true;
}

inline bool scan_u64(const char*& p, uint64_t& out) {
    char* end = nullptr;
    unsigned long long v = std::strtoull(p, &end, 10);
    if (end == p) return false;
    out = v;
    p = end;
    return true;
}

inline bool scan_double(const char*& p, double& out) {
    char* end = nullptr;
    double v = std::strtod(p, &end);
    if (end == p) return false;
    out = v;
    p = end;
    return true;
}
