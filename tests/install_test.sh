#!/bin/sh
# Installs the build into a scratch prefix and builds a host against it with pkg-config
# and with find_package; each host must load the library and read one ad's name. The
# installed flb-host must find the installed library by itself.
#   install_test.sh BUILD_DIR SOURCE_DIR C_COMPILER SANITIZERS
set -eu
build=$1 source=$2 cc=$3 sanitize=$4
work=$(mktemp -d /tmp/flb-install-XXXXXX)
trap 'rm -rf "$work"' EXIT
flags=
[ -n "$sanitize" ] && flags="-fsanitize=$sanitize"
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >"$work/install.log"
pc=$(find "$prefix" -name flyerbank.pc)
[ -n "$pc" ] || { echo "no flyerbank.pc installed"; exit 1; }
libdir=$(dirname "$(dirname "$pc")")
for f in "$prefix/include/flyerbank.h" "$prefix/bin/flb-host" "$prefix/bin/ads-server" "$prefix/bin/avls-server" \
         "$libdir/cmake/Flyerbank/FlyerbankConfig.cmake"; do
  [ -e "$f" ] || { echo "not installed: $f"; exit 1; }
done
soname=$(objdump -p "$libdir/libflyerbank.so" | sed -n 's/^ *SONAME *//p')
[ "$soname" = libflyerbank.so.1 ] || { echo "soname is '$soname'"; exit 1; }
# The header's version is the library's file name's and the package's.
header_version=$(sed -n 's/^#define FLB_VERSION_\(MAJOR\|MINOR\|PATCH\) \([0-9]*\)$/\2/p' "$prefix/include/flyerbank.h" | paste -sd.)
file_version=$(basename "$(readlink -f "$libdir/libflyerbank.so")" | sed 's/^libflyerbank\.so\.//')
pc_version=$(PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config --modversion flyerbank)
[ "$header_version" = "$file_version" ] && [ "$pc_version" = "$file_version" ] && [ "${soname#libflyerbank.so.}" = "${file_version%%.*}" ] ||
  { echo "versions differ: header '$header_version', file '$file_version', pkg-config '$pc_version', soname '$soname'"; exit 1; }

mkdir "$work/ads"
printf 'jpg' >"$work/ads/0000007.jpg"
printf '[Flyerbank]\r\nVersion=1.0\r\nCount=1\r\n[AD0000]\r\nName=installed\r\nFile=%s\r\nID=7\r\nType=0\r\n' \
  "$work/ads/0000007.jpg" >"$work/ads/Flyerbank.dat"

expect_name() {  # program
  out=$(LD_LIBRARY_PATH=$libdir "$1" "$work/ads")
  [ "$out" = installed ] || { echo "$1 printed '$out'"; exit 1; }
  objdump -p "$1" | grep -q 'NEEDED *libflyerbank\.so\.1$' || { echo "$1 does not need the soname"; exit 1; }
}

# shellcheck disable=SC2046 # pkg-config's words are meant to split
"$cc" $flags -o "$work/pc_host" "$source/tests/installed/host.c" \
  $(PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config --cflags --libs flyerbank)
expect_name "$work/pc_host"

# The example host built as its comment says, with the run path pkg-config gives: it
# starts (usage, exit 2) with no LD_LIBRARY_PATH.
export PKG_CONFIG_PATH=$libdir/pkgconfig
# shellcheck disable=SC2046
"$cc" $flags -o "$work/example_host" "$source/examples/posix/host.c" $(pkg-config --cflags --libs flyerbank) \
  -Wl,-rpath,"$(pkg-config --variable=libdir flyerbank)"
status=0
env -u LD_LIBRARY_PATH "$work/example_host" 2>"$work/example.err" || status=$?
[ "$status" = 2 ] || { echo "the example host did not start ($status):"; cat "$work/example.err"; exit 1; }

cmake -S "$source/tests/installed" -B "$work/cmake_host" -G Ninja -DCMAKE_C_COMPILER="$cc" \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_PREFIX_PATH="$prefix" >"$work/configure.log" || { cat "$work/configure.log"; exit 1; }
cmake --build "$work/cmake_host" >"$work/build.log" || { cat "$work/build.log"; exit 1; }
expect_name "$work/cmake_host/installed_host"

env -u FLB_LIBRARY "$prefix/bin/flb-host" --folder "$work/ads" show 7 >"$work/show.out"
grep -q '^name *installed$' "$work/show.out" || { cat "$work/show.out"; exit 1; }
echo "installed tree works with pkg-config, find_package and flb-host"
