// Run driver: start-up, the main loop with the month cycle, and the end of a
// run. See run/driver.h.
#include "run/driver.h"

#include <linux/futex.h>
#include <malloc.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <atomic>
#include <system_error>
#include <thread>

#include <emmintrin.h>

#include "input/log_reader.h"
#include "input/log_rec.h"
#include "input/parse.h"
#include "lang/lang.h"
#include "persist/history.h"
#include "persist/safe_file.h"
#include "persist/state.h"
#include "report/countries.h"
#include "report/index_page.h"
#include "report/month_report.h"
#include "resolve/dns.h"
#include "resolve/geo.h"
#include "run/config.h"
#include "run/console.h"
#include "run/install_dirs.h"
#include "run/month.h"
#include "run/settings.h"
#include "stats/lists.h"
#include "stats/process.h"
#include "stats/tables.h"
#include "stats/text.h"


namespace {

// The line as read, and the copy kept for messages after the parser has cut
// the original into fields.
alignas(64) char line_buffer[line_buffer_size];
alignas(64) char line_copy[line_buffer_size];

utsname machine;  // filled once for the version line and the default HostName
bool machine_known = false;

// Case mapping of bytes by the locale, taken once: the host and the month
// letters of every record are lowered through it. Filled for the "C" locale
// before main and again after the locale is set from the environment.
unsigned char lower_map[256];

// Whether the map lowers A to Z as ASCII does and leaves every other byte
// below 128 alone, so that a run of such bytes can be lowered sixteen at a
// time.
bool lower_map_ascii = false;

void build_lower_map() {
    bool ascii = true;
    for (int c = 0; c < 256; ++c) {
        lower_map[c] = static_cast<unsigned char>(std::tolower(c));
        if (c < 128) ascii = ascii && lower_map[c] == ((c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c);
    }
    lower_map_ascii = ascii;
}

const bool lower_map_ready = (build_lower_map(), true);

inline char lower(char c) { return static_cast<char>(lower_map[static_cast<unsigned char>(c)]); }

// Number at offset off of text (len characters), read like a decimal number
// where it starts: leading blanks, an optional sign, then digits. Nothing
// there reads as 0. Numbers of ten digits or more read as a billion, which
// keeps every later sum inside 64 bits while still failing or passing the
// checks as the full number would.
int read_number(const char* text, std::size_t len, std::size_t off) {
    std::size_t i = off;
    // A digit is never white space, so the common case asks no locale.
    while (i < len && !(text[i] >= '0' && text[i] <= '9') && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < len && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    int value = 0;
    for (; i < len && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value < 100000000 ? value * 10 + (text[i] - '0') : 1000000000;
    }
    return negative ? -value : value;
}

void print_bad_line_tail() {
    if (settings.Debug)
        std::fprintf(stderr, ":\n%s\n", line_copy);
    else
        std::fputc('\n', stderr);
}

}  // namespace

// ---------------------------------------------------------------- date check

namespace {

constexpr bool digit_at(const char* t, int i) { return t[i] >= '0' && t[i] <= '9'; }
constexpr int two_digits(const char* t, int i) { return (t[i] - '0') * 10 + (t[i + 1] - '0'); }

// Nearly every record is dated "[dd/Mon/yyyy:hh:mm:ss": when every number
// sits at its fixed place with a non-digit after it, the fields are read in
// place, giving the same values the general reader below would.
bool fixed_layout(const char* t) {
    for (int i = 0; i < 8; ++i)
        if (t[i] == '\0') return false;
    return t[12] != '\0' && t[15] != '\0' && t[18] != '\0' && digit_at(t, 1) && digit_at(t, 2) && !digit_at(t, 3) && digit_at(t, 8) && digit_at(t, 9) &&
           digit_at(t, 10) && digit_at(t, 11) && !digit_at(t, 12) && digit_at(t, 13) && digit_at(t, 14) &&
           !digit_at(t, 15) && digit_at(t, 16) && digit_at(t, 17) && !digit_at(t, 18) && digit_at(t, 19) &&
           digit_at(t, 20) && !digit_at(t, 21);
}

// The day number of the last date seen: records come in time order, so one
// day's records all reuse it. Read for every record by whichever thread
// reads the log, on a cache line of its own.
struct alignas(64) {
    int year = 0, month = 0, day = 0;
    int64_t number = 0;
} last_date;

// Month 1..12 from the three letters at offsets 4 to 6, 0 when they name none.
constexpr uint32_t letters_key(char a, char b, char c) {
    return uint32_t(uint8_t(a)) | uint32_t(uint8_t(b)) << 8 | uint32_t(uint8_t(c)) << 16;
}

int month_of(const char* date_text) {
    static constexpr uint32_t keys[12] = {
        letters_key('j', 'a', 'n'), letters_key('f', 'e', 'b'), letters_key('m', 'a', 'r'),
        letters_key('a', 'p', 'r'), letters_key('m', 'a', 'y'), letters_key('j', 'u', 'n'),
        letters_key('j', 'u', 'l'), letters_key('a', 'u', 'g'), letters_key('s', 'e', 'p'),
        letters_key('o', 'c', 't'), letters_key('n', 'o', 'v'), letters_key('d', 'e', 'c')};
    const uint32_t key = letters_key(lower(date_text[4]), lower(date_text[5]), lower(date_text[6]));
    for (int m = 0; m < 12; ++m)
        if (keys[m] == key) return m + 1;
    return 0;
}

}  // namespace

int check_date(const char* date_text, record_time* when) {
    const bool fixed = fixed_layout(date_text);
    const std::size_t len = fixed ? 0 : strnlen(date_text, date_limit + 1);
    if (!fixed && len < 7) return driver_bad_date;
    const int month = month_of(date_text);
    if (month == 0) return driver_bad_date;

    int day, year, hour, minute, second;
    if (fixed) {
        day = two_digits(date_text, 1);
        year = two_digits(date_text, 8) * 100 + two_digits(date_text, 10);
        hour = two_digits(date_text, 13);
        minute = two_digits(date_text, 16);
        second = two_digits(date_text, 19);
    } else {
        day = read_number(date_text, len, 1);
        year = read_number(date_text, len, 8);
        hour = read_number(date_text, len, 13);
        minute = read_number(date_text, len, 16);
        second = read_number(date_text, len, 19);
    }
    if (hour >= 24) hour = 0;
    // Days outside 1..31 and negative times would index outside the daily and
    // hourly arrays; they are bad dates like any other unreadable field.
    if (day < 1 || day > 31 || hour < 0 || minute < 0 || second < 0) return driver_bad_date;
    if (minute >= 60 || second >= 61 || year < 1990) return driver_bad_date;

    // The rest of the date is checked only when it differs from the last one
    // that passed: records come in time order, so a day's records ask once.
    if (year != last_date.year || month != last_date.month || day != last_date.day) {
        // A day past the end of its month (31 April, 29 February outside a
        // leap year) would count into a row that the month does not have.
        // Years above 9999 are bad as well: the state and the history hold
        // four-digit years, and a state that the next run refuses would stop
        // every later incremental run.
        if (year > 9999 || day > month_length(year, month)) return driver_bad_date;
        last_date.year = year;
        last_date.month = month;
        last_date.day = day;
        last_date.number = day_number(year, month, day);
    }
    when->year = year;
    when->month = month;
    when->day = day;
    when->hour = hour;
    when->minute = minute;
    when->second = second;
    when->timestamp = static_cast<uint64_t>((last_date.number - 719534) * 86400 + hour * 3600 + minute * 60 + second);
    return driver_ok;
}

// ------------------------------------------------------------ sequence check

int check_sequence(record_time* when) {
    month_totals_rec& m = month_totals;
    run_state.prev_timestamp = m.last_timestamp;
    run_state.record_timestamp = when->timestamp;

    if (run_state.resume_check) {
        if (when->timestamp <= m.last_timestamp) return driver_skipped;
        run_state.resume_check = false;
        if (when->month != m.month || when->year != m.year) {
            // The restored month was reported by the run that saved it. The
            // new month starts as a fresh run's first record would start it:
            // reset_month keeps the hour count (a month change closes the hour
            // first), and the restored hour's count must not run on into it.
            reset_month();
            m.cur_hour_hits = 0;
            m.year = when->year;
            m.month = when->month;
            m.day = when->day;
            m.hour = when->hour;
            m.minute = when->minute;
            m.second = when->second;
            m.last_timestamp = when->timestamp;
            m.first_day = m.last_day = when->day;
        }
    }

    const uint64_t slot = when->timestamp / 3600;
    const uint64_t current_slot = m.last_timestamp / 3600;
    if (slot >= current_slot) {
        m.last_timestamp = when->timestamp;
        return driver_ok;
    }
    // More than one hour slot behind: skipped unless folding is asked for, so
    // that a late write cannot reopen a closed hour.
    if (!settings.FoldSeqErr && slot + 1 < current_slot) return driver_skipped;
    when->year = m.year;
    when->month = m.month;
    when->day = m.day;
    when->hour = m.hour;
    when->minute = m.minute;
    when->second = m.second;
    when->timestamp = m.last_timestamp;
    run_state.record_timestamp = m.last_timestamp;
    return driver_folded;
}

// --------------------------------------------------------------- month cycle

void finish_closed_month() {
    update_history();
    write_month_report();
}

void (*month_close_action)() = finish_closed_month;

namespace {

// Moves the current day's site count and visits into the daily arrays.
void close_day_counters() {
    month_totals_rec& m = month_totals;
    if (m.day >= 1 && m.day <= 31) {
        m.daily_sites[m.day - 1] = m.cur_day_sites;
        m.daily_visits[m.day - 1] = sum_visits(&daily_site_table);
    }
}

}  // namespace

void advance_month_cycle(const record_time& when) {
    month_totals_rec& m = month_totals;
    if (m.month == 0) {
        m.year = when.year;
        m.month = when.month;
        m.day = when.day;
        m.hour = when.hour;
        m.minute = when.minute;
        m.second = when.second;
        m.first_day = when.day;
    }
    const bool month_differs = when.month != m.month || when.year != m.year;
    // Only a record of the open month may raise its last day: a record that
    // starts the next month must not stretch the finished one.
    if (!month_differs && when.day > m.last_day) m.last_day = when.day;
    m.second = when.second;
    m.minute = when.minute;

    if (when.hour != m.hour || month_differs) {
        if (m.cur_hour_hits > m.max_hourly_hits) m.max_hourly_hits = m.cur_hour_hits;
        m.cur_hour_hits = 0;
        m.hour = when.hour;
    }
    if (when.day != m.day || month_differs) {
        close_day_counters();
        m.cur_day_sites = 0;
        clear_table(&daily_site_table);
        m.day = when.day;
    }
    if (month_differs) {
        m.total_visits = sum_visits(&site_table);
        close_visits(run_state.prev_timestamp);
        month_close_action();
        reset_month();
        m.month = when.month;
        m.year = when.year;
        m.first_day = m.last_day = when.day;
    }
}

// ------------------------------------------------------------- one log line

namespace {

// A rejected line: a first-line "format=" header and comment or empty lines
// are ignored, anything else is bad. shown is the line as read (at least its
// first eight bytes).
int reject_line(const char* shown) {
    run_state_rec& r = run_state;
    if (r.records_read == 1 && std::strncmp(shown, "format=", 7) == 0) {
        if (settings.Verbosity == 2) std::printf("%s\n", con_netscape_header);
        r.records_ignored += 1;
        return line_ignored;
    }
    // A blank line of a log with two-character line ends ("\r\n") is as empty
    // as one with a bare newline: the reader counts the CR as part of the end.
    const bool empty = shown[0] == '\n' || shown[0] == '\0' ||
                       (shown[0] == '\r' && (shown[1] == '\n' || shown[1] == '\0'));
    if (shown[0] == '#' || empty) {
        r.records_ignored += 1;
        return line_ignored;
    }
    r.records_bad += 1;
    if (settings.Verbosity != 0) {
        std::fprintf(stderr, "%s (%llu)", con_bad_record,
                     static_cast<unsigned long long>(r.records_read));
        print_bad_line_tail();
    }
    return line_bad;
}

void lower_case_record(log_record& rec) {
    for (int i = 4; i < 7 && rec.date_text[i] != '\0'; ++i) rec.date_text[i] = lower(rec.date_text[i]);
    char* p = rec.host;
    // Whole blocks of ASCII before the terminator go sixteen bytes at once.
    if (lower_map_ascii) {
        const __m128i before_a = _mm_set1_epi8('A' - 1), after_z = _mm_set1_epi8('Z' + 1);
        for (; rec.host + sizeof rec.host - p >= 16; p += 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            // A zero or a byte above 127 leaves the block to the byte loop.
            if (_mm_movemask_epi8(_mm_or_si128(v, _mm_cmpeq_epi8(v, _mm_setzero_si128()))) != 0) break;
            const __m128i upper = _mm_and_si128(_mm_cmpgt_epi8(v, before_a), _mm_cmplt_epi8(v, after_z));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm_add_epi8(v, _mm_and_si128(upper, _mm_set1_epi8(32))));
        }
    }
    for (; *p != '\0'; ++p) *p = lower(*p);
}

int reject_date() {
    run_state_rec& r = run_state;
    r.records_bad += 1;
    if (settings.Verbosity != 0) {
        std::fprintf(stderr, "%s: %s [%llu]", con_bad_date, log_rec.date_text,
                     static_cast<unsigned long long>(r.records_read));
        print_bad_line_tail();
    }
    return line_bad;
}

// The steps after the date check. A record normalised beforehand comes with
// what was worked out for it there: the warnings normalising kept, its name
// hashes and the page and host answers (nullptr: normalise it here).
struct worked_out {
    const normalise_warnings* warnings;
    const name_hashes* hashes;
    int page;  // 1, 0; -1 not known
    bool host_checked;
    int search;  // as for count_record
};

int sequence_and_count(record_time& when, const worked_out* normalised) {
    run_state_rec& r = run_state;
    if (check_sequence(&when) == driver_skipped) {
        r.records_ignored += 1;
        r.any_valid_record = true;
        return line_ignored;
    }
    if (normalised == nullptr) {
        normalise_record();
    } else {
        const normalise_warnings& kept = *normalised->warnings;
        if (settings.Verbosity != 0)
            for (int i = 0; i < kept.count; ++i) print_normalise_warning(kept.message[i]);
        use_name_hashes(*normalised->hashes);
    }
    advance_month_cycle(when);
    r.any_valid_record = true;
    const int counted = normalised == nullptr
                            ? count_record()
                            : count_record(normalised->page, normalised->host_checked, normalised->search);
    if (counted != record_counted) {
        r.records_ignored += 1;
        return line_ignored;
    }
    return line_counted;
}

}  // namespace

int process_line(char* line, std::size_t len) {
    if (len >= line_buffer_size) len = line_buffer_size - 1;
    std::memcpy(line_copy, line, len);
    line_copy[len] = '\0';

    if (parse_record(line) != record_good) return reject_line(line_copy);

    lower_case_record(log_rec);

    record_time when;
    if (check_date(log_rec.date_text, &when) != driver_ok) return reject_date();
    return sequence_and_count(when, nullptr);
}

namespace {

// ------------------------------------------------- reading on a second thread
//
// Without Debug, whose messages show whole lines, the log is read, parsed,
// dated and normalised on a thread of its own while this one counts: each
// line goes through a ring of slots in order, and the messages of the reading
// side travel with the line, so that they come out where and as they would
// from one thread. Nothing the reading side does touches the tables, the
// month or the counters.

enum slot_kind : int { slot_line, slot_oversized, slot_end };

// A slot carries the record packed: only the bytes its texts take pass from
// one thread's cache to the other's.
struct alignas(64) line_slot {
    int kind;
    int parsed;    // record_good / record_bad
    int dated;     // driver_ok / driver_bad_date (parsed records)
    char head[8];  // the line's first bytes as read, for reject_line
    record_time when;
    parse_warnings parse_kept;
    normalise_warnings normalise_kept;
    bool page;           // the page test of a normalised record
    int8_t search;       // 1: search_words holds a page's final search words, 0: none
    packed_record record;  // its texts in ring_text
    uint32_t text_at;      // where the slot's share of ring_text starts
};

// Set before the reading thread starts: no DNS cache is open, so that it
// checks the hosts itself.
bool reader_checks_hosts = false;

// The reading thread's own record, parsed into and normalised in place, and
// how far to clear it. Both are written for every line, so they are kept
// together on cache lines that hold nothing the counting side reads.
struct alignas(64) reader_record {
    log_record rec;
    record_clearing clearing{sizeof rec.request, sizeof rec.referrer};
};
reader_record reader_own;

// 4096 slots (1 MB) and 2 MB of packed texts let the reading side run well
// ahead, through much of a month's report, while what the counting side reads
// back stays in the shared cache; a far larger ring left the counting side
// reading cold memory whenever it was the slower one, and 64 slots kept the
// two sides waiting on each other.
constexpr uint32_t ring_size = 4096;  // a power of two
constexpr uint32_t text_arena_size = 2u << 20;
constexpr uint32_t ring_batch = 16;  // a side that waits sleeps until this many slots are ready
line_slot ring[ring_size];
// The packed texts of the slots in ring order, wrapping to the front where a
// longest record would not fit before the end. Pages are touched only as the
// ring first comes to them.
alignas(64) char ring_text[text_arena_size];

// One side's position (slots filled by the reader, slots done by the
// counter, counted from the start of the pass; they wrap together), and
// whether it sleeps and on what. The position, written for every line, has
// a cache line of its own, so that the other side's look at the sleeping
// flag, made for every line too, does not have to fetch it.
struct ring_side {
    alignas(64) std::atomic<uint32_t> position{0};
    alignas(64) std::atomic<uint32_t> sleeping{0};  // 1 while waiting for the other side
    std::atomic<uint32_t> waits_from{0};            // the other side's position it fell asleep at
    std::atomic<uint32_t> bell{0};                  // rung to wake it
    std::atomic<uint32_t> finished{0};              // 1 once the last position is published
};
ring_side reader_side, counter_side;

// A side that finds nothing to do spins a while, then sleeps until the
// other side has moved ring_batch slots on (or the input has ended), so that
// the two wake each other seldom rather than for every line.
// Whether other has moved a batch on from seen, or will move no more.
inline bool batch_ready(const ring_side& other, uint32_t seen, std::memory_order order) {
    return other.position.load(order) - seen >= ring_batch || other.finished.load(order) != 0;
}

void sleep_on(ring_side& self, const ring_side& other, uint32_t seen) {
    // Waiting for a whole batch, not for the first slot, keeps the two sides
    // from handing single slots (and the cache lines of both positions) back
    // and forth when one of them is only a little faster.
    // The spin lasts about a millisecond: a virtual processor that goes idle
    // can take far longer than that to be woken again.
    for (int spin = 0; spin < 32768; ++spin) {
        if (batch_ready(other, seen, std::memory_order_acquire)) return;
        _mm_pause();
    }
    const uint32_t bell = self.bell.load(std::memory_order_acquire);
    self.waits_from.store(seen, std::memory_order_relaxed);
    self.sleeping.store(1, std::memory_order_relaxed);
    // Pairs with the fence in move_on: either this look sees the other side's
    // latest check point, or that check point sees this side asleep.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (!batch_ready(other, seen, std::memory_order_relaxed))
        syscall(SYS_futex, reinterpret_cast<uint32_t*>(&self.bell), FUTEX_WAIT_PRIVATE, bell, nullptr, nullptr, 0);
    self.sleeping.store(0, std::memory_order_relaxed);
}

// Moves self on to position and wakes the other side when it sleeps and
// enough is ready for it (always when last). The look at the other side
// needs a full fence, so it is taken only at every eighth position: one of
// them falls in every run of ring_batch.
constexpr uint32_t check_every = 8;
static_assert(ring_batch % check_every == 0 && ring_batch >= check_every, "a check point in every batch");

void move_on(ring_side& self, ring_side& other, uint32_t position, bool last) {
    if (last) self.finished.store(1, std::memory_order_relaxed);
    self.position.store(position, std::memory_order_release);
    if (position % check_every != 0 && !last) return;
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (other.sleeping.load(std::memory_order_relaxed) != 0 &&
        (last || position - other.waits_from.load(std::memory_order_relaxed) >= ring_batch)) {
        other.sleeping.store(0, std::memory_order_relaxed);
        other.bell.fetch_add(1, std::memory_order_release);
        syscall(SYS_futex, reinterpret_cast<uint32_t*>(&other.bell), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
    }
}

// The lengths and hashes the counting side's inserts need, from the packed
// texts of a normalised record.
void hash_slot(const line_slot& s, name_hashes* out) {
    const char* names[3];
    uint32_t lengths[3];
    packed_names(s.record, names, lengths);
    uint32_t agent_len;
    const char* agent = packed_agent(s.record, &agent_len);
    hash_names(names, lengths, agent, agent_len, out);
}

// Reading side: fills slots until the input ends.
void read_ahead() {
    uint32_t head = 0;
    // The counting side's position and the text start of its slot, as last
    // looked at. Looking costs the cache line the counting side writes for
    // every record, so it is done only when what was seen leaves no room:
    // the side only moves on, so an old look is a safe underestimate of the
    // room, and the slot it names is not refilled before the next look. (A
    // look that finds it at head leaves the text start to reserve_text.)
    uint32_t tail_seen = 0, oldest_seen = 0;
    auto look_at_counter = [&] {
        tail_seen = counter_side.position.load(std::memory_order_acquire);
        if (tail_seen != head) oldest_seen = ring[tail_seen % ring_size].text_at;
    };
    // Looks again; when the counting side has not moved, waits for it first.
    auto wait_for_counter = [&] {
        const uint32_t before = tail_seen;
        look_at_counter();
        if (tail_seen != before) return;
        sleep_on(reader_side, counter_side, tail_seen);
        look_at_counter();
    };
    auto wait_for_room = [&] {
        while (head - tail_seen == ring_size) wait_for_counter();
    };
    // Where the next slot's texts go. Every slot takes at least 16 bytes, so
    // the live texts (those of the slots from the counting side's position
    // on) are never empty while slots are live, and a wrapped arena whose
    // free end meets its live start is full.
    uint32_t text_at = 0;
    auto reserve_text = [&](line_slot& slot) {
        for (;;) {
            if (tail_seen == head) {
                text_at = oldest_seen = 0;  // nothing live: the front is nearest in cache
                break;
            }
            const uint32_t oldest = oldest_seen;
            if (oldest < text_at) {
                if (text_at + packed_text_room <= text_arena_size) break;
                if (packed_text_room <= oldest) {
                    text_at = 0;
                    break;
                }
            } else if (oldest > text_at && text_at + packed_text_room <= oldest) {
                break;
            }
            wait_for_counter();
        }
        slot.text_at = text_at;
        slot.record.text = ring_text + text_at;
    };
    for (bool more = true; more;) {
        wait_for_room();
        line_slot& s = ring[head % ring_size];
        reserve_text(s);
        std::size_t text_used = 0;
        std::size_t n = 0, text_length = 0;
        const int code = read_log_line(line_buffer, &n, &text_length);
        if (code == log_end) {
            s.kind = slot_end;
            more = false;
        } else if (code == log_oversized) {
            // Its message is printed by the counting side; an input that ends
            // inside it gets an end slot next.
            s.kind = slot_oversized;
            if (skip_oversized_line(line_buffer, false) == log_end) {
                text_at += 16;
                move_on(reader_side, counter_side, ++head, false);
                wait_for_room();
                reserve_text(ring[head % ring_size]);
                ring[head % ring_size].kind = slot_end;
                more = false;
            }
        } else {
            s.kind = slot_line;
            std::memcpy(s.head, line_buffer, n + 1 < sizeof s.head ? n + 1 : sizeof s.head);
            s.head[sizeof s.head - 1] = '\0';
            s.parsed = parse_record(line_buffer, text_length, reader_own.rec, reader_own.clearing, &s.parse_kept);
            if (s.parsed == record_good) {
                lower_case_record(reader_own.rec);
                s.dated = check_date(reader_own.rec.date_text, &s.when);
                if (s.dated == driver_ok) {
                    normalise_record(reader_own.rec, &s.normalise_kept);
                    // What counting would work out from the record alone is
                    // worked out here: the page test, without a DNS cache
                    // to ask the host check,
                    if (reader_checks_hosts) check_host(reader_own.rec);
                    s.page = is_page(reader_own.rec.request);
                    // and the search words of a page, in place of its query.
                    s.search = 0;
                    if (s.page && settings.TopSearch != 0) {
                        char words[search_limit + 1];
                        if (search_string_of(reader_own.rec.search_words, reader_own.rec.referrer, words)) {
                            std::memcpy(reader_own.rec.search_words, words, std::strlen(words) + 1);
                            s.search = 1;
                        }
                    }
                }
                text_used = pack_record(reader_own.rec, s.record);
            }
            clear_parsed_record(reader_own.rec, reader_own.clearing);
        }
        // Texts are read back in 16-byte blocks that may run up to 15 bytes
        // past their end: those bytes stay the slot's own, never the next one's.
        text_at += static_cast<uint32_t>(text_used) + 16;
        move_on(reader_side, counter_side, ++head, !more);
    }
}

// Counting side: takes the slots in order; progress_at is the first record
// count at which the progress line wants its tick. Returns false when the
// reading thread could not be started (nothing has been read then).
bool count_read_ahead(uint64_t progress_at) {
    prepare_record_processing();
    reader_checks_hosts = !dns_cache_is_open();
    for (ring_side* side : {&reader_side, &counter_side}) {
        side->position.store(0, std::memory_order_relaxed);
        side->sleeping.store(0, std::memory_order_relaxed);
        side->finished.store(0, std::memory_order_relaxed);
    }
    std::thread reader;
    try {
        reader = std::thread(read_ahead);
    } catch (const std::system_error&) {
        return false;
    }
    run_state_rec& r = run_state;
    auto to_count = [](const line_slot& s) {
        return s.kind == slot_line && s.parsed == record_good && s.dated == driver_ok;
    };
    // The names' hashes are taken on this side, from the packed texts, as
    // each record comes within sight: on both benchmark logs that was some
    // 10% faster than hashing on the reading side and passing the hashes in
    // the slot.
    // When ahead_ready, hashes[ahead] already holds those of the record at
    // tail, taken while the one before it was counted.
    name_hashes hashes[2];
    int ahead = 0;
    bool ahead_ready = false;
    uint32_t tail = 0, head = 0;
    for (;;) {
        while (head == tail) {
            head = reader_side.position.load(std::memory_order_acquire);
            if (head == tail) sleep_on(counter_side, reader_side, tail);
        }
        line_slot& s = ring[tail % ring_size];
        if (s.kind == slot_end) break;
        const name_hashes* current = &hashes[ahead];
        if (!ahead_ready && to_count(s)) hash_slot(s, &hashes[ahead]);
        ahead ^= 1;
        ahead_ready = false;
        // The index entries of the next record start loading while this one
        // is counted; its nodes are asked for when it comes to be counted.
        if (head - tail > 1) {
            const line_slot& next = ring[(tail + 1) % ring_size];
            if (to_count(next)) {
                hash_slot(next, &hashes[ahead]);
                warm_index(hashes[ahead]);
                ahead_ready = true;
            }
        }
        r.records_read += 1;
        if (r.records_read >= progress_at) [[unlikely]]
            progress_at = progress_tick(r.records_read);
        if (s.kind == slot_oversized) {
            r.records_bad += 1;
            if (settings.Verbosity != 0) print_oversized_message();
        } else {
            if (settings.Verbosity != 0)
                for (int i = 0; i < s.parse_kept.count; ++i) print_parse_warning(s.parse_kept.message[i]);
            if (s.parsed != record_good) {
                reject_line(s.head);
            } else {
                unpack_to_log_rec(s.record);
                if (s.dated != driver_ok) {
                    reject_date();
                } else {
                    const worked_out done{&s.normalise_kept, current, s.page ? 1 : 0,
                                          reader_checks_hosts, s.search};
                    sequence_and_count(s.when, &done);
                }
            }
        }
        move_on(counter_side, reader_side, ++tail, false);
    }
    reader.join();
    return true;
}

}  // namespace

// ------------------------------------------------------------- start-up

void complete_settings() {
    settings_rec& s = settings;
    if (s.DefaultIndex) append_nlist("index.", &s.IndexAlias);
    if (s.PageType == nullptr) {
        if (s.LogType == log_ftp) {
            append_nlist("txt", &s.PageType);
        } else {
            append_nlist("htm*", &s.PageType);
            append_nlist("cgi", &s.PageType);
            if (list_match(s.PageType, s.HTMLExtension) == nullptr)
                append_nlist(s.HTMLExtension, &s.PageType);
        }
    }
    if (s.TopCountries > static_cast<int>(country_rows)) s.TopCountries = country_rows;
    if (s.GraphLines >= 21) s.GraphLines = 20;
    if (s.GraphMonths < 12) s.GraphMonths = 12;
    if (s.GraphMonths > 72) s.GraphMonths = 72;
    if (s.IndexMonths < 12) s.IndexMonths = 12;
    if (s.IndexMonths > 120) s.IndexMonths = 120;
    if (s.LogType == log_ftp) {
        s.TopEntry = s.TopExit = s.TopSearch = 0;
    } else if (s.SearchEngine == nullptr) {
        add_default_search_engines();
    }
    // A host name has at most 127 dots: any depth above that groups by the
    // whole name, and no depth can overflow the label count.
    if (s.GroupDomains > 255) s.GroupDomains = 255;
    const int url_rows = s.TopURLs > s.TopKURLs ? s.TopURLs : s.TopKURLs;
    if (s.TopEntry > url_rows) s.TopEntry = url_rows;
    if (s.TopExit > url_rows) s.TopExit = url_rows;
}

void format_timing_line(char* buf, std::size_t size, uint64_t records_read,
                        uint64_t records_ignored, uint64_t records_bad, double elapsed) {
    if (size == 0) return;
    buf[0] = '\0';
    std::size_t used = 0;
    auto add = [&](int n) {
        if (n > 0) used += static_cast<std::size_t>(n);
        if (used >= size) used = size - 1;
    };
    using ull = unsigned long long;
    add(std::snprintf(buf + used, size - used, "%llu %s ", static_cast<ull>(records_read),
                      word_records));
    if (records_ignored != 0) {
        add(std::snprintf(buf + used, size - used, "(%llu %s", static_cast<ull>(records_ignored),
                          word_ignored));
        if (records_bad != 0)
            add(std::snprintf(buf + used, size - used, ", %llu %s) ", static_cast<ull>(records_bad),
                              word_bad));
        else
            add(std::snprintf(buf + used, size - used, ") "));
    } else if (records_bad != 0) {
        add(std::snprintf(buf + used, size - used, "(%llu %s) ", static_cast<ull>(records_bad),
                          word_bad));
    }
    // The clock difference is kept in single precision, as shown.
    float seconds = static_cast<float>(elapsed);
    if (seconds == 0) seconds = 1;
    add(std::snprintf(buf + used, size - used, "%s %.0f %s", word_in, static_cast<double>(seconds),
                      word_seconds));
    const double rate = static_cast<double>(records_read) / static_cast<double>(seconds);
    if (rate >= 1) {
        const int shown = rate >= 2147483647.0 ? 2147483647 : static_cast<int>(rate);
        add(std::snprintf(buf + used, size - used, ", %d/sec\n", shown));
    } else {
        add(std::snprintf(buf + used, size - used, "\n"));
    }
}

namespace {

// Reads "uk-corvalist.conf" from the current directory, else from the
// configuration directory chosen at build time; at most one of the two.
void read_default_config() {
    static const char local_name[] = "uk-corvalist.conf";
    char path[256];
    std::snprintf(path, sizeof path, "%s/uk-corvalist.conf", config_dir);
    if (access(local_name, F_OK) == 0)
        read_config(local_name);
    else if (access(path, F_OK) == 0)
        read_config(path);
}

// The main pass on this thread alone.
void read_lines_here(uint64_t progress_at) {
    run_state_rec& r = run_state;
    for (;;) {
        std::size_t n = 0;
        const int code = read_log_line(line_buffer, &n);
        if (code == log_end) break;
        r.records_read += 1;
        if (r.records_read >= progress_at) [[unlikely]]
            progress_at = progress_tick(r.records_read);
        if (code == log_oversized) {
            r.records_bad += 1;
            if (skip_oversized_line(line_buffer, true) == log_end) break;
            continue;
        }
        process_line(line_buffer, n);
    }
}

// The main pass over the log, with the progress line on a terminal.
void read_all_lines() {
    const uint64_t progress_at = progress_start(settings.Verbosity == 2);
    if (settings.Debug || !count_read_ahead(progress_at)) read_lines_here(progress_at);
    progress_stop();
}

// The window is set up once any month has been read or added.
bool history_has_months() { return history[history_months - 1].year != 0; }

void write_index_when_history() {
    if (history_has_months()) write_summary_index();
}

void close_lookups() {
    if (dns_cache_is_open()) close_dns_cache();
    close_geo_database();
}

// The files of a run are put in place in an order that makes the state file
// the one recovery point: pages, graphs and dumps first, then the history,
// then the summary index, and the state last of all, each renamed over the
// old file only when complete and the directories synced before the state is
// renamed. Whatever the moment a run dies (a kill, the OOM killer, a
// reboot), the state on disk is that of the run before or of this one. Run
// again over the same log from the earlier state, the run counts the same
// records again and overwrites every month it touches (history entries are
// set, never added to), so it ends with the files of one clean run; from the
// later state, every record is already counted and only the summary index is
// written again. For the same reason a run in which any file could not be
// written (a full disk) leaves the earlier state in place: its rerun, once
// space is freed, recounts and rewrites everything.
int end_of_run(std::time_t start_time) {
    run_state_rec& r = run_state;
    month_totals_rec& m = month_totals;
    close_log();
    if (!r.any_valid_record) {
        if (settings.Verbosity != 0) std::printf("%s\n", con_no_valid_records);
        write_index_when_history();
        close_lookups();
        return unwritten_files() != 0 ? 3 : 1;
    }

    close_day_counters();
    m.total_visits = sum_visits(&site_table);
    if (m.cur_hour_hits > m.max_hourly_hits) m.max_hourly_hits = m.cur_hour_hits;

    bool state_prepared = false;
    bool state_failed = false;
    if (r.records_read > r.records_ignored + r.records_bad) {
        if (settings.Incremental) {
            // A failed save keeps the old state: the next run then restores
            // the old position and counts this log again, where a missing
            // state would have lost the month's earlier runs.
            state_prepared = prepare_state() == state_ok;
            state_failed = !state_prepared;
            if (state_failed && settings.Verbosity != 0) std::fprintf(stderr, "%s\n", con_state_save_error);
        }
        // After the save, so that the saved state still holds the open visits.
        close_visits(r.record_timestamp);
        update_history();
        write_month_report();
        if (write_history() != history_ok) note_unwritten_file();
    }
    write_index_when_history();
    if (!sync_replaced_directories()) note_unwritten_file();

    if (state_prepared) {
        if (unwritten_files() != 0) {
            discard_state();
            state_failed = true;
        } else {
            state_failed = commit_state() != state_ok;
        }
        if (state_failed && settings.Verbosity != 0) std::fprintf(stderr, "%s\n", con_state_save_error);
    }

    if (settings.TimeMe || settings.Verbosity == 2) {
        const std::time_t end_time = std::time(nullptr);
        char text[256];
        format_timing_line(text, sizeof text, r.records_read, r.records_ignored, r.records_bad,
                           std::difftime(end_time, start_time));
        std::fputs(text, stdout);
    }
    close_lookups();
    return state_failed || unwritten_files() != 0 ? 3 : 0;
}

// The lock file of the output directory: it exists while a run holds it and
// is removed, still locked, when the run ends, so that a run that meets no
// fault leaves the directory as it would be without it. One left by a killed
// run is simply taken over.
constexpr char lock_name[] = "corvalist.lock";
int lock_fd = -1;

// Takes the output directory (the current directory by now) for this run:
// an exclusive record lock on the lock file that never waits, so that
// overlapping runs (two cron jobs) cannot both write history, state and
// pages. A record lock, not flock: it is not shared with forked resolver
// children, and it works on network file systems. The lock file is opened
// without following a link. Returns 0, or 3 after its message when another
// run holds the directory or the lock file cannot be opened; nothing has
// been written then.
int take_output_lock() {
    // A run that ends removes the file it locked; one that opened that file
    // just before may then lock it after all, and must try again with the
    // file now under the name.
    for (int attempt = 0; attempt < 16; ++attempt) {
        lock_fd = open(lock_name, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (lock_fd < 0) {
            if (errno == ELOOP)
                std::fprintf(stderr, "%s %s (symlink)\n", con_file_open_error, lock_name);
            else
                std::fprintf(stderr, "%s %s!\n", con_file_open_error, lock_name);
            return 3;
        }
        struct flock whole{};
        whole.l_type = F_WRLCK;
        whole.l_whence = SEEK_SET;
        if (fcntl(lock_fd, F_SETLK, &whole) != 0) break;
        struct stat locked, named;
        if (fstat(lock_fd, &locked) == 0 && lstat(lock_name, &named) == 0 && locked.st_dev == named.st_dev &&
            locked.st_ino == named.st_ino)
            return 0;
        close(lock_fd);
    }
    if (errno == EACCES || errno == EAGAIN || errno == ENOENT) {
        char here[4096];
        const char* dir = settings.OutputDir;
        if (dir == nullptr) dir = getcwd(here, sizeof here) != nullptr ? here : con_current_dir;
        std::fprintf(stderr, "%s %s\n", con_output_busy, dir);
    } else {
        std::fprintf(stderr, "%s %s!\n", con_file_open_error, lock_name);
    }
    if (lock_fd >= 0) close(lock_fd);
    lock_fd = -1;
    return 3;
}

// Removes the lock file while still holding it, then lets it go.
void release_output_lock() {
    if (lock_fd < 0) return;
    unlink(lock_name);
    close(lock_fd);
    lock_fd = -1;
}

struct output_lock_release {
    ~output_lock_release() { release_output_lock(); }
};

}  // namespace

int run_corvalist(int argc, char** argv) {
    settings_rec& s = settings;
    // The tables are emptied at every month's end and filled again at once:
    // the C library is told to keep freed memory (and to serve the tables'
    // blocks from it) instead of returning it, so a new month does not pay
    // for fresh pages again. The peak stays that of the busiest month.
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    std::setlocale(LC_CTYPE, "");
    build_lower_map();
    console_start();

    read_default_config();
    const int first_argument = process_options(argc, argv);
    if (first_argument < argc) s.LogFile = argv[first_argument];
    // A name beginning with "-" is standard input; open_log sets
    // LogCompression from the name's ending.
    if (s.LogFile != nullptr && s.LogFile[0] == '-') s.LogFile = nullptr;

    clear_month_counters();
    clear_history();
    complete_settings();
    free_all_tables();

    machine_known = uname(&machine) == 0;
    if (s.Verbosity == 2) print_version_line(stdout);

    if (s.CacheTTL <= 0) s.CacheTTL = 1;
    if (s.CacheTTL > 100) s.CacheTTL = 100;

    // The three failure codes of open_log are the exit statuses (1, 2, 9);
    // it prints their messages and the "Using logfile" line itself.
    const int opened = open_log(s.LogFile);
    if (opened != log_ok) return opened;

    if (s.OutputDir != nullptr && chdir(s.OutputDir) != 0) {
        std::fprintf(stderr, "%s %s\n", con_chdir_error, s.OutputDir);
        return 1;
    }

    const bool lookup_only = argv[0] != nullptr && std::strstr(argv[0], "corvalookup") != nullptr;
    if (lookup_only) {
        if (s.DNSChildren == 0) s.DNSChildren = 5;
        if (s.DNSCache == nullptr) {
            std::fprintf(stderr, "%s\n", con_no_dns_cache);
            return 1;
        }
    } else if (const int locked = take_output_lock(); locked != 0) {
        // The resolver-only mode writes nothing here but the cache, which
        // has a lock of its own; it may run beside a report run.
        return locked;
    }
    const output_lock_release release_at_return;
    // A cache that could not be saved is the failure of a run whose only
    // output is that cache (resolver-only mode, standard input).
    bool cache_saved = true;
    if (s.DNSCache != nullptr && s.DNSChildren != 0) {
        if (s.DNSChildren > 100) s.DNSChildren = 100;
        if (s.Verbosity == 2) std::printf("%s (%d): ", con_dns_lookup, s.DNSChildren);
        std::fflush(stdout);
        // The line stays open for the pass's statistics; any other message
        // ends it first.
        if (s.Verbosity == 2) console_hold_line();
        cache_saved = resolve_log_addresses() != dns_save_failed;
        if (s.Verbosity == 2) console_release_line();
        if (rewind_log() != log_ok) return cache_saved ? 0 : 3;
        // The main pass reads the directives again from the top; columns left
        // from the end of the first pass must not name its first data lines.
        reset_w3c_columns();
    }
    if (lookup_only) return cache_saved ? 0 : 3;

    if (s.DNSCache != nullptr) {
        if (open_dns_cache() == 0)
            s.DNSCache = nullptr;
        else if (s.Verbosity == 2)
            std::printf("%s %s\n", con_using_dns_cache, s.DNSCache);
    }
    if (s.GeoDB) {
        if (open_geo_database(s.GeoDBDatabase) == nullptr) {
            if (s.Verbosity != 0) {
                std::printf("%s: %s\n", con_geodb_open_error,
                            s.GeoDBDatabase != nullptr ? s.GeoDBDatabase : con_default);
                std::printf("GeoDB %s\n", con_lookups_disabled);
            }
            s.GeoDB = false;
        } else if (s.Verbosity == 2) {
            char version[geo_version_size];
            std::printf("%s %s\n", con_using, geo_database_version(version));
        }
    }

    if (s.Verbosity == 2)
        std::printf("%s %s\n", con_creating_output, s.OutputDir != nullptr ? s.OutputDir : con_current_dir);

    if (s.HostName == nullptr)
        s.HostName = machine_known && machine.nodename[0] != '\0' ? machine.nodename : "localhost";
    if (s.HostName[0] != '\0' && s.Verbosity == 2)
        std::printf("%s '%s'\n", con_report_hostname, s.HostName);

    if (!s.IgnoreHist)
        read_history();
    else if (s.Verbosity == 2)
        std::printf("%s\n", con_ignoring_history);

    if (s.Incremental) {
        const int code = restore_state();
        if (code != restore_ok) {
            std::fprintf(stderr, "%s (%d)\n", con_state_restore_error, code);
            return 1;
        }
    }

    if (s.TopCountries != 0 && allocate_top_country_slots() != countries_ok) {
        if (s.Verbosity != 0) std::fprintf(stderr, "%s\n", con_nomem_countries);
        s.TopCountries = 0;
    }

    const std::time_t start_time = std::time(nullptr);
    run_state.records_read = run_state.records_ignored = run_state.records_bad = 0;
    run_state.any_valid_record = false;

    read_all_lines();
    return end_of_run(start_time);
}
