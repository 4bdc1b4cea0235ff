#!/usr/bin/env bash
# Installs the library into a scratch prefix and builds an integrator's C
# program against it twice: with find_package and with pkg-config. Also
# checks that the library exports nothing but the QV_ names, that the Python
# package and qvreader installed with it find it without ldconfig or a search
# path, and that everything installed carries the project's one version.
set -euo pipefail
build=$1
src=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for c in runtime development; do
  cmake --install "$build" --prefix "$work/prefix" --component "$c" >/dev/null
done
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

# One version: project(VERSION), and what pkg-config, CMake, the library's file
# name, and the Python package (its __version__ and the metadata pip builds) say.
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || { echo "no CMAKE_PROJECT_VERSION in $build/CMakeCache.txt"; exit 1; }
[ "$(pkg-config --modversion qvmodbusrtu)" = "$version" ] || { echo "pkg-config says $(pkg-config --modversion qvmodbusrtu), not $version"; exit 1; }
grep -q "set(PACKAGE_VERSION \"$version\")" "$(dirname "$lib")/cmake/qvmodbusrtu/qvmodbusrtuConfigVersion.cmake" ||
  { echo "the CMake package's version is not $version"; exit 1; }
[ -f "$(dirname "$lib")/libqvmodbusrtu.so.$version" ] || { echo "no libqvmodbusrtu.so.$version"; exit 1; }
[ "${soname##*.}" = "${version%%.*}" ] || { echo "SONAME $soname does not carry the major version of $version"; exit 1; }

cmake --install "$build" --prefix "$work/prefix" --component python >/dev/null
cmake --install "$build" --prefix "$work/prefix" --component tools >/dev/null
py=/usr/bin/python3
pydir=$work/prefix/share/qvmodbusrtu/python
found=$(env -u QVMODBUSRTU_LIBRARY -u LD_LIBRARY_PATH PYTHONPATH="$pydir" PYTHONDONTWRITEBYTECODE=1 "$py" -c '
import importlib.metadata, qvmodbusrtu
print(qvmodbusrtu.load_library(), qvmodbusrtu.__version__, importlib.metadata.version("qvmodbusrtu"))')
[ "$found" = "$(cd "$(dirname "$lib")" && pwd)/libqvmodbusrtu.so.1 $version $version" ] ||
  { echo "installed Python package: '$found' (expected the prefix's library and version $version)"; exit 1; }
cp -r "$src/../../python" "$work/pysrc"
mkdir "$work/meta"
(cd "$work/pysrc" && "$py" -c 'import sys
from setuptools import build_meta
print(build_meta.prepare_metadata_for_build_wheel(sys.argv[1]))' "$work/meta" >/dev/null 2>&1) ||
  { echo "setuptools cannot read python/pyproject.toml"; exit 1; }
grep -qx "Version: $version" "$work"/meta/*.dist-info/METADATA ||
  { echo "pip would build version $(sed -n 's/^Version: //p' "$work"/meta/*.dist-info/METADATA), not $version"; exit 1; }
env -u LD_LIBRARY_PATH "$work/prefix/bin/qvreader" --help >/dev/null || { echo "installed qvreader does not start"; exit 1; }
echo "install ok: $soname, 13 exports, find_package and pkg-config consumers run; version $version everywhere;" \
  "the installed Python package and qvreader find the library"
