# Sourced by install-deps.sh, test-all.sh and gui-test.sh: which Windows build
# (win32, the product; win64, the same programs for x86-64) this machine tests,
# and the Wine set-up for each.
#
# A Debian machine of our kind either runs 32-bit x86 programs or does not (its
# kernel, or the sandbox it runs in, refuses them with "Exec format error" even
# with wine32:i386 installed). The Windows suite then runs on the 64-bit build
# under 64-bit Wine: same tests, same dialog, a real Windows run either way.
#
#   KV_WINDOWS=auto (default)  win32 where 32-bit programs run, win64 where not
#   KV_WINDOWS=win32|win64     that flavour, whatever the machine
#   KV_WINDOWS=both            win32, then win64

# kv_runs_32bit: true when this machine executes a 32-bit x86 Linux program. The
# probe is a 96-byte static i386 ELF that only calls exit(42); it needs nothing
# installed (no multilib, no Wine), so it can decide what to install.
kv_runs_32bit() {
  local probe rc
  probe=$(mktemp "${TMPDIR:-/tmp}/kv-i386-probe.XXXXXX") || return 1
  printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000\002\000\003\000\001\000\000\000\124\200\004\010\064\000\000\000\000\000\000\000\000\000\000\000\064\000\040\000\001\000\000\000\000\000\000\000\001\000\000\000\000\000\000\000\000\200\004\010\000\200\004\010\140\000\000\000\140\000\000\000\005\000\000\000\000\020\000\000\270\001\000\000\000\273\052\000\000\000\315\200' >"$probe"
  chmod +x "$probe"
  "$probe" >/dev/null 2>&1
  rc=$?
  rm -f "$probe"
  [[ $rc -eq 42 ]]
}

# kv_windows_flavours: sets KV_FLAVOURS (the flavours to build and test, in
# order) and KV_FLAVOUR_WHY (why, for the summary), from KV_WINDOWS. Returns 1
# on an unknown value.
kv_windows_flavours() {
  case ${KV_WINDOWS:-auto} in
    auto)
      if kv_runs_32bit; then
        KV_FLAVOURS=(win32)
        KV_FLAVOUR_WHY="this machine runs 32-bit programs"
      else
        KV_FLAVOURS=(win64)
        KV_FLAVOUR_WHY="this machine cannot run 32-bit programs"
      fi
      ;;
    win32 | win64)
      KV_FLAVOURS=("$KV_WINDOWS")
      KV_FLAVOUR_WHY="KV_WINDOWS=$KV_WINDOWS"
      ;;
    both)
      KV_FLAVOURS=(win32 win64)
      KV_FLAVOUR_WHY="KV_WINDOWS=both"
      ;;
    *)
      echo "KV_WINDOWS must be auto, win32, win64 or both (not '$KV_WINDOWS')" >&2
      return 1
      ;;
  esac
}

# kv_flavour_packages FLAVOUR: the Debian packages that build and run it.
kv_flavour_packages() {
  case $1 in
    win32) echo binutils-mingw-w64-i686 g++-mingw-w64-i686-posix mingw-w64-i686-dev wine wine32:i386 ;;
    win64) echo binutils-mingw-w64-x86-64 g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev wine wine64 ;;
  esac
}

# kv_wine_env ROOT FLAVOUR: the environment ctest's emulator uses for that build
# (cmake/toolchain-mingw-common.cmake): a private prefix of the flavour's
# architecture under build/FLAVOUR, and its loader named outright (Debian's
# `wine` script takes the 32-bit loader whenever it is installed). Sets KV_WINE
# to the loader.
kv_wine_env() {
  local root=$1 flavour=$2
  case $flavour in
    win32) KV_WINE=/usr/lib/wine/wine ;;
    win64) KV_WINE=/usr/lib/wine/wine64 ;;
  esac
  [[ -x $KV_WINE ]] || KV_WINE=$(command -v wine || echo wine)
  export WINEPREFIX=$root/build/$flavour/wineprefix WINEARCH=$flavour WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml=" WINELOADER=$KV_WINE
}
