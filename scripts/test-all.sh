#!/usr/bin/env bash
# Runs every test suite:
#   format      every C++ source follows .clang-format
#   demo        the README's main job (scripts/run-demo.sh): the demo preset's
#               build and a full upgrade of the virtual mouse with the sample
#   linux       native build, all tests against the simulated world
#   linux-asan  AddressSanitizer + UndefinedBehaviorSanitizer build, all tests
#   windows     the MinGW-w64 Windows build, the same tests under Wine, in the
#               flavour this machine runs (scripts/windows-flavour.sh): win32 (the
#               product) where 32-bit programs run, win64 under 64-bit Wine where
#               they do not; KV_WINDOWS=win32|win64|both forces the choice. The
#               stages win32 and win64 name one flavour outright.
#   linux-tsan  ThreadSanitizer build, the threaded tests (ctest -R "$KV_TSAN_TESTS")
#   fuzz        clang + libFuzzer build (linux-fuzz), each fuzz target run for
#               $KV_FUZZ_SECONDS on a copy of its seed corpus (fuzz/corpus/<target>)
#   linux-hw    the real-device boundary (host/) against the mouse modelled at the
#               kernel interface with umockdev, in the linux and linux-asan builds,
#               each run bounded to $KV_HW_SECONDS
#   linux-kernel the real kv27m-update and kv27m-isp in a QEMU guest running Debian's
#               own kernel, against the mouse and its bootloader shown to that
#               kernel through its USB gadget framework (scripts/kernel-test.sh;
#               skipped, with one line, only where QEMU cannot run at all)
#   gui         the real dialog program under Wine on a headless X screen
#               (scripts/gui-test.sh; the same flavour(s) as windows, in Chinese,
#               English and English without the CJK font, at most 300 s each)
# Installs what is missing first (scripts/install-deps.sh). Ends with each
# runner's summary; exits non-zero if any build or test failed.
#
# Environment:
#   KV_JOBS         parallel build and test jobs (default: number of CPUs)
#   KV_TSAN_TESTS   ctest regex of the tests run under ThreadSanitizer (default: all)
#   KV_STAGES       stages to run, in order, from "format demo linux linux-asan windows linux-tsan fuzz linux-hw
#                   linux-kernel gui"
#                   (default: all of them; win32 and win64 are accepted too)
#   KV_WINDOWS      auto (default), win32, win64 or both: the Windows flavour(s)
#   KV_FUZZ_SECONDS how long each fuzz target runs in the fuzz stage (default 20)
#   KV_HW_SECONDS   the bound of each linux-hw run (default 300)
#   KV_SKIP_DEPS=1  do not check or install packages
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

jobs=${KV_JOBS:-$(nproc 2>/dev/null || echo 2)}
tsan_tests=${KV_TSAN_TESTS:-.}
stages=${KV_STAGES:-format demo linux linux-asan windows linux-tsan fuzz linux-hw linux-kernel gui}
fuzz_seconds=${KV_FUZZ_SECONDS:-20}
hw_seconds=${KV_HW_SECONDS:-300}
logs=$root/build/logs
started=$SECONDS

source "$root/scripts/windows-flavour.sh"
kv_windows_flavours || exit 1
if [[ ${KV_SKIP_DEPS:-0} != 1 ]]; then
  # shellcheck disable=SC2086
  bash "$root/scripts/install-deps.sh" all $(printf '%s\n' $stages | grep -xE 'win32|win64') || exit 1
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

record() {  # record PRESET RC [what failed [label]]
  local preset=$1 rc=$2 what=${3:-tests} label=${4:-$1}
  local summary
  if [[ $rc -eq 0 ]]; then
    summary=$(grep -E 'tests passed|tests failed' "$logs/$preset-ctest.log" | tail -n 1)
    results+=("$label: OK - $summary")
  else
    failed=1
    if [[ $what == build ]]; then
      results+=("$label: BUILD FAILED (see $logs/$preset-build.log)")
    else
      summary=$(sed -n '/tests passed\|tests failed/,$p' "$logs/$preset-ctest.log" | grep -v '^$')
      results+=("$label: FAILED - ${summary:-ctest did not run (see $logs/$preset-ctest.log)}")
    fi
  fi
}

# linux_hw: the kernel-interface tests (ctest label linux-hw, run under
# umockdev-wrapper) in the native and the AddressSanitizer builds, building only
# what they need; each run bounded to $hw_seconds.
linux_hw() {
  local preset rc=0 t0=$SECONDS log=$logs/linux-hw.log blog
  : >"$log"
  for preset in linux linux-asan; do
    say "linux-hw ($preset): the host bus against the kernel-interface model"
    blog=$logs/linux-hw-$preset-build.log
    if ! { cmake --preset "$preset" && cmake --build --preset "$preset" -j "$jobs" \
        --target host_umockdev_test kv27m-update; } >"$blog" 2>&1; then
      echo "$preset: BUILD FAILED (see $blog)" | tee -a "$log"
      grep -E 'error:|CMake Error' "$blog" | head -n 20
      rc=1
      continue
    fi
    timeout "$hw_seconds" ctest --preset "$preset" -L linux-hw 2>&1 | tee "$logs/linux-hw-$preset.log"
    if [[ ${PIPESTATUS[0]} -eq 0 ]]; then
      echo "$preset: $(grep -E 'tests passed|tests failed' "$logs/linux-hw-$preset.log" | tail -n 1)" >>"$log"
    else
      echo "$preset: FAILED (see $logs/linux-hw-$preset.log)" >>"$log"
      rc=1
    fi
  done
  echo "linux-hw in $((SECONDS - t0)) s" | tee -a "$log"
  return "$rc"
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

# The label a Windows flavour's results carry in the summary: which flavour, and
# why when the machine chose it.
flavour_label() {  # flavour_label STAGE FLAVOUR
  if [[ $1 == windows || $1 == gui ]]; then
    echo "$1 ($2: $KV_FLAVOUR_WHY)"
  else
    echo "$1"
  fi
}

# windows_tests STAGE FLAVOUR: builds the flavour's preset and runs its suite under
# Wine, with one wineserver for the whole run (in the private prefix ctest's
# emulator uses, cmake/toolchain-mingw-common.cmake), and Wine's own background
# services started now, away from ctest: started by a test program they would
# inherit its output pipe and keep ctest waiting. Makes the prefix on the first
# run (it takes a while).
windows_tests() {
  local stage=$1 flavour=$2 rc label
  label=$(flavour_label "$stage" "$flavour")
  [[ $stage == windows ]] && echo "windows: $flavour ($KV_FLAVOUR_WHY)"
  if ! build "$flavour"; then
    record "$flavour" 1 build "$label"
    return
  fi
  (
    kv_wine_env "$root" "$flavour"
    trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
    wineserver -p </dev/null >/dev/null 2>&1 || true
    boot=("$KV_WINE" wineboot)
    [[ -f $WINEPREFIX/system.reg ]] || { echo "making the Wine prefix $WINEPREFIX"; boot+=(-i); }
    if ! "${boot[@]}" </dev/null >"$logs/wineboot-$flavour.log" 2>&1; then
      echo "wineboot failed:"
      tail -n 20 "$logs/wineboot-$flavour.log"
    fi
    run_tests "$flavour"
  )
  rc=$?
  record "$flavour" $rc tests "$label"
}

# gui_test STAGE FLAVOUR: the dialog program of that flavour's build (built here
# when the Windows stage did not run before).
gui_test() {
  local flavour=$2 rc t0 label
  label=$(flavour_label "$1" "$flavour")
  if [[ -f $root/build/$flavour/bin/KV27MFirmwareUpdate.exe ]] || build "$flavour"; then
    # In Chinese, in English, and in English without the CJK font.
    local language log
    for language in zh en en-nocjk; do
      say "gui ($flavour, $language): the dialog program under Wine and Xvfb"
      t0=$SECONDS
      log=$logs/gui-$flavour-$language.log
      timeout 300 bash "$root/scripts/gui-test.sh" "$flavour" "$language" 2>&1 | tee "$log"
      rc=${PIPESTATUS[0]}
      echo "gui stage in $((SECONDS - t0)) s"
      if [[ $rc -eq 0 ]]; then
        results+=("$label ($language): OK - $(grep -E 'all passed' "$log" | tail -n 1)")
      else
        results+=("$label ($language): FAILED (exit $rc; see $log and build/gui/)")
        failed=1
      fi
    done
  else
    results+=("$label: BUILD FAILED (see $logs/$flavour-build.log)")
    failed=1
  fi
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
    demo)
      say "demo: the main job (scripts/run-demo.sh)"
      if KV_SKIP_DEPS=1 bash "$root/scripts/run-demo.sh" >"$logs/demo.log" 2>&1; then
        results+=("demo: OK - $(tail -n 1 "$logs/demo.log")")
      else
        tail -n 20 "$logs/demo.log"
        results+=("demo: FAILED (see $logs/demo.log)")
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
    windows)
      for flavour in "${KV_FLAVOURS[@]}"; do windows_tests windows "$flavour"; done
      ;;
    win32 | win64)
      windows_tests "$stage" "$stage"
      ;;
    linux-tsan)
      if build linux-tsan; then
        # The kernel-interface tests run under umockdev's preload library,
        # which is not built with ThreadSanitizer: the descriptors of its own
        # sockets, reused by the next open, show as races there. The linux-hw
        # stage runs them in the normal and the AddressSanitizer builds.
        run_tests linux-tsan -R "$tsan_tests" -LE linux-hw
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
    linux-hw)
      if linux_hw; then
        results+=("linux-hw: OK - $(grep -v '^linux-hw in' "$logs/linux-hw.log" | paste -sd ';' -) ($(tail -n 1 "$logs/linux-hw.log"))")
      else
        failed=1
        results+=("linux-hw: FAILED - $(paste -sd ';' - <"$logs/linux-hw.log")")
      fi
      ;;
    linux-kernel)
      say "linux-kernel: the real programs against a real Linux kernel in a QEMU guest"
      KV_JOBS=$jobs bash "$root/scripts/kernel-test.sh" 2>&1 | tee "$logs/linux-kernel.log"
      rc=${PIPESTATUS[0]}
      results+=("$(tail -n 1 "$logs/linux-kernel.log")")
      [[ $rc -eq 0 ]] || failed=1
      ;;
    gui)
      for flavour in "${KV_FLAVOURS[@]}"; do gui_test gui "$flavour"; done
      ;;
    *)
      echo "unknown stage '$stage' (known: format demo linux linux-asan windows win32 win64 linux-tsan fuzz linux-hw linux-kernel gui)" >&2
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
