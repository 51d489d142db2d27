// Hash database files: the DNS cache and the GeoDB. Both are Berkeley DB hash
// files with default parameters, the files that the library's version-1
// interface (dbopen with DB_HASH) reads and writes; that interface is a thin
// layer over the native one used here, which opens the same hash access
// method with the same defaults, so files pass freely between the two.
//
// The native interface is used for what the old one cannot do: the library's
// own error texts ("BDB0004 fop_read_meta: ...: unexpected file type or
// format") go to standard error only with Debug (and never with Verbosity 0);
// a page write that fails (a full disk) is noticed at once instead of being
// retried by the library's cache for as long as it keeps failing; and a file
// can be checked, structure and every record, in a child process, so that a
// damaged file that would make the library read out of bounds crashes the
// child, not the run.
//
// Owns nothing but the handles it returns. Needs the settings (Debug,
// Verbosity).
#pragma once

#include <cstddef>

struct hash_db;  // an open database; owned by the caller until hash_db_close

enum hash_db_open_mode : int {
    hash_read_only = 0,
    hash_read_write = 1,  // an existing file
    hash_create_new = 2,  // a new file; fails when the name exists
};

// Opens path. file_mode applies to a created file. Returns the handle, or
// nullptr when the file cannot be opened (or is no hash database).
hash_db* hash_db_open(const char* path, int how, int file_mode);

enum hash_db_get_code : int { hash_found = 0, hash_missing = 1, hash_error = 2 };

// Looks key up. On hash_found, *value and *value_size describe the stored
// value, valid until the next call on db. Returns a hash_db_get_code.
int hash_db_get(hash_db* db, const void* key, std::size_t key_size, const void** value,
                std::size_t* value_size);

// Stores value under key, replacing any earlier one. Returns false when the
// library refused it.
bool hash_db_put(hash_db* db, const void* key, std::size_t key_size, const void* value,
                 std::size_t value_size);

// The descriptor of the open file (for locks and identity checks), -1 when
// it cannot be had.
int hash_db_fd(hash_db* db);

// Closes db. With keep, pending pages are written first and the answer says
// whether all of it succeeded; without, they are dropped (a file that is
// about to be removed). db is gone in every case.
bool hash_db_close(hash_db* db, bool keep);

// Whether a page write of any database has failed since the last clear: the
// library keeps such a page and carries on, so a writer asks after every
// change and gives the file up.
bool hash_db_write_failed();
void hash_db_clear_write_failed();

enum hash_db_check_code : int {
    hash_check_ok = 0,
    hash_check_bad = 1,         // the library's verification or a record check failed
    hash_check_crashed = 2,     // the checking child died of a signal (or ran out of time)
    hash_check_unopenable = 3,  // not a database the library can open
    hash_check_unavailable = 4, // no child could be started
};

// Checks the file at path in a child process: opens it, runs the library's
// own verification of its structure (pages, item offsets and lengths, page
// chains; not the order of keys on a page), then walks every record and asks
// record_ok about each. The child is given seconds to finish. Returns a
// hash_db_check_code.
int hash_db_check(const char* path,
                  bool (*record_ok)(const void* key, std::size_t key_size, const void* value,
                                    std::size_t value_size),
                  unsigned seconds);
