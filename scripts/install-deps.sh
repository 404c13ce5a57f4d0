#!/usr/bin/env bash
# Installs what building and testing need on Debian 12, as root (or with sudo).
#
#   bash scripts/install-deps.sh        everything scripts/test-all.sh needs: the
#                                       native toolchain, GoogleTest/Benchmark, the
#                                       MinGW-w64 cross toolchain and Wine of the
#                                       Windows flavour(s) this machine tests
#                                       (scripts/windows-flavour.sh, KV_WINDOWS),
#                                       clang with libFuzzer, the GUI test's tools,
#                                       tshark for the check of a capture, and
#                                       libusb, libudev and umockdev (linux-hw), and
#                                       QEMU with Debian's kernel, busybox and udev
#                                       (linux-kernel)
#   bash scripts/install-deps.sh all win32   the same, with that Windows flavour too
#   bash scripts/install-deps.sh demo   only what the main job builds with
#                                       (scripts/run-demo.sh): cmake, make, g++
#
# Idempotent and quiet: when everything is already there it only checks and
# returns; otherwise apt's output goes to a log that is shown if apt fails.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/windows-flavour.sh"

packages=(cmake make g++)                  # native build (g++ brings the sanitizer runtimes)
if [[ ${1:-all} != demo ]]; then
  kv_windows_flavours
  packages+=(
    ccache                                   # every build compiles through it: a second clone rebuilds from the cache
    binutils-mingw-w64-i686                  # windres: compiles the resource script in every build
    libgtest-dev googletest libbenchmark-dev # tests, GoogleTest sources for the cross build, benchmarks
    clang-format                             # the format check
    clang libclang-rt-14-dev                 # the fuzz targets: clang++ and its libFuzzer runtime
    xvfb xdotool x11-utils imagemagick       # the GUI test: the real dialog under Wine, headless, screenshots
    fonts-wqy-microhei                       # a CJK font, so the dialog's Chinese texts render under Wine
    tshark                                   # the capture test: Wireshark's dissectors read a capture
    libusb-1.0-0-dev libudev-dev pkg-config  # real mice on Linux: usbfs through libusb, hidraw and hotplug through udev
    umockdev libumockdev-dev                 # the linux-hw stage: the mouse modelled at the kernel interface
    qemu-system-x86 linux-image-amd64        # the linux-kernel stage: a guest running Debian's own kernel,
    busybox-static udev cpio xz-utils        # with busybox, udevd and the rule file in an initramfs made with cpio
  )
  for flavour in "${KV_FLAVOURS[@]}" "${@:2}"; do
    # shellcheck disable=SC2207
    packages+=($(kv_flavour_packages "$flavour")) # the cross compiler, and Wine to run its test programs
  done
fi
needs_i386=0
[[ " ${packages[*]} " == *":i386 "* ]] && needs_i386=1

missing() {
  if [[ $needs_i386 -eq 1 ]]; then
    dpkg --print-foreign-architectures 2>/dev/null | grep -qx i386 || echo "i386-architecture"
  fi
  local p status
  for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2>/dev/null || true)
    [[ $status == ii* ]] || echo "$p"
  done
}

todo=$(missing)
if [[ -z $todo ]]; then
  exit 0
fi

sudo=()
if [[ $(id -u) -ne 0 ]]; then
  command -v sudo >/dev/null || { echo "install-deps: run as root (missing: $(echo $todo))" >&2; exit 1; }
  sudo=(sudo)
fi

log=${TMPDIR:-/tmp}/kv27-install-deps.log
echo "install-deps: installing $(echo $todo) (log: $log)"
export DEBIAN_FRONTEND=noninteractive
apt_opts=(-q -y -o Dpkg::Use-Pty=0 -o DPkg::Lock::Timeout=600 --no-install-recommends)
{
  if [[ $needs_i386 -eq 1 ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${sudo[@]}" dpkg --add-architecture i386
  fi
  # tshark's package asks whether non-root users may capture; answered "no"
  # beforehand so that the install never stops to ask.
  echo "wireshark-common wireshark-common/install-setuid boolean false" | "${sudo[@]}" debconf-set-selections
  "${sudo[@]}" apt-get "${apt_opts[@]}" update
  "${sudo[@]}" apt-get "${apt_opts[@]}" install "${packages[@]}"
} >"$log" 2>&1 || {
  echo "install-deps: apt failed; last lines of $log:" >&2
  tail -n 30 "$log" >&2
  exit 1
}

todo=$(missing)
if [[ -n $todo ]]; then
  echo "install-deps: still missing after install: $(echo $todo)" >&2
  exit 1
fi
echo "install-deps: done"
