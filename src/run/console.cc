// Console: see run/console.h.
//
// The guarded streams. While a held line or the progress line is up, stdout
// and stderr are fopencookie streams over descriptors 1 and 2. Each write
// through them first clears the line: erases the progress line (a carriage
// return, blanks over it, a carriage return) or ends the held line (a newline
// on descriptor 1), then writes its bytes. They are set up with the mode and
// buffer size of the streams they stand in for, so that the bytes reach the
// descriptors in the same pieces. The progress line itself is written with
// write(2) straight to descriptor 2, past the guard.
//
// The held line's flag lives in one shared anonymous page: the resolver
// children are forked while the line is held and print through their copies
// of the guarded streams, and whichever process prints first must end the
// line for all of them.
#include "run/console.h"

#include <langinfo.h>
#include <sched.h>
#include <stdio_ext.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "input/log_reader.h"
#include "lang/koi8u.h"
#include "lang/lang.h"

namespace {

bool utf8_console = false;

// ------------------------------------------------------------ the guard

// The held line, in the shared page: line_open until someone ends it.
enum held_state : int { line_ended = 0, line_open = 1, line_ending = 2 };
std::atomic<int>* held_line = nullptr;

struct progress_state {
    bool on = false;
    bool shown = false;           // a progress text is on the line
    std::size_t shown_length = 0; // its length, to blank it out
    timespec started{};           // start of the pass
    timespec drawn{};             // last draw
};
progress_state progress;

bool write_all(int fd, const char* bytes, std::size_t n) {
    while (n > 0) {
        const ssize_t put = ::write(fd, bytes, n);
        if (put < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes += put;
        n -= static_cast<std::size_t>(put);
    }
    return true;
}

// Blanks of the widest progress line, for erasing it.
constexpr std::size_t progress_limit = 200;

void erase_progress() {
    if (!progress.shown) return;
    char text[progress_limit + 2];
    std::size_t n = 0;
    text[n++] = '\r';
    std::memset(text + n, ' ', progress.shown_length);
    n += progress.shown_length;
    text[n++] = '\r';
    write_all(STDERR_FILENO, text, n);
    progress.shown = false;
    progress.shown_length = 0;
}

// Waits while another process writes the held line's newline: one write,
// so a few yields at most (bounded, in case that process was killed).
void wait_while_ending() {
    for (int i = 0; i < 100000 && held_line->load() == line_ending; ++i) sched_yield();
}

// Ends the held line if it is still open. Of the processes that print at
// once, one writes the newline; the others wait until it is out, so that no
// text of theirs can come before it.
void end_held_line() {
    if (held_line == nullptr) return;
    int open = line_open;
    if (held_line->compare_exchange_strong(open, line_ending)) {
        write_all(STDOUT_FILENO, "\n", 1);
        held_line->store(line_ended);
        return;
    }
    wait_while_ending();
}

void clear_line() {
    erase_progress();
    end_held_line();
}

ssize_t guarded_write(void* cookie, const char* bytes, std::size_t n) {
    clear_line();
    const int fd = *static_cast<const int*>(cookie);
    return write_all(fd, bytes, n) ? static_cast<ssize_t>(n) : -1;
}

int guarded_close(void*) { return 0; }  // the descriptor stays open

int descriptors[2] = {STDOUT_FILENO, STDERR_FILENO};

struct guarded {
    FILE* original = nullptr;  // the C library's stream it stands in for
    FILE* stream = nullptr;
};
guarded guard_out, guard_err;

// Puts a guarded stream in the place of *slot (stdout or stderr), buffered
// as the stream it stands in for: standard error unbuffered, standard output
// by lines or by blocks of its size. False when none can be made; *slot is
// then unchanged.
bool put_guard(FILE** slot, int* fd, guarded* g) {
    std::fflush(*slot);
    const cookie_io_functions_t io{nullptr, guarded_write, nullptr, guarded_close};
    FILE* stream = fopencookie(fd, "w", io);
    if (stream == nullptr) return false;
    std::size_t size = __fbufsize(*slot);
    bool by_lines = __flbf(*slot) != 0;
    if (size == 0) {  // nothing written yet: the C library would choose so
        size = BUFSIZ;
        by_lines = isatty(*fd) != 0;
    }
    if (*fd == STDERR_FILENO)
        setvbuf(stream, nullptr, _IONBF, 0);
    else
        setvbuf(stream, nullptr, by_lines ? _IOLBF : _IOFBF, size);
    g->original = *slot;
    g->stream = stream;
    *slot = stream;
    return true;
}

void take_guard(FILE** slot, guarded* g) {
    if (g->stream == nullptr) return;
    std::fflush(g->stream);
    *slot = g->original;
    std::fclose(g->stream);
    g->stream = nullptr;
    g->original = nullptr;
}

bool guarding() { return guard_out.stream != nullptr || guard_err.stream != nullptr; }

void flush_guarded() {
    if (guard_out.stream != nullptr) std::fflush(guard_out.stream);
    if (guard_err.stream != nullptr) std::fflush(guard_err.stream);
}

void guard_streams(bool out, bool err) {
    if (out) put_guard(&stdout, &descriptors[0], &guard_out);
    if (err) put_guard(&stderr, &descriptors[1], &guard_err);
}

void release_streams() {
    take_guard(&stdout, &guard_out);
    take_guard(&stderr, &guard_err);
}

// ------------------------------------------------------------- progress

double seconds_between(const timespec& from, const timespec& to) {
    return static_cast<double>(to.tv_sec - from.tv_sec) + static_cast<double>(to.tv_nsec - from.tv_nsec) / 1e9;
}

// The first draw comes half a second into the pass, so that short runs show
// none; then about four a second.
constexpr double first_draw = 0.5;
constexpr double redraw_every = 0.25;
// The clock is asked once per this many records: about a millisecond apart
// at a million records a second, and nothing against the records' own cost.
constexpr uint64_t records_per_check = 1024;

std::size_t terminal_width() {
    winsize ws{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 1) return ws.ws_col;
    return 80;
}

void draw_progress(uint64_t records, const timespec& now) {
    const double elapsed = seconds_between(progress.started, now);
    int percent = -1;
    uint64_t done = 0, size = 0;
    if (log_read_position(&done, &size)) {
        if (size == 0 || done >= size)
            percent = 100;
        else
            percent = static_cast<int>(done * 100 / size);
    }
    const uint64_t rate = elapsed > 0 ? static_cast<uint64_t>(static_cast<double>(records) / elapsed) : 0;
    char text[3 * progress_limit + 4];
    text[0] = '\r';
    std::size_t n = format_progress(text + 1, progress_limit + 1, records, percent, rate);
    // One column short of the terminal's width, so that the line never
    // wraps and the carriage return always finds its start.
    const std::size_t width = terminal_width() - 1;
    if (n > width) n = width;
    const std::size_t length = n;
    // Blanks over what a longer line before left, and the text once more so
    // that the cursor stands at its end.
    std::size_t total = 1 + n;
    if (n < progress.shown_length) {
        std::memset(text + total, ' ', progress.shown_length - n);
        total += progress.shown_length - n;
        text[total++] = '\r';
        std::memcpy(text + total, text + 1, n);
        total += n;
    }
    write_all(STDERR_FILENO, text, total);
    progress.shown = true;
    progress.shown_length = length;
    progress.drawn = now;
}

}  // namespace

// ------------------------------------------------------------ codeset

void console_start() {
    const char* codeset = nl_langinfo(CODESET);
    utf8_console = codeset != nullptr && (strcasecmp(codeset, "UTF-8") == 0 || strcasecmp(codeset, "UTF8") == 0);
}

bool console_takes_utf8() { return utf8_console; }

const char* console_text(const char* text) {
    if (!utf8_console || text == nullptr) return text;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    while (*p != 0 && *p < 0x80) ++p;
    if (*p == 0) return text;
    static char converted[1024];
    koi8u_to_utf8(text, converted, sizeof converted);
    return converted;
}

// ------------------------------------------------------------ held line

void console_hold_line() {
    if (held_line == nullptr) {
        void* page = mmap(nullptr, sizeof(std::atomic<int>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (page == MAP_FAILED) return;  // messages may then join the line, as they always could
        held_line = new (page) std::atomic<int>(line_ended);
    }
    if (!guarding()) guard_streams(true, true);
    held_line->store(line_open);
}

void console_finish_held_line() {
    if (held_line == nullptr || held_line->load() == line_ended) return;
    flush_guarded();
    // Still open: nothing else came, and the next text continues the line.
    int open = line_open;
    if (!held_line->compare_exchange_strong(open, line_ended)) wait_while_ending();
}

void console_release_line() {
    if (held_line == nullptr) return;
    flush_guarded();
    end_held_line();
    if (!progress.on) release_streams();
}

// ------------------------------------------------------------- progress

std::size_t format_progress(char* buf, std::size_t size, uint64_t records, int percent, uint64_t rate) {
    if (size == 0) return 0;
    using ull = unsigned long long;
    int n;
    if (percent >= 0)
        n = std::snprintf(buf, size, "%llu %s, %d%%, %llu/sec", static_cast<ull>(records), word_records, percent,
                          static_cast<ull>(rate));
    else
        n = std::snprintf(buf, size, "%llu %s, %llu/sec", static_cast<ull>(records), word_records,
                          static_cast<ull>(rate));
    if (n < 0) {
        buf[0] = '\0';
        return 0;
    }
    return static_cast<std::size_t>(n) < size ? static_cast<std::size_t>(n) : size - 1;
}

uint64_t progress_start(bool show) {
    progress = progress_state{};
    if (!show || !isatty(STDERR_FILENO) || guarding()) return UINT64_MAX;
    clock_gettime(CLOCK_MONOTONIC, &progress.started);
    progress.drawn = progress.started;
    // Standard output is guarded only where it shows on a terminal too.
    guard_streams(isatty(STDOUT_FILENO) != 0, true);
    progress.on = true;
    return records_per_check;
}

uint64_t progress_tick(uint64_t records) {
    if (!progress.on) return UINT64_MAX;
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (seconds_between(progress.started, now) >= first_draw && seconds_between(progress.drawn, now) >= redraw_every) {
        // What the guarded streams hold goes out first, so that it cannot
        // land on the line drawn now.
        flush_guarded();
        draw_progress(records, now);
    }
    return records + records_per_check;
}

void progress_stop() {
    if (!progress.on) return;
    flush_guarded();
    erase_progress();
    progress.on = false;
    release_streams();
}
