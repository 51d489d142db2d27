// GeoDB keys, lookups and version text, on databases made by corvageo_build.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <string>

#include "resolve/geo.h"
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
