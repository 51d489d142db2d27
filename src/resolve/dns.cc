#include "resolve/dns.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <signal.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "input/log_reader.h"
#include "input/parse.h"
#include "lang/lang.h"
#include "persist/safe_file.h"
#include "resolve/hash_db.h"
#include "run/console.h"
#include "run/settings.h"
#include "stats/tables.h"

namespace {

// The open cache (during the pre-pass the copy that it fills, read-only for
// the main pass); the parent process alone touches it. dns_fd carries the
// main pass's shared lock.
hash_db* dns_db = nullptr;
int dns_fd = -1;
bool main_pass_open = false;
time_t run_time = 0;  // T: stamped into new records and the base of expiry

// Set when a record could not be stored in the pre-pass's copy: the pass
// sends no more requests and the copy is given up.
bool put_failed = false;

// The file that this run's pre-pass put in place, so that the main pass need
// not check it again: device, inode, size and change time.
struct file_identity {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = -1;
    struct timespec changed{};
};
file_identity installed_cache;

bool same_identity(const struct stat& st, const file_identity& id) {
    return st.st_dev == id.dev && st.st_ino == id.ino && st.st_size == id.size &&
           st.st_ctim.tv_sec == id.changed.tv_sec && st.st_ctim.tv_nsec == id.changed.tv_nsec;
}

constexpr int max_children = 100;
constexpr int request_limit = 256;  // bytes of one request or reply
constexpr int name_buffer_size = 1025;

enum slot_bits : unsigned { slot_idle = 1, slot_open = 2 };

struct child_slot {
    int reply_fd;    // parent reads (non-blocking); -1 when closed
    int request_fd;  // parent writes; -1 when closed
    pid_t pid;       // 0 when the slot is free
    unsigned state;  // slot_bits
    dnode* node;     // the address the child works on
};

child_slot slots[max_children];
volatile sig_atomic_t child_exits = 0;
int child_in = -1, child_out = -1;  // in a child: its request and reply ends

void count_child_exit(int) { child_exits = child_exits + 1; }

bool verbose() { return settings.Verbosity != 0; }

// Whole-file advisory lock that never waits: F_WRLCK, F_RDLCK or F_UNLCK.
bool lock_whole_file(int fd, short type) {
    struct flock lk{};
    lk.l_type = type;
    lk.l_whence = SEEK_SET;
    lk.l_start = 0;
    lk.l_len = 0;
    return fcntl(fd, F_SETLK, &lk) == 0;
}

// A cache file of size 0 is not a database: it is removed so that the open
// either creates a fresh one (pre-pass) or fails (main pass). Returns false
// when the file's status cannot be read for a reason other than its absence.
bool drop_empty_cache(const char* path) {
    struct stat st;
    if (stat(path, &st) != 0) return errno == ENOENT;
    if (st.st_size == 0) unlink(path);
    return true;
}

void lower_case(char* text) {
    for (; *text; ++text) *text = static_cast<char>(tolower(static_cast<unsigned char>(*text)));
}

// Adds file-status flags to fd. Returns 0, or -1 after its message.
int set_fl(int fd, int flags) {
    int old = fcntl(fd, F_GETFL, 0);
    if (old < 0) {
        if (verbose()) fprintf(stderr, "set_fl F_GETFL error\n");
        return -1;
    }
    if (fcntl(fd, F_SETFL, old | flags) < 0) {
        if (verbose()) fprintf(stderr, "set_fl F_SETFL error\n");
        return -1;
    }
    return 0;
}

// Stores one record under address (both texts folded to lower case).
void db_put(const char* address, const char* name, int flag) {
    if (!dns_db) return;
    char key_text[dnode_limit + 1], name_text[dnode_limit + 1];
    snprintf(key_text, sizeof key_text, "%s", address);
    snprintf(name_text, sizeof name_text, "%s", name);
    lower_case(key_text);
    lower_case(name_text);
    int name_len = static_cast<int>(strlen(name_text));
    int size = dns_value_length(name_len);
    auto* value = static_cast<unsigned char*>(calloc(1, size));
    if (!value) return;
    int64_t stamp = run_time;
    int32_t flag32 = flag;
    memcpy(value, &stamp, sizeof stamp);
    memcpy(value + 8, &flag32, sizeof flag32);
    memcpy(value + dns_value_name_offset, name_text, name_len + 1);
    // A page the library could not write (a full disk) fails the record as
    // well: the copy is incomplete from there on.
    if (put_failed || !hash_db_put(dns_db, key_text, strlen(key_text), value, static_cast<size_t>(size)) ||
        hash_db_write_failed()) {
        if (!put_failed && settings.Verbosity >= 2) fprintf(stderr, "db_put fail!\n");
        put_failed = true;
    }
    free(value);
}

// Cache state of one address during the pre-pass.
enum cache_answer { answer_fresh, answer_needed, answer_error };

cache_answer cached_state(const char* address) {
    const void* data = nullptr;
    size_t data_size = 0;
    int rc = hash_db_get(dns_db, address, strlen(address), &data, &data_size);
    if (rc == hash_missing) return answer_needed;
    if (rc != hash_found || data_size < sizeof(int64_t)) return answer_error;
    int64_t stamp;
    memcpy(&stamp, data, sizeof stamp);
    return dns_record_expired(stamp, run_time, settings.CacheTTL) ? answer_needed : answer_fresh;
}

void close_db() {
    if (!dns_db) return;
    if (dns_fd >= 0) lock_whole_file(dns_fd, F_UNLCK);
    hash_db_close(dns_db, true);
    dns_db = nullptr;
    dns_fd = -1;
}

// A record as the cache stores it: a key of 1 to 255 bytes (an address text;
// one that no address matches is never asked for, so it does no harm) and a
// value holding the time, the flag and a terminated name.
bool cache_record_ok(const void* key, size_t key_size, const void* value, size_t value_size) {
    (void)key;
    if (key_size == 0 || key_size > dnode_limit) return false;
    if (value_size <= dns_value_name_offset) return false;
    const char* name = static_cast<const char*>(value) + dns_value_name_offset;
    return memchr(name, '\0', value_size - dns_value_name_offset) != nullptr;
}

// Checks the cache file in a child: a minute, and a second more for every
// megabyte, is far more than the library needs. A cache that cannot be
// checked (no child) is not trusted either.
int check_cache(const char* path, off_t size) {
    const unsigned seconds = 60 + static_cast<unsigned>(size >> 20);
    return hash_db_check(path, cache_record_ok, seconds);
}

// The message for a cache that failed its check.
const char* check_message(int checked) {
    return checked == hash_check_bad || checked == hash_check_crashed ? con_dns_damaged : con_dns_open_error;
}

// Child side (slot i): answers requests until its input closes. Never returns.
[[noreturn]] void child_loop(int i) {
    // Only this slot's child ends stay open here: the parent ends of this and
    // of every earlier slot are closed, so that when the parent closes a
    // request pipe no other child holds it open and its own child sees end of
    // input at once.
    for (int k = 0; k <= i; ++k) {
        if (slots[k].reply_fd >= 0) close(slots[k].reply_fd);
        if (slots[k].request_fd >= 0) close(slots[k].request_fd);
    }
    int in = child_in, out = child_out;
    unsigned char request[request_limit];
    for (;;) {
        ssize_t got = read(in, request, sizeof request);
        if (got == 0) {
            close(in);
            close(out);
            if (settings.Debug) printf("Child %d got closed input, shutting down\n", i);
            fflush(stdout);
            // _exit: the parent's atexit work and static destructors are not
            // the child's to run.
            _exit(0);
        }
        if (got < 0) {
            if (errno == EINTR) continue;
            perror("read error");
            _exit(1);
        }
        char name[name_buffer_size];
        memset(name, 0, sizeof name);
        int rc = getnameinfo(reinterpret_cast<const sockaddr*>(request), static_cast<socklen_t>(got), name,
                             sizeof name, nullptr, 0, NI_NAMEREQD);
        const void* reply = request;
        size_t reply_len = static_cast<size_t>(got);
        if (rc == 0) {
            size_t len = strlen(name);
            if (len >= 4) {
                // A longer name keeps its last 255 bytes.
                reply = len > 255 ? name + (len - 255) : name;
                reply_len = len > 255 ? 255 : len;
            } else if (settings.Debug) {
                printf("Child %d getnameinfo bad hbuf!\n", i);
            }
        } else if (settings.Debug) {
            printf("Child %d getnameinfo failed!\n", i);
        }
        if (write(out, reply, reply_len) < 0) {
            perror("write error");
            _exit(1);
        }
    }
}

void close_fd(int* fd) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
}

// Collects every child that has exited, without waiting. Returns the number.
int reap_children() {
    int reaped = 0;
    pid_t pid;
    int status;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
        for (child_slot& s : slots) {
            if (s.pid != pid) continue;
            // A child that died before answering leaves its address unresolved.
            close_fd(&s.request_fd);
            close_fd(&s.reply_fd);
            s.pid = 0;
            s.state = 0;
            s.node = nullptr;
            ++reaped;
            if (settings.Debug) printf("Reaped Child %d\n", static_cast<int>(pid));
            break;
        }
    }
    return reaped;
}

// One reply of slot i has arrived (or its end of input).
void take_reply(int i) {
    child_slot& s = slots[i];
    char reply[request_limit + 1];
    ssize_t got = read(s.reply_fd, reply, request_limit);
    if (got == 0) {
        close_fd(&s.request_fd);
        s.state &= ~slot_open;
        if (settings.Debug) printf("Child %d wants to be reaped\n", i);
        return;
    }
    if (got < 0) {
        if (errno != EINTR && errno != EAGAIN) perror("Could not read from pipe");
        return;
    }
    reply[got] = '\0';
    dnode* n = s.node;
    if (!n) return;  // nothing was asked: not a reply
    bool echo = got == n->addr_len && memcmp(reply, n->addr, got) == 0;
    if (strlen(reply) >= 2 && !echo) {
        if (settings.Debug) printf("Child %d Got a result: %s -> %s\n", i, n->name, reply);
        db_put(n->name, reply, 0);
    } else {
        if (settings.Debug)
            printf("Child %d could not resolve: %s (%s)\n", i, n->name, settings.CacheIPs ? "cache" : "no cache");
        if (settings.CacheIPs) db_put(n->name, n->name, 1);
    }
    if (settings.Debug) printf("Child %d back in task pool\n", i);
    s.node = nullptr;
    s.state |= slot_idle;
}

// Runs the pool of settings.DNSChildren children over the list.
void run_pool(dnode* list) {
    struct sigaction on_exit{}, old_chld{};
    on_exit.sa_handler = count_child_exit;
    on_exit.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    sigemptyset(&on_exit.sa_mask);
    sigaction(SIGCHLD, &on_exit, &old_chld);
    child_exits = 0;
    for (child_slot& s : slots) s = child_slot{-1, -1, 0, 0, nullptr};

    int wanted = settings.DNSChildren > max_children ? max_children : settings.DNSChildren;
    int active = 0;
    fflush(stdout);  // children must not repeat what the parent has buffered
    fflush(stderr);
    for (int i = 0; i < wanted; ++i) {
        int reply[2], request[2];
        if (pipe(reply) != 0) {
            if (verbose()) fprintf(stderr, "INPIPE creation error");
            break;
        }
        if (pipe(request) != 0) {
            if (verbose()) fprintf(stderr, "OUTPIPE creation error");
            close(reply[0]);
            close(reply[1]);
            break;
        }
        pid_t pid = fork();
        if (pid < 0) {
            if (verbose()) fprintf(stderr, "FORK error");
            close(reply[0]);
            close(reply[1]);
            close(request[0]);
            close(request[1]);
            break;
        }
        if (pid == 0) {
            sigaction(SIGCHLD, &old_chld, nullptr);
            child_in = request[0];
            child_out = reply[1];
            slots[i].reply_fd = reply[0];
            slots[i].request_fd = request[1];
            child_loop(i);
        }
        child_slot& s = slots[i];
        s.pid = pid;
        s.state = slot_idle | slot_open;
        s.reply_fd = reply[0];
        s.request_fd = request[1];
        close(reply[1]);
        close(request[0]);
        set_fl(s.reply_fd, O_NONBLOCK);
        ++active;
    }
    // After a pipe or fork failure no request is sent: the children already
    // started get end of input in the first cycle and are reaped like the
    // others, so none is left waiting for the parent to end.
    if (active < wanted) list = nullptr;

    // SIGCHLD stays blocked except inside the wait, so an exit that arrives
    // just before the wait still ends it at once.
    sigset_t block, old_mask, waiting;
    sigemptyset(&block);
    sigaddset(&block, SIGCHLD);
    sigprocmask(SIG_BLOCK, &block, &old_mask);
    waiting = old_mask;
    sigdelset(&waiting, SIGCHLD);

    while (active > 0) {
        if (child_exits != 0) {
            active -= reap_children();
            child_exits = child_exits - 1;
            continue;
        }
        // Once a record could not be stored, the children get no more work.
        if (put_failed) list = nullptr;
        fd_set ready;
        FD_ZERO(&ready);
        int top = -1;
        for (int i = 0; i < wanted; ++i) {
            child_slot& s = slots[i];
            if (!(s.state & slot_open)) continue;
            if (s.state & slot_idle) {
                s.state &= ~slot_idle;
                if (!list) {
                    close_fd(&s.request_fd);
                    s.state &= ~slot_open;
                    continue;
                }
                ssize_t put = write(s.request_fd, list->addr, list->addr_len);
                if (put < 0 && errno == EINTR) {
                    // Nothing went out: the slot stays idle and takes this
                    // address in the next cycle.
                    s.state |= slot_idle;
                    continue;
                }
                if (put != list->addr_len) {
                    perror("Could not write to pipe");
                    close_fd(&s.request_fd);
                    s.state &= ~slot_open;
                    continue;
                }
                s.node = list;
                list = list->resolver_link;
                if (settings.Debug) printf("Giving %d bytes to Child %d\n", s.node->addr_len, i);
            }
            FD_SET(s.reply_fd, &ready);
            if (s.reply_fd > top) top = s.reply_fd;
        }
        struct timespec wait_time{5, 0};
        int n = pselect(top + 1, &ready, nullptr, nullptr, &wait_time, &waiting);
        if (n < 0) {
            if (errno != EINTR) perror("Error in select");
            continue;
        }
        if (n == 0) {
            if (settings.Debug) printf("tick\n");
            continue;
        }
        for (int i = 0; i < wanted && n > 0; ++i) {
            child_slot& s = slots[i];
            if (s.reply_fd < 0 || !FD_ISSET(s.reply_fd, &ready)) continue;
            --n;
            take_reply(i);
        }
    }
    sigprocmask(SIG_SETMASK, &old_mask, nullptr);
    sigaction(SIGCHLD, &old_chld, nullptr);
    for (child_slot& s : slots) {
        close_fd(&s.request_fd);
        close_fd(&s.reply_fd);
    }
}

// Reads the opened log and puts every numeric address that the cache does
// not answer into dns_table.
void collect_addresses() {
    static char buf[log_line_size], line[log_line_size];
    int rc;
    while ((rc = read_log_line(buf)) != log_end) {
        if (rc == log_oversized) {
            if (skip_oversized_line(buf, false) == log_end) break;
            continue;
        }
        memcpy(line, buf, sizeof line);
        if (parse_record(line) != record_good) continue;
        // Keys are lower case, so the address is looked up as it will be
        // stored (IPv6 texts may come in upper case).
        lower_case(log_rec.host);
        unsigned char addr[128];
        int addr_len = 0;
        if (!is_numeric_address(log_rec.host, addr, &addr_len)) continue;
        if (cached_state(log_rec.host) == answer_needed) add_dns(log_rec.host, addr, addr_len);
    }
}

}  // namespace

bool dns_record_expired(int64_t record_time, int64_t now, int ttl_days) {
    // The age is taken without a signed overflow: a damaged record may hold
    // any time at all, INT64_MIN included (very old, so expired); a time
    // after now is not old.
    if (record_time == 0 || record_time >= now) return false;
    const uint64_t age = static_cast<uint64_t>(now) - static_cast<uint64_t>(record_time);
    return age > static_cast<uint64_t>(ttl_days < 0 ? 0 : ttl_days) * 86400u;
}

bool is_numeric_address(const char* text, unsigned char* addr, int* addr_len) {
    struct addrinfo hints{}, *res = nullptr;
    hints.ai_flags = AI_NUMERICHOST;
    hints.ai_socktype = SOCK_STREAM;
    if (getaddrinfo(text, "0", &hints, &res) != 0 || !res) return false;
    if (addr && addr_len) {
        int len = static_cast<int>(res->ai_addrlen);
        if (len > 128) len = 128;
        memset(addr, 0, 128);
        memcpy(addr, res->ai_addr, len);
        *addr_len = len;
    }
    freeaddrinfo(res);
    return true;
}

namespace {

// The cache is updated through a copy: the additions of a pre-pass go to
// "<cache>.new", a byte copy of the cache (or a new database when there is
// none), which replaces the cache only when every record was stored and the
// copy is complete on disk. A pre-pass that is killed, or meets a full disk,
// leaves the old cache as it was. A cache kept behind a symbolic link is
// updated where it lives.
struct cache_update {
    char file[PATH_MAX];           // the cache itself, links followed
    char temp[PATH_MAX + 8];       // its copy
    int lock_fd = -1;              // the cache, holding the exclusive lock
    int copy_fd = -1;              // the copy
};

// Copies the cache's bytes (through the locked descriptor) into a fresh
// "<file>.new", with the cache's permissions.
// Returns false when the copy could not be made complete.
bool copy_cache(cache_update& u, const struct stat& st) {
    int code = safe_ok;
    std::FILE* f = open_temporary(u.temp, &code);
    if (f == nullptr) return false;
    u.copy_fd = dup(fileno(f));
    fchmod(fileno(f), st.st_mode & 07777);
    char buffer[1 << 16];
    off_t at = 0;
    bool ok = u.copy_fd >= 0;
    while (ok) {
        const ssize_t n = pread(u.lock_fd, buffer, sizeof buffer, at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        ok = std::fwrite(buffer, 1, static_cast<size_t>(n), f) == static_cast<size_t>(n);
        at += n;
    }
    return finish_temporary(f, u.temp, ok) && ok;
}

// Opens the copy for the pass: a copy of an existing cache, or a new
// database. The library opens it by name, so the file it opened is checked
// to be the one made here.
bool open_copy(cache_update& u, bool existing) {
    if (existing) {
        dns_db = hash_db_open(u.temp, hash_read_write, 0664);
    } else {
        unlink(u.temp);  // left by a killed pre-pass; this one holds the lock
        dns_db = hash_db_open(u.temp, hash_create_new, 0664);
        if (dns_db != nullptr) u.copy_fd = open(u.temp, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    }
    if (dns_db == nullptr || u.copy_fd < 0) return false;
    struct stat mine, library;
    const int fd = hash_db_fd(dns_db);
    return fd >= 0 && fstat(fd, &library) == 0 && fstat(u.copy_fd, &mine) == 0 &&
           mine.st_dev == library.st_dev && mine.st_ino == library.st_ino;
}

// Closes the copy and, when it is complete, puts it in place of the cache.
bool install_copy(cache_update& u) {
    bool ok = !put_failed && !hash_db_write_failed();
    ok = hash_db_close(dns_db, ok) && ok;
    dns_db = nullptr;
    ok = ok && !hash_db_write_failed() && fsync(u.copy_fd) == 0;
    if (!ok || std::rename(u.temp, u.file) != 0) return false;
    sync_directory_of(u.file);
    // Taken after the rename, which changes the file's change time.
    struct stat st;
    if (fstat(u.copy_fd, &st) == 0) installed_cache = file_identity{st.st_dev, st.st_ino, st.st_size, st.st_ctim};
    return true;
}

void end_update(cache_update& u) {
    if (dns_db != nullptr) {
        hash_db_close(dns_db, false);
        dns_db = nullptr;
    }
    if (u.copy_fd >= 0) close(u.copy_fd);
    if (u.lock_fd >= 0) close(u.lock_fd);  // releases the lock
    u.copy_fd = u.lock_fd = -1;
}

}  // namespace

int resolve_log_addresses() {
    run_time = time(nullptr);
    time_t started = time(nullptr);
    const char* path = settings.DNSCache;
    if (!path) return dns_not_open;
    close_dns_cache();
    if (!drop_empty_cache(path)) {
        settings.DNSCache = nullptr;
        return dns_not_open;
    }
    cache_update u;
    struct stat st;
    const bool linked = lstat(path, &st) == 0 && S_ISLNK(st.st_mode) && realpath(path, u.file) != nullptr;
    if (!linked && snprintf(u.file, sizeof u.file, "%s", path) >= static_cast<int>(sizeof u.file)) u.file[0] = '\0';
    temporary_name(u.file, u.temp, sizeof u.temp);
    // The lock is taken on the cache itself, created empty when there is none
    // yet (an empty cache file is removed by the next open, as always).
    u.lock_fd = u.file[0] != '\0' ? open(u.file, O_RDWR | O_CREAT | O_CLOEXEC, 0664) : -1;
    if (u.lock_fd < 0) {
        if (verbose()) fprintf(stderr, "%s %s\n", con_dns_open_error, path);
        settings.DNSCache = nullptr;
        return dns_db_error;
    }
    // A lock on a file that another pre-pass has meanwhile replaced locks nothing.
    struct stat named;
    if (!lock_whole_file(u.lock_fd, F_WRLCK) || fstat(u.lock_fd, &st) != 0 || stat(u.file, &named) != 0 ||
        st.st_dev != named.st_dev || st.st_ino != named.st_ino) {
        if (verbose()) fprintf(stderr, "%s %s\n", con_dns_lock_error, path);
        end_update(u);
        settings.DNSCache = nullptr;
        return dns_db_error;
    }
    // A damaged cache can make the library read out of bounds: it is checked
    // in a child first, and the run goes on without names when it fails.
    const bool existing = st.st_size > 0;
    if (existing) {
        const int checked = check_cache(u.file, st.st_size);
        if (checked != hash_check_ok && verbose()) fprintf(stderr, "%s %s\n", check_message(checked), path);
        if (checked != hash_check_ok) {
            end_update(u);
            settings.DNSCache = nullptr;
            return dns_damaged;
        }
    }
    put_failed = false;
    hash_db_clear_write_failed();
    if ((existing && !copy_cache(u, st)) || !open_copy(u, existing)) {
        // The old cache serves the main pass unchanged.
        if (verbose()) fprintf(stderr, "%s %s\n", con_dns_save_error, path);
        end_update(u);
        unlink(u.temp);
        return dns_save_failed;
    }

    struct sigaction ignore{}, old_pipe{};
    ignore.sa_handler = SIG_IGN;
    ignore.sa_flags = SA_RESTART;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, &old_pipe);

    // Parser warnings are not wanted in the pre-pass.
    int level = settings.Verbosity;
    settings.Verbosity = 0;
    collect_addresses();
    settings.Verbosity = level;

    dnode* list = nullptr;
    unsigned long long count = 0;
    for (int b = 0; b < table_size; ++b)
        for (dnode* n = dns_table.buckets[b]; n; n = n->next) {
            n->resolver_link = list;
            list = n;
            ++count;
        }

    if (list) {
        run_pool(list);
        if (settings.TimeMe || settings.Verbosity >= 2) {
            console_finish_held_line();  // "DNS Lookup (N): " ends with these figures
            double seconds = difftime(time(nullptr), started);
            if (seconds < 1) seconds = 1;
            if (settings.TimeMe && settings.Verbosity < 2) printf("DNS: ");
            printf("%llu %s ", count, word_addresses);
            printf("%s %.0f %s", word_in, seconds, word_seconds);
            double rate = static_cast<double>(count) / seconds;
            unsigned long long per_sec = static_cast<unsigned long long>(rate);
            if (per_sec < 1 || per_sec > count)
                printf("\n");
            else
                printf(", %llu/sec\n", per_sec);
        }
    } else if (level >= 2) {
        console_finish_held_line();
        printf("%s\n", con_none_to_process);
    }

    sigaction(SIGPIPE, &old_pipe, nullptr);
    const bool saved = install_copy(u);
    if (!saved) {
        if (verbose()) fprintf(stderr, "%s %s\n", con_dns_save_error, path);
        unlink(u.temp);
    }
    end_update(u);
    return saved ? dns_ok : dns_save_failed;
}

int open_dns_cache() {
    const char* path = settings.DNSCache;
    if (!path) return 0;
    if (dns_db) close_db();
    if (!drop_empty_cache(path)) return 0;
    // The cache this run's pre-pass has just put in place was made from a
    // checked cache; any other is checked before the library reads it.
    struct stat st;
    const int checked = stat(path, &st) != 0 || same_identity(st, installed_cache)
                            ? hash_check_ok
                            : check_cache(path, st.st_size);
    if (checked != hash_check_ok && checked != hash_check_unopenable) {
        if (verbose()) fprintf(stderr, "%s %s\n", check_message(checked), path);
        return 0;
    }
    dns_db = checked == hash_check_ok ? hash_db_open(path, hash_read_only, 0) : nullptr;
    if (!dns_db) {
        if (verbose()) fprintf(stderr, "%s %s\n", con_dns_open_error, path);
        return 0;
    }
    dns_fd = hash_db_fd(dns_db);
    if (dns_fd < 0 || !lock_whole_file(dns_fd, F_RDLCK)) {
        if (verbose()) fprintf(stderr, "%s %s\n", con_dns_lock_error, path);
        dns_fd = -1;
        close_db();
        return 0;
    }
    main_pass_open = true;
    return 1;
}

bool dns_cache_is_open() { return main_pass_open && dns_db; }

void close_dns_cache() {
    close_db();
    main_pass_open = false;
}

int lookup_dns_cache(char host[256]) {
    if (!dns_cache_is_open()) return dns_not_open;
    if (settings.Debug) fprintf(stderr, "Checking %s...", host);
    const void* data = nullptr;
    size_t data_size = 0;
    int rc = hash_db_get(dns_db, host, strlen(host), &data, &data_size);
    if (rc == hash_missing) {
        if (settings.Debug) fprintf(stderr, " not found\n");
        return dns_missing;
    }
    if (rc != hash_found) {
        if (settings.Debug) fprintf(stderr, " error (%d)\n", -1);
        return dns_db_error;
    }
    int64_t stamp = 0;
    const auto* bytes = static_cast<const char*>(data);
    if (data_size >= sizeof stamp) memcpy(&stamp, bytes, sizeof stamp);
    size_t n = data_size > dns_value_name_offset ? data_size - dns_value_name_offset : 0;
    if (n > 255) n = 255;
    const char* name = bytes + dns_value_name_offset;
    size_t len = 0;
    while (len < n && name[len]) ++len;
    if (len == 0) {  // a record without a name does not replace the address
        if (settings.Debug) fprintf(stderr, " not found\n");
        return dns_missing;
    }
    memcpy(host, name, len);
    host[len] = '\0';
    if (settings.Debug) fprintf(stderr, " found: %s (%ld)\n", host, static_cast<long>(stamp));
    return dns_ok;
}
