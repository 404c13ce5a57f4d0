#!/usr/bin/env bash
# Runs every test suite:
#   format      every C++ source follows .clang-format
#   linux       native build, all tests against the simulated world
#   linux-asan  AddressSanitizer + UndefinedBehaviorSanitizer build, all tests
#   win32       MinGW-w64 32-bit build, the same tests under Wine
#   linux-tsan  ThreadSanitizer build, the threaded tests (ctest -R "$KV_TSAN_TESTS")
#   fuzz        clang + libFuzzer build (linux-fuzz), each fuzz target run for
#               $KV_FUZZ_SECONDS on a copy of its seed corpus (fuzz/corpus/<target>)
#   gui         the real dialog program under Wine on a headless X screen
#               (scripts/gui-test.sh; needs the win32 build, at most 300 s)
# Installs what is missing first (scripts/install-deps.sh). Ends with each
# runner's summary; exits non-zero if any build or test failed.
#
# Environment:
#   KV_JOBS         parallel build and test jobs (default: number of CPUs)
#   KV_TSAN_TESTS   ctest regex of the tests run under ThreadSanitizer (default: all)
#   KV_STAGES       stages to run, in order, from "format linux linux-asan win32 linux-tsan fuzz gui"
#                   (default: all of them)
#   KV_FUZZ_SECONDS how long each fuzz target runs in the fuzz stage (default 20)
#   KV_SKIP_DEPS=1  do not check or install packages
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

jobs=${KV_JOBS:-$(nproc 2>/dev/null || echo 2)}
tsan_tests=${KV_TSAN_TESTS:-.}
stages=${KV_STAGES:-format linux linux-asan win32 linux-tsan fuzz gui}
fuzz_seconds=${KV_FUZZ_SECONDS:-20}
logs=$root/build/logs
started=$SECONDS

if [[ ${KV_SKIP_DEPS:-0} != 1 ]]; then
  bash "$root/scripts/install-deps.sh" || exit 1
fi
mkdir -p "$logs"

declare -a results=()
failed=0

say() { printf '\n==== %s\n' "$*"; }

# build PRESET: configure and build quietly; the log is shown when it fails.
build() {
  local preset=$1 log=$logs/$1-build.log t0=$SECONDS
  say "$preset: configure and build ($jobs jobs)"
  if cmake --preset "$preset" >"$log" 2>&1 && cmake --build --preset "$preset" -j "$jobs" >>"$log" 2>&1; then
    grep -E 'warning:' "$log" | sort -u | head -n 20
    echo "built in $((SECONDS - t0)) s"
    return 0
  fi
  echo "---- first errors in $log"
  grep -E 'error:|Error:|undefined reference|CMake Error' "$log" | head -n 30
  echo "---- last lines of $log"
  tail -n 15 "$log"
  return 1
}

# run_tests PRESET [ctest args...]: runs the suite; keeps ctest's summary.
run_tests() {
  local preset=$1 log=$logs/$1-ctest.log t0=$SECONDS
  shift
  say "$preset: tests"
  ctest --preset "$preset" -j "$jobs" "$@" 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  echo "tested in $((SECONDS - t0)) s"
  return "$rc"
}

record() {  # record PRESET RC [what failed]
  local preset=$1 rc=$2 what=${3:-tests}
  local summary
  if [[ $rc -eq 0 ]]; then
    summary=$(grep -E 'tests passed|tests failed' "$logs/$preset-ctest.log" | tail -n 1)
    results+=("$preset: OK - $summary")
  else
    failed=1
    if [[ $what == build ]]; then
      results+=("$preset: BUILD FAILED (see $logs/$preset-build.log)")
    else
      summary=$(sed -n '/tests passed\|tests failed/,$p' "$logs/$preset-ctest.log" | grep -v '^$')
      results+=("$preset: FAILED - ${summary:-ctest did not run (see $logs/$preset-ctest.log)}")
    fi
  fi
}

# run_fuzzers: each fuzz target for $fuzz_seconds on a scratch copy of its seed
# corpus (what it adds is thrown away); any crash, leak or failed check fails the
# stage, and the input that did it is kept in build/logs/fuzz-artifacts/.
run_fuzzers() {
  local bin=$root/build/linux-fuzz/bin log=$logs/fuzz.log t0=$SECONDS
  local work=$root/build/linux-fuzz/fuzz-work artifacts=$logs/fuzz-artifacts
  local target name rc=0 ran=0 passed=0
  say "fuzz: each target for $fuzz_seconds s"
  rm -rf "$work"
  mkdir -p "$work" "$artifacts"
  : >"$log"
  for target in "$root"/fuzz/corpus/*/; do
    name=$(basename "$target")
    if [[ ! -x $bin/$name ]]; then
      echo "$name: no such fuzz target in $bin" | tee -a "$log"
      rc=1
      continue
    fi
    cp -r "$target" "$work/$name"
    ran=$((ran + 1))
    if "$bin/$name" -max_total_time="$fuzz_seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$artifacts/$name-" "$work/$name" >"$logs/fuzz-$name.log" 2>&1; then
      passed=$((passed + 1))
      echo "$name: OK, $(grep -E '^stat::number_of_executed_units' "$logs/fuzz-$name.log" | awk '{print $2}') runs" | tee -a "$log"
    else
      rc=1
      echo "$name: FAILED (log: $logs/fuzz-$name.log)" | tee -a "$log"
      grep -E 'ERROR:|SUMMARY:|fuzz_[a-z_]+: |Test unit written' "$logs/fuzz-$name.log" | head -n 10
    fi
  done
  echo "fuzzed in $((SECONDS - t0)) s"
  echo "fuzz: $passed passed, $((ran - passed)) failed" >>"$log"
  return "$rc"
}

wine_env() {  # the same private prefix ctest's emulator uses (cmake/toolchain-mingw32.cmake)
  export WINEPREFIX=$root/build/win32/wineprefix WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
}

for stage in $stages; do
  case $stage in
    format)
      say "format: clang-format --check"
      if out=$(bash "$root/scripts/format.sh" --check 2>&1); then
        results+=("format: OK")
      else
        printf '%s\n' "$out"
        results+=("format: FAILED (run scripts/format.sh)")
        failed=1
      fi
      ;;
    linux | linux-asan)
      if build "$stage"; then
        run_tests "$stage"; record "$stage" $?
      else
        record "$stage" 1 build
      fi
      ;;
    win32)
      if build win32; then
        # One wineserver for the whole run, and Wine's own background services
        # started now, away from ctest: started by a test program they would
        # inherit its output pipe and keep ctest waiting. Makes the prefix on
        # the first run (it takes a while).
        wine_env
        wineserver -p </dev/null >/dev/null 2>&1 || true
        boot=(wineboot)
        [[ -f $WINEPREFIX/system.reg ]] || { echo "making the Wine prefix $WINEPREFIX"; boot=(wineboot -i); }
        if ! "${boot[@]}" </dev/null >"$logs/wineboot.log" 2>&1; then
          echo "wineboot failed:"
          tail -n 20 "$logs/wineboot.log"
        fi
        run_tests win32; rc=$?
        wineserver -k >/dev/null 2>&1 || true
        record win32 $rc
      else
        record win32 1 build
      fi
      ;;
    linux-tsan)
      if build linux-tsan; then
        run_tests linux-tsan -R "$tsan_tests"
        record linux-tsan $?
      else
        record linux-tsan 1 build
      fi
      ;;
    fuzz)
      if build linux-fuzz; then
        run_fuzzers; rc=$?
        if [[ $rc -eq 0 ]]; then
          results+=("fuzz: OK - $(tail -n 1 "$logs/fuzz.log")")
        else
          failed=1
          results+=("fuzz: FAILED - $(tail -n 1 "$logs/fuzz.log") (see $logs/fuzz.log)")
        fi
      else
        record linux-fuzz 1 build
      fi
      ;;
    gui)
      # The GUI program comes from the win32 build (built here when that stage
      # did not run before).
      if [[ -f $root/build/win32/bin/KV27MFirmwareUpdate.exe ]] || build win32; then
        say "gui: the dialog program under Wine and Xvfb"
        t0=$SECONDS
        timeout 300 bash "$root/scripts/gui-test.sh" 2>&1 | tee "$logs/gui.log"
        rc=${PIPESTATUS[0]}
        echo "gui stage in $((SECONDS - t0)) s"
        if [[ $rc -eq 0 ]]; then
          results+=("gui: OK - $(grep -E 'all passed' "$logs/gui.log" | tail -n 1)")
        else
          results+=("gui: FAILED (exit $rc; see $logs/gui.log and build/gui/)")
          failed=1
        fi
      else
        results+=("gui: BUILD FAILED (see $logs/win32-build.log)")
        failed=1
      fi
      ;;
    *)
      echo "unknown stage '$stage' (known: format linux linux-asan win32 linux-tsan fuzz gui)" >&2
      failed=1
      ;;
  esac
done

say "summary ($((SECONDS - started)) s)"
for r in "${results[@]}"; do
  printf '%s\n' "$r"
done
if [[ $failed -ne 0 ]]; then
  echo "RESULT: FAILED"
  exit 1
fi
echo "RESULT: all passed"
