// Fuzzes the history reader with arbitrary file contents. The window must
// stay 120 consecutive months, and a written window must read back into a
// file of the same bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "persist/history.h"
#include "run/settings.h"

namespace {

std::string hist_path, again_path;

std::string slurp(const std::string& path) {
    std::string s;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return s;
    char buf[8192];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    std::fclose(f);
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (hist_path.empty()) {
        std::string base = "/dev/shm/corvalist-history-fuzz-" + std::to_string(getpid());
        hist_path = base + ".hist";
        again_path = base + ".again";
        settings.Verbosity = 0;
        setenv("SOURCE_DATE_EPOCH", "1394014830", 1);
    }
    std::FILE* f = std::fopen(hist_path.c_str(), "wb");
    if (f == nullptr) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);

    clear_history();
    settings.HistoryName = hist_path.c_str();
    read_history();
    if (history[119].year == 0) return 0;
    for (int i = 1; i < history_months; ++i)
        if (history[i].year * 12 + history[i].month != history[i - 1].year * 12 + history[i - 1].month + 1)
            std::abort();

    settings.HistoryName = again_path.c_str();
    if (write_history() != history_ok) std::abort();
    std::string first = slurp(again_path);
    clear_history();
    read_history();
    if (write_history() != history_ok) std::abort();
    if (slurp(again_path) != first) std::abort();
    return 0;
}
