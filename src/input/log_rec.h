// The one parsed log record, shared by the four parsers, record processing and
// the resolver's first pass. Cleared to zero bytes before every parse, so a
// field a parser does not set is an empty string or 0. Text fields are fixed
// buffers of limit + 1 bytes; a parser cuts what does not fit, with a warning.
#pragma once

#include <cstdint>

constexpr int host_limit = 255;
constexpr int date_limit = 28;
constexpr int request_limit = 4095;
constexpr int referrer_limit = 1023;
constexpr int agent_limit = 127;
constexpr int search_limit = 255;
constexpr int user_limit = 63;

// Whole cache lines: the reading and the counting thread each have a record
// of their own, written for every line, that must share no line with the
// other thread's data.
struct alignas(64) log_record {
    char host[host_limit + 1];            // "192.0.2.7" or "www.example.com"
    char date_text[date_limit + 1];       // "[10/Oct/2013:13:55:36 -0700]"
    char request[request_limit + 1];      // "\"GET /index.html\"", protocol cut
    int32_t status;                       // 200
    uint64_t bytes;                       // 2326
    char referrer[referrer_limit + 1];    // "\"http://example.com/\"" (CLF keeps quotes)
    char user_agent[agent_limit + 1];     // "\"Mozilla/5.0 (X11)\""
    char search_words[search_limit + 1];  // work field of record processing
    char user[user_limit + 1];            // "alice"; may hold blanks
};

static_assert(sizeof(log_record::host) == 256 && sizeof(log_record::date_text) == 29 &&
              sizeof(log_record::request) == 4096 && sizeof(log_record::referrer) == 1024 &&
              sizeof(log_record::user_agent) == 128 && sizeof(log_record::search_words) == 256 &&
              sizeof(log_record::user) == 64);

extern log_record log_rec;
