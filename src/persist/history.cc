#include "persist/history.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <unistd.h>

#include "lang/lang.h"
#include "persist/safe_file.h"
#include "persist/scan.h"
#include "run/clock.h"
#include "run/version.h"
#include "run/month.h"
#include "run/settings.h"

// The window is one fixed array; a forward move shifts it in place, and a
// move by the whole window or more simply labels it afresh.
hist_entry history[history_months];
bool history_saved_aside = false;

namespace {

constexpr int newest = history_months - 1;

// Months counted from year 0, so that two months compare and subtract as
// plain numbers.
int64_t month_number(int64_t year, int64_t month) { return year * 12 + (month - 1); }

void label(hist_entry& e, int64_t number) {
    e = hist_entry{};
    e.year = static_cast<int32_t>(number / 12);
    e.month = static_cast<int32_t>(number % 12 + 1);
}

// Labels the whole window to end at month number `last`, all counters 0.
void set_up_window(int64_t last) {
    for (int i = newest; i >= 0; --i) label(history[i], last - (newest - i));
}

// Moves the window forward by g months: surviving entries shift towards
// index 0 and the new newest entries are empty, labelled in sequence.
void move_window(int64_t g) {
    int64_t last = month_number(history[newest].year, history[newest].month) + g;
    if (g >= history_months) {
        set_up_window(last);
        return;
    }
    int keep = history_months - static_cast<int>(g);
    std::memmove(&history[0], &history[g], sizeof(hist_entry) * keep);
    for (int i = keep; i < history_months; ++i) label(history[i], last - (newest - i));
}

// Index of the entry of (year, month), setting up or moving the window as
// needed; -1 when the month is older than the window. With warn, a forward
// move of 3 months or more prints the gap warning and one of 12 or more marks
// the old file to be kept aside.
int find_entry(int year, int month, bool warn) {
    int64_t target = month_number(year, month);
    if (history[newest].year == 0) set_up_window(target);
    for (int i = newest; i >= 0; --i) {
        int64_t here = month_number(history[i].year, history[i].month);
        if (here == target) return i;
        if (here < target) {
            if (i != newest) return -1;
            int64_t g = target - here;
            if (warn && g >= 3 && settings.Verbosity != 0)
                std::fprintf(stderr, "Warning! %d month gap detected! (%d/%d to %d/%d)\n",
                             static_cast<int>(g > INT32_MAX ? INT32_MAX : g), history[newest].month,
                             history[newest].year, month, year);
            if (warn && g >= 12) history_saved_aside = true;
            move_window(g);
            return newest;
        }
    }
    return -1;
}

// Years the window accepts; later years would overflow the month arithmetic
// of a window that moves forward.
bool valid_month(int year, int month) {
    return month >= 1 && month <= 12 && year >= 1970 && year <= 9999;
}

// Keeps the file name as it is under saved as well: a hard link, so that the
// history never disappears from its name, even for a moment (a run killed
// between two renames would otherwise leave no history, and its rerun would
// start an empty window). Where the file system has no hard links the file is
// renamed instead. Returns false with errno set on failure.
bool keep_aside(const char* name, const char* saved) {
    if (unlink(saved) != 0 && errno != ENOENT) return false;
    if (link(name, saved) == 0) return true;
    if (errno == EPERM || errno == ENOTSUP || errno == EOPNOTSUPP || errno == EMLINK)
        return std::rename(name, saved) == 0;
    return false;
}

}  // namespace

void clear_history() {
    std::memset(history, 0, sizeof history);
    history_saved_aside = false;
}

int read_history() {
    const char* name = settings.HistoryName;
    std::FILE* f = name != nullptr ? std::fopen(name, "r") : nullptr;
    if (f == nullptr) {
        if (settings.Verbosity == 2) std::printf("%s\n", con_history_not_found);
        return history_missing;
    }
    if (settings.Verbosity == 2) std::printf("%s %s\n", con_reading_history, name);

    char line[4096];
    while (std::fgets(line, sizeof line, f) != nullptr) {
        if (line[0] == '#') continue;
        const char* p = line;
        int month = 0, year = 0;
        if (!scan_int(p, month) || !scan_int(p, year)) continue;
        if (!valid_month(year, month)) {
            if (settings.Verbosity != 0)
                std::fprintf(stderr, "%s (mth=%d)\n", con_bad_history_record, month);
            continue;
        }
        int i = find_entry(year, month, false);
        if (i < 0) continue;
        // Fields after month and year, in file order; a short line fills the
        // leading ones and leaves the rest as they were.
        hist_entry& e = history[i];
        scan_u64(p, e.hits) && scan_u64(p, e.files) && scan_u64(p, e.sites) &&
            scan_double(p, e.kbytes) && scan_int(p, e.first_day) && scan_int(p, e.last_day) &&
            scan_u64(p, e.pages) && scan_u64(p, e.visits);
    }
    std::fclose(f);
    return history_ok;
}

int update_history() {
    int year = month_totals.year, month = month_totals.month;
    if (!valid_month(year, month)) return history_dropped;
    int i = find_entry(year, month, true);
    if (i < 0) return history_dropped;
    hist_entry& e = history[i];
    e.year = year;
    e.month = month;
    e.hits = month_totals.total_hits;
    e.files = month_totals.total_files;
    e.sites = month_totals.total_sites;
    e.pages = month_totals.total_pages;
    e.visits = month_totals.total_visits;
    e.kbytes = month_totals.total_bytes / 1024;
    e.first_day = month_totals.first_day;
    e.last_day = month_totals.last_day;
    return history_ok;
}

int write_history() {
    const char* name = settings.HistoryName;
    if (name == nullptr) return history_write_error;
    char temp[4096];
    if (!temporary_name(name, temp, sizeof temp)) {
        if (settings.Verbosity != 0) std::fprintf(stderr, "%s %s.new\n", con_history_write_error, name);
        return history_write_error;
    }
    int code = safe_ok;
    std::FILE* f = open_temporary(temp, &code);
    if (f == nullptr) {
        if (settings.Verbosity != 0) {
            if (code == safe_symlink)
                std::fprintf(stderr, "%s %s (symlink)\n", con_file_open_error, temp);
            else
                std::fprintf(stderr, "%s %s\n", con_history_write_error, temp);
        }
        return code == safe_symlink ? history_symlink : history_write_error;
    }
    if (settings.Verbosity == 2) std::printf("%s\n", con_saving_history);

    std::time_t now = stamp_clock();
    std::tm local{};
    char when[64] = "";
    if (localtime_r(&now, &local) != nullptr) std::strftime(when, sizeof when, "%d/%b/%Y %H:%M:%S", &local);

    bool ok = std::fprintf(f, "# Corvalist V%s-%s History Data - %s (%d month)\n", version_text,
                           edition_text, when, history_months) >= 0;
    for (int i = newest; i >= 0 && ok; --i) {
        const hist_entry& e = history[i];
        ok = std::fprintf(f, "%d %d %llu %llu %llu %.0f %d %d %llu %llu\n", e.month, e.year,
                          static_cast<unsigned long long>(e.hits),
                          static_cast<unsigned long long>(e.files),
                          static_cast<unsigned long long>(e.sites), e.kbytes, e.first_day,
                          e.last_day, static_cast<unsigned long long>(e.pages),
                          static_cast<unsigned long long>(e.visits)) >= 0;
    }
    // A write that fails anywhere (full disk, quota, I/O error) leaves the old
    // history in place; the partial ".new" is removed.
    if (!finish_temporary(f, temp, ok)) {
        if (settings.Verbosity != 0) std::fprintf(stderr, "%s %s\n", con_history_write_error, temp);
        return history_write_error;
    }

    if (history_saved_aside) {
        char saved[4096];
        if (std::snprintf(saved, sizeof saved, "%s.sav", name) < static_cast<int>(sizeof saved) &&
            !keep_aside(name, saved) && errno != ENOENT && settings.Verbosity != 0)
            std::fprintf(stderr, "Failed renaming %s to %s: %s\n", name, saved, std::strerror(errno));
    }
    if (std::rename(temp, name) != 0) {
        if (settings.Verbosity != 0) std::fprintf(stderr, "Failed renaming %s to %s\n", temp, name);
        return history_rename_error;
    }
    // The new history is on stable storage, name and all, before anything
    // that relies on it (the state file) is put in place.
    if (!sync_directory_of(name)) return history_sync_error;
    return history_ok;
}
