// Record processing: normalisation of the parsed fields, the host check, the
// include and ignore filters and the counting of one record. See
// stats/process.h.
#include "stats/process.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include <emmintrin.h>

#include "input/log_rec.h"
#include "lang/lang.h"
#include "resolve/dns.h"
#include "run/month.h"
#include "run/settings.h"
#include "stats/lists.h"
#include "stats/tables.h"
#include "stats/text.h"

namespace {

constexpr int url_keep = unode_limit;       // characters a URL keeps
constexpr int referrer_keep = rnode_limit;  // characters a referrer keeps

// Character classes of URLs and referrers. The narrow set ends a URL when
// queries are stripped and ends every referrer (its query goes to
// search_words); the wide set adds the query characters.
// host_plain marks the bytes a host name keeps as they are and that need no
// further thought: lower-case letters, digits, "-", ":" and ".".
enum : unsigned char { url_narrow = 1, url_wide = 2, alnum = 4, agent_end = 8, referrer_end = 16, host_plain = 32 };
alignas(64) unsigned char url_class[256];
bool url_class_ready = false;

// The bytes that end a URL, sixteen at a time: with StripCGI (narrow) control
// bytes, DEL and " # $ % & ; < = > ? ^ ` { | }; otherwise (wide) the same but
// & ; = ?. Bytes above 127 never end one. Used only when this agrees with
// the class table for every byte (letters and digits follow the locale).
template <bool wide>
inline unsigned url_end_bytes(__m128i v) {
    auto in_range = [v](char lo, char hi) {
        const __m128i shifted = _mm_sub_epi8(v, _mm_set1_epi8(lo));
        const __m128i span = _mm_set1_epi8(static_cast<char>(hi - lo));
        return _mm_cmpeq_epi8(_mm_min_epu8(shifted, span), shifted);
    };
    __m128i hit = _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(31)), v);  // control bytes and zero
    hit = _mm_or_si128(hit, _mm_cmpeq_epi8(v, _mm_set1_epi8(127)));
    hit = _mm_or_si128(hit, _mm_cmpeq_epi8(v, _mm_set1_epi8('^')));
    hit = _mm_or_si128(hit, _mm_cmpeq_epi8(v, _mm_set1_epi8('`')));
    hit = _mm_or_si128(hit, in_range('{', '}'));
    if constexpr (wide) {
        hit = _mm_or_si128(hit, in_range('"', '%'));
        hit = _mm_or_si128(hit, _mm_cmpeq_epi8(v, _mm_set1_epi8('<')));
        hit = _mm_or_si128(hit, _mm_cmpeq_epi8(v, _mm_set1_epi8('>')));
    } else {
        hit = _mm_or_si128(hit, in_range('"', '&'));
        hit = _mm_or_si128(hit, in_range(';', '?'));
    }
    return static_cast<unsigned>(_mm_movemask_epi8(hit));
}

bool url_blocks_agree = false;

bool url_blocks_match_table() {
    for (int base = 0; base < 256; base += 16) {
        alignas(16) unsigned char bytes[16];
        for (int i = 0; i < 16; ++i) bytes[i] = static_cast<unsigned char>(base + i);
        const __m128i v = _mm_load_si128(reinterpret_cast<const __m128i*>(bytes));
        const unsigned narrow_end = url_end_bytes<false>(v), wide_end = url_end_bytes<true>(v);
        for (int i = 0; i < 16; ++i) {
            const unsigned char c = url_class[base + i];
            if (((narrow_end >> i) & 1) != ((c & url_narrow) ? 0u : 1u)) return false;
            if (((wide_end >> i) & 1) != ((c & url_wide) ? 0u : 1u)) return false;
        }
    }
    return true;
}

// Length of the run of URL bytes (of the set keep) at text, which lies in a
// field ending at field_end; the field's terminator ends every run.
template <unsigned char keep>
std::size_t url_run(const char* text, const char* field_end) {
    const char* p = text;
    if (url_blocks_agree)
        for (; field_end - p >= 16; p += 16)
            if (const unsigned hits = url_end_bytes<keep == url_wide>(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))))
                return std::size_t(p - text) + __builtin_ctz(hits);
    while (url_class[static_cast<unsigned char>(*p)] & keep) ++p;
    return std::size_t(p - text);
}

// Built on first use, after start-up has set the locale whose letters and
// digits count.
void build_url_class() {
    static constexpr char narrow[] = ":/\\.,' *!-+_@~()[]!";
    static constexpr char wide_only[] = ";?&=";
    for (int c = 0; c < 256; ++c) {
        const bool in_narrow =
            std::isalnum(c) || c >= 128 || (c != 0 && std::strchr(narrow, c) != nullptr);
        const bool in_wide = in_narrow || (c != 0 && std::strchr(wide_only, c) != nullptr);
        const bool control = c < 32 || c == 127;  // also the terminating zero
        url_class[c] = static_cast<unsigned char>((in_narrow ? url_narrow : 0) | (in_wide ? url_wide : 0) |
                                                  (std::isalnum(c) ? alnum : 0) |
                                                  (control || c == '<' || c == '>' ? agent_end : 0) |
                                                  (control || c == '<' ? referrer_end : 0) |
                                                  (((std::isalnum(c) && !(c >= 'A' && c <= 'Z')) || c == '-' ||
                                                    c == ':' || c == '.')
                                                       ? host_plain
                                                       : 0));
    }
    url_class_ready = true;
    url_blocks_agree = url_blocks_match_table();
}

inline unsigned char cls(char c) { return url_class[static_cast<unsigned char>(c)]; }

inline char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c; }

// Copies text over the start of field (text may lie inside field).
void move_to(char* field, const char* text, std::size_t len) {
    std::memmove(field, text, len);
    field[len] = '\0';
}

void set_text(char* field, const char* text) { std::memcpy(field, text, std::strlen(text) + 1); }

void remove_chars(char* at, std::size_t count) { std::memmove(at, at + count, std::strlen(at + count) + 1); }

// ------------------------------------------------------- request to URL

// The first "/./" at or after from, or nullptr; found from its dot, since
// most URLs hold one dot (the extension's) and few hold the sequence.
char* dot_segment(char* from) {
    for (char* d = from; (d = std::strchr(d, '.')) != nullptr; ++d)
        if (d > from && d[-1] == '/' && d[1] == '/') return d - 1;
    return nullptr;
}

void request_to_url(log_record& rec) {
    char* url = rec.request;
    unescape(url);
    if (url[0] != '\0' && url[1] == '-') {
        set_text(url, "/INVALID-URL");
    } else if (url[0] != '\0') {
        if (const char* blank = std::strchr(url + 1, ' ')) {
            const char* start = blank;
            while (*start == ' ') ++start;
            while (start[0] == '/' && start[1] == '/') ++start;
            const char* quote = std::strchr(start, '"');
            move_to(url, start, quote ? std::size_t(quote - start) : std::strlen(start));
        }
    }

    // The terminating zero is in neither set.
    const char* const url_field_end = rec.request + sizeof rec.request;
    const std::size_t n = settings.StripCGI ? url_run<url_narrow>(url, url_field_end)
                                            : url_run<url_wide>(url, url_field_end);
    url[n] = '\0';
    if (n == 0) set_text(url, "/");

    const int status = rec.status;
    // Only a scheme within the first five bytes counts, so only those are
    // searched for "://".
    char* scheme = nullptr;
    for (int k = 0; k <= 5 && url[k] != '\0'; ++k)
        if (url[k] == ':' && url[k + 1] == '/' && url[k + 2] == '/') {
            scheme = url + k;
            break;
        }
    if (settings.LogType == log_clf && status != 404 && settings.NormalizeURL) {
        if (scheme != nullptr && scheme - url <= 5) {
            if (const char* slash = std::strchr(scheme + 3, '/'))
                remove_chars(url, std::size_t(slash - url));
            else
                remove_chars(url, std::size_t(scheme + 2 - url));  // "/host" stays
        }
        // Each "/./" becomes "/"; a new one can only start where the last
        // one was removed, so the search goes on from there.
        for (char* dot = dot_segment(url); dot != nullptr; dot = dot_segment(dot)) remove_chars(dot, 2);
        if (url[0] != '/') {
            if (status == 200 || status == 304 || status == 206) {
                if (settings.Debug) std::fprintf(stderr, "Converted URL '%s' to '/'\n", url);
                set_text(url, "/");
            } else {
                if (settings.Debug) std::fprintf(stderr, "Invalid URL: '%s'\n", url);
                set_text(url, "/INVALID-URL");
            }
        }
        std::size_t len = std::strlen(url);
        while (len > 0 && url[len - 1] == '?') url[--len] = '\0';
    } else if (scheme != nullptr && scheme - url >= 1 && scheme - url <= 5) {
        for (char* p = url; p < scheme; ++p) *p = ascii_lower(*p);
    }

    for (const nlist* alias = settings.IndexAlias; alias != nullptr; alias = alias->next) {
        char* at = std::strstr(url, alias->pattern);
        if (at == nullptr || at == url || at[-1] != '/') continue;
        if (settings.StripCGI) {
            *at = '\0';
        } else if (const char* query = std::strchr(at, '?')) {
            move_to(at, query, std::strlen(query));
        } else {
            *at = '\0';
        }
        break;
    }
}

// ------------------------------------------------- referrer, search words

// Bytes from p, sixteen a step while they lie before field_end, up to the
// block that holds a control byte (the terminating zero too) or "<"; the
// caller finishes the scan byte by byte from there.
std::size_t control_or_lt(const char* p, const char* field_end) {
    const char* const start = p;
    const __m128i below_space = _mm_set1_epi8(31), del = _mm_set1_epi8(127), lt = _mm_set1_epi8('<');
    for (; field_end - p >= 16; p += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i control = _mm_or_si128(_mm_cmpeq_epi8(_mm_min_epu8(v, below_space), v), _mm_cmpeq_epi8(v, del));
        const int hits = _mm_movemask_epi8(_mm_or_si128(control, _mm_cmpeq_epi8(v, lt)));
        if (hits != 0) return std::size_t(p - start) + __builtin_ctz(static_cast<unsigned>(hits));
    }
    return std::size_t(p - start);
}

void clean_referrer(log_record& rec) {
    char* ref = rec.referrer;
    unescape(ref);
    if (ref[0] == '"') {
        // The referrer ends at the first control byte or "<"; one that runs
        // to the end of its text loses its last byte, the closing quote.
        std::size_t end = 1 + control_or_lt(ref + 1, rec.referrer + sizeof(rec.referrer));
        while (!(cls(ref[end]) & referrer_end)) ++end;
        std::size_t keep = end - 1;
        if (ref[end] == '\0' && keep > 0) --keep;
        std::memmove(ref, ref + 1, keep);
        ref[keep] = '\0';
    }

    rec.search_words[0] = '\0';
    if (ref[0] != '\0') {
        const std::size_t i = url_run<url_narrow>(ref, rec.referrer + sizeof rec.referrer);
        if (ref[i] != '\0') {
            const std::size_t rest = strnlen(ref + i, search_limit);
            move_to(rec.search_words, ref + i, rest);
            ref[i] = '\0';
        }
    }

    if (ref[0] == 'h' || ref[0] == 'H') {
        char* p = ref;
        for (; *p != '\0' && *p != '/'; ++p) *p = ascii_lower(*p);
        if (p[0] == '/' && p[1] == '/')
            for (p += 2; *p != '\0' && *p != '/'; ++p) *p = ascii_lower(*p);
    }
    if (ref[0] == '\0') set_text(ref, "-");
}

void cut_field(char* field, std::size_t keep, const char* message, normalise_warnings* deferred) {
    if (strnlen(field, keep + 1) <= keep) return;
    if (settings.Verbosity != 0) {
        if (deferred == nullptr)
            print_normalise_warning(message);
        else if (deferred->count < normalise_warnings::capacity)
            deferred->message[deferred->count++] = message;
    }
    field[keep] = '\0';
}

void clean_agent(log_record& rec) {
    char* agent = rec.user_agent;
    // An agent in quotes or parentheses loses its first byte and, unless a
    // control byte or an angle bracket ends it sooner, its last.
    const bool wrapped = agent[0] == '(' || agent[0] == '"';
    char* p = agent + (wrapped ? 1 : 0);
    // Sixteen bytes a step while they lie inside the field: a control byte
    // (the terminating zero too), "<" or ">" ends the agent.
    const char* const field_end = rec.user_agent + sizeof(rec.user_agent);
    const __m128i below_space = _mm_set1_epi8(31), del = _mm_set1_epi8(127);
    const __m128i lt = _mm_set1_epi8('<'), gt = _mm_set1_epi8('>');
    for (; field_end - p >= 16; p += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i control = _mm_or_si128(_mm_cmpeq_epi8(_mm_min_epu8(v, below_space), v), _mm_cmpeq_epi8(v, del));
        const __m128i angle = _mm_or_si128(_mm_cmpeq_epi8(v, lt), _mm_cmpeq_epi8(v, gt));
        const int hits = _mm_movemask_epi8(_mm_or_si128(control, angle));
        if (hits != 0) {
            p += __builtin_ctz(static_cast<unsigned>(hits));
            break;
        }
    }
    while (!(cls(*p) & agent_end)) ++p;
    if (!wrapped) {
        *p = '\0';
        return;
    }
    std::size_t keep = std::size_t(p - agent) - 1;
    if (*p == '\0' && keep > 0) --keep;
    std::memmove(agent, agent + 1, keep);
    agent[keep] = '\0';
}

void clean_user(log_record& rec) {
    char* user = rec.user;
    for (char* p = user; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c < 32 || c == '"') {
            *p = '\0';
            break;
        }
    }
    if (user[0] == '\0') set_text(user, "-");
    unescape(user);
}

// ------------------------------------------------------------------- host

}  // namespace

// Returns whether host was changed (a lowered letter, a cache name, "Invalid").
bool check_host(log_record& rec) {
    char* host = rec.host;
    // The host as it came, kept only once something is about to change it:
    // until then the host itself is that text.
    char saved[sizeof(rec.host)];
    bool changed = false;
    auto save = [&] {
        if (changed) return;
        std::memcpy(saved, host, sizeof(saved));
        saved[sizeof(saved) - 1] = '\0';
        changed = true;
    };
    if (dns_cache_is_open() && is_numeric_address(host)) {
        save();
        lookup_dns_cache(host);
    }

    if (!(cls(host[0]) & alnum) && host[0] != ':') {
        set_text(host, "Invalid");
        return true;
    }
    // Most names are plain all through; the careful walk starts at the first
    // byte that is not.
    char* p = host;
    while (cls(*p) & host_plain) ++p;
    bool dot_seen = *p != '\0' && std::memchr(host, '.', std::size_t(p - host)) != nullptr;
    for (; *p != '\0'; ++p) {
        const char c = ascii_lower(*p);
        if (c != *p) {
            save();
            *p = c;
        }
        if ((cls(c) & alnum) || c == '-' || c == ':') continue;
        if (c == '.') {
            dot_seen = true;
            continue;
        }
        if (c == '_' && !dot_seen) continue;
        // A bad name from the cache gives way to the address it replaced.
        if (changed && std::strcmp(host, saved) != 0)
            set_text(host, saved);
        else
            set_text(host, "Invalid");
        return true;
    }
    const std::size_t len = std::size_t(p - host);
    if (!(cls(host[len - 1]) & alnum)) {
        set_text(host, "Invalid");
        return true;
    }
    return changed;
}

namespace {

bool matches(const nlist* list, const char* name) { return list != nullptr && list_match(list, name) != nullptr; }

bool filtered_out() {
    const char* host = log_rec.host;
    const char* url = log_rec.request;
    const char* ref = log_rec.referrer;
    const char* agent = log_rec.user_agent;
    const char* user = log_rec.user;
    if (matches(settings.IncludeSite, host) || matches(settings.IncludeURL, url) ||
        matches(settings.IncludeReferrer, ref) || matches(settings.IncludeAgent, agent) ||
        matches(settings.IncludeUser, user))
        return false;
    return matches(settings.IgnoreSite, host) || matches(settings.IgnoreURL, url) ||
           matches(settings.IgnoreAgent, agent) || matches(settings.IgnoreReferrer, ref) ||
           matches(settings.IgnoreUser, user);
}

void insert_failed(int code, const char* message, const char* name) {
    if (code != table_ok && settings.Verbosity != 0) std::fprintf(stderr, "%s %s\n", message, name);
}

// A group label in a buffer of our own: the inserts may cut or rewrite the
// name they are given, and the label belongs to the settings list.
struct label_buffer {
    char text[list_text_size + 24];
    explicit label_buffer(const char* label) {
        const std::size_t n = strnlen(label, list_text_size - 1);
        std::memcpy(text, label, n);
        text[n] = '\0';
    }
};

void count_groups(bool file200, double bytes, uint64_t time) {
    uint64_t scratch = 0;
    const char* label;
    if (settings.GroupURL && (label = group_match(settings.GroupURL, log_rec.request))) {
        label_buffer g(label);
        insert_failed(add_url(g.text, node_group, 1, &scratch, 0, 0, bytes), con_unode_error, g.text);
    }
    if (settings.GroupSite && (label = group_match(settings.GroupSite, log_rec.host))) {
        label_buffer g(label);
        insert_failed(add_site(g.text, node_group, 1, file200, &scratch, 0, bytes, time, nullptr, &site_table),
                      con_hnode_monthly_error, g.text);
    } else if (settings.GroupDomains > 0 && address_kind(log_rec.host) == address_name) {
        // The last GroupDomains + 1 labels, or the whole host when it has fewer.
        const char* host = log_rec.host;
        const char* start = host;
        int dots = 0;
        for (const char* p = host + std::strlen(host); p > host;) {
            if (*--p == '.' && ++dots == settings.GroupDomains + 1) {
                start = p + 1;
                break;
            }
        }
        char domain[sizeof(log_rec.host)];
        set_text(domain, start);
        insert_failed(add_site(domain, node_group, 1, file200, &scratch, 0, bytes, time, nullptr, &site_table),
                      con_hnode_monthly_error, domain);
    }
    if (settings.GroupReferrer && (label = group_match(settings.GroupReferrer, log_rec.referrer))) {
        label_buffer g(label);
        insert_failed(add_referrer(g.text, node_group, 1, &scratch), con_rnode_error, g.text);
    }
    if (settings.GroupAgent && (label = group_match(settings.GroupAgent, log_rec.user_agent))) {
        label_buffer g(label);
        insert_failed(add_agent(g.text, node_group, 1, &scratch), con_anode_error, g.text);
    }
    if (settings.GroupUser && (label = group_match(settings.GroupUser, log_rec.user))) {
        label_buffer g(label);
        insert_failed(add_user(g.text, node_group, 1, file200, &scratch, 0, bytes, time), con_inode_error, g.text);
    }
}

}  // namespace

void print_normalise_warning(const char* message) {
    std::fprintf(stderr, "%s [%llu]\n", message, static_cast<unsigned long long>(run_state.records_read));
}

void normalise_record() {
    prepare_record_processing();
    normalise_record(log_rec, nullptr);
    // The names are final: their index entries start loading now, the nodes
    // when counting starts.
    prefetch_record(log_rec.host, log_rec.request, log_rec.referrer);
}

void prepare_record_processing() {
    if (!url_class_ready) build_url_class();
}

void normalise_record(log_record& rec, normalise_warnings* warnings) {
    if (warnings != nullptr) warnings->count = 0;
    request_to_url(rec);
    clean_referrer(rec);
    if (settings.MangleAgents != 0) mangle_agent(rec.user_agent);
    cut_field(rec.referrer, referrer_keep, con_trunc_referrer, warnings);
    cut_field(rec.request, url_keep, con_trunc_request, warnings);
    clean_agent(rec);
    clean_user(rec);
}

int count_record() { return count_record(-1, false, -1); }

int count_record(int page_known, bool host_checked, int search_known) {
    if (!url_class_ready) build_url_class();
    prefetch_record_nodes();
    const bool host_changed = host_checked ? false : check_host(log_rec);
    if (filtered_out()) return record_ignored;
    vouch_prefetched_names(!host_changed);

    month_totals_rec& m = month_totals;
    const int status = log_rec.status;
    const bool file = status == 200 || status == 206;
    const bool file200 = status == 200;
    const double bytes = double(log_rec.bytes);
    const uint64_t time = run_state.record_timestamp;
    char* url = log_rec.request;

    ++response_table[response_index(status)].count;

    const bool page = page_known >= 0 ? page_known != 0 : is_page(url);
    set_record_page(page ? 1 : 0);

    if (status == 200 || status == 206 || status == 304) {
        insert_failed(add_url(url, node_normal, 1, &m.total_urls, 0, 0, bytes), con_unode_error, url);
        insert_failed(add_user(log_rec.user, node_normal, 1, file, &m.total_users, 0, bytes, time), con_inode_error,
                      log_rec.user);
    }
    if (settings.TopReferrers != 0 && log_rec.referrer[0] != '\0')
        insert_failed(add_referrer(log_rec.referrer, node_normal, 1, &m.total_referrers), con_rnode_error,
                      log_rec.referrer);
    // The agent goes before the sites (the tables do not depend on each
    // other), so that the site nodes warmed up front have time to arrive.
    if (settings.TopAgents != 0 && log_rec.user_agent[0] != '\0')
        insert_failed(add_agent(log_rec.user_agent, node_normal, 1, &m.total_agents), con_anode_error,
                      log_rec.user_agent);
    insert_failed(add_site(log_rec.host, node_normal, 1, file, &m.cur_day_sites, 0, bytes, time, nullptr,
                           &daily_site_table),
                  con_hnode_daily_error, log_rec.host);
    insert_failed(
        add_site(log_rec.host, node_normal, 1, file, &m.total_sites, 0, bytes, time, nullptr, &site_table),
        con_hnode_monthly_error, log_rec.host);

    // The driver keeps day numbers outside 1..31 out; the arrays are guarded
    // all the same.
    const int d = m.day - 1, h = m.hour;
    const bool day_ok = d >= 0 && d < 31, hour_ok = h >= 0 && h < 24;
    ++m.total_hits;
    ++m.cur_hour_hits;
    m.total_bytes += bytes;
    if (day_ok) {
        ++m.daily_hits[d];
        m.daily_bytes[d] += bytes;
    }
    if (hour_ok) {
        ++m.hourly_hits[h];
        m.hourly_bytes[h] += bytes;
    }
    if (file200) {
        ++m.total_files;
        if (day_ok) ++m.daily_files[d];
        if (hour_ok) ++m.hourly_files[h];
    }
    if (page) {
        ++m.total_pages;
        if (day_ok) ++m.daily_pages[d];
        if (hour_ok) ++m.hourly_pages[h];
        if (settings.TopSearch != 0) {
            if (search_known < 0)
                extract_search_string(log_rec.search_words);
            else if (search_known > 0)
                count_search_string(log_rec.search_words);
        }
    }

    count_groups(file200, bytes, time);
    set_record_page(-1);
    return record_counted;
}
