// Console: how the program's messages meet the terminal, beyond their texts.
//
// - Catalogue texts on the console: report texts, month names among them, are
//   KOI8-U; where the locale's codeset is UTF-8 the console is given them in
//   UTF-8 (console_text). Every file the program writes keeps the catalogue's
//   bytes, whatever the locale.
// - A held line: "DNS Lookup (N): " is left open on standard output for the
//   resolver's statistics to finish. Any other message printed meanwhile, by
//   this process or by a resolver child, ends it with a newline first, so that
//   no two messages share a line.
// - The progress line: during the main pass, when standard error is a
//   terminal and the run is not quiet, one line on standard error with the
//   records read, the share of the log read and the records per second,
//   redrawn in place a few times a second and erased at the end.
//
// While a held line or the progress line is up, the standard streams stdout
// and stderr are streams of this unit (the C library lets a program assign
// them): they write the same bytes to the same descriptors with the same
// buffering, and before each write they end the held line or erase the
// progress line. Otherwise the standard streams are the C library's own and
// nothing here costs anything. Everything runs on the main thread; the held
// line's flag is shared with the resolver children through one page of
// shared memory.
#pragma once

#include <cstddef>
#include <cstdint>

// Takes the console's codeset from the locale; call once after the character
// classes are set from the environment (setlocale(LC_CTYPE, "")).
void console_start();

// True when console_start found a UTF-8 codeset.
bool console_takes_utf8();

// Text of the catalogue as the console is to get it: text itself, unless the
// console takes UTF-8 and text has bytes above 127; then a UTF-8 copy in a
// buffer of this unit that the next call overwrites (a copy is cut at 1023
// bytes, at a character boundary).
const char* console_text(const char* text);

// Standard output ends with an unfinished line, already flushed: until
// console_release_line, any other output first ends it with a newline.
void console_hold_line();
// What is printed next on standard output finishes the held line: flushes
// both streams (so that what they hold still ends the line first) and lets
// the next text continue the line, if it is still open.
void console_finish_held_line();
// Ends the held line with a newline if nothing finished or ended it, and
// gives the standard streams back.
void console_release_line();

// Starts the progress line of the main pass when show is true and standard
// error is a terminal (and no held line is up). Returns the number of
// records read at which progress_tick wants to be called first, or
// UINT64_MAX when there is no progress line: the per-record cost is one
// comparison with that number.
uint64_t progress_start(bool show);
// Called with the records read so far once they reach the number returned
// last; redraws the line when its time has come. Returns the next number.
uint64_t progress_tick(uint64_t records);
// Erases the progress line and gives the standard streams back. Nothing
// when there is no progress line.
void progress_stop();

// The progress text: records read, the share of the log read in percent
// (none when percent is negative) and the rate in records per second, e.g.
// "1234567 records, 45%, 812345/sec". Written into buf (size bytes, always
// terminated); returns its length.
std::size_t format_progress(char* buf, std::size_t size, uint64_t records, int percent, uint64_t rate);
