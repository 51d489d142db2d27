#include "resolve/hash_db.h"

#include <db.h>
#include <errno.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <new>

#include "run/settings.h"

struct hash_db {
    DB* db;
};

namespace {

// The library's messages: shown only when asked for with Debug, in the form
// the library itself would print them.
void library_message(const DB_ENV*, const char* prefix, const char* message) {
    if (!settings.Debug || settings.Verbosity == 0) return;
    if (prefix != nullptr) std::fprintf(stderr, "%s: ", prefix);
    std::fprintf(stderr, "%s\n", message);
}

// Its informational output (the verifier dumps damaged pages through it) is
// never wanted on a console.
void library_notice(const DB_ENV*, const char*) {}

// Page writes pass through here. A write that fails is remembered: the
// library would keep the page and try again whenever it needs room, sleeping
// between tries, for as long as the disk stays full.
volatile bool page_write_failed = false;

bool real_failure(ssize_t written, std::size_t wanted) {
    if (written >= 0) return static_cast<std::size_t>(written) != wanted;
    return errno != EINTR && errno != EAGAIN;
}

ssize_t watched_pwrite(int fd, const void* data, std::size_t size, off_t offset) {
    const ssize_t n = pwrite(fd, data, size, offset);
    if (real_failure(n, size)) page_write_failed = true;
    return n;
}

ssize_t watched_write(int fd, const void* data, std::size_t size) {
    const ssize_t n = write(fd, data, size);
    if (real_failure(n, size)) page_write_failed = true;
    return n;
}

void install_write_watch() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    db_env_set_func_pwrite(watched_pwrite);
    db_env_set_func_write(watched_write);
}

DB* new_handle() {
    install_write_watch();
    DB* db = nullptr;
    if (db_create(&db, nullptr, 0) != 0) return nullptr;
    db->set_errcall(db, library_message);
    db->set_msgcall(db, library_notice);
    return db;
}

void fill(DBT& t, const void* data, std::size_t size) {
    std::memset(&t, 0, sizeof t);
    t.data = const_cast<void*>(data);
    t.size = static_cast<u_int32_t>(size);
}

}  // namespace

hash_db* hash_db_open(const char* path, int how, int file_mode) {
    DB* db = new_handle();
    if (db == nullptr) return nullptr;
    u_int32_t flags = how == hash_read_only ? DB_RDONLY : how == hash_create_new ? DB_CREATE | DB_EXCL : 0;
    if (db->open(db, nullptr, path, nullptr, DB_HASH, flags, file_mode) != 0) {
        db->close(db, DB_NOSYNC);
        return nullptr;
    }
    auto* h = new (std::nothrow) hash_db{db};
    if (h == nullptr) db->close(db, DB_NOSYNC);
    return h;
}

int hash_db_get(hash_db* h, const void* key, std::size_t key_size, const void** value,
                std::size_t* value_size) {
    DBT k, v;
    fill(k, key, key_size);
    fill(v, nullptr, 0);
    const int rc = h->db->get(h->db, nullptr, &k, &v, 0);
    if (rc == DB_NOTFOUND) return hash_missing;
    if (rc != 0) return hash_error;
    *value = v.data;
    *value_size = v.size;
    return hash_found;
}

bool hash_db_put(hash_db* h, const void* key, std::size_t key_size, const void* value,
                 std::size_t value_size) {
    DBT k, v;
    fill(k, key, key_size);
    fill(v, value, value_size);
    return h->db->put(h->db, nullptr, &k, &v, 0) == 0;
}

int hash_db_fd(hash_db* h) {
    int fd = -1;
    return h->db->fd(h->db, &fd) == 0 ? fd : -1;
}

bool hash_db_close(hash_db* h, bool keep) {
    const bool ok = h->db->close(h->db, keep ? 0 : DB_NOSYNC) == 0;
    delete h;
    return ok;
}

bool hash_db_write_failed() { return page_write_failed; }
void hash_db_clear_write_failed() { page_write_failed = false; }

int hash_db_check(const char* path,
                  bool (*record_ok)(const void*, std::size_t, const void*, std::size_t),
                  unsigned seconds) {
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid < 0) return hash_check_unavailable;
    if (pid == 0) {
        // A fault in here ends the child by its signal, for the parent to
        // see; handlers inherited from the parent (a sanitizer's) would
        // report it as the program's own.
        for (const int fatal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGALRM}) signal(fatal, SIG_DFL);
        alarm(seconds);
        hash_db* h = hash_db_open(path, hash_read_only, 0);
        if (h == nullptr) _exit(hash_check_unopenable);
        hash_db_close(h, false);
        DB* db = new_handle();
        // verify destroys the handle whatever it answers. Its check of the
        // order of the keys on a page is left out: on a page out of order the
        // library reads past its buffers to describe it, while lookups on
        // such a page only miss.
        if (db == nullptr || db->verify(db, path, nullptr, nullptr, DB_NOORDERCHK) != 0) _exit(hash_check_bad);
        h = hash_db_open(path, hash_read_only, 0);
        DBC* cursor = nullptr;
        if (h == nullptr || h->db->cursor(h->db, nullptr, &cursor, 0) != 0) _exit(hash_check_bad);
        DBT k, v;
        fill(k, nullptr, 0);
        fill(v, nullptr, 0);
        int rc;
        while ((rc = cursor->get(cursor, &k, &v, DB_NEXT)) == 0)
            if (!record_ok(k.data, k.size, v.data, v.size)) _exit(hash_check_bad);
        _exit(rc == DB_NOTFOUND ? hash_check_ok : hash_check_bad);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return hash_check_unavailable;
    if (WIFSIGNALED(status)) return hash_check_crashed;
    if (!WIFEXITED(status)) return hash_check_bad;
    const int code = WEXITSTATUS(status);
    return code == hash_check_ok || code == hash_check_unopenable ? code : hash_check_bad;
}
