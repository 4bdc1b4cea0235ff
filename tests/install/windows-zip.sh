#!/usr/bin/env bash
# The Windows zip as an integrator gets it: unpacked, its contents alone build
# examples/readcard.c with mingw-w64 for x64 and x86, against the MinGW import
# library (.dll.a) and against the Visual Studio one (.lib); the DLLs export
# the thirteen names of the .def, carry the version in their version resource
# and need no DLL of the tool chain; the example and qvreader.exe from the
# unpacked zip read the card of a readersim running here, under Wine.
#   tests/install/windows-zip.sh ZIP READERSIM
# The x86 programs run only where Wine runs 32-bit programs (Debian's
# wine32:i386); otherwise they are built and checked, and the run is skipped
# with a word.
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: tests/install/windows-zip.sh ZIP READERSIM" >&2; exit 2; }
zip=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
readersim=$2
[ -f "$zip" ] || { echo "windows-zip: no $1 (scripts/package --windows makes it)" >&2; exit 1; }
src=$(cd "$(dirname "$0")/../.." && pwd)

work=$(mktemp -d /tmp/qv-windows-zip.XXXXXX)
sim=""
export WINEPREFIX=$work/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
  set +e
  if [ -n "$sim" ]; then kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null; fi
  [ -d "$WINEPREFIX" ] && wineserver -k >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
fail() { echo "windows-zip: FAILED: $*" >&2; exit 1; }
source "$(dirname "$0")/../support/readersim.sh"

unzip -q "$zip" -d "$work/unpacked"
top=$(ls "$work/unpacked")
[ "$(wc -l <<<"$top")" = 1 ] || fail "the zip holds more than one top folder: $top"
dir=$work/unpacked/$top
version=$(sed -n 's/^qvmodbusrtu-\(.*\)-windows$/\1/p' <<<"$top")
[ -n "$version" ] || fail "top folder '$top' is not qvmodbusrtu-VERSION-windows"
echo "== $top"

for f in README.txt qvmodbusrtu.def include/qvmodbusrtu.h examples/readcard.c \
  x64/qvmodbusrtu.dll x64/qvmodbusrtu.lib x64/libqvmodbusrtu.dll.a x64/qvreader.exe \
  x86/qvmodbusrtu.dll x86/qvmodbusrtu.lib x86/libqvmodbusrtu.dll.a x86/qvreader.exe; do
  [ -f "$dir/$f" ] || fail "$f is missing"
done
if [ -d "$src/bindings" ]; then
  (cd "$src" && find bindings -type f) | while read -r f; do
    cmp -s "$src/$f" "$dir/$f" || fail "$f is missing or differs from the source tree's"
  done
fi

exports=$(awk '$1 ~ /^QV_/ { print $1 }' "$dir/qvmodbusrtu.def" | sort)
[ "$(wc -l <<<"$exports")" = 13 ] || fail "the .def lists $(wc -l <<<"$exports") names, not 13"

# VS_FIXEDFILEINFO (signature 0xFEEF04BD) and the ProductVersion string.
resource_version() {
  python3 - "$1" <<'EOF'
import struct, sys
data = open(sys.argv[1], "rb").read()
at = data.find(struct.pack("<I", 0xFEEF04BD))
if at < 0:
    sys.exit("no version resource")
ms, ls = struct.unpack_from("<II", data, at + 8)
key = "ProductVersion\0".encode("utf-16-le")
k = data.find(key)
if k < 0:
    sys.exit("no ProductVersion string")
s = k + len(key)
s += (4 - s % 4) % 4
text = data[s:data.find(b"\0\0", s) + 1].decode("utf-16-le").rstrip("\0")
print(f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16} {text}")
EOF
}

declare -A mingw=([x64]=x86_64-w64-mingw32 [x86]=i686-w64-mingw32)
declare -A format=([x64]=pei-x86-64 [x86]=pei-i386)
for arch in x64 x86; do
  echo "== $arch"
  t=${mingw[$arch]}
  cc=$t-gcc
  command -v "$cc" >/dev/null || cc=$t-gcc-posix
  for f in qvmodbusrtu.dll qvreader.exe; do
    grep -q "file format ${format[$arch]}" <<<"$("$t-objdump" -f "$dir/$arch/$f")" || fail "$arch/$f is not ${format[$arch]}"
    # Only Windows' own DLLs (and ours): nothing of the tool chain to ship.
    # (Pipes here read to the end: with pipefail, a reader that stops early fails them.)
    others=$("$t-objdump" -p "$dir/$arch/$f" | awk '/DLL Name:/ { print tolower($3) }' |
      grep -vxE 'kernel32\.dll|ws2_32\.dll|advapi32\.dll|msvcrt\.dll|user32\.dll|qvmodbusrtu\.dll|api-ms-win-.*' || true)
    [ -z "$others" ] || fail "$arch/$f needs DLLs that are not in the zip: $others"
  done
  got=$("$t-objdump" -p "$dir/$arch/qvmodbusrtu.dll" |
    awk '/\[Ordinal\/Name Pointer\] Table/ { on = 1; next } NF == 0 { on = 0 } on { print $NF }' | sort)
  [ "$got" = "$exports" ] || fail "$arch/qvmodbusrtu.dll exports differ from the .def: $(diff <(echo "$exports") <(echo "$got") | tr '\n' ' ')"
  rv=$(resource_version "$dir/$arch/qvmodbusrtu.dll") || fail "$arch/qvmodbusrtu.dll: $rv"
  [ "$rv" = "$version $version" ] || fail "$arch/qvmodbusrtu.dll's version resource says '$rv', the zip $version"

  # The README's commands, from the unpacked folder: MinGW's and Visual Studio's import library.
  mkdir -p "$work/run-$arch"
  (cd "$dir" && "$cc" -Wall -Werror -Iinclude examples/readcard.c -L"$arch" -lqvmodbusrtu -o "$work/run-$arch/readcard.exe") ||
    fail "readcard.c does not build with $cc and $arch/libqvmodbusrtu.dll.a"
  (cd "$dir" && "$cc" -Wall -Werror -Iinclude examples/readcard.c "$arch/qvmodbusrtu.lib" -o "$work/run-$arch/readcard-lib.exe") ||
    fail "readcard.c does not build with $cc and $arch/qvmodbusrtu.lib"
  cp "$dir/$arch/qvmodbusrtu.dll" "$work/run-$arch/"
  for exe in readcard.exe readcard-lib.exe; do
    names=$("$t-objdump" -p "$work/run-$arch/$exe" | awk '/DLL Name:/ { on = /qvmodbusrtu.dll/; next }
      on && $NF ~ /^QV_/ { print $NF }' | sort -u | tr '\n' ' ')
    [ "$names" = "QV_ComFree QV_ComInitial QV_GetDeviceInfo QV_ReadRegister QV_TCPConnect QV_TCPFree " ] ||
      fail "$arch/$exe imports from qvmodbusrtu.dll: '$names' (plain names expected)"
  done
  echo "   DLL and qvreader.exe ${format[$arch]}, 13 exports, version $version; readcard.c built with the .dll.a and the .lib"
done

echo "== under Wine, against readersim"
start_readersim "$readersim" "$work" || fail "readersim did not start"
wineboot -i >/dev/null 2>&1 || fail "wineboot"
wineserver -p >/dev/null 2>&1 || true

archs=(x64)
if dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed'; then
  archs+=(x86)
else
  echo "   x86 programs not run: Wine here runs no 32-bit programs (wine32:i386 is not installed; scripts/bootstrap --windows installs it)"
fi
for arch in "${archs[@]}"; do
  for exe in readcard.exe readcard-lib.exe; do
    out=$(cd "$work/run-$arch" && wine "./$exe" tcp 127.0.0.1 "$port" 2>&1 | tr -d '\r') || fail "$arch/$exe under Wine: $out"
    grep -qx 'card 0000 0000 0012 3456' <<<"$out" || fail "$arch/$exe did not read the card: $out"
  done
  out=$(cd "$dir/$arch" && wine ./qvreader.exe --tcp "127.0.0.1:$port" info 2>&1 | tr -d '\r') ||
    fail "$arch/qvreader.exe under Wine: $out"
  grep -qE '^model +QV-LF125$' <<<"$out" || fail "$arch/qvreader.exe info: $out"
  out=$(cd "$dir/$arch" && wine ./qvreader.exe --tcp "127.0.0.1:$port" card 2>&1 | tr -d '\r') ||
    fail "$arch/qvreader.exe card: $out"
  grep -qE '^card +0000000000123456$' <<<"$out" || fail "$arch/qvreader.exe card: $out"
  echo "   $arch: readcard.exe (both import libraries) and qvreader.exe info, card: read the card"
done
echo "== windows zip ok"
