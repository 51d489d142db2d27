// GeoDB keys, lookups and version text: Berkeley DB files made by
// corvageo_build, MaxMind DB files made by the tests' writer, and Debian's
// legacy GeoIP country files.
#include <GeoIP.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "resolve/geo.h"
#include "resolve/mmdb_writer.h"
#include "test_support.h"

using namespace testing_support;

namespace {

// Builds a GeoDB in dir from lines; version empty means no version record.
std::string build_geodb(const scratch_dir& dir, const std::string& lines, const std::string& version) {
    std::string input = dir.file("geo.txt"), out = dir.file("GeoDB.dat");
    write_file(input, lines);
    std::vector<std::string> args;
    if (!version.empty()) args = {"-v", version};
    args.push_back(out);
    args.push_back(input);
    run_result r = run_program(dir.path, args, "", tool_binary("corvageo_build"));
    EXPECT_EQ(r.status, 0) << r.err;
    return out;
}

}  // namespace

TEST(GeoKey, ThreeFormsOfOneIPv4AddressGiveOneKey) {
    // ::10.1.2.3 -- twelve zero bytes, then 10 1 2 3.
    const unsigned char expected[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 10, 1, 2, 3};
    for (const char* text : {"10.1.2.3", "::ffff:10.1.2.3", "2002:a01:203::1", "::10.1.2.3"}) {
        unsigned char key[16];
        ASSERT_TRUE(geo_key_of(text, key)) << text;
        EXPECT_EQ(memcmp(key, expected, 16), 0) << text;
    }
    // A plain IPv6 address keeps its bytes.
    unsigned char key[16];
    ASSERT_TRUE(geo_key_of("2001:db8::5", key));
    const unsigned char v6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5};
    EXPECT_EQ(memcmp(key, v6, 16), 0);
    for (const char* text : {"www.example.com", "", "10.1.2", "10.1.2.3.4", "1.2.3.256", "::g"})
        EXPECT_FALSE(geo_key_of(text, key)) << text;
}

TEST(GeoDb, LookupsVersionAndMisses) {
    scratch_dir dir;
    std::string path = build_geodb(dir, "# test data\n10.1.2.3 UA\n2001:db8::5 a1\n\n192.0.2.9 ap\n", "Test 2014-01");
    ASSERT_NE(open_geo_database(path.c_str()), nullptr);
    char code[3], version[geo_version_size];
    EXPECT_STREQ(geo_database_version(version), "Test 2014-01");
    struct {
        const char* text;
        const char* code;
    } rows[] = {
        {"10.1.2.3", "ua"}, {"::ffff:10.1.2.3", "ua"}, {"2002:a01:203::1", "ua"},
        {"2001:db8::5", "a1"}, {"192.0.2.9", "ap"},
        {"10.1.2.4", "--"}, {"2001:db8::6", "--"}, {"www.example.com", "--"}, {"", "--"},
    };
    for (const auto& r : rows) EXPECT_STREQ(geo_country_of(r.text, code), r.code) << r.text;
    close_geo_database();
    EXPECT_STREQ(geo_country_of("10.1.2.3", code), "--");  // closed: no answer
    EXPECT_STREQ(geo_database_version(version), "Unknown");
}

TEST(GeoDb, RememberedAnswersStayRightBeyondTheMemosSize) {
    // 70,000 addresses in 10.0.0.0/8 (more than the memo has slots, so some
    // share one), every third one absent; each asked twice.
    const char* const codes[] = {"ua", "de", "fr", "pl", "a1"};
    auto address = [](int i) {
        return "10." + std::to_string(i >> 16) + "." + std::to_string((i >> 8) & 255) + "." + std::to_string(i & 255);
    };
    std::string lines;
    for (int i = 0; i < 70000; ++i)
        if (i % 3 != 0) lines += address(i) + " " + codes[i % 5] + "\n";
    scratch_dir dir;
    ASSERT_NE(open_geo_database(build_geodb(dir, lines, "").c_str()), nullptr);
    char code[3];
    int wrong = 0;
    for (int round = 0; round < 2; ++round)
        for (int i = 0; i < 70000; ++i)
            if (std::string(geo_country_of(address(i).c_str(), code)) != (i % 3 ? codes[i % 5] : "--")) ++wrong;
    EXPECT_EQ(wrong, 0);
    close_geo_database();
}

TEST(GeoDb, NoVersionRecordAndUnopenableFile) {
    scratch_dir dir;
    std::string path = build_geodb(dir, "10.1.2.3 ua\n", "");
    ASSERT_NE(open_geo_database(path.c_str()), nullptr);
    char version[geo_version_size];
    EXPECT_STREQ(geo_database_version(version), "Unknown");
    close_geo_database();
    EXPECT_EQ(open_geo_database(dir.file("missing.dat").c_str()), nullptr);
    write_file(dir.file("junk.dat"), "not a database at all, just text\n");
    EXPECT_EQ(open_geo_database(dir.file("junk.dat").c_str()), nullptr);
}

TEST(GeoBuilder, RejectsBadLines) {
    for (const char* bad : {"10.1.2.3\n", "10.1.2.3 ukr\n", "nonsense ua\n"}) {
        scratch_dir dir;
        write_file(dir.file("in.txt"), std::string("10.0.0.1 ua\n") + bad);
        run_result r = run_program(dir.path, {dir.file("out.dat"), dir.file("in.txt")}, "",
                                   tool_binary("corvageo_build"));
        EXPECT_EQ(r.status, 1) << bad;
        EXPECT_NE(r.err.find("line 2"), std::string::npos) << r.err;
        EXPECT_FALSE(file_exists(dir.file("out.dat"))) << bad;
    }
}

TEST(GeoDb, PathCutTo1023Bytes) {
    // A database whose path is exactly 1023 bytes opens under any longer
    // setting that starts with that path.
    scratch_dir dir;
    std::string path = dir.path;
    while (1023 - path.size() > 250) {
        path += "/" + std::string(200, 'd');
        ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    }
    path += "/" + std::string(1023 - path.size() - 1, 'g');
    ASSERT_EQ(path.size(), 1023u);
    write_file(dir.file("geo.txt"), "10.1.2.3 ua\n");
    run_result r = run_program(dir.path, {path, dir.file("geo.txt")}, "", tool_binary("corvageo_build"));
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_NE(open_geo_database((path + "/beyond.dat").c_str()), nullptr);
    char code[3];
    EXPECT_STREQ(geo_country_of("10.1.2.3", code), "ua");
    close_geo_database();
}

TEST(GeoDb, DefaultPathNamedDefaultWhenItCannotBeOpened) {
    if (file_exists(std::string(geo_default_dir) + "/GeoDB.dat")) GTEST_SKIP() << "a GeoDB is installed";
    scratch_dir dir;
    write_file(dir.file("a.log"), "192.0.2.1 - - [10/Oct/2013:10:30:00 +0000] \"GET /a.html HTTP/1.0\" 200 1\n");
    run_result r = run_program(dir.path, {"-j", "a.log"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Error opening file: default\nGeoDB lookups disabled\n"), std::string::npos) << r.out;
}

// MaxMind DB files written by the tests' own writer; legacy GeoIP files from
// Debian's geoip-database.
namespace {

constexpr uint64_t dec_1_2026_1pm = 1796130000;  // 2026-01-01 is 1767225600, + 334 days + 13 h

std::string record_with(const std::vector<std::pair<std::string, std::string>>& pairs) { return mm::map(pairs); }
std::string iso(const std::string& code) { return record_with({{"iso_code", mm::str(code)}}); }

// A few networks, IPv4 inside an IPv6 tree, nested networks and the odd records.
std::string test_mmdb() {
    mmdb_writer w;
    w.add("10.1.0.0/16", mm::country("UA", "Ukraine"));
    w.add("10.1.2.0/24", mm::country("DE"));
    w.add("10.1.2.3/32", mm::country("FR"));
    w.add("192.0.2.0/24", record_with({{"registered_country", iso("PL")}}));              // no country
    w.add("192.0.2.128/25", record_with({{"country", iso("UKR")}, {"registered_country", iso("NL")}}));
    w.add("198.51.100.0/24", record_with({{"continent", record_with({{"code", mm::str("EU")}})}}));
    w.add("203.0.113.0/24", record_with({{"country", iso("a1")}}));
    w.add("100.64.0.0/10", record_with({{"country_code", mm::str("CA")}, {"country", mm::str("Canada")}}));
    w.add("172.16.0.0/12", record_with({{"country", mm::str("SE")}}));
    w.add("2001:db8::/32", mm::country("JP"));
    w.add("2001:db8:ff00::/40", record_with({{"country", iso("U\x01")}}));  // not a code
    return w.bytes("Test-Country", dec_1_2026_1pm);
}

std::string write_mmdb(const scratch_dir& dir, const std::string& bytes, const std::string& name = "test.mmdb") {
    write_file(dir.file(name), bytes);
    return dir.file(name);
}

const char* const debian_v4 = "/usr/share/GeoIP/GeoIP.dat";
const char* const debian_v6 = "/usr/share/GeoIP/GeoIPv6.dat";

// libGeoIP's own info text of a file, read without the analyser.
std::string legacy_info(const char* path) {
    GeoIP* gi = GeoIP_open(path, GEOIP_STANDARD | GEOIP_SILENCE);
    if (!gi) return "";
    char* info = GeoIP_database_info(gi);
    std::string text = info ? info : "";
    free(info);
    GeoIP_delete(gi);
    return text;
}

}  // namespace

TEST(GeoMaxMind, NetworksHostsMappedAnd6to4) {
    scratch_dir dir;
    std::string path = write_mmdb(dir, test_mmdb());
    ASSERT_EQ(geo_file_kind(path.c_str()), geo_maxmind_db);
    ASSERT_NE(open_geo_database(path.c_str()), nullptr);
    EXPECT_EQ(geo_database_kind(), geo_maxmind_db);
    char code[3], version[geo_version_size];
    EXPECT_STREQ(geo_database_version(version), "Test-Country 2026-12-01");
    struct {
        const char* text;
        const char* code;
    } rows[] = {
        {"10.1.0.1", "ua"},        {"10.1.255.255", "ua"},  // the /16
        {"10.1.2.1", "de"},        {"10.1.2.255", "de"},    // the /24 inside it
        {"10.1.2.3", "fr"},        {"10.1.2.4", "de"},      // the host inside that
        {"10.0.255.255", "--"},    {"10.2.0.0", "--"},      // just outside the /16
        {"::ffff:10.1.2.3", "fr"}, {"2002:a01:203::1", "fr"},  // mapped, 6to4
        {"2002:a01:0201:ffff::", "de"},
        {"192.0.2.5", "pl"},       // registered_country when country is missing
        {"192.0.2.200", "nl"},     // ... or not a two-letter code
        {"198.51.100.7", "--"},    // a record with neither
        {"203.0.113.1", "a1"},     // lower case already
        {"100.100.0.1", "ca"},     // country_code (IPinfo Lite)
        {"172.31.255.1", "se"},    // a two-letter country string
        {"2001:db8:1::5", "jp"},   {"2001:db9::", "--"},
        {"2001:db8:ff01::1", "--"},  // iso_code with a control byte
        {"www.example.com", "--"}, {"10.1.2", "--"}, {"", "--"},
    };
    for (const auto& r : rows) EXPECT_STREQ(geo_country_of(r.text, code), r.code) << r.text;
    // Asked again, from the memo this time.
    for (const auto& r : rows) EXPECT_STREQ(geo_country_of(r.text, code), r.code) << r.text << " again";
    close_geo_database();
    EXPECT_STREQ(geo_country_of("10.1.2.3", code), "--");
}

TEST(GeoMaxMind, IPv4TreeAnswersNoIPv6) {
    scratch_dir dir;
    mmdb_writer w(4);
    w.add("10.1.0.0/16", mm::country("UA"));
    w.add("10.1.2.3/32", mm::country("FR"));
    ASSERT_NE(open_geo_database(write_mmdb(dir, w.bytes("V4-Only", dec_1_2026_1pm)).c_str()), nullptr);
    char code[3];
    EXPECT_STREQ(geo_country_of("10.1.9.9", code), "ua");
    EXPECT_STREQ(geo_country_of("::ffff:10.1.2.3", code), "fr");
    EXPECT_STREQ(geo_country_of("2001:db8::1", code), "--");
    close_geo_database();
}

TEST(GeoMaxMind, CorruptFilesAreNotOpened) {
    const std::string good = test_mmdb();
    const size_t marker = good.rfind("\xAB\xCD\xEFMaxMind.com");
    ASSERT_NE(marker, std::string::npos);
    // node_count, big-endian uint32 behind its key in the metadata.
    const size_t count_at = good.find("node_count", marker) + 10 + 1;
    auto with_node_count = [&](uint32_t n) {
        std::string bad = good;
        bad[count_at - 1] = '\xc4';  // uint32, four bytes
        std::string bytes = {static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                             static_cast<char>(n)};
        std::string head = bad.substr(0, count_at);
        size_t old_size = static_cast<unsigned char>(good[count_at - 1]) & 0x1f;
        return head + bytes + bad.substr(count_at + old_size);
    };
    // The first node's left record pointed past the data section, or into
    // the 16 bytes before it (found by fuzzing: answered "" from the memo).
    std::string far = good, separator = good;
    far.replace(0, 4, "\x7f\xff\xff\xff");
    uint32_t tree_nodes = 0;
    for (size_t i = 0; i < (static_cast<unsigned char>(good[count_at - 1]) & 0x1f); ++i)
        tree_nodes = tree_nodes << 8 | static_cast<unsigned char>(good[count_at + i]);
    uint32_t into = tree_nodes + 15;
    separator.replace(0, 4, std::string{static_cast<char>(into >> 24), static_cast<char>(into >> 16),
                                        static_cast<char>(into >> 8), static_cast<char>(into)});
    struct {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"cut in the metadata", good.substr(0, good.size() - 20)},
        {"cut in the tree", good.substr(0, 100) + good.substr(marker)},
        {"cut before the marker", good.substr(0, marker)},
        {"only the marker", "\xAB\xCD\xEFMaxMind.com"},
        {"more nodes than the file holds", with_node_count(0x00100000)},
        {"node count that wraps 32 bits", with_node_count(0x20000001)},
        {"a record off the end", far},
        {"a record into the separator", separator},
        {"empty", ""},
    };
    for (const auto& c : cases) {
        scratch_dir dir;
        EXPECT_EQ(open_geo_database(write_mmdb(dir, c.bytes).c_str()), nullptr) << c.name;
        char code[3];
        EXPECT_STREQ(geo_country_of("10.1.2.3", code), "--") << c.name;
    }
    // The helper itself makes a file that opens when the count is right.
    scratch_dir dir;
    EXPECT_NE(open_geo_database(write_mmdb(dir, with_node_count(tree_nodes)).c_str()), nullptr);
    close_geo_database();
}

TEST(GeoKind, ToldFromContentNotName) {
    scratch_dir dir;
    build_geodb(dir, "10.1.2.3 ua\n", "v");  // dir/GeoDB.dat
    write_mmdb(dir, test_mmdb(), "GeoIP.dat");
    write_file(dir.file("notes.mmdb"), "just some text\n");
    ASSERT_EQ(mkfifo(dir.file("pipe").c_str(), 0600), 0);
    struct {
        std::string path;
        geo_kind kind;
    } rows[] = {
        {dir.file("GeoDB.dat"), geo_berkeley_db},  {dir.file("GeoIP.dat"), geo_maxmind_db},
        {dir.file("notes.mmdb"), geo_berkeley_db}, {dir.file("missing"), geo_berkeley_db},
        {dir.path, geo_berkeley_db},               {dir.file("pipe"), geo_berkeley_db},  // and no wait
    };
    for (const auto& r : rows) EXPECT_EQ(geo_file_kind(r.path.c_str()), r.kind) << r.path;
    // A MaxMind file named GeoIP.dat brings no partner and answers as MaxMind.
    ASSERT_NE(open_geo_database(dir.file("GeoIP.dat").c_str()), nullptr);
    char code[3];
    EXPECT_STREQ(geo_country_of("10.1.2.3", code), "fr");
    close_geo_database();
}

TEST(GeoLegacy, DebianCountryFiles) {
    if (!file_exists(debian_v4) || !file_exists(debian_v6))
        GTEST_SKIP() << "Debian's geoip-database is not installed (/usr/share/GeoIP)";
    EXPECT_EQ(geo_file_kind(debian_v4), geo_legacy_geoip);
    EXPECT_EQ(geo_file_kind(debian_v6), geo_legacy_geoip);
    // Either file of the pair brings the other.
    for (const char* named : {debian_v4, debian_v6}) {
        ASSERT_NE(open_geo_database(named), nullptr) << named;
        EXPECT_EQ(geo_database_kind(), geo_legacy_geoip);
        char code[3], version[geo_version_size];
        const char* partner = named == debian_v4 ? debian_v6 : debian_v4;
        EXPECT_EQ(std::string(geo_database_version(version)), legacy_info(named) + " + " + legacy_info(partner));
        for (const char* text : {"8.8.8.8", "::ffff:8.8.8.8", "2002:808:808::1", "2001:4860:4860::8888"})
            EXPECT_STREQ(geo_country_of(text, code), "us") << named << " " << text;
        EXPECT_STREQ(geo_country_of("127.0.0.1", code), "--") << named;
        EXPECT_STREQ(geo_country_of("localhost", code), "--") << named;
        close_geo_database();
    }
}

TEST(GeoLegacy, OneFileAloneAndUnderAnotherName) {
    if (!file_exists(debian_v4) || !file_exists(debian_v6))
        GTEST_SKIP() << "Debian's geoip-database is not installed (/usr/share/GeoIP)";
    scratch_dir dir;
    const std::string v4 = read_file(debian_v4), v6 = read_file(debian_v6);
    write_file(dir.file("GeoIP.dat"), v4);        // no partner beside it
    write_file(dir.file("countries.bin"), v6);    // a name of no pair
    char code[3], version[geo_version_size];

    ASSERT_NE(open_geo_database(dir.file("GeoIP.dat").c_str()), nullptr);
    EXPECT_EQ(std::string(geo_database_version(version)), legacy_info(debian_v4));
    EXPECT_STREQ(geo_country_of("8.8.8.8", code), "us");
    EXPECT_STREQ(geo_country_of("2001:4860:4860::8888", code), "--");  // no IPv6 file
    close_geo_database();

    ASSERT_NE(open_geo_database(dir.file("countries.bin").c_str()), nullptr);
    EXPECT_EQ(std::string(geo_database_version(version)), legacy_info(debian_v6));
    EXPECT_STREQ(geo_country_of("2001:4860:4860::8888", code), "us");
    EXPECT_STREQ(geo_country_of("8.8.8.8", code), "us");  // IPv4 at ::8.8.8.8 of the IPv6 file
    close_geo_database();
}

TEST(GeoLegacy, DamagedFilesAreNotOpened) {
    if (!file_exists(debian_v4)) GTEST_SKIP() << "Debian's geoip-database is not installed (/usr/share/GeoIP)";
    const std::string v4 = read_file(debian_v4);
    std::string city = v4;
    city.back() = 2;  // the edition byte: a city file, not a country file
    std::string astray = v4;
    astray.replace(0, 3, "\xfe\xff\xfe");  // the root's left record: node 16711678, past the end
    struct {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"cut in half", v4.substr(0, v4.size() / 2)},
        {"last byte cut", v4.substr(0, v4.size() - 1)},
        {"city edition", city},
        {"a node past the end", astray},
        {"marker only", "\xff\xff\xff\x01"},
    };
    for (const auto& c : cases) {
        scratch_dir dir;
        write_file(dir.file("GeoIP.dat"), c.bytes);
        EXPECT_EQ(open_geo_database(dir.file("GeoIP.dat").c_str()), nullptr) << c.name;
    }
}

TEST(GeoLegacy, LibraryMessagesOnlyWithDebug) {
    // A legacy country file whose two nodes lead to each other and never to
    // a country: libGeoIP gives up after 32 steps and says so itself.
    auto node = [](uint32_t left, uint32_t right) {
        std::string r;
        for (uint32_t v : {left, right})
            for (int i = 0; i < 3; ++i) r.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
        return r;
    };
    scratch_dir dir;
    write_file(dir.file("loop.dat"), node(1, 1) + node(0, 0) + std::string(3, '\0') + "LOOP" + "\xff\xff\xff\x01");
    write_file(dir.file("a.log"), "1.2.3.4 - - [10/Oct/2013:10:30:00 +0000] \"GET /a.html HTTP/1.0\" 200 1\n");
    run_result quiet = run_program(dir.path, {"-j", "-J", "loop.dat", "a.log"});
    EXPECT_EQ(quiet.status, 0);
    EXPECT_NE(quiet.out.find("Using LOOP\n"), std::string::npos) << quiet.out;
    EXPECT_EQ(quiet.err, "");
    run_result debug = run_program(dir.path, {"-d", "-j", "-J", "loop.dat", "a.log"});
    EXPECT_EQ(debug.status, 0);
    // 1.2.3.4 is 16909060.
    EXPECT_NE(debug.err.find("Error Traversing Database for ipnum = 16909060"), std::string::npos) << debug.err;
    EXPECT_NE(debug.err.find("GeoDB: 1.2.3.4 unknown!\n"), std::string::npos) << debug.err;
}
