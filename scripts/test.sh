#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test twice: a normal build
# and one under AddressSanitizer + UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc)

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$jobs"
(cd build && ctest --output-on-failure -j "$jobs")

# The 32-bit Windows program, its smoke test and its back end checks under Wine.
cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release
cmake --build build-win32 -j "$jobs"
bash tests/wine/wine_smoke_test.sh build-win32 build
python3 tests/wine/wine_ui_test.py --win32-build build-win32 --build-dir build
bash tests/wine/wine_names_test.sh build-win32 build
bash tests/wine/wine_platform_test.sh build-win32 build
bash tests/wine/wine_signature_test.sh build-win32 build
bash tests/wine/wine_failover_test.sh build-win32 build
bash tests/wine/wine_resume_test.sh build-win32 build
bash tests/wine/wine_tls_test.sh build-win32 build

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DUPDATER_SANITIZE=ON
cmake --build build-asan -j "$jobs"
(cd build-asan && ctest --output-on-failure -j "$jobs")
