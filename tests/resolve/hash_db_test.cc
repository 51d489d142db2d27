// Hash database files: the same files pass between the library's version-1
// interface (dbopen, as existing caches and GeoDB files were made) and this
// unit, both ways; and the check in a child process tells a sound file, a
// file that is no database, a damaged one and one with a bad record apart.
#include <db_185.h>
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
#include <string>

#include "resolve/hash_db.h"
#include "test_support.h"

using testing_support::read_file;
using testing_support::scratch_dir;
using testing_support::write_file;

namespace {

// Keys and values of every kind the two files hold: address texts, 16-byte
// binary keys with zero bytes, values with zero bytes inside.
const std::map<std::string, std::string>& records() {
    static const std::map<std::string, std::string> r = [] {
        std::map<std::string, std::string> m;
        for (int i = 0; i < 500; ++i)
            m["10.1." + std::to_string(i / 256) + "." + std::to_string(i % 256)] =
                std::string(12, '\0') + "host-" + std::to_string(i) + ".example.org" + std::string(7, '\0');
        m[std::string(16, '\0')] = std::string("--\0Test 2014-01\0", 16);
        m[std::string("\0\0\0\0\0\0\0\0\0\0\0\0\x0a\x01\x02\x03", 16)] = std::string("ua\0", 3);
        return m;
    }();
    return r;
}

void write_old_way(const std::string& path) {
    DB* db = dbopen(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0664, DB_HASH, nullptr);
    ASSERT_NE(db, nullptr);
    for (const auto& [k, v] : records()) {
        DBT key{const_cast<char*>(k.data()), k.size()}, value{const_cast<char*>(v.data()), v.size()};
        ASSERT_EQ(db->put(db, &key, &value, 0), 0);
    }
    ASSERT_EQ(db->close(db), 0);
}

std::map<std::string, std::string> read_old_way(const std::string& path) {
    std::map<std::string, std::string> out;
    DB* db = dbopen(path.c_str(), O_RDONLY, 0, DB_HASH, nullptr);
    if (db == nullptr) return out;
    DBT key, value;
    for (int rc = db->seq(db, &key, &value, R_FIRST); rc == 0; rc = db->seq(db, &key, &value, R_NEXT))
        out[std::string(static_cast<char*>(key.data), key.size)] = std::string(static_cast<char*>(value.data), value.size);
    db->close(db);
    return out;
}

TEST(HashDb, FilesPassBetweenTheTwoInterfaces) {
    scratch_dir dir;
    // Made the old way, read here.
    write_old_way(dir.file("old.db"));
    hash_db* db = hash_db_open(dir.file("old.db").c_str(), hash_read_only, 0);
    ASSERT_NE(db, nullptr);
    for (const auto& [k, v] : records()) {
        const void* value = nullptr;
        size_t size = 0;
        ASSERT_EQ(hash_db_get(db, k.data(), k.size(), &value, &size), hash_found);
        EXPECT_EQ(std::string(static_cast<const char*>(value), size), v);
    }
    const void* value = nullptr;
    size_t size = 0;
    EXPECT_EQ(hash_db_get(db, "10.9.9.9", 8, &value, &size), hash_missing);
    EXPECT_TRUE(hash_db_close(db, true));

    // Made here, read the old way; and added to here, a file the old way made.
    db = hash_db_open(dir.file("new.db").c_str(), hash_create_new, 0664);
    ASSERT_NE(db, nullptr);
    for (const auto& [k, v] : records()) ASSERT_TRUE(hash_db_put(db, k.data(), k.size(), v.data(), v.size()));
    EXPECT_TRUE(hash_db_close(db, true));
    EXPECT_EQ(read_old_way(dir.file("new.db")), records());
    EXPECT_EQ(hash_db_open(dir.file("new.db").c_str(), hash_create_new, 0664), nullptr);  // exists

    db = hash_db_open(dir.file("old.db").c_str(), hash_read_write, 0);
    ASSERT_NE(db, nullptr);
    ASSERT_TRUE(hash_db_put(db, "10.9.9.9", 8, "x", 1));
    EXPECT_TRUE(hash_db_close(db, true));
    auto expected = records();
    expected["10.9.9.9"] = "x";
    EXPECT_EQ(read_old_way(dir.file("old.db")), expected);
    EXPECT_FALSE(hash_db_write_failed());
}

// Every value must end with a zero byte: a stand-in for the cache's own
// record test.
bool value_terminated(const void*, size_t, const void* value, size_t size) {
    return size > 0 && static_cast<const char*>(value)[size - 1] == '\0';
}

TEST(HashDb, CheckTellsTheFilesApart) {
    scratch_dir dir;
    write_old_way(dir.file("sound.db"));
    write_file(dir.file("text"), "not a database\n");
    // A sound file with one record that fails the record test.
    write_old_way(dir.file("record.db"));
    {
        DB* db = dbopen(dir.file("record.db").c_str(), O_RDWR, 0, DB_HASH, nullptr);
        ASSERT_NE(db, nullptr);
        DBT key{const_cast<char*>("10.9.9.9"), 8}, value{const_cast<char*>("no zero"), 7};
        ASSERT_EQ(db->put(db, &key, &value, 0), 0);
        ASSERT_EQ(db->close(db), 0);
    }
    // 200 changed bytes.
    std::string bytes = read_file(dir.file("sound.db"));
    std::mt19937 pick(3);
    for (int i = 0; i < 200; ++i) bytes[pick() % bytes.size()] ^= static_cast<char>(1 + pick() % 255);
    write_file(dir.file("damaged.db"), bytes);

    // The version record ends with a zero as well; the values of records() do.
    EXPECT_EQ(hash_db_check(dir.file("sound.db").c_str(), value_terminated, 60), hash_check_ok);
    EXPECT_EQ(hash_db_check(dir.file("text").c_str(), value_terminated, 60), hash_check_unopenable);
    EXPECT_EQ(hash_db_check(dir.file("missing").c_str(), value_terminated, 60), hash_check_unopenable);
    EXPECT_EQ(hash_db_check(dir.file("record.db").c_str(), value_terminated, 60), hash_check_bad);
    const int damaged = hash_db_check(dir.file("damaged.db").c_str(), value_terminated, 60);
    EXPECT_TRUE(damaged == hash_check_bad || damaged == hash_check_crashed) << damaged;
}

}  // namespace
