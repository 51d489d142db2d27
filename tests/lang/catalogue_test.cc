// Catalogue texts, month names, response mapping, country table and the
// packing of domain codes.
#include <gtest/gtest.h>
#include <iconv.h>

#include <climits>
#include <cstring>
#include <string>

#include "lang/lang.h"

namespace {

// UTF-8 to KOI8-U through the C library, independent of the build's conversion.
std::string koi8(const std::string& utf8) {
    iconv_t cd = iconv_open("KOI8-U", "UTF-8");
    EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1));
    std::string out(utf8.size() + 1, '\0');
    char* in = const_cast<char*>(utf8.data());
    char* o = out.data();
    std::size_t in_left = utf8.size(), out_left = out.size();
    EXPECT_NE(iconv(cd, &in, &in_left, &o, &out_left), static_cast<std::size_t>(-1)) << utf8;
    iconv_close(cd);
    out.resize(out.size() - out_left);
    return out;
}

TEST(Catalogue, ReportTextsAreKoi8AndConsoleTextsAscii) {
    struct {
        const char* slot;
        const char* utf8;
    } cases[] = {
        {rpt_default_title, "Статистика відвідувань"},
        {rpt_monthly_summary, "Щомісячний підсумок"},
        {rpt_monthly_summary_index, "Щомісячний підсумок"},
        {lbl_hostname, "ім'я хоста"},
        {lbl_other, "Інші"},
        {tot_unique_urls, "Всього унікальних URL'ів"},
        {ttl_country_stats, "Cтатистика по країнах за"},  // begins with a Latin C
        {tot_kbytes_per_day, "KБайт за день"},           // begins with a Latin K
        {tot_sites_per_day, "Sites per Day"},
        {all_search, "Переглянути всі cтрічки пошуку"},
        {top_of, "з"},
        {lang_name, "Ukrainian"},
        {lang_code, "uk"},
        {con_bad_keyword, "Warning: Invalid keyword"},
        {con_config_open_error, "Error: Unable to open configuration file"},
        {con_string_too_long, "Warning: String exceeds storage size"},
        {help_args, "[options] [log file]"},
    };
    for (const auto& c : cases) EXPECT_EQ(std::string(c.slot), koi8(c.utf8)) << c.utf8;
    // One byte per Cyrillic letter: "з" is the single byte 0xDA in KOI8-U.
    EXPECT_EQ(std::string(top_of), "\xDA");
}

TEST(Catalogue, MonthNames) {
    const char* abbr[12] = {"Січ", "Лют", "Бер", "Кві", "Тра", "Чер", "Лип", "Сер", "Вер", "Жов", "Лис", "Гру"};
    const char* full[12] = {"Січень", "Лютий",   "Березень", "Квітень",  "Травень", "Червень",
                            "Липень", "Серпень", "Вересень", "Жовтень", "Листопад", "Грудень"};
    for (int m = 0; m < 12; ++m) {
        EXPECT_EQ(std::strlen(month_abbr[m]), 3u) << m;
        EXPECT_EQ(std::string(month_abbr[m]), koi8(abbr[m])) << m;
        EXPECT_EQ(std::string(month_full[m]), koi8(full[m])) << m;
    }
}

TEST(Catalogue, HelpLines) {
    std::size_t n = 0;
    while (help_lines[n] != nullptr) ++n;
    ASSERT_EQ(n, 46u);
    EXPECT_STREQ(help_lines[0], "-h        = print this help message");
    EXPECT_STREQ(help_lines[9], "-q        = supress informational messages");
    EXPECT_STREQ(help_lines[18], "-c file   = use configuration file 'file'");
    EXPECT_STREQ(help_lines[43], "-N num    = Number of DNS processes (0=disable)");
    EXPECT_STREQ(help_lines[45], "-J name   = Use GeoDB database 'name'");
}

TEST(ResponseCodes, StatusToRow) {
    struct {
        int status, row;
    } cases[] = {
        {100, 1},  {101, 2},  {102, 0},  {199, 0},  {200, 3},  {206, 9},  {207, 0},  {299, 0},
        {300, 10}, {304, 14}, {305, 15}, {306, 0},  {307, 16}, {308, 0},  {400, 17}, {404, 21},
        {417, 34}, {418, 0},  {499, 0},  {500, 35}, {505, 40}, {506, 0},  {999, 0},  {99, 0},
        {0, 0},    {-304, 0}, {INT_MIN, 0}, {INT_MAX, 0},
    };
    for (const auto& c : cases) EXPECT_EQ(response_index(c.status), c.row) << c.status;
}

TEST(ResponseCodes, EveryRowNamesTheStatusThatMapsToIt) {
    EXPECT_EQ(std::string(response_table[0].desc), koi8("Невідомий код відповіді"));
    EXPECT_STREQ(response_table[14].desc, "Code 304 - Not Modified");
    EXPECT_STREQ(response_table[16].desc, "Code 307 - Moved Temporarily");
    EXPECT_STREQ(response_table[40].desc, "Code 505 - HTTP Version Not Supported");
    for (std::size_t row = 1; row < response_rows; ++row) {
        ASSERT_EQ(std::strncmp(response_table[row].desc, "Code ", 5), 0) << row;
        EXPECT_EQ(response_index(std::atoi(response_table[row].desc + 5)), static_cast<int>(row)) << row;
    }
}

TEST(ResponseCodes, ResetZeroesEveryRow) {
    response_table[0].count = 3;
    response_table[40].count = 5;
    reset_response_counts();
    for (const auto& row : response_table) EXPECT_EQ(row.count, 0u);
}

TEST(DomainCodes, PackAndUnpackWorkedValues) {
    struct {
        const char* text;
        std::int64_t code;
    } cases[] = {
        {"com", 14221},  {"net", 58004},          {"ua", 2689},    {"ad", 132},
        {"a1", 81},      {"o1", 1873},            {"lan", 49294},  {"museum", 1835424397},
        {"travel", -1534893428},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(pack_tld(c.text), c.code) << c.text;
        EXPECT_EQ(pack_tld(c.text, std::strlen(c.text)), c.code) << c.text;
        EXPECT_STREQ(unpack_tld(c.code), c.text) << c.code;
    }
    EXPECT_EQ(pack_tld(""), 0);
    EXPECT_STREQ(unpack_tld(0), "");
    // Only n bytes are read.
    EXPECT_EQ(pack_tld("comx", 3), 14221);
}

TEST(DomainCodes, UnpackReusesOneBuffer) {
    const char* first = unpack_tld(14221);
    const char* second = unpack_tld(2689);
    EXPECT_EQ(first, second);
    EXPECT_STREQ(second, "ua");
}

TEST(CountryTable, OrderNamesAndLookup) {
    std::size_t rows = 0;
    while (country_table[rows].desc != nullptr) ++rows;
    ASSERT_EQ(rows, 280u);
    EXPECT_EQ(country_table[0].code, 0);
    EXPECT_EQ(std::string(country_table[0].desc), koi8("Нерозв'язані/Невідомі"));

    struct {
        const char* tld;
        int row;
        const char* utf8;
    } cases[] = {
        {"com", 1, "Комерційні (com)"},
        {"net", 6, "Мережеві (net)"},
        {"org", 7, "Некомерційні організації (org)"},
        {"biz", 8, "Generic Business (biz)"},
        {"nato", 20, "Зона Nato (nato)"},
        {"travel", 22, "Travel Ind. (travel)"},
        {"ac", 23, "Ascension Island"},
        {"ad", 24, "Андора (ad)"},
        {"a1", 275, "Anonymous Proxy"},
        {"a2", 276, "Satellite Provider"},
        {"o1", 277, "Other"},
        {"ap", 278, "Asia/Pacific Region"},
        {"lan", 279, "Local Network (lan)"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(find_country(pack_tld(c.tld)), c.row) << c.tld;
        EXPECT_EQ(std::string(country_table[c.row].desc), koi8(c.utf8)) << c.tld;
    }
    const char* named[][2] = {{"ua", "Україна (ua)"},
                              {"uk", "Великобританія (uk)"},
                              {"su", "СРСР (колишній, su)"},
                              {"yu", "Югославія (колишня, yu)"},
                              {"eu", "European Union"},
                              {"mf", "Saint Martin (French part)"}};
    for (const auto& n : named)
        EXPECT_EQ(std::string(country_table[find_country(pack_tld(n[0]))].desc), koi8(n[1])) << n[0];

    EXPECT_EQ(find_country(0), 0);
    EXPECT_EQ(find_country(pack_tld("zz")), 0);
    EXPECT_EQ(find_country(pack_tld("xyz")), 0);
}

TEST(CountryTable, EveryCodeIsUniqueAndUnpacksToItsLabel) {
    for (std::size_t row = 1; row < country_rows; ++row) {
        const std::int64_t code = country_table[row].code;
        ASSERT_NE(code, 0) << row;
        const std::string label = unpack_tld(code);
        EXPECT_EQ(pack_tld(label.c_str()), code) << row;
        EXPECT_EQ(find_country(code), static_cast<int>(row)) << row << " " << label;
        // Ukrainian names end with their code: "(ua)", "(колишній, su)".
        const std::string desc = country_table[row].desc;
        bool cyrillic = false;
        for (unsigned char b : desc) cyrillic = cyrillic || b >= 0x80;
        if (cyrillic) {
            const std::string tail = label + ")";
            ASSERT_GT(desc.size(), tail.size()) << row;
            EXPECT_EQ(desc.substr(desc.size() - tail.size()), tail) << row;
        }
    }
    // Two-letter rows are in alphabetical order between travel and a1.
    for (std::size_t row = 24; row < 275; ++row)
        EXPECT_LT(std::string(unpack_tld(country_table[row - 1].code)),
                  std::string(unpack_tld(country_table[row].code)))
            << row;
}

TEST(CountryTable, ResetZeroesCounters) {
    country_table[5].count = 1;
    country_table[5].files = 2;
    country_table[279].xfer = 3.0;
    reset_country_counts();
    for (std::size_t row = 0; row < country_rows; ++row) {
        EXPECT_EQ(country_table[row].count, 0u);
        EXPECT_EQ(country_table[row].files, 0u);
        EXPECT_EQ(country_table[row].xfer, 0.0);
    }
}

}  // namespace
