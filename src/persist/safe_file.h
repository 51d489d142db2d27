// Durable replacement of files: new contents always go to a temporary
// companion "<name>.new" in the same directory, created afresh (never opened
// through a symbolic link, never a file that another name shares), every
// write, the flush to stable storage and the close checked; only a complete
// file is renamed over the old one, so a reader sees the old file or the new
// one, never a cut one.
//
// Two forms. The history and the state file take the temporary by hand
// (open_temporary, finish_temporary, then their own rename), since their
// rename is part of the run's recovery order. Report pages, dumps and graphs
// take a replacement stream (open_replacement): closing it puts the file in
// place.
//
// Owns the run's count of files that could not be written and the list of
// directories whose renames are not yet on stable storage. Needs nothing but
// the system.
#pragma once

#include <cstddef>
#include <cstdio>

enum safe_file_code : int {
    safe_ok = 0,
    safe_open_error = 1,      // the temporary file could not be created (errno tells why)
    safe_symlink = 9,         // the temporary name is a symbolic link; nothing written
    safe_target_symlink = 10, // the file itself is a symbolic link; nothing written
};

// Appends ".new" to name into out (size bytes). Returns false when the
// result would not fit (nothing usable in out).
bool temporary_name(const char* name, char* out, std::size_t size);

// Creates path afresh for writing (mode 0644 before the umask): a leftover
// regular file of that name (from a killed run) is removed first and the new
// one is created with O_EXCL and O_NOFOLLOW, so neither a symbolic link nor a
// hard link planted under the name is ever written through. Returns the
// stream, or nullptr with *code set to safe_symlink or safe_open_error. The
// caller owns the stream and must hand it to finish_temporary.
std::FILE* open_temporary(const char* path, int* code);

// Flushes, fsyncs and closes f. Returns true only when every step succeeded
// and write_ok is true; on false the file at path is removed. f is closed in
// every case.
bool finish_temporary(std::FILE* f, const char* path, bool write_ok);

// Opens a stream that replaces path whole. path itself must not be a
// symbolic link (safe_target_symlink; it stays untouched); the data go to
// "<path>.new", created as open_temporary does with the given mode (the
// permission bits of an existing path are kept instead). Returns the stream
// with *code safe_ok, or nullptr with *code safe_target_symlink, safe_symlink
// or safe_open_error (errno kept; counted as an unwritten file). The caller
// ends the stream with close_replacement.
std::FILE* open_replacement(const char* path, int mode, int* code);

// Ends a stream of open_replacement: flushes it, fsyncs and closes the
// temporary and, when every write and each of these steps succeeded, renames
// it over the path and notes the directory for sync_replaced_directories.
// Returns true when the file is in place; false with *error set to the
// errno of the first failed step (the temporary removed, the old file
// untouched, counted as an unwritten file). With path given, *path is the
// file's name (a buffer that the next close overwrites). A plain fclose of
// the stream does the same, without the details.
bool close_replacement(std::FILE* f, int* error, const char** path = nullptr);

// Files of this run that could not be written (failed opens other than
// refused symbolic links, failed writes, syncs, closes or renames). The run
// driver holds the state back while this is not 0.
int unwritten_files();
void note_unwritten_file();
void reset_unwritten_files();  // tests

// fsyncs the directory holding path (so that a rename inside it is on stable
// storage). Returns false when the directory cannot be opened or the fsync
// fails with a real error (a file system that cannot sync directories is
// not one).
bool sync_directory_of(const char* path);

// fsyncs every directory that received a replacement since the last call.
// Returns false when any of them failed (see sync_directory_of).
bool sync_replaced_directories();
