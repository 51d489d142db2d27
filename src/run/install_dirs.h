// Directories fixed when the program is built.
//
// config_dir is where the default configuration file "uk-corvalist.conf" is
// looked for when the current directory has none. The build sets it through
// the CMake cache variable CORVALIST_SYSCONFDIR (a Debian package: /etc); a
// compile without it looks in /usr/local/etc.
#pragma once

#ifndef CORVALIST_SYSCONFDIR
#define CORVALIST_SYSCONFDIR "/usr/local/etc"
#endif

inline constexpr char config_dir[] = CORVALIST_SYSCONFDIR;
