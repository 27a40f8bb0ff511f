#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12, skipping what is
# there already, and makes sure 32-bit Wine runs: natively where the kernel
# executes 32-bit programs, else through qemu user-mode emulation.
#
# KVPCACT_WINE32=emulated takes the emulated path even where 32-bit programs
# run natively, so that it can be tried on any machine.
set -euo pipefail

packages=(cmake ninja-build g++ libgtest-dev libbenchmark-dev python3 python3-pefile
          g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine32:i386 wine64
          xvfb xauth xdotool llvm lld clang mono-mcs)

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
updated=0

install_packages() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "setup: installing ${missing[*]}"
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        "${sudo[@]}" dpkg --add-architecture i386
    fi
    if [ $updated -eq 0 ]; then
        "${sudo[@]}" apt-get update -qq
        updated=1
    fi
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
}

install_packages "${packages[@]}"

# --- 32-bit Wine ---------------------------------------------------------------
# The entry this script registers; another one that already runs i386
# programs through qemu is used as it is.
binfmt=/proc/sys/fs/binfmt_misc
entry=$binfmt/kvpcact-i386
wine32=/usr/lib/wine/wine
mode=${KVPCACT_WINE32:-auto}

die() {
    echo "setup: FAIL: $*" >&2
    exit 1
}

runs_wine32() { "$wine32" --version >/dev/null 2>&1; }

# Whether the kernel itself runs 32-bit x86 programs: a minimal i386 program
# that calls exit(0). A byte in its ELF padding, which the kernel ignores,
# keeps every binfmt_misc entry for i386 (they match the padding as zeros)
# from taking it.
runs_i386_natively() {
    local exe status
    exe=$(mktemp)
    python3 - "$exe" <<'PY'
import struct, sys
code = bytes.fromhex("b801000000" "31db" "cd80")  # mov eax,1; xor ebx,ebx; int 0x80
base, size = 0x08048000, 52 + 32 + len(code)
header = struct.pack("<16sHHIIIIIHHHHHH", b"\x7fELF\x01\x01\x01" + bytes(8) + b"K", 2, 3, 1,
                     base + 84, 52, 0, 0, 52, 32, 1, 0, 0, 0)
segment = struct.pack("<8I", 1, 0, base, base, size, size, 5, 0x1000)
with open(sys.argv[1], "wb") as out:
    out.write(header + segment + code)
PY
    chmod +x "$exe"
    "$exe" 2>/dev/null && status=0 || status=1
    rm -f "$exe"
    return $status
}

qemu_entry_enabled() {
    local e
    for e in "$binfmt"/*; do
        [ -f "$e" ] && grep -qx enabled "$e" 2>/dev/null &&
            grep -q '^interpreter .*qemu-i386' "$e" && return 0
    done
    return 1
}

case $mode in
auto | emulated) ;;
*) die "KVPCACT_WINE32 must be 'emulated' or unset, not '$mode'" ;;
esac

# A run that forced emulation may have left our entry on; where the kernel
# runs 32-bit programs itself, they run natively again.
if [ "$mode" = auto ] && [ -w "$entry" ] && grep -qx enabled "$entry" && runs_i386_natively; then
    echo 0 >"$entry"
fi

if [ "$mode" = emulated ] || ! runs_wine32; then
    if ! qemu_entry_enabled; then
        [ "$(id -u)" -eq 0 ] ||
            die "32-bit programs do not run here and registering qemu needs root"
        install_packages qemu-user-static
        if [ ! -e "$binfmt/register" ]; then
            mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null ||
                die "32-bit programs do not run here and binfmt_misc cannot be mounted"
        fi
        if [ -e "$entry" ]; then
            echo 1 >"$entry"
        else
            # i386 ELF executables and shared objects, run by the static qemu
            # that the kernel opens now (F), with the program's own open file
            # and credentials (O, C).
            printf '%s' ':kvpcact-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:FOC' \
                >"$binfmt/register" 2>/dev/null ||
                die "32-bit programs do not run here and qemu cannot be registered in binfmt_misc"
        fi
    fi
    runs_wine32 || die "32-bit Wine does not run, not even through qemu"
    echo "setup: 32-bit Wine runs through qemu user-mode emulation here (correct, but its tests take about 30 min)"
fi
