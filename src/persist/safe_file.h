// Durable replacement of a data file: the new contents go to a temporary
// companion ("<name>.new"), which is opened without following symbolic links,
// flushed to stable storage and closed with every step checked; only then
// may the caller rename it over the old file. Used by the history and the
// state file.
#pragma once

#include <cstddef>
#include <cstdio>

enum safe_file_code : int {
    safe_ok = 0,
    safe_open_error = 1,  // the temporary file could not be created
    safe_symlink = 9,     // the temporary name is a symbolic link; nothing written
};

// Appends ".new" to name into out (size bytes). Returns false when the
// result would not fit (nothing usable in out).
bool temporary_name(const char* name, char* out, std::size_t size);

// Creates or truncates path for writing, refusing a symbolic link both by an
// lstat before the open and by the open itself (so a link planted between the
// two is refused too). Returns the stream, or nullptr with *code set to
// safe_symlink or safe_open_error. The caller owns the stream and must hand it
// to finish_temporary.
std::FILE* open_temporary(const char* path, int* code);

// Flushes, fsyncs and closes f. Returns true only when every step succeeded
// and write_ok is true; on false the file at path is removed. f is closed in
// every case.
bool finish_temporary(std::FILE* f, const char* path, bool write_ok);

