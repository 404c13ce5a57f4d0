#!/usr/bin/env bash
# The linux-kernel stage: the real kv27m-update and kv27m-isp against a real
# Linux kernel's USB stack. A QEMU guest (no KVM needed: TCG) boots Debian's
# own kernel (the newest linux-image installed) with an initramfs made here:
# busybox, the kernel's USB modules (usbcore, usbhid, the dummy host
# controller, gadgetfs), udev with the shipped rule file, the two programs and
# kernel_upgrade_test, which shows the virtual mouse and its bootloader to the
# kernel through gadgetfs and runs the cases (tests/kernel/). Results come back
# on the serial console.
#
#   bash scripts/kernel-test.sh
#
# Environment:
#   KV_KERNEL_SECONDS  the bound of the guest's run (default 360)
#   KV_KERNEL_FILTER   the cases to run (GoogleTest filter; default: all)
#   KV_KERNEL_APPEND   more of the guest kernel's command line: KV_GADGET_TRACE=1 (the
#                      device side's trace), KV_VERBOSE=1 (the programs' transfers),
#                      kv_debug=SECONDS (the blocked tasks' stacks after that long)
#   KV_JOBS            parallel build jobs (default: number of CPUs)
# Builds in build/linux (the linux preset); works in build/linux-kernel; the
# console log is build/logs/linux-kernel-guest.log. The last line says how it
# went; exits non-zero when a case failed or the guest did not finish. Skips
# (exit 0, one line) only where this machine cannot run QEMU's x86-64 guest.
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
jobs=${KV_JOBS:-$(nproc 2>/dev/null || echo 2)}
seconds=${KV_KERNEL_SECONDS:-360}
filter=${KV_KERNEL_FILTER:-}
work=$root/build/linux-kernel
logs=$root/build/logs
console=$logs/linux-kernel-guest.log
t0=$SECONDS
mkdir -p "$work" "$logs"

fail() {
  echo "linux-kernel: FAILED - $*"
  exit 1
}

# Only a machine that cannot run the emulator at all skips.
if [[ $(uname -m) != x86_64 ]]; then
  echo "linux-kernel: SKIPPED - QEMU's x86-64 guest runs on x86-64 machines only (this is $(uname -m))"
  exit 0
fi
if ! qemu-system-x86_64 -version >/dev/null 2>&1; then
  echo "linux-kernel: SKIPPED - qemu-system-x86_64 cannot run here ($(qemu-system-x86_64 -version 2>&1 | head -n 1))"
  exit 0
fi

# The guest's kernel: the newest installed one that ships gadgetfs.
kernel= version=
for image in $(ls -1 /boot/vmlinuz-* 2>/dev/null | sort -V -r); do
  v=${image#/boot/vmlinuz-}
  if ls "/lib/modules/$v/kernel/drivers/usb/gadget/legacy/gadgetfs.ko"* >/dev/null 2>&1; then
    kernel=$image version=$v
    break
  fi
done
[[ -n $kernel ]] || fail "no installed kernel with gadgetfs (install linux-image-amd64)"
[[ -r $kernel ]] || fail "$kernel is not readable"
[[ -x /bin/busybox ]] || fail "no busybox (install busybox-static)"
udevadm=$(command -v udevadm) || fail "no udevadm (install udev)"

# The uncompressed kernel boots in half the time of the compressed one: it is
# taken from the image once per kernel (the payload after the first magic of
# a compression the kernel uses that unpacks to an ELF file).
vmlinux=$work/vmlinux-$version
extract() {  # extract MAGIC COMMAND...
  local offset
  for offset in $(LC_ALL=C grep -obUaP "$1" "$kernel" | cut -d: -f1); do
    tail -c +$((offset + 1)) "$kernel" | "${@:2}" >"$vmlinux.part" 2>/dev/null
    if [[ $(head -c 4 "$vmlinux.part" | od -An -tx1 | tr -d ' ') == 7f454c46 ]]; then
      mv "$vmlinux.part" "$vmlinux"
      return 0
    fi
  done
  return 1
}
if [[ ! -s $vmlinux ]]; then
  extract '\xfd7zXZ\x00' xz -dc || extract '\x28\xb5\x2f\xfd' zstd -dc || extract '\x1f\x8b\x08' gzip -dc ||
    { rm -f "$vmlinux.part"; vmlinux=$kernel; echo "linux-kernel: booting the compressed kernel (no payload found)"; }
fi

# The programs and the cases.
build_log=$logs/linux-kernel-build.log
if ! { cmake --preset linux && cmake --build --preset linux -j "$jobs" \
    --target kv27m-update kv27m-isp kernel_upgrade_test; } >"$build_log" 2>&1; then
  grep -E 'error:|CMake Error' "$build_log" | head -n 20
  fail "build (see $build_log)"
fi
bin=$root/build/linux/bin
[[ -x $bin/kernel_upgrade_test ]] || fail "kernel_upgrade_test was not built (libusb-1.0 and libudev are needed)"

# The initramfs.
guest=$work/root
rm -rf "$guest"
mkdir -p "$guest"/{bin,dev,etc/udev/rules.d,lib/modules,lib/systemd,opt/kv27m/bin,proc,run,sys,tmp}
cp /bin/busybox "$guest/bin/busybox"
ln -s busybox "$guest/bin/sh"
for module in usb-common usbcore udc-core dummy_hcd hid usbhid hid-generic gadgetfs; do
  path=$(find "/lib/modules/$version/kernel" -name "$module.ko*" | head -n 1)
  [[ -n $path ]] || fail "the kernel has no module $module"
  case $path in
    *.ko) cp "$path" "$guest/lib/modules/$module.ko" ;;
    *.ko.xz) xz -dc "$path" >"$guest/lib/modules/$module.ko" ;;
    *.ko.zst) zstd -qdc "$path" >"$guest/lib/modules/$module.ko" ;;
    *) fail "cannot unpack $path" ;;
  esac
done
for program in kv27m-update kv27m-isp kernel_upgrade_test; do
  strip --strip-debug -o "$guest/opt/kv27m/bin/$program" "$bin/$program"
done
cp "$udevadm" "$guest/bin/udevadm"
ln -s /bin/udevadm "$guest/lib/systemd/systemd-udevd"
# The shared libraries they need, where the host has them.
for lib in $(ldd /bin/busybox "$bin/kv27m-update" "$bin/kv27m-isp" "$bin/kernel_upgrade_test" "$udevadm" 2>/dev/null |
  awk '$2 == "=>" && $3 ~ /^\// { print $3 } $1 ~ /^\// && $1 !~ /:$/ { print $1 }' | sort -u); do
  mkdir -p "$guest$(dirname "$lib")"
  cp -L "$lib" "$guest$lib"
done
cp "$root/res/linux/70-kv27m.rules" "$root/tests/kernel/guest/73-seat.rules" "$guest/etc/udev/rules.d/"
printf '%s\n' 'root:x:0:0:root:/root:/bin/sh' 'player:x:1000:1000:player:/tmp:/bin/sh' \
  'other:x:1001:1001:other:/tmp:/bin/sh' >"$guest/etc/passwd"
printf '%s\n' 'root:x:0:' 'player:x:1000:' 'other:x:1001:' >"$guest/etc/group"
cp "$root/tests/kernel/guest/init" "$guest/init"
chmod 755 "$guest/init"
(cd "$guest" && find . | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet) >"$work/initramfs.cpio" ||
  fail "cannot make the initramfs"
echo "linux-kernel: guest kernel $version, initramfs $(($(stat -c %s "$work/initramfs.cpio") / 1048576)) MiB," \
  "prepared in $((SECONDS - t0)) s"

# The guest: one virtual CPU under TCG, the console on the serial port.
append="console=ttyS0 panic=-1 quiet"
[[ -n $filter ]] && append+=" kv_gtest_filter=$filter"
append+=" ${KV_KERNEL_APPEND:-}"
booted=$SECONDS
timeout "$seconds" qemu-system-x86_64 -machine pc -accel tcg -m 768 -smp 1 -nodefaults -nographic \
  -serial stdio -no-reboot -kernel "$vmlinux" -initrd "$work/initramfs.cpio" -append "$append" \
  </dev/null 2>&1 | tr -d '\r' >"$console"
qemu_status=${PIPESTATUS[0]}
guest_seconds=$((SECONDS - booted))

grep -E '^\[ *(RUN|OK|FAILED|PASSED|SKIPPED) *\]|^\[==========\]|Failure|^Expected|Which is|^  Actual|KV-FIGURE|KV-GUEST' \
  "$console" | grep -v '^KV-DMESG'
status=$(sed -n 's/^KV-GUEST-EXIT \([0-9]*\).*/\1/p' "$console" | tail -n 1)
figure() { grep -o "KV-FIGURE $1 [0-9.]*" "$console" | tail -n 1 | cut -d' ' -f3; }
summary="boot $(figure boot-seconds) s, udev $(figure udev-start-seconds) s, cases $(figure cases-seconds) s,"
summary+=" guest ${guest_seconds} s, stage $((SECONDS - t0)) s"
if [[ -z $status ]]; then
  [[ $qemu_status -eq 124 ]] && fail "the guest did not finish within $seconds s (see $console)"
  fail "the guest ended without a result (QEMU exit $qemu_status; see $console)"
fi
passed=$(grep -cE '^\[ +OK \]' "$console")
failed=$(grep -cE '^\[  FAILED  \] .* \([0-9]+ ms\)$' "$console")
if [[ $status -ne 0 || $passed -eq 0 ]]; then
  fail "$failed case(s) failed, $passed passed ($summary; see $console)"
fi
echo "linux-kernel: OK - $passed cases passed ($summary)"
