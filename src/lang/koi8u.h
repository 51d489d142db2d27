// KOI8-U to UTF-8, for showing catalogue texts on a console that takes UTF-8.
//
// The report texts of the catalogue (month names among them) are KOI8-U
// bytes, written to pages and graphs unchanged. A console whose locale uses
// UTF-8 shows them only once they are converted; this is that conversion,
// from a 128-entry table made at build time by the same converter that turns
// the catalogue source into KOI8-U. Bytes below 128 are the same in both.
#pragma once

#include <cstddef>

// UTF-8 bytes of the KOI8-U byte 0x80 + i, zero-terminated (two or three bytes).
extern const char koi8u_utf8[128][4];

// Writes text (zero-terminated KOI8-U) into out as UTF-8, always terminated:
// at most size - 1 bytes, cut before a character that would not fit whole.
// Returns the number of bytes written before the terminator. size 0 writes
// nothing and returns 0.
std::size_t koi8u_to_utf8(const char* text, char* out, std::size_t size);
