// Fuzzes the configuration reader with arbitrary file contents, and the group
// splitter and wildcard matcher with arbitrary texts.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "run/config.h"
#include "run/settings.h"
#include "stats/lists.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static std::string path = [] {
        char name[] = "/tmp/corvalist-config-fuzz-XXXXXX";
        const int fd = mkstemp(name);
        if (fd >= 0) close(fd);
        return std::string(name);
    }();
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);

    reset_settings();
    settings.Verbosity = 0;
    std::FILE* saved = stdout;
    stdout = std::fopen("/dev/null", "w");  // invalid-keyword lines
    read_config(path.c_str());
    std::fclose(stdout);
    stdout = saved;
    for (const char* c : {settings.ColorHit, settings.PieColor4})
        if (std::strlen(c) > 7 || c[0] != '#') std::abort();

    // First half a pattern (and a group line), second half a name.
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string pattern = text.substr(0, size / 2).c_str();
    const std::string name = text.substr(size / 2).c_str();
    nlist* names = nullptr;
    append_nlist(pattern.c_str(), &names);
    append_glist(pattern.c_str(), &settings.GroupURL);
    list_match(names, name.c_str());
    group_match(settings.GroupURL, name.c_str());
    for (const glist* g = settings.GroupURL; g != nullptr; g = g->next)
        if (std::strlen(g->pattern) > 131 || std::strlen(g->label) > 131) std::abort();
    nlist* page_types = settings.PageType;
    settings.PageType = names;
    is_page(name.c_str());
    settings.PageType = page_types;
    std::free(names);
    return 0;
}
