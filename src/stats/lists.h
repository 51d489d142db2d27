// Pattern lists: the ordered name lists (nlist) and pattern-plus-label lists
// (glist) that configuration fills, the one wildcard matcher every pattern
// test uses, and the page test built on OmitPage, PagePrefix and PageType.
//
// Lists are chains of heap nodes in append order; an empty list is nullptr.
// Nodes are owned by the list and live for the whole run.
#pragma once

#include <cstddef>

constexpr std::size_t list_text_size = 132;  // at most 131 characters and a zero

// HideURL: "/cgi-bin/*" -> "*.gif" -> nullptr
struct nlist {
    char pattern[list_text_size];
    nlist* next;
};

// GroupSite: {"*.example.com", "Example"} -> nullptr
struct glist {
    char pattern[list_text_size];
    char label[list_text_size];
    glist* next;
};

static_assert(sizeof(nlist::pattern) == 132 && sizeof(glist::label) == 132);

enum list_code : int { list_ok = 0, list_nomem = 1 };

// Appends text at the end of *head. A text longer than 131 characters is cut
// to 131, with "[new_nlist] Warning: String exceeds storage size" on standard
// error while Verbosity is not 0.
// Returns list_ok, or list_nomem when no node could be allocated (list unchanged).
int append_nlist(const char* text, nlist** head);

// Splits line (taken up to 131 characters) into pattern and label and appends
// one node at the end of *head:
//   'a b' label   -> pattern "a b", label "label" (single or double quotes; no
//                    closing quote: pattern and label are the text after the quote)
//   finder  q=    -> pattern "finder", label "q=" (blanks inside the label kept)
//   word          -> pattern and label "word"
// Returns list_ok or list_nomem (list unchanged).
int append_glist(const char* line, glist** head);

// The wildcard matcher, byte for byte and case-sensitive:
//  - a leading "*" compares backwards from the ends: the name matches when the
//    scan reaches the leading "*" or meets another "*", and fails when it
//    reaches the name's first character, which is never compared ("*.gif"
//    matches "a.gif" but not ".gif"; "*" and "*x*" match the empty name);
//  - otherwise a trailing "*" is a prefix test ("abc*" matches "abc", not "ab");
//  - otherwise the pattern must occur in the name ("*" inside is a character);
//  - an empty pattern matches every name.
// Returns the first node of list, in append order, whose pattern matches name,
// or nullptr. The node belongs to the list.
const nlist* list_match(const nlist* list, const char* name);

// The same test over a group list. Returns the label of the first matching
// node (owned by the list), or nullptr.
const char* group_match(const glist* list, const char* name);

// The page test for a normalised URL: never when it matches OmitPage; always
// when it has no "." after its first character or ends in "/", or when it
// begins with a PagePrefix entry (plain prefix, no wildcards); otherwise when
// the text after its last "." matches PageType.
bool is_page(const char* url);
