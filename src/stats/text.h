// Text functions of record processing: "%" decoding, the address test, the
// reduction of user agents to a browser name and version, and the search
// words a visitor typed into a search engine, with the default engine list.
//
// Everything works in place on NUL-terminated buffers and allocates nothing,
// except the default engine list (a settings list, alive for the whole run).
// Needs settings (MangleAgents, SearchEngine, SearchCaseI, Verbosity), the
// log record and the search table.
#pragma once

#include "input/log_rec.h"

// Kinds of address_kind.
enum address_code : int {
    address_malformed = -1,
    address_name = 0,
    address_ipv4 = 1,
    address_ipv6_dotted = 2,  // IPv6 with a dotted IPv4 tail
    address_ipv6 = 3,
};

// Decodes "%XY" escapes of text in place (text only gets shorter). A decoded
// byte below 32 or equal to 127 becomes "_". nullptr is left alone.
void unescape(char* text);

// Kind of a host text (address_code). Expects lower case: upper-case
// hexadecimal digits make an IPv6 text malformed.
int address_kind(const char* text);

// Rewrites log_rec.user_agent in place by settings.MangleAgents (1 keeps name,
// version and platform; 5 or more name and major version only). Call only
// when MangleAgents is not 0.
void mangle_agent();
void mangle_agent(char* agent);  // the same on any agent field (agent_limit + 1 bytes)

// The search words of the current referrer: when log_rec.referrer (already
// cut before its query) matches settings.SearchEngine, takes the value of the
// engine's variable from query (normally log_rec.search_words) and adds it to
// the search table. Prints con_snode_error when the insert fails.
void extract_search_string(const char* query);

// The two halves of it: search_string_of puts the search words of query and
// referrer into words (search_limit + 1 bytes) and tells whether there are
// any, touching no table; count_search_string counts words (which it may cut).
bool search_string_of(const char* query, const char* referrer, char words[search_limit + 1]);
void count_search_string(char* words);

// Appends the sixteen default engines to settings.SearchEngine, in their fixed
// order. Returns list_ok, or list_nomem when an entry could not be added.
int add_default_search_engines();
