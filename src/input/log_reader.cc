// Log reader: see input/log_reader.h.
//
// Input formats: any byte stream; a line ends after its newline. gzip input
// is decompressed by zlib, bzip2 input by libbz2, in pieces of 16384 bytes;
// a compressed file may hold several streams one after another (parallel
// compressors write them so, and so does concatenating two files), read as one;
// plain files and standard input are read with read(2) in pieces of 256 KiB.
// Lines are cut from the piece in memory, so a line costs one scan (for its
// newline and any zero byte at once) and one memcpy. The 4095-character
// limit and the last-line rules are those of a fgets over a 4096-byte buffer
// (plain) and of a byte-by-byte copy that refills before it checks the limit
// (compressed).
#include "input/log_reader.h"

#include <bzlib.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <emmintrin.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "lang/lang.h"
#include "run/month.h"
#include "run/settings.h"

namespace {

constexpr std::size_t packed_chunk_size = 16384;
constexpr std::size_t plain_chunk_size = 256 * 1024;

// The one open input; its position moves for every line, on a cache line of
// its own.
struct alignas(64) log_input_rec {
    const char* log_name = nullptr;  // nullptr: standard input; else log_path
    std::string log_path;            // own copy: a bzip2 rewind opens it again
    FILE* plain_stream = nullptr;    // plain file or stdin
    gzFile gz_stream = nullptr;
    BZFILE* bz_stream = nullptr;     // the bzip2 stream being read from bz_file
    FILE* bz_file = nullptr;
    bool is_open = false;
    // Block buffer: bytes [chunk_pos, chunk_fill) are still to be handed out.
    std::size_t chunk_fill = 0;
    std::size_t chunk_pos = 0;
};

log_input_rec log_input;

// The descriptor under the open input and the file's size, for
// log_read_position. Set where the input is opened (open_log, a bzip2
// rewind), on the thread that starts the pass, and only read afterwards.
struct {
    int fd = -1;  // -1: not a regular file
    uint64_t size = 0;
} log_file;

void watch_log_file(int fd) {
    struct stat info;
    if (fd >= 0 && fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        log_file.fd = fd;
        log_file.size = static_cast<uint64_t>(info.st_size);
    } else {
        log_file.fd = -1;
        log_file.size = 0;
    }
}

// Compressed input uses the first 16384 bytes only.
alignas(64) char chunk[plain_chunk_size];

void empty_chunk() {
    log_input.chunk_fill = 0;
    log_input.chunk_pos = 0;
}

// Opens a bzip2 file for reading from its first stream; false when the file
// cannot be opened or read.
bool open_bzip2(const char* name) {
    log_input.bz_file = std::fopen(name, "rb");
    if (log_input.bz_file == nullptr) return false;
    int err = BZ_OK;
    log_input.bz_stream = BZ2_bzReadOpen(&err, log_input.bz_file, 0, 0, nullptr, 0);
    if (err != BZ_OK || log_input.bz_stream == nullptr) {
        if (log_input.bz_stream != nullptr) BZ2_bzReadClose(&err, log_input.bz_stream);
        std::fclose(log_input.bz_file);
        log_input.bz_stream = nullptr;
        log_input.bz_file = nullptr;
        return false;
    }
    return true;
}

void close_bzip2() {
    int err = BZ_OK;
    if (log_input.bz_stream != nullptr) BZ2_bzReadClose(&err, log_input.bz_stream);
    if (log_input.bz_file != nullptr) std::fclose(log_input.bz_file);
    log_input.bz_stream = nullptr;
    log_input.bz_file = nullptr;
}

// Decompresses up to size bytes into to; returns their number, 0 at the end
// of the last stream, < 0 when the data is damaged or cut short (what that
// read decoded is dropped with it). At the end of one stream the next one is
// started with the bytes the decompressor had already read beyond it.
long read_bzip2(char* to, int size) {
    for (;;) {
        if (log_input.bz_stream == nullptr) return 0;
        int err = BZ_OK;
        const int got = BZ2_bzRead(&err, log_input.bz_stream, to, size);
        if (err == BZ_OK) return got;
        if (err != BZ_STREAM_END) {
            // A damaged stream is not read on: every later read finds the end.
            BZ2_bzReadClose(&err, log_input.bz_stream);
            log_input.bz_stream = nullptr;
            return -1;
        }
        char ahead[BZ_MAX_UNUSED];
        void* unused = nullptr;
        int unused_count = 0;
        BZ2_bzReadGetUnused(&err, log_input.bz_stream, &unused, &unused_count);
        if (err != BZ_OK || unused_count < 0 || unused_count > BZ_MAX_UNUSED) unused_count = 0;
        if (unused_count > 0) std::memcpy(ahead, unused, static_cast<std::size_t>(unused_count));
        BZ2_bzReadClose(&err, log_input.bz_stream);
        log_input.bz_stream = nullptr;
        bool more = unused_count > 0;
        if (!more) {
            const int c = std::fgetc(log_input.bz_file);
            more = c != EOF;
            if (more) std::ungetc(c, log_input.bz_file);
        }
        if (more) {
            log_input.bz_stream =
                BZ2_bzReadOpen(&err, log_input.bz_file, 0, 0, unused_count > 0 ? ahead : nullptr, unused_count);
            if (err != BZ_OK) log_input.bz_stream = nullptr;
        }
        if (got > 0) return got;
    }
}

// Reads the next block; returns the number of bytes, 0 at end, < 0 on error.
long refill() {
    long got = -1;
    switch (LogCompression) {
        case compress_gzip:
            if (log_input.gz_stream != nullptr)
                got = gzread(log_input.gz_stream, chunk, static_cast<unsigned>(packed_chunk_size));
            break;
        case compress_bzip2:
            got = read_bzip2(chunk, static_cast<int>(packed_chunk_size));
            break;
        default:
            if (log_input.plain_stream != nullptr) {
                const int fd = fileno(log_input.plain_stream);
                do {
                    got = ::read(fd, chunk, plain_chunk_size);
                } while (got < 0 && errno == EINTR);
            }
            break;
    }
    if (got <= 0) {
        empty_chunk();
        return got;
    }
    log_input.chunk_fill = static_cast<std::size_t>(got);
    log_input.chunk_pos = 0;
    return got;
}

const char* type_word() {
    switch (settings.LogType) {
        case log_ftp: return "ftp)";
        case log_squid: return "squid)";
        case log_w3c: return "w3c)";
        default: return "clf)";
    }
}

bool ends_with(const char* name, std::size_t len, const char* suffix) {
    const std::size_t n = std::strlen(suffix);
    return len >= n && std::memcmp(name + len - n, suffix, n) == 0;
}

}  // namespace

int open_log(const char* name) {
    close_log();
    watch_log_file(-1);
    log_input = log_input_rec{};
    empty_chunk();
    LogCompression = compress_none;
    if (name != nullptr && (name[0] == '\0' || name[0] == '-')) name = nullptr;
    if (name != nullptr) {
        log_input.log_path = name;
        name = log_input.log_path.c_str();
    }
    log_input.log_name = name;

    if (name == nullptr) {
        log_input.plain_stream = stdin;
        watch_log_file(STDIN_FILENO);  // a regular file when redirected from one
    } else {
        const std::size_t len = std::strlen(name);
        if (ends_with(name, len, ".gz"))
            LogCompression = compress_gzip;
        else if (ends_with(name, len, ".bz2"))
            LogCompression = compress_bzip2;

        struct stat info;
        if (lstat(name, &info) == 0 && S_ISLNK(info.st_mode)) {
            if (settings.Verbosity != 0) std::fprintf(stderr, "%s %s (symlink)\n", con_log_open_error, name);
            return log_symlink;
        }
        if (LogCompression == compress_gzip) {
            // Opened here and handed to zlib, so that the descriptor is
            // known (log_read_position); gzclose closes it.
            const int fd = ::open(name, O_RDONLY);
            log_input.gz_stream = fd >= 0 ? gzdopen(fd, "rb") : nullptr;
            if (log_input.gz_stream == nullptr) {
                if (fd >= 0) ::close(fd);
                std::fprintf(stderr, "%s %s (%d)\n", con_log_open_error, name, 2);
                return log_packed_open_failed;
            }
            watch_log_file(fd);
        } else if (LogCompression == compress_bzip2) {
            if (!open_bzip2(name)) {
                std::fprintf(stderr, "%s %s (%d)\n", con_log_open_error, name, 2);
                return log_packed_open_failed;
            }
            watch_log_file(fileno(log_input.bz_file));
        } else {
            log_input.plain_stream = std::fopen(name, "r");
            if (log_input.plain_stream == nullptr) {
                std::fprintf(stderr, "%s %s\n", con_log_open_error, name);
                return log_open_failed;
            }
            watch_log_file(fileno(log_input.plain_stream));
        }
    }
    log_input.is_open = true;

    if (settings.Verbosity == 2) {
        std::printf("%s %s (", con_using_log, name != nullptr ? name : "STDIN");
        if (LogCompression == compress_gzip) std::fputs("gzip-", stdout);
        if (LogCompression == compress_bzip2) std::fputs("bzip-", stdout);
        std::printf("%s\n", type_word());
    }
    return log_ok;
}

namespace {

// Where the first newline or zero byte is among the n bytes at p, or n.
inline std::size_t line_stop(const char* p, std::size_t n) {
    const __m128i newline = _mm_set1_epi8('\n'), zero = _mm_setzero_si128();
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        const int hits = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, newline), _mm_cmpeq_epi8(v, zero)));
        if (hits != 0) return i + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(hits)));
    }
    for (; i < n; ++i)
        if (p[i] == '\n' || p[i] == '\0') break;
    return i;
}

}  // namespace

int read_log_line(char* buf, std::size_t* length, std::size_t* text_length) {
    const bool packed = LogCompression != compress_none;
    std::size_t n = 0;
    std::size_t first_zero = std::size_t(-1);  // where in buf, once one is seen
    int code = log_ok;
    for (;;) {
        if (log_input.chunk_pos >= log_input.chunk_fill) {
            // A compressed stream refills before it checks the limit, so that a
            // last line without a newline is dropped even when it is long.
            if (!packed && n == static_cast<std::size_t>(log_line_limit)) break;
            if (refill() <= 0) {
                if (packed || n == 0) {
                    buf[0] = '\0';
                    if (length != nullptr) *length = 0;
                    if (text_length != nullptr) *text_length = 0;
                    return log_end;
                }
                break;  // plain last line without a newline
            }
        }
        const std::size_t room = static_cast<std::size_t>(log_line_limit) - n;
        if (room == 0) break;
        const char* from = chunk + log_input.chunk_pos;
        std::size_t avail = log_input.chunk_fill - log_input.chunk_pos;
        if (avail > room) avail = room;
        std::size_t stop = line_stop(from, avail);
        while (stop < avail && from[stop] == '\0') {
            if (first_zero == std::size_t(-1)) first_zero = n + stop;
            stop += 1 + line_stop(from + stop + 1, avail - stop - 1);
        }
        const bool newline = stop < avail;
        const std::size_t take = newline ? stop + 1 : avail;
        std::memcpy(buf + n, from, take);
        n += take;
        log_input.chunk_pos += take;
        if (newline) break;
    }
    buf[n] = '\0';
    if (n == static_cast<std::size_t>(log_line_limit) && buf[n - 1] != '\n') code = log_oversized;
    if (length != nullptr) *length = n;
    if (text_length != nullptr) *text_length = first_zero < n ? first_zero : n;
    return code;
}

void print_oversized_message() { std::fprintf(stderr, "%s\n", con_oversized_record); }

int skip_oversized_line(char* buf, bool report) {
    const bool talk = report && settings.Verbosity != 0;
    if (talk) {
        if (settings.Debug)
            std::fprintf(stderr, "%s:\n%s", con_oversized_record, buf);
        else
            print_oversized_message();
    }
    for (;;) {
        std::size_t n = 0;
        const int code = read_log_line(buf, &n);
        if (code == log_end) return log_end;
        const bool last_piece = code == log_ok;  // ends with a newline or is short
        if (talk && settings.Debug) {
            if (last_piece)
                std::fprintf(stderr, "%s\n", buf);
            else
                std::fputs(buf, stderr);
        }
        if (last_piece) return log_ok;
    }
}

int rewind_log() {
    if (!log_input.is_open || log_input.log_name == nullptr) return log_no_rewind;
    switch (LogCompression) {
        case compress_gzip:
            gzrewind(log_input.gz_stream);
            break;
        case compress_bzip2:
            close_bzip2();
            watch_log_file(open_bzip2(log_input.log_name) ? fileno(log_input.bz_file) : -1);
            std::memset(chunk, 0, packed_chunk_size);
            break;
        default:
            std::rewind(log_input.plain_stream);
            if (lseek(fileno(log_input.plain_stream), 0, SEEK_SET) < 0) return log_no_rewind;
            break;
    }
    empty_chunk();
    return log_ok;
}

bool log_read_position(uint64_t* done, uint64_t* size) {
    const int fd = log_file.fd;
    if (fd < 0 || !log_input.is_open) return false;
    const off_t at = lseek(fd, 0, SEEK_CUR);
    if (at < 0) return false;
    *done = static_cast<uint64_t>(at);
    *size = log_file.size;
    return true;
}

int close_log() {
    if (!log_input.is_open) return log_ok;
    watch_log_file(-1);
    if (log_input.gz_stream != nullptr) gzclose(log_input.gz_stream);
    close_bzip2();
    if (log_input.plain_stream != nullptr && log_input.plain_stream != stdin) std::fclose(log_input.plain_stream);
    log_input.gz_stream = nullptr;
    log_input.bz_stream = nullptr;
    log_input.plain_stream = nullptr;
    log_input.is_open = false;
    empty_chunk();
    return log_ok;
}
