#include "persist/state.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "lang/lang.h"
#include "persist/safe_file.h"
#include "persist/scan.h"
#include "run/version.h"
#include "run/month.h"
#include "run/settings.h"
#include "stats/tables.h"

namespace {

using ull = unsigned long long;

// ---------------------------------------------------------------- writing

// Formats one record (its name line and number lines) into a 4096-byte
// buffer and writes it; any failure sticks in ok.
struct record_writer {
    std::FILE* f;
    bool ok = true;

    void put(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        if (!ok) return;
        char buffer[4096];
        va_list args;
        va_start(args, format);
        int n = std::vsnprintf(buffer, sizeof buffer, format, args);
        va_end(args);
        if (n < 0 || std::fputs(buffer, f) == EOF) ok = false;
    }
};

const char* page_or_dash(const char* page) { return page == nullptr || *page == '\0' ? "-" : page; }

template <class Node, class Record>
void write_section(record_writer& w, const char* header, const char* end_line,
                   const node_table<Node>& table, bool with_records, Record record) {
    w.put("%s", header);
    if (with_records)
        for (int b = 0; b < table_size && w.ok; ++b)
            for (const Node* n = table.buckets[b]; n != nullptr && w.ok; n = n->next) record(*n);
    w.put("%s", end_line);
}

void write_site_section(record_writer& w, const char* header, const char* end_line,
                        const site_table_t& table) {
    write_section(w, header, end_line, table, true, [&](const hnode& n) {
        w.put("%s\n%d %llu %llu %.0f %llu %llu\n%s\n", n.name, n.kind, ull(n.hits), ull(n.files),
              n.bytes, ull(n.visits), ull(n.last_time), page_or_dash(n.last_page));
    });
}

void write_state(record_writer& w) {
    const month_totals_rec& m = month_totals;
    w.put("# Corvalist V%s-%s Incremental Data - %02d/%02d/%04d %02d:%02d:%02d\n", version_text,
          edition_text, m.month, m.day, m.year, m.hour, m.minute, m.second);
    w.put("%d %d %d %d %d %d\n", m.year, m.month, m.day, m.hour, m.minute, m.second);
    w.put("%llu %llu %llu %llu %llu %llu %.0f %llu %llu %llu\n", ull(m.total_hits), ull(m.total_files),
          ull(m.total_sites), ull(m.total_urls), ull(m.total_referrers), ull(m.total_agents),
          m.total_bytes, ull(m.total_pages), ull(m.total_visits), ull(m.total_users));
    w.put("%llu %llu %llu %d %d\n", ull(m.cur_day_sites), ull(m.cur_hour_hits), ull(m.max_hourly_hits),
          m.first_day, m.last_day);
    for (int d = 0; d < 31; ++d)
        w.put("%llu %llu %.0f %llu %llu %llu\n", ull(m.daily_hits[d]), ull(m.daily_files[d]),
              m.daily_bytes[d], ull(m.daily_sites[d]), ull(m.daily_pages[d]), ull(m.daily_visits[d]));
    for (int h = 0; h < 24; ++h)
        w.put("%llu %llu %.0f %llu\n", ull(m.hourly_hits[h]), ull(m.hourly_files[h]), m.hourly_bytes[h],
              ull(m.hourly_pages[h]));
    for (std::size_t r = 0; r < response_rows; ++r) w.put("%llu\n", ull(response_table[r].count));

    write_section(w, "# -urls- \n", "# End Of Table - urls\n", url_table, true, [&](const unode& n) {
        w.put("%s\n%d %llu %llu %.0f %llu %llu\n", n.name, n.kind, ull(n.hits), 0ULL, n.bytes,
              ull(n.entries), ull(n.exits));
    });
    write_site_section(w, "# -sites- (monthly)\n", "# End Of Table - sites (monthly)\n", site_table);
    write_site_section(w, "# -sites- (daily)\n", "# End Of Table - sites (daily)\n", daily_site_table);
    write_section(w, "# -referrers- \n", "# End Of Table - referrers\n", referrer_table,
                  m.total_referrers != 0,
                  [&](const rnode& n) { w.put("%s\n%d %llu\n", n.name, n.kind, ull(n.hits)); });
    write_section(w, "# -agents- \n", "# End Of Table - agents\n", agent_table, m.total_agents != 0,
                  [&](const anode& n) { w.put("%s\n%d %llu\n", n.name, n.kind, ull(n.hits)); });
    write_section(w, "# -search strings- \n", "# End Of Table - search strings\n", search_table, true,
                  [&](const snode& n) { w.put("%s\n%llu\n", n.name, ull(n.hits)); });
    write_section(w, "# -usernames- \n", "# End Of Table - usernames\n", user_table, true,
                  [&](const inode& n) {
                      w.put("%s\n%d %llu %llu %.0f %llu %llu\n", n.name, n.kind, ull(n.hits),
                            ull(n.files), n.bytes, ull(n.visits), ull(n.last_time));
                  });
}

// ---------------------------------------------------------------- reading

struct line_reader {
    std::FILE* f;
    char text[4096];
    bool pending = false;  // text holds a line handed back by give_back
    bool next() {
        if (pending) {
            pending = false;
            return true;
        }
        return std::fgets(text, sizeof text, f) != nullptr;
    }
    // The line in text is read again by the next call of next.
    void give_back() { pending = true; }
    bool begins(const char* prefix) const { return std::strncmp(text, prefix, std::strlen(prefix)) == 0; }
};

// The line without its newline, cut to limit characters.
void take_name(const char* line, char* out, int limit) {
    std::size_t n = std::strcspn(line, "\n");
    if (n > static_cast<std::size_t>(limit)) n = static_cast<std::size_t>(limit);
    std::memcpy(out, line, n);
    out[n] = '\0';
}

// Kinds other than the three known ones (a hand-edited file) are read as
// normal entries, so that no later code meets an unknown kind.
int checked_kind(int kind) { return kind == node_hidden || kind == node_group ? kind : node_normal; }

// One table section of the state file.
enum section_id : int { sec_urls, sec_sites, sec_daily_sites, sec_referrers, sec_agents, sec_search, sec_users };

struct section_row {
    section_id id;
    const char* header_prefix;  // what the header line must begin with
    int error;                  // answer when the header or a record is bad
    int name_limit;
    const char* const* add_error;  // catalogue message when a node cannot be added
};

const section_row sections[] = {
    {sec_urls, "# -urls- ", restore_bad_urls, unode_limit, &con_unode_error},
    {sec_sites, "# -sites- ", restore_bad_sites, hnode_limit, &con_hnode_monthly_error},
    {sec_daily_sites, "# -sites- ", restore_bad_daily_sites, hnode_limit, &con_hnode_daily_error},
    {sec_referrers, "# -referrers- ", restore_bad_referrers, rnode_limit, &con_rnode_error},
    {sec_agents, "# -agents- ", restore_bad_agents, anode_limit, &con_anode_error},
    {sec_search, "# -search string", restore_bad_search, snode_limit, &con_snode_error},
    {sec_users, "# -usernam", restore_bad_users, inode_limit, &con_inode_error},
};

// Reads the records of one section up to its end line or the end of the
// file; the header has been read. Returns restore_ok or the section's error.
int read_section(line_reader& in, const section_row& s) {
    char name[4096];
    char page[4096];
    while (in.next()) {
        // Names come from the log and may look like an end line ("# End Of
        // Table ..." as a referrer or agent); such a name is told apart from
        // the real end line by the number line that follows it.
        bool end_line = in.begins("# End Of Table ");
        take_name(in.text, name, s.name_limit);
        if (!in.next()) return end_line ? restore_ok : s.error;
        bool numbers = std::isdigit(static_cast<unsigned char>(in.text[0])) != 0;
        if (end_line && !numbers) {
            in.give_back();
            return restore_ok;
        }
        if (!numbers) return s.error;

        const char* p = in.text;
        int kind = node_normal;
        uint64_t hits = 0, files = 0, visits = 0, last_time = 0, entries = 0, exits = 0, ignored = 0;
        double bytes = 0;
        uint64_t scratch = 0;  // the month's counts come from the totals line
        int code = table_ok;
        switch (s.id) {
        case sec_urls:
            scan_int(p, kind) && scan_u64(p, hits) && scan_u64(p, ignored) && scan_double(p, bytes) &&
                scan_u64(p, entries) && scan_u64(p, exits);
            code = add_url(name, checked_kind(kind), hits, &scratch, entries, exits, bytes);
            break;
        case sec_sites:
        case sec_daily_sites: {
            scan_int(p, kind) && scan_u64(p, hits) && scan_u64(p, files) && scan_double(p, bytes) &&
                scan_u64(p, visits) && scan_u64(p, last_time);
            if (!in.next()) return s.error;
            take_name(in.text, page, unode_limit);
            const char* last_page = std::strcmp(page, "-") == 0 ? empty_name : find_url_name(page);
            code = add_site(name, checked_kind(kind), hits, files, &scratch, visits + 1, bytes, last_time,
                            last_page, s.id == sec_sites ? &site_table : &daily_site_table);
            break;
        }
        case sec_referrers:
            scan_int(p, kind) && scan_u64(p, hits);
            code = add_referrer(name, checked_kind(kind), hits, &scratch);
            break;
        case sec_agents:
            scan_int(p, kind) && scan_u64(p, hits);
            code = add_agent(name, checked_kind(kind), hits, &scratch);
            break;
        case sec_search:
            scan_u64(p, hits);
            code = add_search(name, hits);
            break;
        case sec_users:
            scan_int(p, kind) && scan_u64(p, hits) && scan_u64(p, files) && scan_double(p, bytes) &&
                scan_u64(p, visits) && scan_u64(p, last_time);
            code = add_user(name, checked_kind(kind), hits, files, &scratch, visits + 1, bytes, last_time);
            break;
        }
        if (code != table_ok && settings.Verbosity != 0) std::fprintf(stderr, "%s %s\n", *s.add_error, name);
    }
    return restore_ok;
}

bool position_valid(const month_totals_rec& m) {
    return m.year >= 1970 && m.year <= 9999 && m.month >= 1 && m.month <= 12 && m.day >= 1 &&
           m.day <= 31 && m.hour >= 0 && m.hour <= 23 && m.minute >= 0 && m.minute <= 59 &&
           m.second >= 0 && m.second <= 60;
}

int read_state(line_reader& in) {
    if (!in.next()) return restore_no_header;
    char current[32];
    std::snprintf(current, sizeof current, "# Corvalist V%s", version_text);
    // The comparison ends at the first digit after the point: every 2.2x
    // file is accepted, and of older ones only 2.01 edition 1.
    if (std::strncmp(in.text, current, 16) != 0 && std::strncmp(in.text, "# Corvalist V2.01-1", 19) != 0)
        return restore_bad_version;

    month_totals_rec& m = month_totals;
    const char* p = nullptr;

    // A position or day line that does not hold a usable date is treated as
    // missing: the day and hour fields index the month's arrays later.
    if (!in.next()) return restore_no_position;
    p = in.text;
    scan_int(p, m.year) && scan_int(p, m.month) && scan_int(p, m.day) && scan_int(p, m.hour) &&
        scan_int(p, m.minute) && scan_int(p, m.second);
    if (!position_valid(m)) return restore_no_position;
    m.last_timestamp = static_cast<uint64_t>((day_number(m.year, m.month, m.day) - 719534) * 86400 +
                                             m.hour * 3600 + m.minute * 60 + m.second);

    if (!in.next()) return restore_no_totals;
    p = in.text;
    scan_u64(p, m.total_hits) && scan_u64(p, m.total_files) && scan_u64(p, m.total_sites) &&
        scan_u64(p, m.total_urls) && scan_u64(p, m.total_referrers) && scan_u64(p, m.total_agents) &&
        scan_double(p, m.total_bytes) && scan_u64(p, m.total_pages) && scan_u64(p, m.total_visits) &&
        scan_u64(p, m.total_users);

    if (!in.next()) return restore_no_day_hour;
    p = in.text;
    scan_u64(p, m.cur_day_sites) && scan_u64(p, m.cur_hour_hits) && scan_u64(p, m.max_hourly_hits) &&
        scan_int(p, m.first_day) && scan_int(p, m.last_day);
    if (m.first_day < 1 || m.first_day > 31 || m.last_day < 1 || m.last_day > 31) return restore_no_day_hour;

    for (int d = 0; d < 31; ++d) {
        if (!in.next()) return restore_no_daily;
        p = in.text;
        scan_u64(p, m.daily_hits[d]) && scan_u64(p, m.daily_files[d]) && scan_double(p, m.daily_bytes[d]) &&
            scan_u64(p, m.daily_sites[d]) && scan_u64(p, m.daily_pages[d]) && scan_u64(p, m.daily_visits[d]);
    }
    for (int h = 0; h < 24; ++h) {
        if (!in.next()) return restore_no_hourly;
        p = in.text;
        scan_u64(p, m.hourly_hits[h]) && scan_u64(p, m.hourly_files[h]) && scan_double(p, m.hourly_bytes[h]) &&
            scan_u64(p, m.hourly_pages[h]);
    }
    bool url_header_read = false;
    for (std::size_t r = 0; r < response_rows; ++r) {
        if (!in.next()) return restore_no_response;
        // Files of the version with 40 response codes go straight on to the
        // URL section after the 40th count.
        if (r == response_rows - 1 && in.begins(sections[0].header_prefix)) {
            response_table[r].count = 0;
            url_header_read = true;
            break;
        }
        p = in.text;
        scan_u64(p, response_table[r].count);
    }
    if (!url_header_read && (!in.next() || !in.begins(sections[0].header_prefix))) return sections[0].error;

    for (std::size_t i = 0; i < sizeof sections / sizeof sections[0]; ++i) {
        if (i > 0 && (!in.next() || !in.begins(sections[i].header_prefix))) return sections[i].error;
        int code = read_section(in, sections[i]);
        if (code != restore_ok) return code;
    }
    return restore_ok;
}

}  // namespace

int prepare_state() {
    const char* name = settings.IncrementalName;
    char temp[4096];
    if (name == nullptr || !temporary_name(name, temp, sizeof temp)) return state_failed;
    int code = safe_ok;
    std::FILE* f = open_temporary(temp, &code);
    if (f == nullptr) {
        if (code != safe_symlink) return state_failed;
        if (settings.Verbosity != 0) std::fprintf(stderr, "%s %s (symlink)\n", con_file_open_error, temp);
        return state_symlink;
    }
    const month_totals_rec& m = month_totals;
    if (settings.Verbosity == 2)
        std::printf("%s [%02d/%02d/%04d %02d:%02d:%02d]\n", con_saving_state, m.month, m.day, m.year, m.hour,
                    m.minute, m.second);
    record_writer w{f};
    write_state(w);
    // A partial file is never renamed over the state file.
    if (!finish_temporary(f, temp, w.ok)) return state_failed;
    return state_ok;
}

int commit_state() {
    const char* name = settings.IncrementalName;
    char temp[4096];
    if (name == nullptr || !temporary_name(name, temp, sizeof temp)) return state_failed;
    if (std::rename(temp, name) != 0) {
        if (settings.Verbosity != 0) std::fprintf(stderr, "Failed renaming %s to %s\n", temp, name);
        unlink(temp);
        return state_failed;
    }
    return sync_directory_of(name) ? state_ok : state_failed;
}

void discard_state() {
    const char* name = settings.IncrementalName;
    char temp[4096];
    if (name != nullptr && temporary_name(name, temp, sizeof temp)) unlink(temp);
}

int save_state() {
    const int code = prepare_state();
    return code == state_ok ? commit_state() : code;
}

int restore_state() {
    if (settings.IgnoreState) return restore_ok;
    const char* name = settings.IncrementalName;
    std::FILE* f = name != nullptr ? std::fopen(name, "r") : nullptr;
    if (f == nullptr) {
        if (settings.Verbosity == 2) std::printf("%s\n", con_state_not_found);
        return restore_ok;
    }
    if (settings.Verbosity == 2) std::printf("%s %s\n", con_reading_state, name);
    line_reader in{f, {}, false};
    int code = read_state(in);
    std::fclose(f);
    if (code == restore_ok) run_state.resume_check = true;
    return code;
}
