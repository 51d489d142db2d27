// Record parsers: see input/parse.h.
//
// Line formats read here (fields separated by blanks or tabs):
//   clf    host ident user [dd/Mon/yyyy:hh:mm:ss zone] "method url proto" status bytes
//          and, combined, "referrer" "agent" after the byte count
//   ftp    Mon Oct  1 12:34:56 2013 3 host 1024 /pub/a.txt b _ o r anonymous ftp 0 * c
//   squid  1381234567.123 410 10.1.2.3 TCP_MISS/200 1234 GET scheme://h/a - DIRECT/10.0.0.1 text/html
//   w3c    "#Fields: name name ..." directives, then data lines of that many columns
//
// Every copy into a log_rec slot stops at the field's end, at the slot's limit
// and before the line's newline, whichever comes first, so the newline never
// reaches a slot. A carriage return in front of the newline counts as part of
// the line end, and a last line without a newline keeps its final character.
#include "input/parse.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <utility>

#include <emmintrin.h>

#include "lang/lang.h"
#include "run/month.h"
#include "run/settings.h"

log_record log_rec;

namespace {

// English abbreviations for the date text, whatever the locale and the
// report language: the date check reads them back.
constexpr const char* english_month[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                           "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// The line being parsed: eol is its terminating zero, last the newline ending
// it (eol itself when the line has no newline).
struct line_bounds {
    char* eol;
    char* last;
};

line_bounds bounds_of(char* line, std::size_t len) {
    char* eol = line + len;
    return {eol, (len > 0 && eol[-1] == '\n') ? eol - 1 : eol};
}

// End of a copy from src of at most limit characters that stays before last.
char* copy_bound(char* src, int limit, char* last) {
    if (src >= last) return src;
    return (last - src > limit) ? src + limit : last;
}

// Copies from src into dst (limit + 1 bytes) up to a zero byte or the bound;
// returns where the copy stopped.
char* copy_field(char* dst, int limit, char* src, char* last) {
    char* const bound = copy_bound(src, limit, last);
    const std::size_t room = static_cast<std::size_t>(bound - src);
    const void* zero = std::memchr(src, '\0', room);
    const std::size_t n = zero != nullptr ? static_cast<std::size_t>(static_cast<const char*>(zero) - src) : room;
    std::memcpy(dst, src, n);
    dst[n] = '\0';
    return src + n;
}

// A copy was cut when it stopped inside the field rather than at its end.
bool was_cut(const char* stop, const char* last) { return *stop != '\0' && stop != last; }

// Where the warnings of the line being parsed go: nullptr prints them at
// once; a parse on the reading thread keeps them for the counting thread to
// print in line order. The parsing thread's own, as it is set for every line.
thread_local parse_warnings* deferred = nullptr;

void warn(const char* message, const char* field) {
    if (settings.Verbosity == 0) return;
    if (deferred != nullptr) {
        // Only kept without Debug, whose form shows no field text.
        if (deferred->count < parse_warnings::capacity) deferred->message[deferred->count++] = message;
        return;
    }
    if (settings.Debug)
        std::fprintf(stderr, "%s: %s\n", message, field);
    else
        print_parse_warning(message);
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Decimal number like atoi (leading white space, a sign, digits; 0 when there
// are none), but saturating at the limits of 32 bits instead of wrapping.
int32_t read_int(const char* p) {
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    bool negative = false;
    if (*p == '-' || *p == '+') negative = *p++ == '-';
    int64_t value = 0;
    for (; is_digit(*p); ++p)
        if (value <= INT32_MAX) value = value * 10 + (*p - '0');
    if (negative) value = -value;
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}

// Like read_int over 64 bits (times since 1970 of a proxy log do not fit 32).
int64_t read_long(const char* p) {
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    bool negative = false;
    if (*p == '-' || *p == '+') negative = *p++ == '-';
    uint64_t value = 0;
    for (; is_digit(*p); ++p)
        if (value <= static_cast<uint64_t>(INT64_MAX)) value = value * 10 + static_cast<uint64_t>(*p - '0');
    if (value > static_cast<uint64_t>(INT64_MAX)) value = static_cast<uint64_t>(INT64_MAX);
    return negative ? -static_cast<int64_t>(value) : static_cast<int64_t>(value);
}

// Unsigned decimal digits at p; saturates at the largest 64-bit value.
uint64_t read_count(const char* p) {
    uint64_t value = 0;
    for (; is_digit(*p); ++p) {
        const uint64_t digit = static_cast<uint64_t>(*p - '0');
        if (value > (UINT64_MAX - digit) / 10) return UINT64_MAX;
        value = value * 10 + digit;
    }
    return value;
}

// Length of the field at p, not counting a newline that ends the line.
int field_length(const char* p, const char* last) {
    const char* q = p;
    while (q < last && *q != '\0') ++q;
    return static_cast<int>(q - p);
}

// Date text "[dd/Mon/yyyy:hh:mm:ss -0000]" of the given fields (month
// 0..11) into out, the date slot, cleared behind the text. Formatted in full,
// then cut to the slot: absurd years and days make it longer.
void put_date_text(char* out, int day, int month, long long year, int hour, int minute, int second) {
    char text[64] = {};
    std::snprintf(text, sizeof text, "[%02d/%s/%lld:%02d:%02d:%02d -0000]", day, english_month[month], year, hour,
                  minute, second);
    const std::size_t n = strnlen(text, date_limit);
    std::memcpy(out, text, n);
    std::memset(out + n, 0, date_limit + 1 - n);
}

// Date text of a time since 1970 shown in local time, as
// "[%d/%b/%Y:%H:%M:%S -0000]". Consecutive records of a proxy log mostly
// share their second, so the last conversion is kept. A time the system
// cannot convert leaves the text empty, which the date check rejects.
void local_date_text(int64_t seconds, char* out) {
    static int64_t cached_seconds = 0;
    static char cached_text[date_limit + 1];
    static bool cached = false;
    if (cached && seconds == cached_seconds) {
        std::memcpy(out, cached_text, sizeof cached_text);
        return;
    }
    out[0] = '\0';
    const time_t t = static_cast<time_t>(seconds);
    struct tm local;
    if (static_cast<int64_t>(t) != seconds || localtime_r(&t, &local) == nullptr) return;
    if (local.tm_mon < 0 || local.tm_mon > 11) return;
    put_date_text(out, local.tm_mday, local.tm_mon, static_cast<long long>(local.tm_year) + 1900, local.tm_hour,
                  local.tm_min, local.tm_sec);
    std::memcpy(cached_text, out, sizeof cached_text);
    cached_seconds = seconds;
    cached = true;
}

// ------------------------------------------------------------------- W3C

enum w3c_role : uint8_t {
    w3c_other = 0,
    w3c_date,
    w3c_time,
    w3c_ip,
    w3c_username,
    w3c_method,
    w3c_stem,
    w3c_query,
    w3c_status,
    w3c_bytes,
    w3c_referrer,
    w3c_agent,
    w3c_role_count
};

// Field name -> role, e.g. "c-ip" -> w3c_ip.
struct w3c_name_row {
    const char* name;
    w3c_role role;
};
constexpr w3c_name_row w3c_names[] = {
    {"date", w3c_date},           {"time", w3c_time},           {"c-ip", w3c_ip},
    {"cs-username", w3c_username}, {"cs-method", w3c_method},    {"cs-uri-stem", w3c_stem},
    {"cs-uri-query", w3c_query},  {"sc-status", w3c_status},    {"sc-bytes", w3c_bytes},
    {"cs(Referer)", w3c_referrer}, {"cs(User-Agent)", w3c_agent},
};

// A line holds at most 4095 characters, so at most 4096 columns.
constexpr int w3c_max_columns = 4096;

// The columns of the last "#Fields:" directive, kept for the whole run:
// role -> 1-based column (0 = absent), e.g. w3c_stem -> 5; and the inverse
// column -> role used while walking a data line, e.g. 5 -> w3c_stem.
struct w3c_columns_rec {
    int column[w3c_role_count];
    int count;  // columns declared
    uint8_t role_of[w3c_max_columns + 1];
};
w3c_columns_rec w3c_columns;

void declare_w3c_columns(char* p, char* eol) {
    std::memset(&w3c_columns, 0, sizeof w3c_columns);
    int number = 0;
    // p is at the zero byte ending "#Fields:"; every field after it is a column.
    while (p < eol) {
        ++p;  // over the separator
        ++number;
        for (const w3c_name_row& row : w3c_names)
            if (std::strcmp(p, row.name) == 0) w3c_columns.column[row.role] = number;
        while (p < eol && *p != '\0') ++p;
    }
    w3c_columns.count = number;
    for (int role = 1; role < w3c_role_count; ++role) {
        const int c = w3c_columns.column[role];
        if (c > 0 && c <= w3c_max_columns) w3c_columns.role_of[c] = static_cast<uint8_t>(role);
    }
}

// Reads "n<sep>n<sep>n": the first number, then the number after the next
// separator, then the one after the following. false without two separators.
bool read_triple(const char* p, char sep, int out[3]) {
    out[0] = read_int(p);
    for (int i = 1; i < 3; ++i) {
        while (*p != '\0' && *p != sep) ++p;
        if (*p == '\0') return false;
        ++p;
        out[i] = read_int(p);
    }
    return true;
}

int clamp(int v, int lo, int hi) { return v < lo ? lo : (v > hi ? hi : v); }

}  // namespace

namespace {

// Character classes of the splitter; 0 for every byte that needs nothing.
enum split_kind : uint8_t { split_plain = 0, split_blank, split_quote, split_open_paren, split_close_paren,
                             split_open_bracket, split_close_bracket, split_stop };

// byte -> class outside quotes, e.g. '\t' -> split_blank.
struct split_table {
    uint8_t of[256];
};

constexpr split_table make_split_table() {
    split_table t{};
    t.of[0] = split_stop;
    t.of[static_cast<unsigned char>('"')] = split_quote;
    t.of[static_cast<unsigned char>(' ')] = t.of[static_cast<unsigned char>('\t')] = split_blank;
    t.of[static_cast<unsigned char>('(')] = split_open_paren;
    t.of[static_cast<unsigned char>(')')] = split_close_paren;
    t.of[static_cast<unsigned char>('[')] = split_open_bracket;
    t.of[static_cast<unsigned char>(']')] = split_close_bracket;
    return t;
}

constexpr split_table split_class = make_split_table();

// The first byte a or b in [c, end), or end; sixteen bytes a step, since
// quoted text is most of a combined line.
char* first_of(char* c, char* end, char a, char b) {
    const __m128i va = _mm_set1_epi8(a);
    const __m128i vb = _mm_set1_epi8(b);
    for (; end - c >= 16; c += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c));
        const int hits = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, va), _mm_cmpeq_epi8(v, vb)));
        if (hits != 0) return c + __builtin_ctz(static_cast<unsigned>(hits));
    }
    for (; c < end; ++c)
        if (*c == a || *c == b) return c;
    return end;
}

// Where the splitter stands: inside quotes, and how deep in brackets and
// parentheses, whose blanks do not end a field.
struct split_state {
    bool quoted = false;
    int brackets = 0;
    int parens = 0;
};

// One byte of class k (not plain) at c: a blank outside brackets and
// parentheses ends its field, quotes, brackets and parentheses change the
// depth. Returns false at the end of the line.
inline __attribute__((always_inline)) bool split_step(uint8_t k, char* c, const char* line, split_state& st) {
    switch (k) {
        case split_stop:
            return false;
        case split_blank:
            if (st.brackets == 0 && st.parens == 0) *c = '\0';
            break;
        case split_quote:
            if (c == line || c[-1] != '\\') st.quoted = !st.quoted;
            break;
        case split_open_paren:
            ++st.parens;
            break;
        case split_close_paren:
            if (st.parens > 0) --st.parens;
            break;
        case split_open_bracket:
            ++st.brackets;
            break;
        case split_close_bracket:
            if (st.brackets > 0) --st.brackets;
            break;
        default:
            break;
    }
    return true;
}

}  // namespace

void split_fields(char* line, char* end) {
    split_state state;
    for (char* c = line; c < end; ++c) {
        if (state.quoted) {
            // Most bytes of a combined line are quoted: jump to the next quote,
            // or stop at a zero byte before it.
            char* q = first_of(c, end, '"', '\0');
            if (q == end || *q == '\0') return;
            c = q;
            if (c[-1] != '\\') state.quoted = false;
            continue;
        }
        const uint8_t k = split_class.of[static_cast<unsigned char>(*c)];
        if (k == split_plain) continue;
        if (!split_step(k, c, line, state)) return;
    }
}

namespace {

// split_fields for a line whose first zero byte is its end (*eol == 0, as
// every parser's line is): a run of plain bytes needs no bound check, since
// the zero stops it, so it costs one table look-up a byte. Any other line
// goes the general way.
void split_line(char* line, char* eol) {
    if (*eol != '\0') {
        split_fields(line, eol);
        return;
    }
    split_state state;
    for (char* c = line;; ++c) {
        if (state.quoted) {
            c = first_of(c, eol, '"', '\0');
            if (*c == '\0') return;
            if (c[-1] != '\\') state.quoted = false;
            continue;
        }
        uint8_t k;
        while ((k = split_class.of[static_cast<unsigned char>(*c)]) == split_plain) ++c;
        if (!split_step(k, c, line, state)) return;
    }
}

}  // namespace

namespace {

// The protocol version goes: the request (n characters) ends with a quote
// where the last " HTTP/" begins, so a URL that merely contains "HTTP" stays
// whole.
void strip_protocol(char* request, std::size_t n) {
    for (std::size_t i = n >= 6 ? n - 6 + 1 : 0; i-- > 1;) {
        if (request[i] == ' ' && request[i + 1] == 'H' && request[i + 2] == 'T' && request[i + 3] == 'T' &&
            request[i + 4] == 'P' && request[i + 5] == '/') {
            request[i] = '"';
            request[i + 1] = '\0';
            break;
        }
    }
}

}  // namespace

namespace {

// Bytes of v the splitter treats specially (blank, tab, quote, parentheses,
// brackets, zero), as a bit mask; blanks count only with blanks set.
template <bool blanks>
inline unsigned special_bytes(__m128i v) {
    __m128i hit = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_setzero_si128()), _mm_cmpeq_epi8(v, _mm_set1_epi8('\t')));
    hit = _mm_or_si128(hit, _mm_cmpeq_epi8(v, _mm_set1_epi8('"')));
    hit = _mm_or_si128(hit, _mm_cmpeq_epi8(_mm_or_si128(v, _mm_set1_epi8(1)), _mm_set1_epi8(')')));  // ( and )
    hit = _mm_or_si128(hit, _mm_cmpeq_epi8(v, _mm_set1_epi8('[')));
    hit = _mm_or_si128(hit, _mm_cmpeq_epi8(v, _mm_set1_epi8(']')));
    if constexpr (blanks) hit = _mm_or_si128(hit, _mm_cmpeq_epi8(v, _mm_set1_epi8(' ')));
    return static_cast<unsigned>(_mm_movemask_epi8(hit));
}

// End of the run of bytes from p that the splitter leaves alone (no blank,
// quote, bracket, parenthesis or zero; blanks allowed unless blanks_end);
// a run can take in the newline. Sixteen bytes a step while they lie before
// eol, whose zero ends every run.
template <bool blanks_end>
inline const char* run_from(const char* p, const char* eol) {
    for (; eol - p >= 16; p += 16)
        if (const unsigned hits = special_bytes<blanks_end>(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))))
            return p + __builtin_ctz(hits);
    for (;; ++p) {
        const uint8_t k = split_class.of[static_cast<unsigned char>(*p)];
        if (k != split_plain && (blanks_end || *p != ' ')) return p;
    }
}

inline const char* plain_run(const char* p, const char* eol) { return run_from<true>(p, eol); }
inline const char* plain_or_blank_run(const char* p, const char* eol) { return run_from<false>(p, eol); }

// The closing quote of a quoted field opening at open, or nullptr when the
// quote is escaped, missing, or a zero byte comes first.
inline const char* closing_quote(const char* open, const char* eol) {
    const char* q = first_of(const_cast<char*>(open) + 1, const_cast<char*>(eol), '"', '\0');
    if (q == eol || *q != '"' || q[-1] == '\\') return nullptr;
    return q;
}

inline void put_text(char* field, const char* from, const char* to) {
    const std::size_t n = static_cast<std::size_t>(to - from);
    std::memcpy(field, from, n);
    field[n] = '\0';
}

}  // namespace

bool parse_clf_plain(const char* line, std::size_t len, log_record& rec) {
    const char* const eol = line + len;
    const char* const last = (len > 0 && eol[-1] == '\n') ? eol - 1 : eol;
    // host ident user... [date] "request" status bytes, each field ended by
    // exactly one blank, nothing that the splitter would treat specially in
    // the unquoted fields and no escaped quote.
    const char* host_end = plain_run(line, eol);
    if (host_end == line || *host_end != ' ' || host_end >= last || host_end - line > host_limit) return false;
    const char* ident = host_end + 1;
    const char* ident_end = plain_run(ident, eol);
    if (ident_end == ident || *ident_end != ' ' || ident_end >= last) return false;
    const char* user = ident_end + 1;
    const char* date = plain_or_blank_run(user, eol);
    if (*date != '[' || date >= last || date - user > user_limit) return false;
    const char* date_close = plain_or_blank_run(date + 1, eol);
    if (*date_close != ']' || date_close + 1 >= last || date_close[1] != ' ' || date_close - date + 1 > date_limit)
        return false;
    if (date_close - date < 3 || date[3] != '/') return false;
    const char* request = date_close + 2;
    if (*request != '"') return false;
    const char* request_close = closing_quote(request, eol);
    if (request_close == nullptr || request_close + 1 >= last || request_close[1] != ' ') return false;
    // A status starting with a digit: read_int would skip leading white space
    // beyond the field's end on the uncut line.
    const char* status = request_close + 2;
    const char* status_end = plain_run(status, eol);
    if (!is_digit(*status) || *status_end != ' ' || status_end >= last) return false;
    const char* bytes = status_end + 1;
    const char* bytes_end = plain_run(bytes, eol);
    if (bytes_end == bytes) return false;
    // Common format ends after the byte count (a run that reached the line's
    // zero took in its newline); combined goes on with two quoted fields.
    const char *referrer = nullptr, *referrer_close = nullptr, *agent = nullptr, *agent_close = nullptr;
    if (bytes_end != eol) {
        if (*bytes_end != ' ' || bytes_end >= last) return false;
        referrer = bytes_end + 1;
        if (*referrer != '"') return false;
        referrer_close = closing_quote(referrer, eol);
        if (referrer_close == nullptr || referrer_close + 1 >= last || referrer_close[1] != ' ' ||
            referrer_close - referrer + 1 > referrer_limit)
            return false;
        agent = referrer_close + 2;
        if (*agent != '"') return false;
        agent_close = closing_quote(agent, eol);
        if (agent_close == nullptr || (agent_close + 1 != last && agent_close[1] != ' ')) return false;
    }

    put_text(rec.host, line, host_end);
    const char* user_end = date;
    while (user_end > user && user_end[-1] == ' ') --user_end;
    put_text(rec.user, user, user_end);
    put_text(rec.date_text, date, date_close + 1);
    put_text(rec.request, request, request_close + 1);
    strip_protocol(rec.request, static_cast<std::size_t>(request_close + 1 - request));
    rec.status = read_int(status);
    if (is_digit(*bytes)) rec.bytes = read_count(bytes);
    if (referrer != nullptr) {
        put_text(rec.referrer, referrer, referrer_close + 1);
        const std::size_t agent_len = static_cast<std::size_t>(agent_close + 1 - agent);
        put_text(rec.user_agent, agent, agent + (agent_len < agent_limit ? agent_len : agent_limit));
    }
    return true;
}

int parse_clf(char* line, std::size_t len, log_record& rec) {
    const line_bounds b = bounds_of(line, len);
    char* const eol = b.eol;
    char* const last = b.last;
    split_line(line, eol);

    // Host.
    char* p = copy_field(rec.host, host_limit, line, last);
    if (was_cut(p, last)) warn(con_trunc_hostname, line);
    while (p < eol && *p != '\0') ++p;
    if (p < eol) ++p;

    // Remote identity: not used.
    while (p < eol && *p != '\0') ++p;
    if (p < eol) ++p;

    // User: everything up to the "[" of the date, so that a name with blanks
    // stays whole; the field boundaries inside it become blanks again.
    char* start = p;
    char* bound = copy_bound(p, user_limit, last);
    char* d = rec.user;
    while (p < bound && *p != '[') {
        if (*p == '\0') *p = ' ';
        *d++ = *p++;
    }
    *d = '\0';
    if (p >= eol) return record_bad;
    if (*p != '[') {
        // Stopped short of the date: at the name's limit, or at the line's
        // newline when no "[" follows (the line is then bad at the date).
        warn(con_trunc_username, start);
        while (p < eol && *p != '[') ++p;
    }
    while (d > rec.user && (d[-1] == ' ' || d[-1] == '\t')) *--d = '\0';

    // Date.
    start = p;
    p = copy_field(rec.date_text, date_limit, p, last);
    if (was_cut(p, last)) {
        warn(con_trunc_date, start);
        while (p < eol && *p != '\0') ++p;
    }
    if (p < eol) ++p;
    if (rec.date_text[0] != '[' || rec.date_text[3] != '/' || p >= eol) return record_bad;

    // Request.
    start = p;
    p = copy_field(rec.request, request_limit, p, last);
    const std::size_t request_len = static_cast<std::size_t>(p - start);  // copy_field copies no zero byte
    if (was_cut(p, last)) {
        warn(con_trunc_request, start);
        while (p < eol && *p != '\0') ++p;
    }
    if (p < eol) ++p;
    if (rec.request[0] != '"' || p >= eol) return record_bad;

    strip_protocol(rec.request, request_len);

    // Status.
    rec.status = read_int(p);
    while (p < eol && *p != '\0') ++p;
    if (p < eol) ++p;

    // Bytes ("-" and other non-numbers count 0).
    if (is_digit(*p)) rec.bytes = read_count(p);
    if (p >= eol) return record_good;  // the line ended after the status
    while (p < eol && *p != '\0' && *p != '\n') ++p;
    if (p < eol) ++p;

    // Referrer, as logged with its quotes.
    start = p;
    bound = copy_bound(p, referrer_limit, last);
    {
        char* const stop = p < bound ? first_of(p, bound, '\0', '\n') : p;
        const std::size_t n = static_cast<std::size_t>(stop - p);
        std::memcpy(rec.referrer, p, n);
        rec.referrer[n] = '\0';
        p = stop;
    }
    if (*p != '\0' && *p != '\n') warn(con_trunc_referrer, start);
    while (p < eol && *p != '\0') ++p;
    if (p < eol) ++p;

    // User agent, as logged with its quotes; a longer one is cut silently.
    copy_field(rec.user_agent, agent_limit, p, last);
    return record_good;
}

namespace {

// A walk over the fields of a line cut by split_line: p is the position,
// eol the line's zero byte, last its newline (eol without one).
struct field_cursor {
    char* p;
    char* eol;
    char* last;
    void skip_field() {
        while (p < eol && *p != '\0') ++p;
    }
    void skip_separators() {
        while (p < eol && *p == '\0') ++p;
    }
};

// Cuts line (length len) into fields and starts a cursor at its beginning.
field_cursor open_fields(char* line, std::size_t len) {
    const line_bounds b = bounds_of(line, len);
    split_line(line, b.eol);
    return field_cursor{line, b.eol, b.last};
}

}  // namespace

int parse_ftp(char* line, std::size_t len, log_record& rec) {
    field_cursor f = open_fields(line, len);
    char* const eol = f.eol;
    char* const last = f.last;
    char*& p = f.p;

    // Weekday, month, day, time, year, transfer time: any number of
    // separators between them.
    f.skip_field();
    f.skip_separators();
    char* month = p;
    f.skip_field();
    f.skip_separators();
    const int day = read_int(p);
    f.skip_field();
    f.skip_separators();
    char* time_of_day = p;
    f.skip_field();
    f.skip_separators();
    const int year = read_int(p);
    f.skip_field();
    f.skip_separators();
    f.skip_field();  // transfer time; p now ends field 6

    if (strnlen(time_of_day, 6) < 6 || time_of_day[2] != ':' || time_of_day[5] != ':') return record_bad;
    if (year < 1990 || year > 2100 || day < 1 || day > 31) return record_bad;
    std::snprintf(rec.date_text, date_limit + 1, "[%02d/%.*s/%4d:%.*s -0000]", day,
                  field_length(month, last), month, year, field_length(time_of_day, last), time_of_day);

    // Host: exactly one separator after the transfer time.
    char* host = p < eol ? p + 1 : eol;
    if (host < last && *host != '\0') {
        copy_field(rec.host, host_limit, host, last);
        p = host;
        f.skip_field();
    } else {
        std::memcpy(rec.host, "NONE", 5);
        if (settings.Debug) std::fputs("Warning: Blank hostname found!\n", stderr);
    }

    // File size.
    f.skip_separators();
    if (is_digit(*p)) rec.bytes = read_count(p);
    f.skip_field();

    // File name, then transfer type and action flag, to the direction.
    f.skip_separators();
    char* file = p;
    f.skip_field();
    f.skip_separators();
    f.skip_field();
    f.skip_separators();
    f.skip_field();
    f.skip_separators();
    char* direction = p;
    std::snprintf(rec.request, request_limit + 1, "\"%s %.*s\"", direction[0] == 'i' ? "POST" : "GET",
                  field_length(file, last), file);

    // Access mode and user name: one separator before each.
    f.skip_field();
    if (p < eol) ++p;
    f.skip_field();
    if (p < eol) ++p;
    copy_field(rec.user, user_limit, p, last);

    // Completion status: the last character before the line end.
    rec.status = (last > line && last[-1] == 'i') ? 206 : 200;
    return record_good;
}

int parse_squid(char* line, std::size_t len, log_record& rec) {
    field_cursor f = open_fields(line, len);
    char* const eol = f.eol;
    char* const last = f.last;
    char*& p = f.p;

    // Time since 1970 (the fraction is ignored), then elapsed milliseconds.
    local_date_text(read_long(p), rec.date_text);
    f.skip_field();
    f.skip_separators();
    f.skip_field();
    f.skip_separators();

    // Client address.
    char* start = p;
    p = copy_field(rec.host, host_limit, p, last);
    if (was_cut(p, last)) warn(con_trunc_hostname, start);
    f.skip_field();
    f.skip_separators();

    // Result code and status ("TCP_MISS/200"); without a "/" the status is
    // read from the next field, which is the byte count.
    char* result = p;
    f.skip_field();
    f.skip_separators();
    const char* slash = result;
    while (slash < eol && *slash != '\0' && *slash != '/') ++slash;
    rec.status = read_int(*slash == '/' ? slash + 1 : p);

    // Bytes.
    if (is_digit(*p)) rec.bytes = read_count(p);
    f.skip_field();
    f.skip_separators();

    // Request: quote, method, blank, URL, quote. Method and URL together
    // stay within 4093 characters, so the closing quote always fits.
    char* out = rec.request;
    char* const out_end = rec.request + request_limit - 1;
    *out++ = '"';
    char* method = p;
    char* const bound = copy_bound(p, request_limit, last);
    while (p < bound && *p != '\0' && out < out_end) *out++ = *p++;
    if (was_cut(p, last)) warn(con_trunc_request, method);
    f.skip_field();
    f.skip_separators();
    if (out < out_end) *out++ = ' ';

    // URL, cut before its (TrimSquidURL + 2)-th "/" when trimming is on.
    char* url = p;
    const int trim = settings.TrimSquidURL;
    const long slash_stop = trim > 0 ? static_cast<long>(trim) + 2 : 0;
    long slashes = 0;
    bool trimmed = false;
    while (p < bound && *p != '\0' && out < out_end) {
        if (*p == '/' && slash_stop > 0 && ++slashes == slash_stop) {
            trimmed = true;
            break;
        }
        *out++ = *p++;
    }
    if (!trimmed && was_cut(p, last)) warn(con_trunc_request, url);
    *out++ = '"';
    *out = '\0';
    f.skip_field();

    // User identity; a line that ends here is bad.
    while (p < eol && (*p == '\0' || *p == ' ' || *p == '\t')) ++p;
    if (p >= last) return record_bad;
    char* const user_bound = copy_bound(p, user_limit, last);
    char* d = rec.user;
    while (p < user_bound && *p != '\0' && *p != ' ' && *p != '\t') *d++ = *p++;
    *d = '\0';
    while (d > rec.user && d[-1] == ' ') *--d = '\0';
    return record_good;
}

int parse_w3c(char* line, std::size_t len, log_record& rec) {
    while (len > 0 && (line[len - 1] == '\n' || line[len - 1] == '\r')) line[--len] = '\0';
    char* const eol = line + len;
    split_line(line, eol);
    if (len == 0) return record_bad;

    if (line[0] == '#') {
        if (std::strcmp(line, "#Fields:") == 0) declare_w3c_columns(line + std::strlen(line), eol);
        return record_bad;
    }

    // Walk the columns once, keeping the start of each understood one.
    char* value[w3c_role_count] = {};
    int count = 1;
    const int role = w3c_columns.role_of[1];
    if (role != w3c_other) value[role] = line;
    for (char* p = line; p < eol; ++p) {
        if (*p != '\0') continue;
        ++count;
        if (count <= w3c_max_columns) {
            const int r = w3c_columns.role_of[count];
            if (r != w3c_other) value[r] = p + 1;
        }
    }
    if (count != w3c_columns.count) return record_bad;
    char* stem = value[w3c_stem];
    if (stem == nullptr) return record_bad;

    for (char* c = stem; *c != '\0'; ++c)
        if (*c == '+') *c = ' ';
    // Without a cs-method column the method is unknown and reads "NONE", as
    // for a logged "-"; record processing only uses the URL after the blank.
    const char* method = value[w3c_method];
    if (method == nullptr || method[0] == '-') method = "NONE";
    const char* query = value[w3c_query];
    if (query != nullptr && query[0] != '-')
        std::snprintf(rec.request, request_limit + 1, "\"%s %s?%s\"", method, stem, query);
    else
        std::snprintf(rec.request, request_limit + 1, "\"%s %s\"", method, stem);

    if (value[w3c_ip] != nullptr) copy_field(rec.host, host_limit, value[w3c_ip], eol);
    if (value[w3c_status] != nullptr) rec.status = read_int(value[w3c_status]);
    if (value[w3c_referrer] != nullptr) copy_field(rec.referrer, referrer_limit, value[w3c_referrer], eol);
    if (value[w3c_bytes] != nullptr) rec.bytes = read_count(value[w3c_bytes]);
    if (value[w3c_agent] != nullptr) {
        copy_field(rec.user_agent, agent_limit, value[w3c_agent], eol);
        for (char* c = rec.user_agent; *c != '\0'; ++c)
            if (*c == '+') *c = ' ';
    }
    if (value[w3c_username] != nullptr) copy_field(rec.user, user_limit, value[w3c_username], eol);

    // Date and time are UTC; a missing date is day 0 of January 1900, a
    // missing time midnight. Absurd numbers are held to a range the time
    // conversion can take.
    int date[3] = {0, 1, 0};
    int clock[3] = {0, 0, 0};
    if (value[w3c_date] != nullptr && !read_triple(value[w3c_date], '-', date)) return record_bad;
    if (value[w3c_time] != nullptr && !read_triple(value[w3c_time], ':', clock)) return record_bad;
    struct tm utc = {};
    utc.tm_year = clamp(date[0] > 1900 ? date[0] - 1900 : date[0], -1000000, 1000000);
    utc.tm_mon = clamp(date[1], -1000000, 1000000) - 1;
    utc.tm_mday = clamp(date[2], -1000000, 1000000);
    utc.tm_hour = clamp(clock[0], -1000000, 1000000);
    utc.tm_min = clamp(clock[1], -1000000, 1000000);
    utc.tm_sec = clamp(clock[2], -1000000, 1000000);
    // A day past the end of its month is a bad date here as in every other
    // log, not a day of the next month as the conversion would make it: the
    // text keeps the date as logged, which the date check then rejects (and
    // shows in its message).
    const int year = utc.tm_year + 1900;
    if (utc.tm_mon >= 0 && utc.tm_mon <= 11 && utc.tm_mday > month_length(year, utc.tm_mon + 1)) {
        put_date_text(rec.date_text, utc.tm_mday, utc.tm_mon, year, utc.tm_hour, utc.tm_min, utc.tm_sec);
        return record_good;
    }
    local_date_text(static_cast<int64_t>(timegm(&utc)), rec.date_text);
    return record_good;
}

void reset_w3c_columns() { std::memset(&w3c_columns, 0, sizeof w3c_columns); }

namespace {

// Bytes of log_rec.request and log_rec.referrer that the last record may
// have written. Every parser fills them from the line (plus a few quotes and
// a method name) and record processing only shortens them or puts short
// constants there ("- (Direct Request)"), so a record writes at most its line
// length and a margin; only that part needs clearing, not the whole 5 kB.
constexpr std::size_t write_margin = 64;
record_clearing log_rec_clearing{sizeof log_rec.request, sizeof log_rec.referrer};

// Zeroes n bytes at p rounded up to whole 16-byte blocks; the caller makes
// sure the rounded range stays inside log_rec.
inline void zero_blocks(char* p, std::size_t n) {
    const __m128i zero = _mm_setzero_si128();
    for (std::size_t i = 0; i < n; i += 16) _mm_storeu_si128(reinterpret_cast<__m128i*>(p + i), zero);
}

// The same for a size known when building, as a plain run of stores: a loop
// here would be turned back into a string instruction.
template <std::size_t n>
inline void zero_blocks(char* p) {
    const __m128i zero = _mm_setzero_si128();
    [&]<std::size_t... i>(std::index_sequence<i...>) {
        (_mm_storeu_si128(reinterpret_cast<__m128i*>(p + 16 * i), zero), ...);
    }(std::make_index_sequence<(n + 15) / 16>{});
}

// Clears rec to zero bytes as far as the last record can have written (as
// noted in c).
void clear_written(log_record& rec, const record_clearing& c) {
    static_assert(offsetof(log_record, host) == 0 && offsetof(log_record, request) < offsetof(log_record, status) &&
                  offsetof(log_record, status) < offsetof(log_record, referrer) &&
                  offsetof(log_record, referrer) < offsetof(log_record, user_agent),
                  "field order the clearing relies on");
    static_assert(offsetof(log_record, request) + 16 <= offsetof(log_record, status) &&
                  offsetof(log_record, referrer) - offsetof(log_record, status) == 16 &&
                  sizeof log_rec.request % 16 == 0 && sizeof log_rec.referrer % 16 == 0 &&
                  (sizeof log_rec - offsetof(log_record, user_agent)) % 16 == 0,
                  "the clearing works in whole 16-byte blocks");
    auto* base = reinterpret_cast<char*>(&rec);
    // Whole 16-byte blocks, so that the short clearings cost a few stores
    // rather than a string instruction's start-up; a block that runs past the
    // end of its range lands in bytes that are cleared anyway.
    zero_blocks<offsetof(log_record, request)>(base);
    // request starts part-way into a block; clearing from that block's start
    // (inside date_text, already zero) keeps the stores aligned.
    constexpr std::size_t request_lead = offsetof(log_record, request) % 16;
    static_assert(offsetof(log_record, request) - request_lead + (request_lead + sizeof log_rec.request + 15) / 16 * 16 <=
                      offsetof(log_record, referrer),
                  "the widened request clearing stays before referrer");
    zero_blocks(base + offsetof(log_record, request) - request_lead, c.request_used + request_lead);
    zero_blocks<offsetof(log_record, referrer) - offsetof(log_record, status)>(base + offsetof(log_record, status));
    zero_blocks(rec.referrer, c.referrer_used);
    zero_blocks<sizeof log_rec - offsetof(log_record, user_agent)>(base + offsetof(log_record, user_agent));
}

// Clears rec unless it is known to be zero, and notes how far a line of len
// bytes may write.
void clear_record(log_record& rec, record_clearing& c, std::size_t len) {
    if (!c.zero) clear_written(rec, c);
    c.zero = false;
    const std::size_t reach = len + write_margin;
    c.request_used = reach < sizeof log_rec.request ? reach : sizeof log_rec.request;
    c.referrer_used = reach < sizeof log_rec.referrer ? reach : sizeof log_rec.referrer;
}

}  // namespace

void clear_parsed_record(log_record& rec, record_clearing& clearing) {
    if (clearing.zero) return;
    clear_written(rec, clearing);
    clearing.zero = true;
}

int parse_record(char* line, log_record& rec, record_clearing& clearing, parse_warnings* warnings) {
    return parse_record(line, std::strlen(line), rec, clearing, warnings);
}

int parse_record(char* line, std::size_t len, log_record& rec, record_clearing& clearing, parse_warnings* warnings) {
    clear_record(rec, clearing, len);
    // A carriage return before the newline belongs to the line end.
    if (len >= 2 && line[len - 1] == '\n' && line[len - 2] == '\r') {
        line[len - 2] = '\n';
        line[--len] = '\0';
    }
    if (warnings != nullptr) warnings->count = 0;
    deferred = warnings;
    int code;
    switch (settings.LogType) {
        case log_ftp: code = parse_ftp(line, len, rec); break;
        case log_squid: code = parse_squid(line, len, rec); break;
        case log_w3c: code = parse_w3c(line, len, rec); break;
        default: code = parse_clf_plain(line, len, rec) ? record_good : parse_clf(line, len, rec); break;
    }
    deferred = nullptr;
    return code;
}

int parse_record(char* line) { return parse_record(line, log_rec, log_rec_clearing, nullptr); }

void print_parse_warning(const char* message) { std::fprintf(stderr, "%s\n", message); }

namespace {

// The fields of a record in packing order.
template <class Record, class F>
inline void each_text(Record& rec, F f) {
    f(rec.host, sizeof rec.host);
    f(rec.date_text, sizeof rec.date_text);
    f(rec.request, sizeof rec.request);
    f(rec.referrer, sizeof rec.referrer);
    f(rec.user_agent, sizeof rec.user_agent);
    f(rec.search_words, sizeof rec.search_words);
    f(rec.user, sizeof rec.user);
}

}  // namespace

std::size_t pack_record(const log_record& rec, packed_record& packed) {
    packed.status = rec.status;
    packed.bytes = rec.bytes;
    char* out = packed.text;
    int i = 0;
    // Each text goes over in 16-byte blocks, looked at for its terminator as
    // it goes; a block's bytes past the terminator are overwritten by the
    // next text (the last one's fall in the text's spare end). Blocks may
    // read past a field into the next one, never past the record.
    each_text(rec, [&](const char* field, std::size_t size) {
        std::size_t n = 0;
        for (;;) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(field + n));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + n), v);
            const int zero = _mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_setzero_si128()));
            if (zero != 0) {
                n += static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(zero)));
                break;
            }
            n += 16;
            if (n >= size - 1) break;
        }
        if (n > size - 1) n = size - 1;
        out += n;
        packed.length[i++] = static_cast<uint16_t>(n);
    });
    return static_cast<std::size_t>(out - packed.text);
}

void unpack_to_log_rec(const packed_record& packed) {
    log_rec.status = packed.status;
    log_rec.bytes = packed.bytes;
    const char* in = packed.text;
    int i = 0;
    // In 16-byte blocks too: a block may run past a text's terminator (the
    // short date's into the request, which comes next), never past log_rec.
    each_text(log_rec, [&](char* field, std::size_t) {
        const std::size_t n = packed.length[i++];
        for (std::size_t k = 0; k <= n; k += 16)
            _mm_storeu_si128(reinterpret_cast<__m128i*>(field + k),
                             _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + k)));
        field[n] = '\0';
        in += n;
    });
    // A parse into log_rec after this clears it whole again.
    log_rec_clearing = record_clearing{sizeof log_rec.request, sizeof log_rec.referrer};
}
