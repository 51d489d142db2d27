// KOI8-U to UTF-8 for the console: the catalogue's month names, characters
// from the KOI8-U chart, and the cut at the buffer's end.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "lang/koi8u.h"
#include "lang/lang.h"

namespace {

std::string utf8_of(const char* koi8u) {
    char out[256];
    koi8u_to_utf8(koi8u, out, sizeof out);
    return out;
}

TEST(Koi8u, MonthNamesOfTheCatalogue) {
    // The names as the catalogue lists them, typed here in UTF-8.
    const char* const full[12] = {"Січень", "Лютий",  "Березень", "Квітень",  "Травень", "Червень",
                                  "Липень", "Серпень", "Вересень", "Жовтень", "Листопад", "Грудень"};
    const char* const abbr[12] = {"Січ", "Лют", "Бер", "Кві", "Тра", "Чер",
                                  "Лип", "Сер", "Вер", "Жов", "Лис", "Гру"};
    for (int m = 0; m < 12; ++m) {
        EXPECT_EQ(utf8_of(month_full[m]), full[m]) << "month " << m + 1;
        EXPECT_EQ(utf8_of(month_abbr[m]), abbr[m]) << "month " << m + 1;
    }
}

TEST(Koi8u, CharactersOfTheChart) {
    // From the KOI8-U code chart: box drawing at 0x80, the Ukrainian letters
    // that KOI8-U puts where KOI8-R has box drawing, and the two alphabets.
    struct row {
        unsigned char byte;
        const char* utf8;
    } rows[] = {
        {0x80, "─"}, {0xa4, "є"}, {0xa6, "і"}, {0xa7, "ї"}, {0xad, "ґ"}, {0xb4, "Є"},
        {0xb6, "І"}, {0xb7, "Ї"}, {0xbd, "Ґ"}, {0xc1, "а"}, {0xe1, "А"}, {0xff, "Ъ"},
    };
    for (const row& r : rows) {
        const char text[2] = {static_cast<char>(r.byte), '\0'};
        EXPECT_EQ(utf8_of(text), r.utf8) << std::hex << int(r.byte);
    }
    // Every entry is a different character of two or three bytes.
    std::set<std::string> seen;
    for (const auto& entry : koi8u_utf8) {
        const std::string s = entry;
        EXPECT_TRUE(s.size() == 2 || s.size() == 3) << s;
        seen.insert(s);
    }
    EXPECT_EQ(seen.size(), 128u);
}

TEST(Koi8u, AsciiPassesAndTheCutKeepsWholeCharacters) {
    EXPECT_EQ(utf8_of("Generating report for"), "Generating report for");
    EXPECT_EQ(utf8_of(""), "");
    // "\xf3\xa6\xde" is "Січ": six bytes in UTF-8.
    struct row {
        std::size_t size;
        const char* expected;
    } rows[] = {
        {0, "untouched"}, {1, ""}, {2, "x"}, {3, "x"}, {4, "xС"}, {5, "xС"}, {6, "xСі"}, {8, "xСіч"}, {9, "xСіч"},
    };
    for (const row& r : rows) {
        char out[16] = "untouched";
        const std::size_t n = koi8u_to_utf8("x\xf3\xa6\xde", out, r.size);
        EXPECT_STREQ(out, r.expected) << "size " << r.size;
        EXPECT_EQ(n, r.size == 0 ? 0 : std::string(r.expected).size()) << "size " << r.size;
    }
}

}  // namespace
