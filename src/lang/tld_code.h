// Packing of a domain label or GeoDB country code into a signed 64-bit code,
// usable at compile time so that the country table carries its codes without
// hand-computed numbers.
//
// The k-th byte from the end (k = 0 for the last) adds (b - 96) << s(k), with b
// read as a signed byte, s(0) = 0 and s(k) = 5k + 2 taken modulo 32; each term
// is a 32-bit two's-complement value (wrapping) sign-extended before the sum.
// Lower-case letters give 1..26: the last letter fills a 7-bit field, every
// other letter a 5-bit field above it. Labels of seven or more bytes alias
// shorter ones because the shift count wraps.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr std::int64_t tld_code(const char* text, std::size_t n) {
    std::int64_t sum = 0;
    for (std::size_t k = 0; k < n; ++k) {
        const auto b = static_cast<std::int8_t>(text[n - 1 - k]);
        const unsigned shift = k == 0 ? 0u : static_cast<unsigned>((5 * k + 2) % 32);
        const auto term = static_cast<std::int32_t>(static_cast<std::uint32_t>(b - 96) << shift);
        sum += term;
    }
    return sum;
}

constexpr std::int64_t tld_code(const char* text) {
    std::size_t n = 0;
    while (text[n] != '\0') ++n;
    return tld_code(text, n);
}

static_assert(tld_code("com") == 14221 && tld_code("ad") == 132 && tld_code("a1") == 81);
