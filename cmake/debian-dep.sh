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
opts=(-o "Dir::Etc::SourceList=$apt/sources.list" -o "Dir::Etc::SourceParts=$apt/parts"
      -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache::Archives=$apt/archives" -o "APT::Sandbox::User=root")
# The libraries of several targets are built side by side, and apt takes
# one at a time: the source entries are written and the lists fetched under
# a lock, each file replaced whole, so that a reader never sees half of one.
(
  flock 9
  # The system's own Debian entries, as source entries.
  for list in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$list" ] && sed -n 's/^deb \(.*\)/deb-src \1/p' "$list"
  done > "$apt/sources.list.new"
  mv -f "$apt/sources.list.new" "$apt/sources.list"
  for sources in /etc/apt/sources.list.d/*.sources; do
    [ -f "$sources" ] && sed 's/^Types: *deb$/Types: deb-src/' "$sources" > "$apt/$(basename "$sources").new" &&
      mv -f "$apt/$(basename "$sources").new" "$apt/parts/$(basename "$sources")"
  done
  # The source lists, fetched again once a day at most.
  if [ -z "$(find "$apt/lists" -name '*Sources*' -mtime -1 2> /dev/null | head -n 1)" ]; then
    apt-get -qq "${opts[@]}" update >&2 || echo "debian-dep.sh: some source lists failed to update; using what is there" >&2
  fi
) 9> "$apt/lock"
# The newest version first; an older one where a mirror does not serve the
# newest (one midway through an update answers 404 for its files).
versions=$(apt-cache "${opts[@]}" showsrc "$package" | awk '/^Version:/ {print $2}' | sort -Vru)
[ -n "$versions" ] || { echo "debian-dep.sh: no source package $package" >&2; exit 1; }
# libarchive is built with what our code calls of it (below), so its build
# is kept apart for each set of calls: a new call builds it anew.
if [ "$package" = libarchive ]; then
  calls=$(grep -rhoE '\barchive_(read|write|entry|error)[a-z0-9_]*\(' "$here/../src" "$here/../tests" | tr -d '(' | LC_ALL=C sort -u)
  variant=-$(printf '%s\n' "$calls" | md5sum | cut -c1-8)
fi
# Headers alone are the same for every target.
# (a new set of Boost's modules is a new build).
case $package in boost*) kind=headers-x3 ;; *) kind=$target${variant:-} ;; esac
prefix_of() {
  # An epoch's colon would break the build's makefiles, which name the path.
  echo "$cache/${package}_${1//:/_}/$kind"
}
cached() {
  for version in $versions; do
    if [ -f "$(prefix_of "$version")/.built" ]; then
      prefix_of "$version"
      return 0
    fi
  done
  return 1
}
cached && exit 0
# One build of a prefix at a time (the headers of Boost are every target's):
# whoever waited finds it built.
exec 8> "$cache/.$package-$kind.lock"
flock 8
cached && exit 0

started=$(date +%s)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fetched=
for version in $versions; do
  if (cd "$work" && flock "$apt/lock" apt-get -qq "${opts[@]}" source --download-only "$package=$version" >&2); then
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

# A CMake build of one library target: configure with the given options,
# then build it. A cross build's configure compiles (and for the page links)
# a test program for each of hundreds of questions about the target; the
# answers a configure found for this package and target before are given up
# front where cmake/preload has them (cmake/preload.sh writes them). Should
# they no longer hold, the build is done again asking every question.
cmake_library() { # LIBRARY_TARGET CONFIGURE_OPTIONS...
  local library=$1 preload=$here/preload/$package-$target.cmake
  shift
  if [ -f "$preload" ]; then
    if "${configure[@]}" -C "$preload" -S "${source:-$work/src}" -B "$work/build" "$@" > "$work/configure.log" 2>&1 &&
       { part_of_library "$library" || cmake --build "$work/build" --target "$library" -j"${JOBS:-2}" > "$work/build.log" 2>&1; }; then
      return 0
    fi
    echo "debian-dep.sh: $package for $target did not build with the answers in $preload; asking every question" >&2
    rm -rf "$work/build"
  fi
  "${configure[@]}" -S "${source:-$work/src}" -B "$work/build" "$@" > "$work/configure.log" 2>&1 ||
    { tail -n 60 "$work/configure.log" >&2; exit 1; }
  cmake --build "$work/build" --target "$library" -j"${JOBS:-2}" > "$work/build.log" 2>&1 ||
    { tail -n 40 "$work/build.log" >&2; exit 1; }
}

# Of libarchive, only the sources that the calls of our code reach (the zip
# and 7z readers and writers, and what they use: a third of it), where they
# are enough for every call to link; else the whole library. The list is
# what a linker took from the whole library for those calls.
part_of_library() { # LIBRARY_TARGET
  [ "$package" = libarchive ] || return 1
  local dir=libarchive/CMakeFiles/$1.dir suffix=o objects=() source
  grep -q "^$dir/archive_read.c.obj:" "$work/build/$dir/build.make" && suffix=obj
  for source in archive_acl archive_check_magic archive_cryptor archive_digest archive_entry archive_entry_sparse \
                archive_entry_xattr archive_hmac archive_options archive_ppmd7 archive_ppmd8 archive_random archive_rb \
                archive_read archive_read_add_passphrase archive_read_support_format_7zip archive_read_support_format_zip \
                archive_string archive_string_sprintf archive_util archive_virtual archive_write archive_write_open_memory \
                archive_write_set_format archive_write_set_format_7zip archive_write_set_format_cpio \
                archive_write_set_format_cpio_binary archive_write_set_format_cpio_newc archive_write_set_format_cpio_odc \
                archive_write_set_format_gnutar archive_write_set_format_iso9660 archive_write_set_format_mtree \
                archive_write_set_format_pax archive_write_set_format_raw archive_write_set_format_shar \
                archive_write_set_format_ustar archive_write_set_format_warc archive_write_set_format_xar \
                archive_write_set_format_zip archive_write_set_options archive_write_set_passphrase \
                $(case $target in win*) echo archive_windows ;; esac); do
    objects+=("$dir/$source.c.$suffix")
  done
  local ar cc
  ar=$(sed -n 's/^CMAKE_AR:[A-Z]*=//p' "$work/build/CMakeCache.txt")
  cc=$(sed -n 's/^set(CMAKE_C_COMPILER "\(.*\)")$/\1/p' "$work/build/CMakeFiles/"*/CMakeCCompiler.cmake | head -n 1)
  [ -n "$ar" ] && [ -n "$cc" ] || return 1
  # Every call, linked against the part and the libraries it needs.
  { echo 'int main(void) {'
    for call in $calls; do echo "  extern void $call(void); $call();"; done
    echo '  return 0; }'; } > "$work/calls.c"
  local system=()
  case $target in win*) system=(-lbcrypt -ladvapi32) ;; esac
  (cd "$work/build" && env NODE_PATH=/usr/share/nodejs make -f "$dir/build.make" -j"${JOBS:-2}" "${objects[@]}" &&
     env NODE_PATH=/usr/share/nodejs "$ar" rcs "libarchive/lib$1.a" "${objects[@]}" &&
     env NODE_PATH=/usr/share/nodejs "$cc" -w "$work/calls.c" "libarchive/lib$1.a" "$z/lib/libz.a" \
       "$lzma/lib/liblzma.a" "$bz2/lib/libbz2.a" "${system[@]}" -o "$work/calls.$([ "$target" = web ] && echo js || echo exe)") > "$work/part.log" 2>&1 && return 0
  echo "debian-dep.sh: the part of libarchive our calls reach does not link for $target; building all of it" >&2
  tail -n 5 "$work/part.log" >&2
  return 1
}

case $package in
  xz-utils)
    # liblzma alone, static; its own CMake build.
    cmake_library liblzma -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF -DCMAKE_POSITION_INDEPENDENT_CODE=OFF
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
    # Its configure's answers for this target, as CMake's are given above
    # (an autoconf cache: configure -C writes one).
    mkdir -p "$work/build"
    cached=$here/preload/$package-$target.cache
    if ! { [ -f "$cached" ] && cp "$cached" "$work/build/config.cache" &&
           (cd "$work/build" && "${conf[@]}" --cache-file=config.cache --enable-static --disable-shared > configure.log 2>&1); }; then
      [ -f "$cached" ] && echo "debian-dep.sh: $package for $target did not configure with the answers in $cached; asking every question" >&2
      rm -rf "$work/build" && mkdir -p "$work/build"
      (cd "$work/build" && "${conf[@]}" --enable-static --disable-shared > configure.log 2>&1) ||
        { tail -n 40 "$work/build/configure.log" >&2; exit 1; }
    fi
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
      cmake_library zlibstatic -DCMAKE_BUILD_TYPE=Release
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
    cmake_library archive_static -DCMAKE_BUILD_TYPE=Release "${off[@]}" \
      -DENABLE_ZLIB=ON -DENABLE_LZMA=ON -DENABLE_BZip2=ON -DCMAKE_C_FLAGS="-DLZMA_API_STATIC" \
      -DZLIB_INCLUDE_DIR="$z/include" -DZLIB_LIBRARY="$z/lib/libz.a" \
      -DZLIB_WINAPI=OFF -DZLIB_WINAPI_WITH_LIB="$z/lib/libz.a" \
      -DLIBLZMA_INCLUDE_DIR="$lzma/include" -DLIBLZMA_LIBRARY="$lzma/lib/liblzma.a" \
      -DBZIP2_INCLUDE_DIR="$bz2/include" -DBZIP2_LIBRARIES="$bz2/lib/libbz2.a"
    cp "$(ls "$work/build/libarchive"/lib*.a | head -n 1)" "$prefix/lib/libarchive.a"
    cp "$work/src/libarchive/archive.h" "$work/src/libarchive/archive_entry.h" "$prefix/include/"
    ;;
  expat)
    # The XML parser alone, static, from its own CMake build: it reads the
    # DAT files ROM managers keep. Its sources stand in expat/ where the
    # package holds the whole repository. No DTDs: a DAT needs none, and
    # Debian's security fixes test XML_DTD by a value only its own build gives.
    [ -f "$work/src/CMakeLists.txt" ] || source=$work/src/expat
    cmake_library expat -DCMAKE_BUILD_TYPE=Release -DEXPAT_SHARED_LIBS=OFF -DEXPAT_BUILD_TOOLS=OFF \
      -DEXPAT_BUILD_EXAMPLES=OFF -DEXPAT_BUILD_TESTS=OFF -DEXPAT_BUILD_DOCS=OFF -DEXPAT_BUILD_FUZZERS=OFF \
      -DEXPAT_BUILD_PKGCONFIG=OFF -DEXPAT_MSVC_STATIC_CRT=OFF -DEXPAT_DTD=OFF
    cp "$(ls "$work/build"/libexpat*.a | head -n 1)" "$prefix/lib/libexpat.a"
    cp "${source:-$work/src}/lib/expat.h" "${source:-$work/src}/lib/expat_external.h" "$prefix/include/"
    ;;
  boost*)
    # Boost.CRC and Spirit X3, which are headers alone, with the headers
    # they include.
    for module in array assert concept_check config container_hash core crc detail exception fusion function_types \
                  integer iterator math move mpl optional predef preprocessor range regex smart_ptr spirit \
                  static_assert throw_exception type_index type_traits typeof utility variant; do
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
