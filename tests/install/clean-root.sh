#!/usr/bin/env bash
# The Debian packages on a machine that has never seen them: a fresh Debian 12
# root (mmdebstrap), where "apt-get install ./*.deb" has to pull in everything
# they need. Inside it, against a readersim running outside (the root shares
# the loopback network): qvreader, also as an ordinary user; the Python
# package; examples/readcard.c built with pkg-config and tests/install/consumer
# with CMake's find_package; the man pages; the bash completion; readerdemo
# starting. Then "apt-get purge" must leave nothing behind: no file of the
# packages, and no other file that was not there before they were installed.
# With BUILD_DIR, then the README's other route in the same root:
# "cmake --install BUILD_DIR" as root into its prefix (the build tree is
# mounted at its own path), after which a program built with pkg-config, the
# Python package and qvreader find the library with no more steps.
#   tests/install/clean-root.sh DEB_DIR READERSIM [BUILD_DIR]
# Needs root (mmdebstrap, chroot, mount); says so and does nothing otherwise.
set -euo pipefail
[ $# -eq 2 ] || [ $# -eq 3 ] || { echo "usage: tests/install/clean-root.sh DEB_DIR READERSIM [BUILD_DIR]" >&2; exit 2; }
if [ "$(id -u)" -ne 0 ]; then
  echo "clean-root: SKIPPED: making and entering a Debian root needs root; run as root to try the packages"
  exit 0
fi
debdir=$(cd "$1" && pwd)
readersim=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
src=$(cd "$(dirname "$0")/../.." && pwd)
build=""
if [ $# -eq 3 ]; then
  build=$(cd "$3" && pwd)
  [ -f "$build/cmake_install.cmake" ] || { echo "clean-root: $3 is not a configured build" >&2; exit 2; }
fi
start=$SECONDS

packages=(libqvmodbusrtu1 libqvmodbusrtu-dev qvreader python3-qvmodbusrtu readerdemo)
debs=()
for p in "${packages[@]}"; do
  f=$(ls "$debdir/${p}_"*.deb 2>/dev/null | head -n 1)
  [ -n "$f" ] || { echo "clean-root: no ${p}_*.deb in $debdir (scripts/package --deb makes them)" >&2; exit 1; }
  debs+=("$f")
done

work=$(mktemp -d /tmp/qv-clean-root.XXXXXX)
root=$work/root
sim=""
mounts=()
cleanup() {
  set +e
  if [ -n "$sim" ]; then kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null; fi
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do umount "${mounts[i]}"; done
  # Never into a tree still mounted: it would be the real one.
  rm -rf --one-file-system "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

step() { printf '== clean-root (%ds): %s\n' "$((SECONDS - start))" "$*"; }
fail() { echo "clean-root: FAILED: $*" >&2; exit 1; }
source "$(dirname "$0")/../support/readersim.sh"
in_root() { chroot "$root" env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LC_ALL=C.UTF-8 \
  DEBIAN_FRONTEND=noninteractive "$@"; }
apt_get() { in_root apt-get -q -y -o Dpkg::Use-Pty=0 --no-install-recommends "$@"; }
# Every path of the root outside the kernel's and the package tools' own.
snapshot() {
  (cd "$root" && find . -xdev \( -path ./proc -o -path ./sys -o -path ./dev -o -path ./run -o -path ./tmp \
    -o -path ./var/cache -o -path ./var/log -o -path ./var/lib/apt -o -path ./var/lib/dpkg \) -prune \
    -o -print | sort)
}

step "a fresh Debian 12 root"
mmdebstrap --quiet --variant=apt bookworm "$root" >"$work/mmdebstrap.log" 2>&1 ||
  { cat "$work/mmdebstrap.log" >&2; fail "mmdebstrap"; }
cp /etc/resolv.conf "$root/etc/"
mount -t proc proc "$root/proc"
mounts+=("$root/proc")
mkdir -p "$root/tmp/debs" "$root/tmp/src"
cp "${debs[@]}" "$root/tmp/debs/"
inside=()
for d in "${debs[@]}"; do inside+=("/tmp/debs/$(basename "$d")"); done
cp "$src/examples/readcard.c" "$src/tests/install/consumer/"* "$root/tmp/src/"
chmod -R a+rX "$root/tmp/debs" "$root/tmp/src"
apt_get update >"$work/apt.log" 2>&1 || { cat "$work/apt.log" >&2; fail "apt-get update in the root"; }

step "apt-get install ./*.deb (pulls their dependencies)"
apt_get install "${inside[@]}" >"$work/apt.log" 2>&1 || { cat "$work/apt.log" >&2; fail "apt-get install of the packages"; }
echo "   $(grep -c '^Get:' "$work/apt.log" || true) packages downloaded with them"
step "tools the checks use: a C compiler, pkg-config, CMake, man, bash-completion"
apt_get install gcc libc6-dev pkg-config cmake make man-db bash-completion >"$work/apt.log" 2>&1 ||
  { cat "$work/apt.log" >&2; fail "apt-get install of the test tools"; }
# What the root holds without the packages, their dependencies and the tools kept.
apt_get purge "${packages[@]}" >"$work/apt.log" 2>&1 || { cat "$work/apt.log" >&2; fail "first purge"; }
snapshot >"$work/before"
apt_get install "${inside[@]}" >"$work/apt.log" 2>&1 || { cat "$work/apt.log" >&2; fail "apt-get install, again"; }

step "readersim outside the root"
start_readersim "$readersim" "$work" || fail "readersim did not start"

step "qvreader --tcp 127.0.0.1:$port info, as root and as nobody"
out=$(in_root qvreader --tcp "127.0.0.1:$port" info) || fail "qvreader info: $out"
echo "$out" | sed 's/^/   /'
grep -q '^model  *QV-LF125$' <<<"$out" || fail "qvreader info did not name the model"
out=$(in_root setpriv --reuid=65534 --regid=65534 --clear-groups qvreader --tcp "127.0.0.1:$port" card) ||
  fail "qvreader card as nobody: $out"
grep -q '^card  *0000000000123456$' <<<"$out" || fail "qvreader card as nobody: $out"
in_root readersim --help >/dev/null || fail "readersim --help"

step "python3: import qvmodbusrtu, read the card"
out=$(in_root python3 -c '
import importlib.metadata, sys, qvmodbusrtu
port = int(sys.argv[1])
with qvmodbusrtu.open_tcp("127.0.0.1", port) as link:
    reader = qvmodbusrtu.Reader(link)
    print(reader.device_info().model, reader.card_number())
print(qvmodbusrtu.__version__, importlib.metadata.version("qvmodbusrtu"), qvmodbusrtu.load_library())' "$port") ||
  fail "the Python package: $out"
echo "$out" | sed 's/^/   /'
version=$(dpkg-deb -f "${debs[0]}" Version)
grep -qx 'QV-LF125 0000000000123456' <<<"$out" || fail "Python did not read the card"
grep -qx "$version $version libqvmodbusrtu.so.1" <<<"$out" ||
  fail "Python's version or library is not the package's $version (found by the loader's cache)"

step "cc readcard.c \$(pkg-config --cflags --libs qvmodbusrtu), run it"
in_root sh -c 'cd /tmp/src && cc -Wall -Werror readcard.c $(pkg-config --cflags --libs qvmodbusrtu) -o readcard' ||
  fail "readcard.c does not build against the installed package"
out=$(in_root /tmp/src/readcard tcp 127.0.0.1 "$port") || fail "readcard: $out"
echo "$out" | sed 's/^/   /'
grep -qx 'card 0000 0000 0012 3456' <<<"$out" || fail "readcard did not read the card"
[ "$(in_root pkg-config --modversion qvmodbusrtu)" = "$version" ] || fail "pkg-config's version is not $version"

step "find_package(qvmodbusrtu) with CMake"
out=$(in_root sh -c 'cmake -S /tmp/src -B /tmp/cmake-build >/dev/null && cmake --build /tmp/cmake-build >/dev/null &&
  /tmp/cmake-build/consumer') || fail "the CMake package does not build and run the consumer: $out"
echo "$out" | sed 's/^/   /'

step "man qvreader, readersim, readerdemo"
page=$(in_root env MANWIDTH=80 man qvreader 2>&1) || fail "man qvreader: $page"
grep -qE '^ +qvreader +- +read +cards' <<<"$page" || fail "man qvreader shows no NAME line"
grep -qE -- '--tcp HOST\[:PORT\]' <<<"$page" || fail "man qvreader lacks the options"
grep -qE '^   scan$' <<<"$page" || fail "man qvreader lacks the commands' own help"
in_root man -w readersim readerdemo >/dev/null || fail "the pages of readersim and readerdemo are not found"

step "bash completion of qvreader"
# shellcheck disable=SC2016
out=$(in_root bash -c '
  . /usr/share/bash-completion/bash_completion
  _completion_loader qvreader
  complete() { COMP_LINE=$1; COMP_POINT=${#1}; read -ra COMP_WORDS <<<"$1"; [[ $1 == *" " ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); COMPREPLY=(); _qvreader; echo "${COMPREPLY[*]}"; }
  complete "qvreader s"; complete "qvreader --tcp 127.0.0.1 set beep="; complete "qvreader led --output b"') ||
  fail "bash completion: $out"
echo "$out" | sed 's/^/   /'
[ "$(sed -n 1p <<<"$out" | tr ' ' '\n' | sort | xargs)" = "scan set" ] || fail "qvreader s<Tab> gave: $(sed -n 1p <<<"$out")"
[ "$(sed -n 2p <<<"$out" | tr ' ' '\n' | sort | xargs)" = "off on" ] || fail "set beep=<Tab> gave: $(sed -n 2p <<<"$out")"
[ "$(sed -n 3p <<<"$out" | tr ' ' '\n' | sort | xargs)" = "beep both" ] || fail "led --output b<Tab> gave: $(sed -n 3p <<<"$out")"

step "readerdemo starts (offscreen)"
status=0
in_root env QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=/tmp timeout 5 readerdemo >"$work/demo.log" 2>&1 || status=$?
[ "$status" = 124 ] || { cat "$work/demo.log" >&2; fail "readerdemo ended with status $status within 5 s"; }

step "apt-get purge leaves nothing behind"
apt_get purge "${packages[@]}" >"$work/apt.log" 2>&1 || { cat "$work/apt.log" >&2; fail "apt-get purge"; }
snapshot >"$work/after"
if ! diff "$work/before" "$work/after" >"$work/diff"; then
  cat "$work/diff" >&2
  fail "the root differs after the purge from before the install"
fi
for deb in "${debs[@]}"; do
  while read -r path; do
    path=${path#.}
    path=${path%/}
    [ -n "$path" ] || continue
    if [ -e "$root$path" ] || [ -L "$root$path" ]; then
      [ -d "$root$path" ] && in_root dpkg-query -S "$path" >/dev/null 2>&1 && continue  # a directory others use
      fail "$path, from $(basename "$deb"), is still there"
    fi
  done < <(dpkg-deb --fsys-tarfile "$deb" | tar -t)
done

if [ -n "$build" ]; then
  step "the source route: cmake --install as root, into $(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")"
  source_dir=$(sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' "$build/CMakeCache.txt")
  for d in "$source_dir" "$build"; do
    mountpoint -q "$root$d" 2>/dev/null && continue
    [ -n "$(ls -A "$root$d" 2>/dev/null)" ] && continue  # inside the tree mounted just before
    mkdir -p "$root$d"
    mount --bind "$d" "$root$d"
    mounts+=("$root$d")
  done
  out=$(in_root cmake --install "$build" 2>&1) || { echo "$out" >&2; fail "cmake --install"; }
  grep -v -e '^-- Installing' -e '^-- Up-to-date' -e '^-- Set runtime path' <<<"$out" | sed 's/^/   /'
  grep -q '^-- Ran ldconfig' <<<"$out" || fail "root's install into the system prefix did not run ldconfig"
  in_root sh -c 'cd /tmp/src && cc -Wall -Werror readcard.c $(pkg-config --cflags --libs qvmodbusrtu) -o readcard-src' ||
    fail "readcard.c does not build against the installed library"
  out=$(in_root /tmp/src/readcard-src tcp 127.0.0.1 "$port") || fail "readcard against the installed library: $out"
  grep -qx 'card 0000 0000 0012 3456' <<<"$out" || fail "readcard did not read the card: $out"
  pydir=$(in_root sh -c 'ls -d /usr/local/share/qvmodbusrtu/python') || fail "the Python package is not installed"
  out=$(in_root env PYTHONPATH="$pydir" python3 -c '
import sys, qvmodbusrtu
with qvmodbusrtu.open_tcp("127.0.0.1", int(sys.argv[1])) as link:
    print(qvmodbusrtu.Reader(link).card_number(), qvmodbusrtu.load_library())' "$port") || fail "Python: $out"
  grep -qx '0000000000123456 /usr/local/lib/libqvmodbusrtu.so.1' <<<"$out" || fail "Python, installed from source: $out"
  out=$(in_root qvreader --tcp "127.0.0.1:$port" card) || fail "qvreader from /usr/local: $out"
  grep -q '^card  *0000000000123456$' <<<"$out" || fail "qvreader from /usr/local: $out"
  echo "   readcard (pkg-config), the Python package and qvreader read the card without further steps"
fi
step "done"
