// Fuzzes the state file reader with arbitrary file contents. Whatever a
// restore accepts must save and restore again without error and with the
// same totals.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "lang/lang.h"
#include "persist/state.h"
#include "run/month.h"
#include "run/settings.h"
#include "stats/tables.h"

namespace {

std::string state_path, saved_path;

void clean() {
    free_all_tables();
    month_totals = month_totals_rec{};
    run_state = run_state_rec{};
    reset_response_counts();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (state_path.empty()) {
        std::string base = "/dev/shm/corvalist-state-fuzz-" + std::to_string(getpid());
        state_path = base + ".current";
        saved_path = base + ".again";
        settings.Verbosity = 0;
    }
    std::FILE* f = std::fopen(state_path.c_str(), "wb");
    if (f == nullptr) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);

    clean();
    settings.IncrementalName = state_path.c_str();
    if (restore_state() == restore_ok && run_state.resume_check) {
        month_totals_rec first = month_totals;
        settings.IncrementalName = saved_path.c_str();
        if (save_state() != state_ok) std::abort();
        clean();
        if (restore_state() != restore_ok) std::abort();
        if (month_totals.total_hits != first.total_hits || month_totals.last_timestamp != first.last_timestamp ||
            month_totals.daily_hits[30] != first.daily_hits[30] || month_totals.last_day != first.last_day)
            std::abort();
    }
    clean();
    return 0;
}
