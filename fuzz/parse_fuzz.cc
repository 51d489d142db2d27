// Fuzzes the record parsers of all four log types. The first byte chooses
// the type (bits 0-1) and the proxy URL trimming (bits 2-3); the rest is cut
// into lines at newlines, each at most 4095 characters, parsed one after the
// other (so W3C directives carry over to later lines). Each line sits in a heap block of
// exactly its size, so reading past its end is caught. After every parse the
// record's text fields must be terminated within their slots and hold no
// newline. For the common/combined type every line is also read by the
// single pass, which must leave the line whole and, when it takes the line,
// give the very record the general parser gives.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "input/parse.h"
#include "run/settings.h"

namespace {

void check_slot(const char* slot, std::size_t size) {
    const std::size_t n = strnlen(slot, size);
    if (n >= size || std::memchr(slot, '\n', n) != nullptr) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    reset_settings();
    reset_w3c_columns();
    const uint8_t mode = data[0];
    settings.LogType = static_cast<log_type>(mode & 3);
    settings.TrimSquidURL = (mode >> 2) & 3;
    // Quiet: the warnings would bury the fuzzer's own reports on stderr.
    settings.Verbosity = 0;

    const char* p = reinterpret_cast<const char*>(data + 1);
    const char* end = reinterpret_cast<const char*>(data + size);
    while (p < end) {
        const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
        std::size_t len = nl != nullptr ? static_cast<std::size_t>(nl - p) + 1 : static_cast<std::size_t>(end - p);
        if (len > 4095) len = 4095;
        char* line = static_cast<char*>(std::malloc(len + 1));
        std::memcpy(line, p, len);
        line[len] = '\0';
        if (settings.LogType == log_clf) {
            static log_record single, general;
            std::memset(&single, 0, sizeof single);
            std::memset(&general, 0, sizeof general);
            char* copy = static_cast<char*>(std::malloc(len + 1));
            std::memcpy(copy, line, len + 1);
            const bool took = parse_clf_plain(copy, len, single);
            if (std::memcmp(copy, line, len + 1) != 0) std::abort();
            const int general_code = parse_clf(copy, len, general);
            if (took && (general_code != record_good || std::memcmp(&single, &general, sizeof single) != 0))
                std::abort();
            std::free(copy);
        }
        const int code = parse_record(line);
        if (code != record_good && code != record_bad) std::abort();
        check_slot(log_rec.host, sizeof log_rec.host);
        check_slot(log_rec.date_text, sizeof log_rec.date_text);
        check_slot(log_rec.request, sizeof log_rec.request);
        check_slot(log_rec.referrer, sizeof log_rec.referrer);
        check_slot(log_rec.user_agent, sizeof log_rec.user_agent);
        check_slot(log_rec.search_words, sizeof log_rec.search_words);
        check_slot(log_rec.user, sizeof log_rec.user);
        std::free(line);
        p += len;
    }
    return 0;
}
