// Fuzzes record processing: normalisation, the host check and counting into
// the tables. The first byte chooses the settings (bits 0-2 MangleAgents 0-7,
// bit 3 StripCGI off, bit 4 NormalizeURL off, bits 5-6 GroupDomains 0-3,
// bit 7 SearchCaseI off); the rest is one record per block of six lines:
// host, request, status, referrer, agent, user. Every record is counted at
// a time that goes forwards and backwards, so the visit logic runs both
// ways. After each record every field must be terminated within its slot,
// and the URL and referrer must keep their limits.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "input/log_rec.h"
#include "run/month.h"
#include "run/settings.h"
#include "stats/lists.h"
#include "stats/process.h"
#include "stats/tables.h"
#include "stats/text.h"

// The run driver's records and the resolver's cache, which this target does
// not link: no cache is ever open.
month_totals_rec month_totals;
run_state_rec run_state;
bool dns_cache_is_open() { return false; }
int lookup_dns_cache(char*) { return 4; }
bool is_numeric_address(const char*, unsigned char*, int*) { return false; }

namespace {

void check_slot(const char* slot, std::size_t size, std::size_t keep) {
    if (strnlen(slot, size) >= size || std::strlen(slot) > keep) std::abort();
}

// Copies the next line of [*p, end) into field (cut to its size).
void take_line(const char** p, const char* end, char* field, std::size_t size) {
    const char* nl = static_cast<const char*>(std::memchr(*p, '\n', std::size_t(end - *p)));
    const std::size_t len = nl ? std::size_t(nl - *p) : std::size_t(end - *p);
    const std::size_t n = len < size - 1 ? len : size - 1;
    std::memcpy(field, *p, n);
    field[n] = '\0';
    *p = nl ? nl + 1 : end;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    reset_settings();
    free_all_tables();
    const uint8_t mode = data[0];
    settings.Verbosity = 0;
    settings.MangleAgents = mode & 7;
    settings.StripCGI = !(mode & 8);
    settings.NormalizeURL = !(mode & 16);
    settings.GroupDomains = (mode >> 5) & 3;
    settings.SearchCaseI = !(mode & 128);
    append_nlist("htm*", &settings.PageType);
    append_nlist("index.", &settings.IndexAlias);
    append_glist("*.example  Example", &settings.GroupSite);
    append_glist("/  Root", &settings.GroupURL);
    add_default_search_engines();
    month_totals = month_totals_rec{};
    month_totals.day = 1;

    const char* p = reinterpret_cast<const char*>(data + 1);
    const char* end = reinterpret_cast<const char*>(data + size);
    uint64_t time = 1380000000;
    for (int record = 0; p < end && record < 64; ++record) {
        std::memset(&log_rec, 0, sizeof(log_rec));
        char status[16];
        take_line(&p, end, log_rec.host, sizeof log_rec.host);
        take_line(&p, end, log_rec.request, sizeof log_rec.request);
        take_line(&p, end, status, sizeof status);
        take_line(&p, end, log_rec.referrer, sizeof log_rec.referrer);
        take_line(&p, end, log_rec.user_agent, sizeof log_rec.user_agent);
        take_line(&p, end, log_rec.user, sizeof log_rec.user);
        log_rec.status = std::atoi(status);
        log_rec.bytes = uint64_t(record) * 100;
        time = record % 3 == 2 ? time - 100 : time + 1000;
        run_state.record_timestamp = time;
        ++run_state.records_read;
        month_totals.hour = record % 24;
        normalise_record();
        check_slot(log_rec.request, sizeof log_rec.request, unode_limit);
        check_slot(log_rec.referrer, sizeof log_rec.referrer, rnode_limit);
        check_slot(log_rec.user_agent, sizeof log_rec.user_agent, anode_limit);
        check_slot(log_rec.search_words, sizeof log_rec.search_words, search_limit);
        check_slot(log_rec.user, sizeof log_rec.user, user_limit);
        const int code = count_record();
        if (code != record_counted && code != record_ignored) std::abort();
        check_slot(log_rec.host, sizeof log_rec.host, hnode_limit);
    }
    close_visits(time + 5000);
    (void)sum_visits(&site_table);
    clear_table(&daily_site_table);
    return 0;
}
