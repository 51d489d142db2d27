#!/bin/sh
# Builds the Debian package from this source tree in a scratch copy, checks
# it and leaves it, with the build's log, in dist/:
#   - dpkg-buildpackage -us -uc -b (the package's own build runs the whole
#     test suite, unless --no-check is given or DEB_BUILD_OPTIONS has nocheck);
#   - the package holds the expected files, /etc/uk-corvalist.conf is a
#     conffile with its three lines on, the hook is executable, and the
#     packaged program looks for its configuration in /etc;
#   - lintian reports no error (its full report is printed).
#
#   scripts/build-deb.sh [--no-check] [OUT_DIR]
#
# Installs the build dependencies when missing (as root, through
# scripts/install-deps.sh and apt-get). The tree is copied, so the build
# leaves no files beside or inside the source tree.
set -eu

check=yes
[ "${1:-}" = "--no-check" ] && { check=no; shift; }
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/dist}

"$root/scripts/install-deps.sh" --tests
missing=""
for p in debhelper dpkg-dev lintian fakeroot; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    if [ "$(id -u)" != 0 ]; then SUDO=sudo; else SUDO=; fi
    echo "Installing:$missing"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi

version=$(dpkg-parsechangelog -l "$root/debian/changelog" -S Version)
arch=$(dpkg-architecture -qDEB_HOST_ARCH)
work=$(mktemp -d "${TMPDIR:-/tmp}/corvalist-deb.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM
src=$work/corvalist-$version
mkdir -p "$src"
# The files of the tree as it stands (tracked files with their changes).
if git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    (cd "$root" && git ls-files -z | tar --null -T - -cf -) | tar -xf - -C "$src"
else
    (cd "$root" && tar --exclude=./build\* --exclude=./dist --exclude=./obj-\* -cf - .) | tar -xf - -C "$src"
fi
# The tests read the real logs from ../shared beside the source tree.
[ -d "$root/../shared" ] && ln -s "$(cd "$root/../shared" && pwd)" "$work/shared"

opts=${DEB_BUILD_OPTIONS:-}
[ "$check" = no ] && opts="$opts nocheck"
jobs=$(nproc 2>/dev/null || echo 1)
start=$(date +%s)
(cd "$src" && DEB_BUILD_OPTIONS="$opts parallel=$jobs" dpkg-buildpackage -us -uc -b) >"$work/build.log" 2>&1 || {
    tail -60 "$work/build.log" >&2
    echo "dpkg-buildpackage failed (log above)" >&2
    exit 1
}
echo "dpkg-buildpackage: $(($(date +%s) - start)) seconds"
deb=$work/corvalist_${version}_${arch}.deb
[ -f "$deb" ] || { echo "no $deb was built" >&2; exit 1; }

faults=0
fault() { echo "FAULT: $*" >&2; faults=$((faults + 1)); }
dpkg-deb -c "$deb" >"$work/contents"
for f in ./usr/bin/corvalist ./usr/bin/corvalookup ./usr/bin/corvageo_build \
         ./usr/share/man/man1/corvalist.1.gz ./usr/share/man/man1/corvageo_build.1.gz \
         ./usr/share/man/man1/corvalookup.1.gz \
         ./usr/share/doc/corvalist/uk-corvalist.conf.sample ./usr/share/doc/corvalist/copyright \
         ./usr/share/corvalist/crawlers.conf ./usr/share/corvalist/crawlers-ignore.conf \
         ./etc/uk-corvalist.conf ./etc/cron.d/corvalist ./etc/default/corvalist \
         ./etc/logrotate.d/httpd-prerotate/corvalist \
         ./lib/systemd/system/corvalist.service ./lib/systemd/system/corvalist.timer; do
    grep -q " $f\( \|$\)" "$work/contents" || fault "the package lacks $f"
done
grep " ./etc/logrotate.d/httpd-prerotate/corvalist$" "$work/contents" | grep -q '^-rwxr-xr-x' ||
    fault "the logrotate hook is not executable"
dpkg-deb -e "$deb" "$work/control"
grep -qx /etc/uk-corvalist.conf "$work/control/conffiles" || fault "/etc/uk-corvalist.conf is no conffile"
dpkg-deb -x "$deb" "$work/root"
conf=$work/root/etc/uk-corvalist.conf
[ "$(grep '^[A-Za-z]' "$conf")" = "LogFile          /var/log/apache2/access.log
OutputDir        /var/www/html/stats
Incremental      yes" ] || fault "/etc/uk-corvalist.conf does not turn on exactly LogFile, OutputDir and Incremental"
"$work/root/usr/bin/corvalist" -d -V 2>&1 | grep -qx "Default config dir: /etc" ||
    fault "the packaged program does not look in /etc"
grep -c "^#15 \* \* \* \*" "$work/root/etc/cron.d/corvalist" >/dev/null || fault "the cron.d lines are not commented out"
grep -q '^[0-9*]' "$work/root/etc/cron.d/corvalist" && fault "cron.d has an active line"

echo "lintian:"
lintian_status=0
lintian --fail-on error --display-info "$work"/corvalist_"${version}"_"${arch}".changes || lintian_status=$?
[ "$lintian_status" = 0 ] || fault "lintian reports errors"

mkdir -p "$out"
cp "$deb" "$work/build.log" "$out/"
if [ "$faults" -ne 0 ]; then
    echo "$faults fault(s) in the package" >&2
    exit 1
fi
echo "package ok: $out/$(basename "$deb")"
