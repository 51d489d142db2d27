// Code packing, country lookup and the response-code mapping over the
// catalogue's tables (the texts themselves are in uk_catalogue.cc.in).
#include "lang/lang.h"

#include <cstring>

#include "lang/tld_code.h"

std::int64_t pack_tld(const char* text, std::size_t n) { return text == nullptr ? 0 : tld_code(text, n); }

std::int64_t pack_tld(const char* text) { return text == nullptr ? 0 : tld_code(text, std::strlen(text)); }

const char* unpack_tld(std::int64_t code) {
    static char buffer[8];
    std::memset(buffer, 0, sizeof buffer);
    if (code == 0) return buffer;
    const auto c = static_cast<std::uint32_t>(code);
    if ((c & 127) >= 33) {
        // Two characters whose second is not a letter (a1, a2, o1): its term
        // was negative and borrowed from the letter field above.
        buffer[0] = static_cast<char>(((c >> 7) + 'a') & 0xff);
        buffer[1] = static_cast<char>((c & 127) - 32);
        return buffer;
    }
    auto letter = [](std::uint32_t g) { return g != 0 ? static_cast<char>(g | 0x60) : ' '; };
    buffer[5] = static_cast<char>((c & 127) + 96);
    buffer[4] = letter((c >> 7) & 31);
    buffer[3] = letter((c >> 12) & 31);
    buffer[2] = letter((c >> 17) & 31);
    buffer[1] = letter((c >> 22) & 31);
    buffer[0] = c >= (1u << 27) ? static_cast<char>((c >> 27) | 0x60) : ' ';
    std::size_t lead = 0;
    while (lead < 6 && buffer[lead] == ' ') ++lead;
    std::memmove(buffer, buffer + lead, 7 - lead);
    return buffer;
}

int find_country(std::int64_t code) {
    if (code == 0) return 0;
    for (int row = 0; country_table[row].desc != nullptr; ++row)
        if (country_table[row].code == code) return row;
    return 0;
}

namespace {
// Status ranges that have rows of their own, in table order:
// {200, 206, 3} -> statuses 200..206 are rows 3..9.
struct status_range {
    int first, last, row;
};
constexpr status_range status_ranges[] = {
    {100, 101, 1}, {200, 206, 3}, {300, 305, 10}, {307, 307, 16}, {400, 417, 17}, {500, 505, 35},
};
static_assert(505 - 500 + 35 == response_rows - 1, "the last range ends at the last row");
}  // namespace

int response_index(int status) {
    for (const auto& r : status_ranges)
        if (status >= r.first && status <= r.last) return r.row + (status - r.first);
    return 0;
}

void reset_response_counts() {
    for (auto& row : response_table) row.count = 0;
}

void reset_country_counts() {
    for (std::size_t row = 0; row < country_rows; ++row) {
        country_table[row].count = 0;
        country_table[row].files = 0;
        country_table[row].xfer = 0.0;
    }
}
