#!/bin/sh
# Installs a built tree into scratch directories and checks what lands where:
# the programs and the corvalookup link, the manual pages (which must render
# without a single groff warning), the sample configuration and the crawler
# files; once under the configured prefix and once under another one given at
# install time, both through DESTDIR.
#
#   scripts/check-install.sh BUILD_DIR
#
# Prints "install layout ok" and exits 0, or names each fault and exits 1.
set -eu

[ $# -eq 1 ] || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
build=$(cd "$1" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/corvalist-install.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM
faults=0
fault() { echo "FAULT: $*" >&2; faults=$((faults + 1)); }

prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
sysconfdir=$(sed -n 's/^CORVALIST_SYSCONFDIR:PATH=//p' "$build/CMakeCache.txt")

expected_files() {  # the installed files, relative to the prefix, sorted
    sort <<LIST
bin/corvageo_build
bin/corvalist
bin/corvalookup
share/corvalist/crawlers-ignore.conf
share/corvalist/crawlers.conf
share/doc/corvalist/README.md
share/doc/corvalist/uk-corvalist.conf.sample
share/man/man1/corvageo_build.1
share/man/man1/corvalist.1
share/man/man1/corvalookup.1
LIST
}

check_tree() {  # destdir prefix
    root=$1$2
    if [ ! -d "$root" ]; then fault "nothing installed under $root"; return; fi
    (cd "$root" && find . ! -type d | sed 's|^\./||' | sort) >"$work/found"
    expected_files >"$work/expected"
    if ! diff -u "$work/expected" "$work/found" >"$work/layout.diff"; then
        fault "installed files under $2 differ from the expected layout:"
        cat "$work/layout.diff" >&2
    fi
    for p in corvalist corvageo_build; do
        [ -x "$root/bin/$p" ] || fault "$2/bin/$p is not executable"
    done
    [ "$(readlink "$root/bin/corvalookup" 2>/dev/null)" = corvalist ] ||
        fault "$2/bin/corvalookup is not a link to corvalist"
    [ "$(readlink "$root/share/man/man1/corvalookup.1" 2>/dev/null)" = corvalist.1 ] ||
        fault "corvalookup.1 is not a link to corvalist.1"
    # Started through the link, the program runs its resolver-only mode,
    # which without a cache file stops with its own message and status 1.
    status=0
    (cd "$work" && "$root/bin/corvalookup" </dev/null >"$work/lookup.out" 2>&1) || status=$?
    if [ "$status" != 1 ] || ! grep -q "No cache file specified, aborting..." "$work/lookup.out"; then
        fault "corvalookup did not run the resolver-only mode (status $status)"
    fi
    for page in corvalist.1 corvageo_build.1; do
        man_page=$root/share/man/man1/$page
        [ -f "$man_page" ] || continue
        if ! LC_ALL=C.UTF-8 groff -man -ww -z "$man_page" >"$work/groff.out" 2>&1 || [ -s "$work/groff.out" ]; then
            fault "groff warns about $page:"; cat "$work/groff.out" >&2
        fi
        if command -v man >/dev/null 2>&1; then
            LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$man_page" \
                >/dev/null 2>"$work/man.out" || true
            if [ -s "$work/man.out" ]; then fault "man warns about $page:"; cat "$work/man.out" >&2; fi
        fi
        grep -q '@[A-Z]*@' "$man_page" && fault "$page still holds an unset @NAME@"
    done
    # The manual names this build's configuration directory.
    grep -q "^\.I $sysconfdir/uk\\\\-corvalist.conf\$" "$root/share/man/man1/corvalist.1" ||
        fault "corvalist.1 does not name $sysconfdir/uk-corvalist.conf"
    # The installed crawler groups are the KOI8-U copy (the pages' code page).
    if iconv -f KOI8-U -t UTF-8 "$root/share/corvalist/crawlers.conf" 2>/dev/null |
        cmp -s - "$(dirname "$0")/../share/corvalist/crawlers.conf"; then :; else
        fault "the installed crawlers.conf is not the KOI8-U copy of the source"
    fi
}

DESTDIR=$work/a cmake --install "$build" >/dev/null
check_tree "$work/a" "$prefix"
DESTDIR=$work/b cmake --install "$build" --prefix /opt/corvalist >/dev/null
check_tree "$work/b" /opt/corvalist

if [ "$faults" -ne 0 ]; then
    echo "$faults fault(s) in the installed layout" >&2
    exit 1
fi
echo "install layout ok"
