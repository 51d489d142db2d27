#!/bin/sh
# Builds and runs the configuration fuzz target with libFuzzer, ASan and UBSan.
#   fuzz/run_config.sh [seconds, default 60]
# Crashes are left in build-fuzz-config/crashes/.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
out=$root/build-fuzz-config
secs=${1:-60}
cxx=${CXX_FUZZ:-clang++}
flags="-std=c++20 -g -O1 -fno-omit-frame-pointer -fsanitize=address,undefined -fno-sanitize-recover=undefined"
mkdir -p "$out/corpus" "$out/crashes" "$out/generated"
iconv -f UTF-8 -t KOI8-U "$root/src/lang/uk_catalogue.cc.in" -o "$out/generated/uk_catalogue.cc"
$cxx $flags -fsanitize=fuzzer -I"$root/src" "$root/fuzz/config_fuzz.cc" \
  "$root/src/run/config.cc" "$root/src/run/settings.cc" "$root/src/stats/lists.cc" \
  "$root/src/lang/lang.cc" "$out/generated/uk_catalogue.cc" -o "$out/config_fuzz"
"$out/config_fuzz" -max_total_time="$secs" -max_len=8192 -artifact_prefix="$out/crashes/" "$out/corpus"
