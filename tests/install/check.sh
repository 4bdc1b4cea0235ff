#!/usr/bin/env bash
# Installs the library into a scratch prefix and builds an integrator's C
# program against it twice: with find_package and with pkg-config. Also
# checks that the library exports nothing but the QV_ names.
set -euo pipefail
build=$1
src=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" --component Unspecified >/dev/null
lib=$(ls "$work"/prefix/lib*/libqvmodbusrtu.so.1* | head -n1)
soname=$(objdump -p "$lib" | awk '/SONAME/ {print $2}')
[ "$soname" = "libqvmodbusrtu.so.1" ] || { echo "unexpected SONAME: $soname"; exit 1; }

exports=$(nm -D --defined-only "$lib" | awk '{print $3}' | sort)
expected=$(printf '%s\n' QV_ComFree QV_ComInitial QV_DownKey QV_DownKeyEx QV_GetDeviceInfo QV_ReadRegister \
  QV_SetBaseRegisterAddr QV_SetDeviceTermNO QV_SetPermission QV_TCPConnect QV_TCPFree QV_WriteMultiRegister \
  QV_WriteRegister | sort)
if [ "$exports" != "$expected" ]; then
  echo "exported symbols differ:"; diff <(echo "$expected") <(echo "$exports") || true; exit 1
fi

cmake -S "$src/consumer" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
LD_LIBRARY_PATH=$(dirname "$lib") "$work/cmake-build/consumer"

export PKG_CONFIG_PATH=$(dirname "$lib")/pkgconfig
cc -Wall -Werror "$src/consumer/main.c" $(pkg-config --cflags --libs qvmodbusrtu) -o "$work/pc-consumer"
LD_LIBRARY_PATH=$(dirname "$lib") "$work/pc-consumer"
echo "install ok: $soname, 13 exports, find_package and pkg-config consumers run"
