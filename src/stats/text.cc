// Text functions of record processing. See stats/text.h.
#include "stats/text.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "input/log_rec.h"
#include "lang/lang.h"
#include "run/settings.h"
#include "stats/lists.h"
#include "stats/tables.h"

namespace {

int hex_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return 0;  // any other character counts 0 (and is still consumed)
}

inline bool control_byte(unsigned char c) { return c < 32 || c == 127; }

}  // namespace

// ------------------------------------------------------------------ unescape

void unescape(char* text) {
    if (text == nullptr) return;
    char* first = std::strchr(text, '%');  // most fields hold no escape at all
    if (first == nullptr) return;
    const char* r = first;
    char* w = first;
    while (*r != '\0') {
        if (r[0] == '%' && std::isxdigit(static_cast<unsigned char>(r[1]))) {
            int value = 16 * hex_value(static_cast<unsigned char>(r[1]));
            if (r[2] != '\0') {
                value += hex_value(static_cast<unsigned char>(r[2]));
                r += 3;
            } else {
                r += 2;  // the end of the text is never consumed
            }
            const auto byte = static_cast<unsigned char>(value);
            *w++ = control_byte(byte) ? '_' : static_cast<char>(byte);
        } else {
            *w++ = *r++;
        }
    }
    *w = '\0';
}

// -------------------------------------------------------------- address_kind

int address_kind(const char* text) {
    static constexpr char ipv6_chars[] = ":.abcdef0123456789";
    auto in_ipv6 = [](char c) { return c != '\0' && std::strchr(ipv6_chars, c) != nullptr; };
    if (std::strchr(text, ':') != nullptr) {
        if (!in_ipv6(text[0])) return address_malformed;
        bool dotted = false;
        for (const char* p = text; *p; ++p) {
            if (!in_ipv6(*p)) return address_malformed;
            if (*p == '.') dotted = true;
        }
        return dotted ? address_ipv6_dotted : address_ipv6;
    }
    if (text[0] == '\0') return address_malformed;
    if ((text[0] >= '0' && text[0] <= '9') || text[0] == '.') {
        int dots = 0;
        const char* p = text;
        for (; *p; ++p) {
            if (*p == '.')
                ++dots;
            else if (*p < '0' || *p > '9')
                break;
        }
        if (*p == '\0') return dots == 3 ? address_ipv4 : address_malformed;
    }
    return address_name;  // also "3com.example": digits first, then letters
}

// -------------------------------------------------------------- mangle_agent

// The agent is read from a copy and written to a work buffer, then put back
// cut to the field's limit; platform text is never looked for in the part of
// the field that the rewritten text already covers.
void mangle_agent() { mangle_agent(log_rec.user_agent); }

void mangle_agent(char* agent) {
    const int level = settings.MangleAgents;

    char src[sizeof(log_rec.user_agent)];
    const std::size_t n = strnlen(agent, agent_limit);
    std::memcpy(src, agent, n);
    src[n] = '\0';

    char out[2 * sizeof(log_rec.user_agent) + 8];
    std::size_t w = 0;
    auto put = [&](char c) {
        if (w < sizeof(out) - 1) out[w++] = c;
    };

    enum { form_compatible, form_opera, form_mozilla } form;
    const char* r = nullptr;  // reading position in src
    const char* compatible = std::strstr(src, "ompatible");
    const char* opera = std::strstr(src, "Opera");
    if (compatible != nullptr) {
        const char* semi = std::strchr(compatible + 9, ';');
        if (semi == nullptr || std::strcmp(semi + 1, ")\"") == 0) return;
        if (opera != nullptr) {
            for (r = opera; *r && *r != '.'; ++r) put(*r == '/' ? ' ' : *r);
        } else {
            r = semi + 1;
            while (*r == ' ') ++r;
            while (*r && *r != '.' && *r != ';') put(*r++);
        }
        form = form_compatible;
    } else if (opera != nullptr) {
        for (r = opera; *r && *r != ' ' && *r != '/';) put(*r++);
        for (; *r && *r != '.'; ++r) put(*r == '/' ? ' ' : *r);
        form = form_opera;
    } else if (const char* mozilla = std::strstr(src, "Mozilla")) {
        for (r = mozilla; *r && *r != ' ' && *r != '/';) put(*r++);
        if (*r) {
            put('/');
            ++r;
        }
        while (*r && *r != '.') put(*r++);
        form = form_mozilla;
    } else {
        return;
    }

    auto version_stop = [form](char c) {
        return c == '\0' || c == ' ' || c == '(' || (form == form_compatible && c == ';');
    };

    const char delimiter = *r;
    if (level <= 4 && delimiter != '\0') {
        if (delimiter == '.') {
            put('.');
            ++r;
            if (*r) put(*r++);
        }
        if (*r != '\0') {
            if (level <= 3 && *r >= '0' && *r <= '9') put(*r++);
            if (level <= 2)
                while (!version_stop(*r)) put(*r++);
            if (level <= 1) {
                if (form == form_compatible) {
                    if (const char* close = std::strchr(r, ')')) {
                        const char* from = r;
                        for (std::size_t i = std::size_t(close - src); i > w;) {
                            --i;
                            if (src[i] == '(' || src[i] == ';') {
                                from = src + i + 1;
                                break;
                            }
                        }
                        while (*from == ' ') ++from;
                        put(' ');
                        put('(');
                        for (; from < close && *from; ++from) put(*from);
                        put(')');
                    }
                } else if (const char* open = std::strchr(r, '(')) {
                    put(' ');
                    put('(');
                    for (const char* p = open + 1; *p && *p != ')' && *p != ';'; ++p) put(*p);
                    put(')');
                }
            }
        }
    }
    if (w > std::size_t(agent_limit)) w = agent_limit;
    std::memcpy(agent, out, w);
    agent[w] = '\0';
}

// ----------------------------------------------------- extract_search_string

bool search_string_of(const char* query, const char* referrer, char words[search_limit + 1]) {
    // No query, no key: the engine list need not be asked (most referrers).
    if (query == nullptr || query[0] == '\0') return false;
    const char* variable = group_match(settings.SearchEngine, referrer);
    if (variable == nullptr) return false;

    char key[80];
    std::snprintf(key, sizeof(key), "?%.78s", variable);
    const char* at = std::strstr(query, key);
    if (at == nullptr) {
        key[0] = '&';
        at = std::strstr(query, key);
        if (at == nullptr) return false;
    }
    const char* p = std::strchr(at, '=');
    if (p == nullptr) return false;
    ++p;

    std::size_t w = 0;
    for (; *p && *p != '&' && w < search_limit; ++p) {
        char c = *p;
        if (c == '"' || c == ',' || c == '?') continue;
        if (c == '+') c = ' ';
        if (c == ' ' && w > 0 && words[w - 1] == ' ') continue;
        if (settings.SearchCaseI) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        words[w++] = c;
    }
    words[w] = '\0';

    char* s = words;
    while (*s && std::isspace(static_cast<unsigned char>(*s))) ++s;
    if (*s == '\0') return false;
    std::size_t len = std::strlen(s);
    while (len > 0 && std::isspace(static_cast<unsigned char>(s[len - 1]))) s[--len] = '\0';
    for (char* q = s; *q; ++q)
        if (control_byte(static_cast<unsigned char>(*q))) *q = '_';
    if (s != words) std::memmove(words, s, len + 1);
    return true;
}

void count_search_string(char* words) {
    if (add_search(words, 1) != table_ok && settings.Verbosity != 0)
        std::fprintf(stderr, "%s %s\n", con_snode_error, words);
}

void extract_search_string(const char* query) {
    char words[search_limit + 1];
    if (search_string_of(query, log_rec.referrer, words)) count_search_string(words);
}

// ------------------------------------------------------ default search engines

namespace {

// Host fragments of the default engines, matched as substrings of the
// referrer (scheme and host lower-cased, query already cut). A fragment names
// the engine's own search host, with dots on the sides where a bare word
// would also hit unrelated hosts: ".ask.com" and ".mamma.com" keep out
// "flask.com" and "bigmamma.com", ".google." and ".yahoo." need the dot
// before the name that every national search host has ("www.google.de",
// "de.search.yahoo.com"); engines that serve many sites from one domain are
// named by their search host ("search.aol.", "search.lycos.", "search.msn.",
// "search.netscape."), so that their portals and mail do not count.
struct default_engine {
    const char* fragment;
    const char* variable;
};

constexpr default_engine default_engines[16] = {
    {".google.", "q="},                // Google
    {".yahoo.", "p="},                 // Yahoo
    {"altavista.", "q="},              // AltaVista
    {"search.aol.", "query="},         // AOL Search
    {".ask.com", "q="},                // Ask
    {".eureka.com", "q="},             // Eureka
    {"search.lycos.", "query="},       // Lycos
    {".hotbot.", "MT="},               // HotBot
    {"search.msn.", "q="},             // MSN
    {"infoseek.", "qt="},              // Infoseek ("infoseek.go.com" has no www)
    {"webcrawler.", "searchText="},    // WebCrawler
    {".excite.", "search="},           // Excite
    {"search.netscape.", "query="},    // Netscape
    {".mamma.com", "query="},          // Mamma
    {"alltheweb.", "q="},              // AllTheWeb
    {"northernlight.", "qr="},         // Northern Light
};

}  // namespace

int add_default_search_engines() {
    for (const default_engine& e : default_engines) {
        char line[list_text_size];
        std::snprintf(line, sizeof(line), "%s    %s", e.fragment, e.variable);
        if (append_glist(line, &settings.SearchEngine) != list_ok) return list_nomem;
    }
    return list_ok;
}
