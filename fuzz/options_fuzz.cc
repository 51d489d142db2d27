// Fuzzes the command line: the input, cut at its zero bytes, is the argument
// vector after the program's name. The options that end the run (-h, -V,
// --help, --version, an unknown long option) call exit, which this harness
// takes over so that the run comes back here instead. Also converts the
// input as KOI8-U text to UTF-8 into buffers of every small size.
#include <dlfcn.h>

#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lang/koi8u.h"
#include "run/config.h"
#include "run/settings.h"

namespace {
std::jmp_buf back;
bool in_options = false;
}  // namespace

// Every exit of the program goes through here: inside process_options it
// returns to the harness, anywhere else (the fuzzer's own end) it is the C
// library's exit.
extern "C" void exit(int status) noexcept {
    if (in_options) {
        in_options = false;
        std::longjmp(back, 1);
    }
    using exit_function = void (*)(int);
    static const auto real = reinterpret_cast<exit_function>(dlsym(RTLD_NEXT, "exit"));
    real(status);
    __builtin_unreachable();
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static std::FILE* null = std::fopen("/dev/null", "w");
    const std::string text(reinterpret_cast<const char*>(data), size);
    // -c reads the file it names: none that could block (a terminal, a pipe).
    for (const char* place : {"/dev", "/proc", "/sys", "/run"})
        if (text.find(place) != std::string::npos) return 0;
    std::vector<std::string> args{"corvalist"};
    for (std::size_t at = 0; at <= text.size() && args.size() < 64;) {
        std::size_t end = text.find('\0', at);
        if (end == std::string::npos) end = text.size();
        args.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    reset_settings();
    settings.Verbosity = 0;  // configuration files named by -c stay quiet
    std::FILE* saved_out = stdout;
    std::FILE* saved_err = stderr;
    stdout = null;
    stderr = null;
    if (setjmp(back) == 0) {
        in_options = true;
        const int first = process_options(static_cast<int>(args.size()), argv.data());
        in_options = false;
        if (first < 1 || first > static_cast<int>(args.size())) std::abort();
    }
    stdout = saved_out;
    stderr = saved_err;
    reset_settings();

    // KOI8-U to UTF-8: always terminated, never past the buffer, whole
    // characters only.
    const std::string koi8 = text.c_str();
    for (std::size_t room = 0; room < 12; ++room) {
        char out[16];
        std::memset(out, 0x55, sizeof out);
        const std::size_t n = koi8u_to_utf8(koi8.c_str(), out, room);
        if (room == 0) {
            if (n != 0 || out[0] != 0x55) std::abort();
            continue;
        }
        if (n >= room || out[n] != '\0' || out[room] != 0x55 || std::strlen(out) != n) std::abort();
    }
    return 0;
}
