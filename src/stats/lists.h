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

// Appends text (cut to 131 characters) at the end of *head.
// Returns list_ok, or list_nomem when no node could be allocated (list unchanged).
int append_nlist(const char* text, nlist** head);

// Splits line into pattern and label and appends one node at the end of *head.
// Returns list_ok or list_nomem.
int append_glist(const char* line, glist** head);

// The wildcard matcher: a leading "*" is a suffix test, a trailing "*" a prefix
// test, otherwise a substring test; case-sensitive byte comparison.
// Returns the first node of list whose pattern matches name, or nullptr.
const nlist* list_match(const nlist* list, const char* name);

// Returns the label of the first node of list whose pattern matches name, or nullptr.
const char* group_match(const glist* list, const char* name);

// The page test for a normalised URL: OmitPage never, PagePrefix always,
// otherwise PageType against the text after the last ".".
bool is_page(const char* url);
