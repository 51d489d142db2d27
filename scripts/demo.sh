#!/bin/sh
# Installs what is missing, builds, generates a sample log of our own and runs
# the analyser on it; the site is left in site/ (open site/index.html).
# With Debian's GeoIP country files installed (geoip-database, which this
# installs too), the sample's numeric addresses are placed in countries.
set -e
cd "$(dirname "$0")/.."
./scripts/install-deps.sh --demo || ./scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
ninja -C build >/dev/null
mkdir -p site
./build/genlog 30000 3000 7 site/sample.log
geo=/usr/share/GeoIP/GeoIP.dat
if [ -f "$geo" ]; then
    ./build/corvalist -o site -n demo.example -j -J "$geo" site/sample.log
else
    ./build/corvalist -o site -n demo.example site/sample.log
fi
echo "Site written to $(pwd)/site/index.html"
