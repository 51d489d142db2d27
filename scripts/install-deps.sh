#!/bin/sh
# Installs the Debian packages the build and the tests need, when any is missing.
# Idempotent and quiet when everything is present.
#   scripts/install-deps.sh [--tests | --demo]
# --tests adds what only the test suite needs: headless Chromium, which renders
# one monthly page to check that the Ukrainian headings come out as Cyrillic;
# Debian's legacy GeoIP country files, which the country lookups are checked
# against; groff and man, which check the installed manual pages; and
# logrotate, which runs the package's prerotate hook. --demo adds the GeoIP
# country files, which place the sample's numeric addresses in countries.
set -e
pkgs="build-essential cmake ninja-build pkg-config libgd-dev zlib1g-dev libbz2-dev libdb5.3-dev libmaxminddb-dev libgeoip-dev libgtest-dev googletest xfonts-base"
[ "${1:-}" = "--tests" ] && pkgs="$pkgs chromium geoip-database groff-base man-db logrotate"
[ "${1:-}" = "--demo" ] && pkgs="$pkgs geoip-database"
missing=""
for p in $pkgs; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" != 0 ]; then SUDO=sudo; else SUDO=; fi
echo "Installing:$missing"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing >/dev/null
