#include "persist/safe_file.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool temporary_name(const char* name, char* out, std::size_t size) {
    int n = std::snprintf(out, size, "%s.new", name);
    return n >= 0 && static_cast<std::size_t>(n) < size;
}

std::FILE* open_temporary(const char* path, int* code) {
    struct stat st;
    if (lstat(path, &st) == 0 && S_ISLNK(st.st_mode)) {
        *code = safe_symlink;
        return nullptr;
    }
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        *code = errno == ELOOP ? safe_symlink : safe_open_error;
        return nullptr;
    }
    std::FILE* f = fdopen(fd, "w");
    if (f == nullptr) {
        close(fd);
        unlink(path);
        *code = safe_open_error;
        return nullptr;
    }
    *code = safe_ok;
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

