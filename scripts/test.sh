#!/bin/sh
# Installs what is missing, builds in build/ and runs every test.
set -e
cd "$(dirname "$0")/.."
./scripts/install-deps.sh --tests
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
ninja -C build
ctest --test-dir build --output-on-failure
