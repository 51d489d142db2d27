// Record parsers: turn one log line into log_rec (input/log_rec.h), by the
// configured LogType: common/combined, FTP transfer, caching-proxy native or
// W3C extended.
//
// Owns log_rec and the W3C column table. Needs settings (LogType, Verbosity,
// Debug, TrimSquidURL) and the truncation warnings of the catalogue. Every
// parser works in place on the writable line (separators become zero bytes),
// copies each field once into its fixed slot, cuts what does not fit and
// warns about it on standard error (Verbosity not 0; with Debug, ": " and the
// field). Nothing is allocated per line.
#pragma once

#include <cstddef>
#include <cstdint>

#include "input/log_rec.h"

enum record_code : int {
    record_bad = 0,   // the line does not have the shape of a record
    record_good = 1,  // log_rec holds the record
};

// How far the last parse into a record may have written into its request
// and referrer, so that the next parse clears only that much; a new record
// starts as {sizeof request, sizeof referrer} unless it is known to be zero.
// zero: the record was cleared since (clear_parsed_record), the next parse
// need not clear it.
struct record_clearing {
    std::size_t request_used, referrer_used;
    bool zero = false;
};

// Truncation warnings of one parse kept for printing later, in their order:
// the catalogue message of each (the form without Debug, "%s\n").
struct parse_warnings {
    static constexpr int capacity = 8;  // a parser warns at most five times a line
    const char* message[capacity];
    int count;
};

// Clears log_rec and parses line (writable, zero-terminated, at most 4095
// characters, normally ending in a newline) with the parser of
// settings.LogType (log_ftp, log_squid, log_w3c; any other value clf).
// The line is cut into fields in place: keep a copy first to show it later.
// Returns record_good or record_bad; after record_bad log_rec is partly
// filled and must not be used.
int parse_record(char* line);

// The same into rec, cleared as far as clearing records. With warnings not
// nullptr (and Verbosity not 0) the truncation warnings are kept there
// instead of being printed; without Debug only, as the kept form shows no
// field text.
int parse_record(char* line, log_record& rec, record_clearing& clearing, parse_warnings* warnings);
// The same for a line of len characters (its strlen, known to the caller).
int parse_record(char* line, std::size_t len, log_record& rec, record_clearing& clearing, parse_warnings* warnings);

// Clears rec after its record has been used, as the next parse would before
// it starts. A caller that is finished with the record clears it at once:
// the stores then no longer hold up the next line's parse (measured some 7%
// faster on the reading thread).
void clear_parsed_record(log_record& rec, record_clearing& clearing);

// Prints a kept truncation warning as the parse would have (without Debug).
void print_parse_warning(const char* message);

// A parsed record in as few bytes as its texts take, for handing it from
// the reading thread to the counting one: the lengths of host, date_text,
// request, referrer, user_agent, search_words and user, and their texts one
// after another without terminators, at text (packed_text_room bytes of
// room when packing: the longest texts and a last 16-byte block).
struct packed_record {
    int32_t status;
    uint64_t bytes;
    uint16_t length[7];
    char* text;
};
constexpr std::size_t packed_text_room = sizeof(log_record) + 16;

// Packs rec into packed (whose text must point to packed_text_room bytes);
// returns the length of the texts.
std::size_t pack_record(const log_record& rec, packed_record& packed);

// Where host, request and referrer start in a packed record's text.
inline void packed_names(const packed_record& p, const char* names[3], uint32_t lengths[3]) {
    const char* host = p.text;
    const char* request = host + p.length[0] + p.length[1];
    names[0] = host;
    names[1] = request;
    names[2] = request + p.length[2];
    lengths[0] = p.length[0];
    lengths[1] = p.length[2];
    lengths[2] = p.length[3];
}

// Where the agent starts in a packed record's text, and its length.
inline const char* packed_agent(const packed_record& p, uint32_t* length) {
    *length = p.length[4];
    return p.text + p.length[0] + p.length[1] + p.length[2] + p.length[3];
}

// Puts a packed record into log_rec; the bytes after each field's terminator
// are not cleared (they may hold pieces of other fields).
void unpack_to_log_rec(const packed_record& packed);

// Cuts line[0..end) in place into fields: every blank or tab outside double
// quotes, brackets and parentheses becomes a zero byte. A double quote not
// preceded by a backslash toggles quoting (at the line start always); "(" and
// "[" outside quotes open a level, ")" and "]" close one when open. Stops at
// end or at the first zero byte.
void split_fields(char* line, char* end);

// The four parsers; each expects rec cleared, line zero-terminated with
// length len (= strlen(line)), and returns record_good or record_bad.
int parse_clf(char* line, std::size_t len, log_record& rec);

// The common shape of a common or combined line read in a single pass,
// without cutting the line: true when line has that shape and nothing out
// of the ordinary (a tab, a bracket or parenthesis outside quotes, an escaped
// quote, a field over its limit or a missing one), rec then holding exactly
// what parse_clf gives; false, with line and rec untouched, sends the line to
// parse_clf.
bool parse_clf_plain(const char* line, std::size_t len, log_record& rec);
int parse_ftp(char* line, std::size_t len, log_record& rec);
int parse_squid(char* line, std::size_t len, log_record& rec);
int parse_w3c(char* line, std::size_t len, log_record& rec);

// Forgets every W3C column declared so far (the run starts this way; tests use
// it between cases).
void reset_w3c_columns();
