// The program's version, edition and modification date: shown in the version
// line, in the pages' comments and footer, and in the header lines of the
// history and state files (whose readers check the version text).
#pragma once

inline constexpr char version_text[] = "2.23";
inline constexpr char edition_text[] = "08";
inline constexpr char mod_date_text[] = "26-Aug-2013";
