#!/bin/sh
# Builds and runs the fuzz targets with libFuzzer, ASan and UBSan.
#   fuzz/run.sh [seconds per target, default 60] [target ...]
# Targets: parse date process config options state history geo dns_cache (default all). Each target is
# fuzz/<target>_fuzz.cc, seeded from fuzz/<target>-seeds/ when present.
# Objects are kept in build-fuzz/ and rebuilt only when their source or a
# header is newer; crashes are left in build-fuzz/<target>-crashes/.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
out=$root/build-fuzz
secs=${1:-60}
[ $# -gt 0 ] && shift
targets=${*:-parse date process config options state history geo dns_cache}
cxx=${CXX_FUZZ:-clang++}
if ! command -v "$cxx" >/dev/null 2>&1; then
  cxx=clang++-14
fi
if ! command -v "$cxx" >/dev/null 2>&1; then
  echo "clang++ not found: apt-get install -y clang-14 libclang-rt-14-dev" >&2
  exit 1
fi
flags="-std=c++20 -g -O1 -fno-omit-frame-pointer -fsanitize=address,undefined -fno-sanitize-recover=undefined"
mkdir -p "$out/obj"

# Generated sources (the KOI8-U catalogue, the graph fonts, the console's
# UTF-8 table) come from the project's own build rules, run in a
# configure-only build directory.
if [ ! -f "$out/cmake/build.ninja" ]; then
  cmake -S "$root" -B "$out/cmake" -G Ninja -DCORVALIST_TESTS=OFF >/dev/null
fi
ninja -C "$out/cmake" generated/uk_catalogue.cc generated/graph_fonts.cc generated/koi8u_utf8.cc >/dev/null
gen=$(ls "$out/cmake/generated/"*.cc)

objs=""
for src in $(find "$root/src" -name '*.cc' ! -path "$root/src/run/main.cc" | sort) $gen; do
  obj=$out/obj/$(echo "${src#$root/}" | tr / _).o
  if [ ! -f "$obj" ] || [ "$src" -nt "$obj" ] || [ -n "$(find "$root/src" -name '*.h' -newer "$obj" | head -1)" ]; then
    $cxx $flags -fsanitize=fuzzer-no-link -I"$root/src" -I"$out/cmake/generated" -c "$src" -o "$obj"
  fi
  objs="$objs $obj"
done
rm -f "$out/libcore.a"
ar rcs "$out/libcore.a" $objs

# Known leaks in Debian's libraries (see the file) are not findings.
export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
for t in $targets; do
  $cxx $flags -fsanitize=fuzzer -I"$root/src" "$root/fuzz/${t}_fuzz.cc" "$out/libcore.a" \
    -lgd -lz -lbz2 -ldb -lmaxminddb -lGeoIP -lm -o "$out/${t}_fuzz"
  mkdir -p "$out/$t-corpus" "$out/$t-crashes"
  seeds=$root/fuzz/$t-seeds
  "$out/${t}_fuzz" -max_total_time="$secs" -max_len=16384 -artifact_prefix="$out/$t-crashes/" \
    "$out/$t-corpus" $( [ -d "$seeds" ] && echo "$seeds" )
done
