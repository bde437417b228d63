#!/usr/bin/env bash
# Builds a library for the Windows programs or the page from Debian's own
# source package, once: the result is cached outside the clone, keyed by the
# package's version and the target, so that a second clone and CI reuse it.
# The source comes through a private apt folder whose deb-src entries are
# the system's own deb entries, so nothing of the system's apt changes.
# Prints the prefix that holds include/ and lib/.
# Usage: cmake/debian-dep.sh PACKAGE TARGET   (TARGET: win32, win64 or web)
set -euo pipefail
package=${1:?usage: debian-dep.sh PACKAGE TARGET}
target=${2:?usage: debian-dep.sh PACKAGE TARGET}
here=$(cd "$(dirname "$0")" && pwd)
cache=${ZELK_DEPS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/zelkpatcher/deps}
apt=$cache/apt
mkdir -p "$apt/parts" "$apt/lists/partial" "$apt/archives/partial"
# The system's own Debian entries, as source entries.
: > "$apt/sources.list"
for list in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
  [ -f "$list" ] && sed -n 's/^deb \(.*\)/deb-src \1/p' "$list" >> "$apt/sources.list"
done
rm -f "$apt/parts/"*.sources
for sources in /etc/apt/sources.list.d/*.sources; do
  [ -f "$sources" ] && sed 's/^Types: *deb$/Types: deb-src/' "$sources" > "$apt/parts/$(basename "$sources")"
done
opts=(-o "Dir::Etc::SourceList=$apt/sources.list" -o "Dir::Etc::SourceParts=$apt/parts"
      -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache::Archives=$apt/archives" -o "APT::Sandbox::User=root")
# The source lists, fetched again once a day at most.
if [ -z "$(find "$apt/lists" -name '*Sources*' -mtime -1 2> /dev/null | head -n 1)" ]; then
  apt-get -qq "${opts[@]}" update >&2 || echo "debian-dep.sh: some source lists failed to update; using what is there" >&2
fi
# The newest version first; an older one where a mirror does not serve the
# newest (one midway through an update answers 404 for its files).
versions=$(apt-cache "${opts[@]}" showsrc "$package" | awk '/^Version:/ {print $2}' | sort -Vru)
[ -n "$versions" ] || { echo "debian-dep.sh: no source package $package" >&2; exit 1; }
prefix_of() {
  # An epoch's colon would break the build's makefiles, which name the path.
  local key=${package}_${1//:/_}
  # Headers alone are the same for every target.
  case $package in boost*) echo "$cache/$key/headers" ;; *) echo "$cache/$key/$target" ;; esac
}
for version in $versions; do
  if [ -f "$(prefix_of "$version")/.built" ]; then
    prefix_of "$version"
    exit 0
  fi
done

started=$(date +%s)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fetched=
for version in $versions; do
  if (cd "$work" && apt-get -qq "${opts[@]}" source --download-only "$package=$version" >&2); then
    fetched=$version
    break
  fi
  rm -f "$work"/*
  echo "debian-dep.sh: $package $version could not be fetched; trying an older version" >&2
done
[ -n "$fetched" ] || { echo "debian-dep.sh: no version of $package could be fetched" >&2; exit 1; }
version=$fetched
prefix=$(prefix_of "$version")
(cd "$work" && dpkg-source --no-check -x ./*.dsc src > /dev/null)
case $target in
  win32) configure=(cmake -DCMAKE_TOOLCHAIN_FILE="$here/mingw-i686.cmake") ;;
  win64) configure=(cmake -DCMAKE_TOOLCHAIN_FILE="$here/mingw-x86_64.cmake") ;;
  # WebAssembly is little-endian; CMake cannot tell it from a test program there.
  web) configure=(env NODE_PATH=/usr/share/nodejs emcmake cmake -DCMAKE_C_BYTE_ORDER=LITTLE_ENDIAN) ;;
  *) echo "debian-dep.sh: unknown target $target" >&2; exit 2 ;;
esac
rm -rf "$prefix"
mkdir -p "$prefix/include" "$prefix/lib"
case $package in
  xz-utils)
    # liblzma alone, static; its own CMake build.
    "${configure[@]}" -S "$work/src" -B "$work/build" -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF \
      -DCMAKE_POSITION_INDEPENDENT_CODE=OFF > "$work/configure.log" 2>&1 ||
      { cat "$work/configure.log" >&2; exit 1; }
    cmake --build "$work/build" --target liblzma -j"${JOBS:-2}" > "$work/build.log" 2>&1 ||
      { tail -n 40 "$work/build.log" >&2; exit 1; }
    cp "$work/build/liblzma.a" "$prefix/lib/"
    cp -r "$work/src/src/liblzma/api/lzma.h" "$work/src/src/liblzma/api/lzma" "$prefix/include/"
    ;;
  libdeflate)
    # Its own Makefile, which names the static library after the system.
    case $target in
      win32) make=(CC=i686-w64-mingw32-gcc-posix AR=i686-w64-mingw32-ar) lib=libdeflatestatic.lib ;;
      win64) make=(CC=x86_64-w64-mingw32-gcc-posix AR=x86_64-w64-mingw32-ar) lib=libdeflatestatic.lib ;;
      web) make=(CC=emcc AR=emar) lib=libdeflate.a ;;
    esac
    NODE_PATH=/usr/share/nodejs make -C "$work/src" "$lib" "${make[@]}" -j"${JOBS:-2}" > "$work/build.log" 2>&1 ||
      { tail -n 40 "$work/build.log" >&2; exit 1; }
    cp "$work/src/$lib" "$prefix/lib/libdeflate.a"
    cp "$work/src/libdeflate.h" "$prefix/include/"
    ;;
  bzip2)
    # libbz2 alone, static, from its own Makefile.
    case $target in
      win32) make=(CC=i686-w64-mingw32-gcc-posix AR=i686-w64-mingw32-ar RANLIB=i686-w64-mingw32-ranlib) ;;
      win64) make=(CC=x86_64-w64-mingw32-gcc-posix AR=x86_64-w64-mingw32-ar RANLIB=x86_64-w64-mingw32-ranlib) ;;
      web) make=(CC=emcc AR=emar RANLIB=emranlib) ;;
    esac
    NODE_PATH=/usr/share/nodejs make -C "$work/src" libbz2.a "${make[@]}" -j"${JOBS:-2}" > "$work/build.log" 2>&1 ||
      { tail -n 40 "$work/build.log" >&2; exit 1; }
    cp "$work/src/libbz2.a" "$prefix/lib/"
    cp "$work/src/bzlib.h" "$prefix/include/"
    ;;
  libmd)
    # MD5 and SHA-1 (and more), static, from its own configure; the page's
    # build passes for a 32-bit Linux one, which its configure knows.
    case $target in
      win32) conf=(../src/configure --host=i686-w64-mingw32 CC=i686-w64-mingw32-gcc-posix) ;;
      win64) conf=(../src/configure --host=x86_64-w64-mingw32 CC=x86_64-w64-mingw32-gcc-posix) ;;
      web) conf=(env NODE_PATH=/usr/share/nodejs emconfigure ../src/configure --host=i686-pc-linux-gnu) ;;
    esac
    mkdir -p "$work/build"
    (cd "$work/build" && "${conf[@]}" --enable-static --disable-shared > configure.log 2>&1) ||
      { tail -n 40 "$work/build/configure.log" >&2; exit 1; }
    NODE_PATH=/usr/share/nodejs make -C "$work/build/src" -j"${JOBS:-2}" > "$work/build.log" 2>&1 ||
      { tail -n 40 "$work/build.log" >&2; exit 1; }
    cp "$work/build/src/.libs/libmd.a" "$prefix/lib/"
    cp "$work/src/include/"*.h "$prefix/include/"
    rm -f "$prefix/include/Makefile"*
    ;;
  zlib)
    # zlib alone, static: for Windows from its own CMake build (zconf.h is
    # made there), for the page from its configure, since its CMake build
    # asks for Windows' resource file there.
    if [ "$target" = web ]; then
      (cd "$work/src" && NODE_PATH=/usr/share/nodejs emconfigure ./configure --static > "$work/configure.log" 2>&1 &&
        NODE_PATH=/usr/share/nodejs emmake make libz.a -j"${JOBS:-2}" > "$work/build.log" 2>&1) ||
        { tail -n 40 "$work/configure.log" "$work/build.log" >&2; exit 1; }
      cp "$work/src/libz.a" "$prefix/lib/"
      cp "$work/src/zlib.h" "$work/src/zconf.h" "$prefix/include/"
    else
      "${configure[@]}" -S "$work/src" -B "$work/build" -DCMAKE_BUILD_TYPE=Release > "$work/configure.log" 2>&1 ||
        { cat "$work/configure.log" >&2; exit 1; }
      cmake --build "$work/build" --target zlibstatic -j"${JOBS:-2}" > "$work/build.log" 2>&1 ||
        { tail -n 40 "$work/build.log" >&2; exit 1; }
      cp "$(ls "$work/build"/lib*.a | head -n 1)" "$prefix/lib/libz.a"
      cp "$work/src/zlib.h" "$work/build/zconf.h" "$prefix/include/"
    fi
    ;;
  libarchive)
    # The reading library alone, static, with the compression libraries
    # built here for the same target; no tools, crypto, XML or tests. Our
    # zlib is built without ZLIB_WINAPI: said, since the check for it runs a
    # program, which a cross build cannot (CMake 3.25 crashes trying).
    z=$(bash "$here/debian-dep.sh" zlib "$target")
    lzma=$(bash "$here/debian-dep.sh" xz-utils "$target")
    bz2=$(bash "$here/debian-dep.sh" bzip2 "$target")
    off=()
    for option in OPENSSL MBEDTLS NETTLE LIBB2 LZ4 LZO ZSTD LIBXML2 EXPAT PCREPOSIX PCRE2POSIX LibGCC CNG TAR CPIO CAT \
                  UNZIP XATTR ACL ICONV TEST COVERAGE WERROR; do
      off+=("-DENABLE_$option=OFF")
    done
    "${configure[@]}" -S "$work/src" -B "$work/build" -DCMAKE_BUILD_TYPE=Release "${off[@]}" \
      -DENABLE_ZLIB=ON -DENABLE_LZMA=ON -DENABLE_BZip2=ON -DCMAKE_C_FLAGS="-DLZMA_API_STATIC" \
      -DZLIB_INCLUDE_DIR="$z/include" -DZLIB_LIBRARY="$z/lib/libz.a" \
      -DZLIB_WINAPI=OFF -DZLIB_WINAPI_WITH_LIB="$z/lib/libz.a" \
      -DLIBLZMA_INCLUDE_DIR="$lzma/include" -DLIBLZMA_LIBRARY="$lzma/lib/liblzma.a" \
      -DBZIP2_INCLUDE_DIR="$bz2/include" -DBZIP2_LIBRARIES="$bz2/lib/libbz2.a" > "$work/configure.log" 2>&1 ||
      { tail -n 60 "$work/configure.log" >&2; exit 1; }
    cmake --build "$work/build" --target archive_static -j"${JOBS:-2}" > "$work/build.log" 2>&1 ||
      { tail -n 40 "$work/build.log" >&2; exit 1; }
    cp "$(ls "$work/build/libarchive"/lib*.a | head -n 1)" "$prefix/lib/libarchive.a"
    cp "$work/src/libarchive/archive.h" "$work/src/libarchive/archive_entry.h" "$prefix/include/"
    ;;
  boost*)
    # Boost.CRC, which is headers alone, with the headers it includes.
    for module in array assert config core crc exception integer static_assert throw_exception type_traits; do
      cp -r "$work/src/libs/$module/include/." "$prefix/include/"
    done
    ;;
  *) echo "debian-dep.sh: no recipe for $package" >&2; exit 2 ;;
esac
touch "$prefix/.built"
# "make test" lists each library it had to build, and how long that took.
[ -z "${ZELK_STAGE_LOG:-}" ] ||
  bash "$here/stages.sh" add "$ZELK_STAGE_LOG" "  library $package $version for $target" $(($(date +%s) - started))
echo "$prefix"
