#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test twice: a normal build
# and one under AddressSanitizer + UndefinedBehaviorSanitizer, with the
# Windows program's checks under Wine in between. Every check runs even when
# an earlier one fails; a summary line per check ends the output, and the
# exit status is non-zero when any failed.
set -uo pipefail
cd "$(dirname "$0")/.."
if ! scripts/install-deps.sh; then
  echo "FAIL scripts/install-deps.sh: nothing was built or run" >&2
  exit 1
fi
jobs=$(nproc)
started=$SECONDS
summary=()
failed=0

# run NAME COMMAND...: runs one check and records its outcome and duration.
run() {
  local name=$1 start=$SECONDS status=PASS
  shift
  echo "=== $name"
  "$@" || status=FAIL
  [ "$status" = PASS ] || failed=1
  summary+=("$status $name ($((SECONDS - start)) s)")
  [ "$status" = PASS ]
}

# not_run NAME WHY: a check that could not run counts as failed.
not_run() {
  failed=1
  summary+=("FAIL $1 (not run: $2)")
}

build() {
  local dir=$1
  shift
  cmake -S . -B "$dir" "$@" && cmake --build "$dir" -j "$jobs"
}

in_dir_ctest() {
  (cd "$1" && ctest --output-on-failure -j "$jobs")
}

linux_ok=false
if run "build (normal)" build build -DCMAKE_BUILD_TYPE=RelWithDebInfo; then
  linux_ok=true
  run "ctest (normal)" in_dir_ctest build
else
  not_run "ctest (normal)" "the build failed"
fi

# The 32-bit Windows program, its smoke test and its back end checks under
# Wine; they use the publisher and test tools of the normal build.
win32_ok=false
run "build (win32)" build build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release &&
  win32_ok=true
wine_build=build-win32
wine_build_ok=$win32_ok
wine_note=""
if command -v wine >/dev/null && ! dpkg -s wine32:i386 >/dev/null 2>&1; then
  # The mirror could not provide 32-bit Wine (see install-deps): the checks
  # run on a 64-bit build of the same sources instead, and say so.
  wine_build_ok=false
  wine_build=build-win64
  wine_note=" [64-bit build: no 32-bit Wine]"
  run "build (win64, for Wine)" build build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake \
    -DCMAKE_BUILD_TYPE=Release && wine_build_ok=true
fi
skipped=0
for check in wine_smoke_test.sh wine_ui_test.py wine_names_test.sh wine_platform_test.sh wine_signature_test.sh \
             wine_failover_test.sh wine_resume_test.sh wine_tls_test.sh wine_delta_test.sh; do
  if ! command -v wine >/dev/null; then
    # Only when the package mirror could not provide Wine (see install-deps).
    summary+=("SKIP $check (Wine is not installed)")
    skipped=1
  elif ! $wine_build_ok; then
    not_run "$check" "the Windows build failed"
  elif ! $linux_ok; then
    not_run "$check" "the normal build failed"
  elif [ "${check##*.}" = py ]; then
    run "$check$wine_note" python3 "tests/wine/$check" --win32-build "$wine_build" --build-dir build
  else
    run "$check$wine_note" bash "tests/wine/$check" "$wine_build" build
  fi
done

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
if run "build (sanitizer)" build build-asan -DCMAKE_BUILD_TYPE=Debug -DUPDATER_SANITIZE=ON; then
  run "ctest (sanitizer)" in_dir_ctest build-asan
else
  not_run "ctest (sanitizer)" "the build failed"
fi

echo
echo "=== Summary ($((SECONDS - started)) s)"
printf '%s\n' "${summary[@]}"
if [ "$failed" -ne 0 ]; then
  echo "Some checks failed."
  exit 1
fi
[ -n "$wine_note" ] && echo "The Windows program's checks under Wine ran on a 64-bit build: no 32-bit Wine here."
if [ "$skipped" -ne 0 ]; then
  echo "All checks that could run passed; the Windows program's checks under Wine did NOT run."
  exit 0
fi
echo "All checks passed."
