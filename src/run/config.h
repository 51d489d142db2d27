// Configuration: the keyword table, the configuration-file reader and the
// command-line options, which together fill the settings record.
//
// Settings come from their defaults, then one default configuration file,
// then the options in command-line order, where -c reads a further file at
// its place; whichever comes last wins. Needs the settings record
// (run/settings.h), the pattern lists (stats/lists.h) and the catalogue.
// Text settings set here point at heap copies owned by this module; they live
// until reset_settings() or the end of the process.
#pragma once

#include <cstddef>
#include <cstdio>

#include "run/settings.h"

enum config_code : int { config_ok = 0, config_open_error = 1 };

enum keyword_kind : int {
    kw_placeholder,  // "Undefined" at position 0: matching it is an invalid keyword
    kw_text,         // heap copy of the value
    kw_number,       // leading decimal integer, no digits give 0
    kw_yes,          // on only when the value begins with y or Y
    kw_not_no,       // off only when the value begins with n or N
    kw_list,         // value appended to an nlist
    kw_group,        // value split into pattern and label, appended to a glist
    kw_colour,       // up to six characters copied after the "#"
    kw_quiet,        // Verbosity 1 for y/Y, else 2
    kw_really_quiet, // Verbosity 0 for y/Y, else unchanged
    kw_log_type,     // f ftp, s squid, w w3c, anything else clf
    kw_flag_dir,     // text, and CountryFlags on
    kw_unsupported,  // reported as an invalid keyword, nothing changes
};

// One row per keyword, in matching order. The member pointer that fits the
// kind is set, the others are null.
// keyword_table[11] -> {"TopSites", kw_number, number = &settings_rec::TopSites}
struct keyword_row {
    const char* name;
    keyword_kind kind;
    const char* settings_rec::*text;
    int settings_rec::*number;
    bool settings_rec::*flag;
    nlist* settings_rec::*list;
    glist* settings_rec::*group;
    char (settings_rec::*colour)[8];
};

constexpr std::size_t keyword_rows = 121;  // the placeholder and 120 keywords
extern const keyword_row keyword_table[keyword_rows];

constexpr std::size_t keyword_limit = 31;       // characters of a keyword
constexpr std::size_t config_value_limit = 131; // characters of a value
constexpr std::size_t config_line_size = 4096;  // a longer line arrives in pieces

// Row of the first keyword that word (case ignored) begins; an abbreviation
// selects the first row it begins. Returns 0 (the placeholder) when nothing
// matches or when the placeholder itself matches: either way an invalid keyword.
int find_keyword(const char* word);

// Reads one configuration file into settings. An unopenable file gives
// "Error: Unable to open configuration file <path>" on standard error (when
// Verbosity is not 0) and config_open_error; otherwise config_ok. Invalid
// keywords are reported on standard output and skipped. Callers may ignore
// the code: the run goes on either way.
int read_config(const char* path);

// Applies the options of argv in order; unknown option letters and missing
// arguments are ignored silently. Returns the index of the first argument
// that is not an option. -h and -V print their text and exit with status 1;
// --help and --version print the same texts and exit with status 0 (1 when
// standard output cannot take them); any other argument beginning with "--"
// (but "--" itself, which ends the options) prints "Error: Unknown option"
// and the argument on standard error and exits with status 1.
int process_options(int argc, char** argv);

// The help text (-h) for a program called program_name, written to out.
void print_help(std::FILE* out, const char* program_name);
// The version text (-V), with the build details while Debug is on, written to out.
void print_version(std::FILE* out);

// Writes the one-line version head "Corvalist V2.23-08 (system release machine)
// language" with its line end, as the version text and the start-up line open.
void print_version_line(std::FILE* out);

// A heap copy of text kept for the settings record; nullptr when memory runs
// out. The copies stay reachable until release_setting_texts().
const char* copy_setting_text(const char* text);
// Frees every copy made by copy_setting_text (reset_settings uses it).
void release_setting_texts();
