// Pattern lists and the one wildcard matcher.
#include "stats/lists.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lang/lang.h"
#include "run/settings.h"

namespace {

constexpr std::size_t list_text_limit = list_text_size - 1;  // 131 characters

// Copies at most limit bytes of [text, text + n) into a zero-terminated field.
void copy_cut(char* field, const char* text, std::size_t n, std::size_t limit = list_text_limit) {
    if (n > limit) n = limit;
    std::memcpy(field, text, n);
    field[n] = '\0';
}

bool is_blank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

template <typename Node>
void link_last(Node* node, Node** head) {
    node->next = nullptr;
    while (*head != nullptr) head = &(*head)->next;
    *head = node;
}

// One pattern against one name; the rules are described in lists.h.
// One pattern against a name of known length s.
bool pattern_matches_n(const char* pattern, const char* name, std::size_t s) {
    const std::size_t p = std::strlen(pattern);
    if (p == 0) return true;
    if (pattern[0] == '*') {
        // Backward scan from both ends: the name's first character is never
        // compared, so "*.gif" needs at least one character before ".gif".
        for (std::size_t k = 1;; ++k) {
            if (k == p) return true;
            if (k == s) return false;
            if (pattern[p - k] == '*') return true;
            // An empty name has no character to compare against.
            if (s == 0 || pattern[p - k] != name[s - k]) return false;
        }
    }
    if (pattern[p - 1] == '*') {
        for (std::size_t i = 0;; ++i) {
            if (i == s) return pattern[i] == '*';
            if (pattern[i] == '*') return true;
            if (pattern[i] != name[i]) return false;
        }
    }
    return std::strstr(name, pattern) != nullptr;
}

bool pattern_matches(const char* pattern, const char* name) {
    if (name == nullptr) name = "";
    return pattern_matches_n(pattern, name, std::strlen(name));
}

}  // namespace

int append_nlist(const char* text, nlist** head) {
    if (text == nullptr) text = "";
    const std::size_t n = std::strlen(text);
    // Command-line values reach here uncut; say so whenever one loses characters.
    if (n > list_text_limit && settings.Verbosity != 0)
        std::fprintf(stderr, "[new_nlist] %s\n", con_string_too_long);
    auto* node = static_cast<nlist*>(std::malloc(sizeof(nlist)));
    if (node == nullptr) return list_nomem;
    copy_cut(node->pattern, text, n);
    link_last(node, head);
    return list_ok;
}

int append_glist(const char* line, glist** head) {
    if (line == nullptr) line = "";
    char work[list_text_size];
    copy_cut(work, line, std::strlen(line));

    const char* pattern = work;
    std::size_t pattern_len = 0;
    const char* rest = nullptr;  // where the label starts, before blanks are skipped
    if (work[0] == '\'' || work[0] == '"') {
        pattern = work + 1;
        const char* close = std::strchr(pattern, work[0]);
        if (close == nullptr) {
            pattern_len = std::strlen(pattern);  // unclosed: pattern and label alike
        } else {
            pattern_len = static_cast<std::size_t>(close - pattern);
            rest = close + 1;
        }
    } else {
        while (work[pattern_len] != '\0' && !is_blank(work[pattern_len])) ++pattern_len;
        if (work[pattern_len] != '\0') rest = work + pattern_len;
    }
    const char* label = pattern;
    std::size_t label_len = pattern_len;
    if (rest != nullptr) {
        while (*rest != '\0' && is_blank(*rest)) ++rest;
        if (*rest != '\0') {
            label = rest;
            label_len = std::strlen(rest);
        }
    }

    auto* node = static_cast<glist*>(std::malloc(sizeof(glist)));
    if (node == nullptr) return list_nomem;
    copy_cut(node->pattern, pattern, pattern_len);
    copy_cut(node->label, label, label_len);
    link_last(node, head);
    return list_ok;
}

const nlist* list_match(const nlist* list, const char* name) {
    for (; list != nullptr; list = list->next)
        if (pattern_matches(list->pattern, name)) return list;
    return nullptr;
}

const char* group_match(const glist* list, const char* name) {
    for (; list != nullptr; list = list->next)
        if (pattern_matches(list->pattern, name)) return list->label;
    return nullptr;
}

bool is_page(const char* url) {
    if (url == nullptr) url = "";
    if (list_match(settings.OmitPage, url) != nullptr) return false;
    const std::size_t n = std::strlen(url);
    if (n == 0 || url[n - 1] == '/') return true;
    // The last dot after the first character: the URL is measured once and
    // the extension is matched with its length known.
    const auto* dot = static_cast<const char*>(memrchr(url + 1, '.', n - 1));
    if (dot == nullptr) return true;
    for (const nlist* prefix = settings.PagePrefix; prefix != nullptr; prefix = prefix->next)
        if (std::strncmp(url, prefix->pattern, std::strlen(prefix->pattern)) == 0) return true;
    const char* ext = dot + 1;
    const std::size_t ext_len = static_cast<std::size_t>(url + n - ext);
    for (const nlist* type = settings.PageType; type != nullptr; type = type->next)
        if (pattern_matches_n(type->pattern, ext, ext_len)) return true;
    return false;
}
