/* Faults for the durability tests, preloaded (LD_PRELOAD) into the real
 * analyser binary. Each is armed by one environment variable and strikes once:
 *
 *   CORVALIST_KILL_AFTER_RENAME=suffix
 *       SIGKILL the process right after a successful rename() whose new name
 *       ends with suffix (the moment after a file was put in place).
 *   CORVALIST_KILL_BEFORE_RENAME=suffix
 *       SIGKILL the process right before such a rename (the moment before).
 *   CORVALIST_KILL_AT_OVERWRITE=suffix:n
 *       SIGKILL the process right after the n-th write()/pwrite() that
 *       overwrites bytes already in a file whose path ends with suffix
 *       (a database updated in place, killed half-way).
 *   CORVALIST_FULL_AT_OPEN=suffix
 *       When a file whose path ends with suffix is created, fill the disk:
 *       with CORVALIST_FILLER=path, write zeros to path until the file system
 *       answers ENOSPC (a real full disk from then on); without it, lower
 *       RLIMIT_FSIZE to 0 with SIGXFSZ ignored (every later write fails with
 *       EFBIG, as where mounting a small file system is not permitted).
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

static int ends_with(const char* text, const char* suffix) {
    size_t n = strlen(text), m = strlen(suffix);
    return m <= n && strcmp(text + n - m, suffix) == 0;
}

static int fd_ends_with(int fd, const char* suffix) {
    char link[64], path[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, path, sizeof path - 1);
    if (n <= 0) return 0;
    path[n] = '\0';
    return ends_with(path, suffix);
}

static void die_now(void) {
    kill(getpid(), SIGKILL);
    for (;;) pause();
}

int rename(const char* from, const char* to) {
    static int (*real)(const char*, const char*);
    if (!real) real = (int (*)(const char*, const char*))dlsym(RTLD_NEXT, "rename");
    const char* before = getenv("CORVALIST_KILL_BEFORE_RENAME");
    if (before && *before && ends_with(to, before)) die_now();
    int rc = real(from, to);
    const char* suffix = getenv("CORVALIST_KILL_AFTER_RENAME");
    if (rc == 0 && suffix && *suffix && ends_with(to, suffix)) die_now();
    return rc;
}

static int overwrites_seen = 0;

/* Whether a write of the file at offset (or, with offset -1, at the current
 * position) overwrites bytes it already has, on an armed file. */
static int armed_overwrite(int fd, off_t offset) {
    const char* wanted = getenv("CORVALIST_KILL_AT_OVERWRITE");
    if (!wanted || !*wanted) return 0;
    const char* colon = strrchr(wanted, ':');
    if (!colon) return 0;
    char suffix[4096];
    snprintf(suffix, sizeof suffix, "%.*s", (int)(colon - wanted), wanted);
    if (!fd_ends_with(fd, suffix)) return 0;
    struct stat st;
    if (offset < 0) offset = lseek(fd, 0, SEEK_CUR);
    if (offset < 0 || fstat(fd, &st) != 0 || offset >= st.st_size) return 0;
    return ++overwrites_seen == atoi(colon + 1);
}

ssize_t write(int fd, const void* data, size_t size) {
    static ssize_t (*real)(int, const void*, size_t);
    if (!real) real = (ssize_t(*)(int, const void*, size_t))dlsym(RTLD_NEXT, "write");
    int strike = armed_overwrite(fd, -1);
    ssize_t n = real(fd, data, size);
    if (strike) die_now();
    return n;
}

ssize_t pwrite(int fd, const void* data, size_t size, off_t offset) {
    static ssize_t (*real)(int, const void*, size_t, off_t);
    if (!real) real = (ssize_t(*)(int, const void*, size_t, off_t))dlsym(RTLD_NEXT, "pwrite");
    int strike = armed_overwrite(fd, offset);
    ssize_t n = real(fd, data, size, offset);
    if (strike) die_now();
    return n;
}

ssize_t pwrite64(int fd, const void* data, size_t size, off_t offset) { return pwrite(fd, data, size, offset); }

static int disk_filled = 0;

static void fill_disk(void) {
    disk_filled = 1;
    const char* filler = getenv("CORVALIST_FILLER");
    if (filler && *filler) {
        static ssize_t (*real)(int, const void*, size_t);
        if (!real) real = (ssize_t(*)(int, const void*, size_t))dlsym(RTLD_NEXT, "write");
        static int (*real_open)(const char*, int, ...);
        if (!real_open) real_open = (int (*)(const char*, int, ...))dlsym(RTLD_NEXT, "open");
        int fd = real_open(filler, O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd < 0) return;
        static char zeros[4096];
        size_t piece = sizeof zeros;
        /* Down to single bytes, so that not even a short write still fits. */
        while (piece > 0) {
            if (real(fd, zeros, piece) < 0) piece /= 2;
        }
        close(fd);
        return;
    }
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit none = {0, 0};
    setrlimit(RLIMIT_FSIZE, &none);
}

static void maybe_fill(const char* path, int flags) {
    const char* suffix = getenv("CORVALIST_FULL_AT_OPEN");
    if (!disk_filled && suffix && *suffix && (flags & O_CREAT) && ends_with(path, suffix)) fill_disk();
}

int open(const char* path, int flags, ...) {
    static int (*real)(const char*, int, ...);
    if (!real) real = (int (*)(const char*, int, ...))dlsym(RTLD_NEXT, "open");
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list args;
        va_start(args, flags);
        mode = va_arg(args, mode_t);
        va_end(args);
    }
    int fd = real(path, flags, mode);
    if (fd >= 0) maybe_fill(path, flags);
    return fd;
}

int open64(const char* path, int flags, ...) {
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list args;
        va_start(args, flags);
        mode = va_arg(args, mode_t);
        va_end(args);
    }
    return open(path, flags, mode);
}
