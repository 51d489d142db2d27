// Run driver: the program's entry and main loop. Reads the settings, opens the
// log, runs the optional resolver pass, loads history and state, reads and
// counts every record through the month cycle, and writes reports, history,
// state and the summary index at the end.
#pragma once

// Runs the whole program; returns its exit status (0 normal end; 1 help,
// version, unopenable plain log, bad output directory, resolver-only mode
// without cache, failed restore, no valid record; 2 unopenable compressed log;
// 9 log is a symbolic link).
int run_corvalist(int argc, char** argv);
