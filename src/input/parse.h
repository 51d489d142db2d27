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

#include "input/log_rec.h"

enum record_code : int {
    record_bad = 0,   // the line does not have the shape of a record
    record_good = 1,  // log_rec holds the record
};

// Clears log_rec and parses line (writable, zero-terminated, at most 4095
// characters, normally ending in a newline) with the parser of
// settings.LogType (log_ftp, log_squid, log_w3c; any other value clf).
// The line is cut into fields in place: keep a copy first to show it later.
// Returns record_good or record_bad; after record_bad log_rec is partly
// filled and must not be used.
int parse_record(char* line);

// Cuts line[0..end) in place into fields: every blank or tab outside double
// quotes, brackets and parentheses becomes a zero byte. A double quote not
// preceded by a backslash toggles quoting (at the line start always); "(" and
// "[" outside quotes open a level, ")" and "]" close one when open. Stops at
// end or at the first zero byte.
void split_fields(char* line, char* end);

// The four parsers; each expects log_rec cleared, line zero-terminated with
// length len (= strlen(line)), and returns record_good or record_bad.
int parse_clf(char* line, std::size_t len);
int parse_ftp(char* line, std::size_t len);
int parse_squid(char* line, std::size_t len);
int parse_w3c(char* line, std::size_t len);

// Forgets every W3C column declared so far (the run starts this way; tests use
// it between cases).
void reset_w3c_columns();
