#!/usr/bin/env bash
# The real dialog under Wine, headless: runs build/FLAVOUR/bin/KV27MFirmwareUpdate.exe
# (FLAVOUR win32 or win64; without it, the flavour this machine tests, see
# scripts/windows-flavour.sh) with the sample image beside it and --simulate, on an Xvfb screen, in Wine's
# virtual desktop (which draws the title bar without a window manager). For each
# case it waits for the message box that ends the run, answers it with Return,
# reads the --simulate-log and checks what the user was shown. Screenshots land
# in build/gui/FLAVOUR/ (build/gui/FLAVOUR-LANGUAGE/ for the other languages):
# the dialog mid-upgrade and the final box of each case, and the question the
# recovery of a mouse in its bootloader asks when its newest backup is damaged.
#
#   bash scripts/gui-test.sh [FLAVOUR [LANGUAGE]]  # needs that build (cmake --build --preset FLAVOUR)
#   KV_GUI_KEEP=1                       # keep the logs of passing cases too (they are always kept)
#
# LANGUAGE: zh (the default: the dialog in Simplified Chinese), en (in English),
# or en-nocjk (in English, in a Wine prefix of its own that has no CJK font
# linked, to show the English dialog needs none). The program is started with
# --lang=zh or --lang=en, so the result does not hang on the host's locale.
#
# Chinese texts: Wine has no CJK fonts of its own. The script links the dialog
# fonts ("MS Shell Dlg", "MS Shell Dlg 2", Tahoma) to WenQuanYi Micro Hei
# (fonts-wqy-microhei) in the Wine prefix, and checks that the dialog's texts
# are glyphs rather than the empty boxes of a missing font (label_difference).
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
source "$root/scripts/windows-flavour.sh"
fail() { echo "gui-test: FAILED: $*" >&2; exit 1; }
flavour=${1:-}
if [[ -z $flavour ]]; then
  kv_windows_flavours || exit 1
  flavour=${KV_FLAVOURS[0]}
fi
[[ $flavour == win32 || $flavour == win64 ]] || fail "unknown flavour '$flavour' (win32 or win64)"
language=${2:-zh}
case $language in
  zh) lang=zh suffix= ;;
  en) lang=en suffix=-en ;;
  en-nocjk) lang=en suffix=-en-nocjk ;;
  *) fail "unknown language '$language' (zh, en or en-nocjk)" ;;
esac
exe=$root/build/$flavour/bin/KV27MFirmwareUpdate.exe
out=$root/build/gui/$flavour$suffix
run=$out/run
started=$SECONDS

[[ -f $exe ]] || fail "$exe is missing (cmake --preset $flavour && cmake --build --preset $flavour)"
kv_wine_env "$root" "$flavour"
# Without the CJK font: a prefix of its own, never given the FontLink entries.
[[ $language == en-nocjk ]] && export WINEPREFIX=$WINEPREFIX-nocjk
echo "gui-test: the $flavour program in language $language, with $KV_WINE"
for tool in Xvfb xdotool import convert "$KV_WINE" wineserver; do
  command -v "$tool" >/dev/null || fail "$tool is missing (bash scripts/install-deps.sh)"
done
font=$(fc-list 2>/dev/null | grep -i 'wqy-microhei' | head -n 1 | cut -d: -f1)
[[ -n $font ]] || fail "the font WenQuanYi Micro Hei is missing (fonts-wqy-microhei)"

rm -rf "$run"
mkdir -p "$run" "$out"
cp "$exe" "$run/"
cp res/KV27M_FW_UPGRADE.bimg "$run/"

# A free display number.
display=77
while [[ -e /tmp/.X11-unix/X$display || -e /tmp/.X$display-lock ]]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 1024x600x24 -nolisten tcp >"$out/xvfb.log" 2>&1 &
xvfb_pid=$!
export DISPLAY=":$display"
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  kill "$xvfb_pid" >/dev/null 2>&1 || true
}
trap cleanup EXIT
for _ in $(seq 200); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
xdpyinfo >/dev/null 2>&1 || fail "Xvfb did not start (see $out/xvfb.log)"

wineserver -p </dev/null >/dev/null 2>&1 || true
if [[ ! -f $WINEPREFIX/system.reg ]]; then
  echo "gui-test: making the Wine prefix $WINEPREFIX"
  "$KV_WINE" wineboot -i </dev/null >"$out/wineboot.log" 2>&1
else
  "$KV_WINE" wineboot </dev/null >"$out/wineboot.log" 2>&1
fi
link='HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink'
if [[ $language != en-nocjk ]]; then
  for name in Tahoma "MS Shell Dlg" "MS Shell Dlg 2"; do
    "$KV_WINE" reg add "$link" /v "$name" /t REG_MULTI_SZ /d "wqy-microhei.ttc,WenQuanYi Micro Hei" /f </dev/null >/dev/null 2>&1 ||
      fail "cannot write the FontLink entry $name"
  done
fi

# wait_for LOG PATTERN SECONDS: waits until a line of LOG matches.
wait_for() {
  local log=$1 pattern=$2 limit=$3 t0=$SECONDS
  while ((SECONDS - t0 < limit)); do
    grep -qE "$pattern" "$log" 2>/dev/null && return 0
    sleep 0.2
  done
  return 1
}

# The labels "固件升级镜像：" and "固件升级进度：" ("Image file:" and "Progress:")
# sit 35 pixels apart in the dialog (at the desktop's top left). Drawn without a
# font for their script every glyph is the same empty box and the two labels are
# identical pixel for pixel; with the font they differ. Prints the number of
# differing pixels.
label_difference() {
  local a=$out/label-a.png b=$out/label-b.png
  convert "$1" -crop 90x16+36+143 +repage "$a" && convert "$1" -crop 90x16+36+178 +repage "$b" &&
    compare -metric AE "$a" "$b" null: 2>&1 | cut -d' ' -f1
  rm -f "$a" "$b"
}

# run_case NAME SCENARIO EXPECTED_TEXT: one whole run, answered and checked.
run_case() {
  local name=$1 scenario=$2 expected=$3
  local log=$out/$name.log winlog="Z:${out//\//\\}\\$name.log"
  rm -f "$log"
  echo "gui-test: $name (--simulate=$scenario)"
  (cd "$run" && timeout 240 "$KV_WINE" explorer /desktop=kv,760x360 KV27MFirmwareUpdate.exe \
    --simulate="$scenario" --simulate-log "$winlog" --lang="$lang" </dev/null >"$out/$name.wine.log" 2>&1) &
  local pid=$!
  wait_for "$log" '^dialog open' 60 || fail "$name: the dialog did not open (see $out/$name.wine.log)"
  # Without a window manager the X keyboard focus goes nowhere: a click on the
  # dialog's caption gives it to Wine's desktop (and activates the dialog).
  sleep 1
  xdotool mousemove 300 11 click 1
  sleep 0.5
  import -window root "$out/$name-open.png"
  local differ
  differ=$(label_difference "$out/$name-open.png")
  echo "gui-test: $name: the two labels differ in ${differ:-?} pixels (0: the font is missing)"
  ((${differ:-0} > 20)) || fail "$name: the dialog's texts are not rendered (see $out/$name-open.png)"
  # Mid-upgrade: the bootloader wait's countdown, or a percentage past 10.
  if wait_for "$log" '^text percent ([0-9]+s|[2-9][0-9]%)$' 60; then
    import -window root "$out/$name-progress.png"
  fi
  wait_for "$log" '^messagebox ' 180 || fail "$name: no message box (log: $log)"
  sleep 1.5  # let the box paint
  import -window root "$out/$name-final.png"
  xdotool key Return
  wait_for "$log" '^messagebox-answer 1$' 20 || fail "$name: the box was not answered"
  # The dialog stays up after the box: close it as a user would (Escape).
  sleep 0.5
  xdotool key Escape
  wait_for "$log" '^exit ' 20 || fail "$name: the program did not end"
  wait "$pid" 2>/dev/null || true
  grep -qE "^messagebox .* \| $expected\$" "$log" ||
    fail "$name: expected the message '$expected' (log: $log)"
  echo "gui-test: $name: OK"
}

# The recovery of a mouse left in its bootloader whose newest backup is
# damaged: a failed erase, its box answered; the backup just written is cut
# short; a click on the upgrade button (where the template puts it, at the
# desktop's top left) asks the question that names the damaged file, and
# Cancel (Escape) ends it with nothing sent. The backups of the simulated run
# are in the prefix's per-user folder, under KV27M\simulated.
run_damaged_backup_case() {
  local name=damaged-backup
  local log=$out/$name.log winlog="Z:${out//\//\\}\\$name.log"
  rm -f "$log"
  echo "gui-test: $name (--simulate=erase-fails, then the recovery)"
  (cd "$run" && timeout 240 "$KV_WINE" explorer /desktop=kv,760x360 KV27MFirmwareUpdate.exe \
    --simulate=erase-fails --simulate-log "$winlog" --lang="$lang" </dev/null >"$out/$name.wine.log" 2>&1) &
  local pid=$!
  wait_for "$log" '^dialog open' 60 || fail "$name: the dialog did not open (see $out/$name.wine.log)"
  sleep 1
  xdotool mousemove 300 11 click 1
  wait_for "$log" '^messagebox ' 180 || fail "$name: no message box (log: $log)"
  sleep 1
  xdotool key Return
  wait_for "$log" '^messagebox-answer 1$' 20 || fail "$name: the box was not answered"
  local newest
  newest=$(find "$WINEPREFIX/drive_c/users" -path '*/KV27M/simulated/backup-*.kv27ud' -newer "$log.start" 2>/dev/null |
    head -n 1)
  [[ -n $newest ]] || fail "$name: no backup of the simulated run under $WINEPREFIX/drive_c/users/*/KV27M/simulated"
  case $newest in */KV27M/simulated/*) ;; *) fail "$name: the simulated backup is not apart: $newest" ;; esac
  truncate -s 3 "$newest"
  sleep 0.5
  xdotool mousemove 466 186 click 1
  wait_for "$log" "^messagebox .*$(basename "$newest")" 30 || fail "$name: no question naming $(basename "$newest") (log: $log)"
  sleep 1.5
  import -window root "$out/$name-question.png"
  xdotool key Escape
  wait_for "$log" '^messagebox-answer 2$' 20 || fail "$name: the question was not answered with Cancel"
  sleep 0.5
  xdotool key Escape
  wait_for "$log" '^exit ' 20 || fail "$name: the program did not end"
  wait "$pid" 2>/dev/null || true
  # The question about the image's defaults, or about an older backup when
  # earlier runs in this prefix left one.
  grep -qE "^messagebox .* \| .*$damaged" "$log" || fail "$name: expected the question '...$damaged...' (log: $log)"
  grep -qx 'progress 100' "$log" && fail "$name: the cancelled recovery flashed"
  echo "gui-test: $name: OK"
}

if [[ $lang == zh ]]; then
  success="恭喜亲，在线升级成功！" erase_failed="Flash擦除失败！" damaged="用户数据备份已损坏："
else
  success="Congratulations, the online upgrade succeeded!" erase_failed="Flash erase failed!"
  damaged="user data backup is damaged:"
fi
run_case ok ok "$success"
grep -qx 'progress 100' "$out/ok.log" || fail "ok: the bar did not reach 100"
grep -qx 'indicator present' "$out/ok.log" || fail "ok: the indicator never showed the mouse"
grep -qE '^text percent [0-9]+s$' "$out/ok.log" || fail "ok: the bootloader wait was not counted down"
run_case erase-fails erase-fails "$erase_failed"
grep -qx 'progress 100' "$out/erase-fails.log" && fail "erase-fails: the bar reached 100"
touch "$out/damaged-backup.log.start"
run_damaged_backup_case

echo "gui-test: screenshots in $out: $(cd "$out" && ls -1 ./*.png | tr '\n' ' ')"
echo "gui-test: all passed in $((SECONDS - started)) s"
