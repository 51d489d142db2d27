// Log reader: hands out the log one line at a time from a plain file, a gzip
// or bzip2 file (chosen by the name's ending alone) or standard input.
//
// Owns the one open input (stream handles and the block buffers behind them);
// needs settings (Verbosity, Debug, LogType for the opening line), the console
// texts of the catalogue and LogCompression (run/month.h), which open_log sets.
// A line handed out holds at most 4095 characters including its newline and
// is always zero-terminated; a longer line comes out as log_oversized and is
// skipped whole by skip_oversized_line, so nothing of it reaches a parser.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int log_line_size = 4096;   // caller's buffer: 4095 characters and a zero
constexpr int log_line_limit = 4095;  // longest piece one read hands out

enum log_reader_code : int {
    log_ok = 0,                  // a line (or the input) is ready
    log_open_failed = 1,         // a plain file could not be opened (exit status 1)
    log_packed_open_failed = 2,  // gzopen / BZ2_bzopen failed (exit status 2)
    log_end = 3,                 // end of input or read error: the pass ends normally
    log_oversized = 4,           // 4095 characters without a newline were read
    log_no_rewind = 5,           // standard input cannot be rewound
    log_symlink = 9,             // the log name is a symbolic link (exit status 9)
};

// Opens the log. name nullptr, "" or beginning with "-" means standard input;
// a name ending in ".gz" is read through zlib, ".bz2" through libbz2, anything
// else as plain text (LogCompression is set accordingly). A symbolic link is
// refused. Prints the failure messages itself ("Error: Can't open log file"
// with "(symlink)" only when Verbosity is not 0, the two open failures
// always) and, with Verbosity 2, the "Using logfile ..." line. Returns log_ok,
// log_symlink, log_packed_open_failed or log_open_failed; the three failure
// codes are the exit statuses the caller ends the run with. The name is
// copied (a bzip2 rewind opens it again).
int open_log(const char* name);

// Reads the next line into buf (log_line_size bytes): up to and including its
// newline, at most 4095 characters, zero-terminated. Returns
//   log_ok        a line; *length (when given) is the number of bytes stored,
//                 which can exceed strlen(buf) when the line holds NUL bytes;
//                 *text_length (when given) is strlen(buf);
//   log_oversized 4095 characters and no newline were read (the line is
//                 longer than the buffer): count it as one record and call
//                 skip_oversized_line before reading on;
//   log_end       end of input or a read error.
// A plain or standard-input last line without a newline is handed out as it
// is; from gzip and bzip2 input such a last line is dropped.
int read_log_line(char* buf, std::size_t* length = nullptr, std::size_t* text_length = nullptr);

// Discards the rest of the oversized line whose first 4095 characters are in
// buf, reading pieces until one ends with a newline or holds fewer than 4095
// characters or the input ends. With report on (the main pass) and Verbosity
// not 0, first prints "Error: Skipping oversized log record" and, with Debug,
// ":\n" and the first piece, else a newline; with Debug every further piece is
// echoed to standard error, the last one followed by a newline. With report
// off (the resolver's pass) it is silent. buf is overwritten. Returns log_ok,
// or log_end when the input ended while discarding.
int skip_oversized_line(char* buf, bool report);

// The message skip_oversized_line prints without Debug, for a caller that
// skipped silently and reports the line later.
void print_oversized_message();

// Positions the input at its first line again (gzrewind; bzip2 closed and
// reopened by name; plain files rewound) with the block buffer emptied.
// Returns log_ok, or log_no_rewind for standard input (and for a plain input
// that cannot seek, such as a named pipe). A failed bzip2 reopen is not
// reported: the next read returns log_end.
int rewind_log();

// How far the open log has been read: *done bytes of the file (of the
// compressed file for gzip and bzip2) out of *size. False when the input is
// not a regular file (standard input from a pipe or a terminal) or nothing
// is open. Asks the kernel for the descriptor's position and never looks at
// the stream's state, so it may be called on another thread than the one
// reading; the position runs ahead of the lines handed out by at most the
// blocks read ahead.
bool log_read_position(uint64_t* done, uint64_t* size);

// Closes the input (standard input is left open). Safe to call twice.
// Returns log_ok.
int close_log();
