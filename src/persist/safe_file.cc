#include "persist/safe_file.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int unwritten = 0;

constexpr std::size_t path_room = 4096;

// Creates path afresh: a leftover regular file is removed first (the run
// lock makes every "<name>.new" of the output directory this run's own), and
// O_EXCL with O_NOFOLLOW makes the open fail on anything planted in between,
// a symbolic link included. Returns the descriptor, or -1 with *code set and
// errno kept.
int create_fresh(const char* path, int mode, int* code) {
    struct stat st;
    if (lstat(path, &st) == 0) {
        if (S_ISLNK(st.st_mode)) {
            *code = safe_symlink;
            return -1;
        }
        if (unlink(path) != 0 && errno != ENOENT) {
            *code = safe_open_error;
            return -1;
        }
    }
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0) {
        const int saved = errno;
        *code = lstat(path, &st) == 0 && S_ISLNK(st.st_mode) ? safe_symlink : safe_open_error;
        errno = saved;
        return -1;
    }
    *code = safe_ok;
    return fd;
}

// Directories holding renames not yet synced; a ninth directory is synced at
// once instead of being listed.
constexpr int dirty_limit = 8;
char dirty_dirs[dirty_limit][path_room];
int dirty_count = 0;

// The directory part of path ("." when it has none) into out.
void directory_of(const char* path, char* out, std::size_t size) {
    const char* slash = std::strrchr(path, '/');
    if (slash == nullptr) {
        std::snprintf(out, size, ".");
    } else if (slash == path) {
        std::snprintf(out, size, "/");
    } else {
        const int n = static_cast<int>(slash - path);
        std::snprintf(out, size, "%.*s", n, path);
    }
}

bool sync_directory(const char* dir) {
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = fsync(fd) == 0 || errno == EINVAL || errno == ENOTSUP || errno == EROFS;
    close(fd);
    return ok;
}

void note_directory(const char* path) {
    char dir[path_room];
    directory_of(path, dir, sizeof dir);
    for (int i = 0; i < dirty_count; ++i)
        if (std::strcmp(dirty_dirs[i], dir) == 0) return;
    if (dirty_count == dirty_limit) {
        if (!sync_directory(dir)) note_unwritten_file();
        return;
    }
    std::memcpy(dirty_dirs[dirty_count++], dir, sizeof dir);
}

// A replacement stream writes through this record: the temporary's
// descriptor and the first error met, so that the message can name the cause
// even after later calls have changed errno.
struct replacement {
    int fd;
    int error;
    char path[path_room];
    char temp[path_room + 4];
};

// The error and the file name of the stream last closed.
int closing_error = 0;
char closing_path[path_room];

ssize_t replacement_write(void* cookie, const char* data, std::size_t size) {
    auto* r = static_cast<replacement*>(cookie);
    if (r->error != 0) return 0;
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = write(r->fd, data + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            r->error = n < 0 ? errno : EIO;
            // Less than asked marks the stream as failed.
            return static_cast<ssize_t>(done);
        }
        done += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(size);
}

int replacement_close(void* cookie) {
    auto* r = static_cast<replacement*>(cookie);
    int error = r->error;
    if (error == 0 && fsync(r->fd) != 0) error = errno;
    if (close(r->fd) != 0 && error == 0) error = errno;
    if (error == 0 && std::rename(r->temp, r->path) != 0) error = errno;
    if (error != 0) {
        unlink(r->temp);
        note_unwritten_file();
    } else {
        note_directory(r->path);
    }
    closing_error = error;
    std::memcpy(closing_path, r->path, sizeof closing_path);
    std::free(r);
    return error == 0 ? 0 : EOF;
}

}  // namespace

bool temporary_name(const char* name, char* out, std::size_t size) {
    int n = std::snprintf(out, size, "%s.new", name);
    return n >= 0 && static_cast<std::size_t>(n) < size;
}

std::FILE* open_temporary(const char* path, int* code) {
    int fd = create_fresh(path, 0644, code);
    if (fd < 0) return nullptr;
    std::FILE* f = fdopen(fd, "w");
    if (f == nullptr) {
        close(fd);
        unlink(path);
        *code = safe_open_error;
        return nullptr;
    }
    return f;
}

bool finish_temporary(std::FILE* f, const char* path, bool write_ok) {
    bool ok = write_ok;
    if (std::fflush(f) != 0 || std::ferror(f)) ok = false;
    if (ok && fsync(fileno(f)) != 0) ok = false;
    if (std::fclose(f) != 0) ok = false;
    if (!ok) unlink(path);
    return ok;
}

std::FILE* open_replacement(const char* path, int mode, int* code) {
    struct stat st;
    const bool exists = lstat(path, &st) == 0;
    if (exists && S_ISLNK(st.st_mode)) {
        *code = safe_target_symlink;
        return nullptr;
    }
    auto* r = static_cast<replacement*>(std::malloc(sizeof(replacement)));
    if (r == nullptr) {
        *code = safe_open_error;
        note_unwritten_file();
        errno = ENOMEM;
        return nullptr;
    }
    r->error = 0;
    if (std::snprintf(r->path, sizeof r->path, "%s", path) >= static_cast<int>(sizeof r->path) ||
        !temporary_name(path, r->temp, sizeof r->temp)) {
        std::free(r);
        *code = safe_open_error;
        note_unwritten_file();
        errno = ENAMETOOLONG;
        return nullptr;
    }
    r->fd = create_fresh(r->temp, mode, code);
    if (r->fd < 0) {
        const int saved = errno;
        std::free(r);
        if (*code == safe_open_error) note_unwritten_file();
        errno = saved;
        return nullptr;
    }
    // The file keeps the permissions it had, as when it was rewritten in place.
    if (exists && S_ISREG(st.st_mode)) fchmod(r->fd, st.st_mode & 07777);
    const cookie_io_functions_t io{nullptr, replacement_write, nullptr, replacement_close};
    std::FILE* f = fopencookie(r, "w", io);
    if (f == nullptr) {
        const int saved = errno;
        close(r->fd);
        unlink(r->temp);
        std::free(r);
        *code = safe_open_error;
        note_unwritten_file();
        errno = saved;
        return nullptr;
    }
    *code = safe_ok;
    return f;
}

bool close_replacement(std::FILE* f, int* error, const char** path) {
    closing_error = 0;
    closing_path[0] = '\0';
    const bool ok = std::fclose(f) == 0;
    *error = ok ? 0 : (closing_error != 0 ? closing_error : EIO);
    if (path != nullptr) *path = closing_path;
    return ok;
}

int unwritten_files() { return unwritten; }
void note_unwritten_file() { ++unwritten; }
void reset_unwritten_files() { unwritten = 0; }

bool sync_directory_of(const char* path) {
    char dir[path_room];
    directory_of(path, dir, sizeof dir);
    return sync_directory(dir);
}

bool sync_replaced_directories() {
    bool ok = true;
    for (int i = 0; i < dirty_count; ++i)
        if (!sync_directory(dirty_dirs[i])) ok = false;
    dirty_count = 0;
    return ok;
}
