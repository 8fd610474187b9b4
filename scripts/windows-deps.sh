#!/usr/bin/env bash
# Builds the libraries the Windows build links, from Debian's own source packages, with
# mingw-w64, into a cache that later runs reuse:
#   ISA-L, libsodium, OpenSSL's libcrypto, GoogleTest, and qtbase (Core, Gui, Widgets, Test,
#   the Windows platform plugin and style).
# Prints nothing but progress; the prefix is $MORVANE_WIN_CACHE/prefix
# (default ~/.cache/morvane-windows). A library is rebuilt only when its recipe below changes.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cache=${MORVANE_WIN_CACHE:-$HOME/.cache/morvane-windows}
prefix=$cache/prefix
jobs=$(nproc)
host=x86_64-w64-mingw32
mkdir -p "$cache/src" "$cache/stamps" "$prefix"

"$here/scripts/deps.sh" g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix wine64 wine \
    yasm autoconf automake libtool dpkg-dev perl zip unzip ninja-build

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)

# Source packages come from the same mirror and suites as the binary ones.
enable_deb_src() {
    apt-get source --print-uris libsodium >/dev/null 2>&1 && return 0
    local list=/etc/apt/sources.list.d/morvane-deb-src.sources
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
            "${sudo_cmd[@]}" tee "$list" >/dev/null
    else
        grep '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' |
            "${sudo_cmd[@]}" tee /etc/apt/sources.list.d/morvane-deb-src.list >/dev/null
    fi
    "${sudo_cmd[@]}" apt-get update -qq
}

# fetch PACKAGE: unpacks Debian's source of PACKAGE under $cache/src and prints its folder.
# The newest version the mirror really serves is taken: an index can name a version whose
# files are not there yet.
fetch() {
    local pkg=$1 version dir
    for version in $(apt-cache showsrc "$pkg" | awk '/^Version:/ {print $2}' | sort -rV); do
        dir=$cache/src/$pkg-$version
        if [ ! -d "$dir/tree" ]; then
            rm -rf "$dir"
            mkdir -p "$dir"
            (cd "$dir" && apt-get source -qq "$pkg=$version" >/dev/null 2>&1) || continue
            local unpacked
            unpacked=$(find "$dir" -mindepth 1 -maxdepth 1 -type d | head -n 1)
            [ -n "$unpacked" ] || continue
            mv "$unpacked" "$dir/tree"
        fi
        echo "$version $dir/tree"
        return 0
    done
    echo "windows-deps: no source of $pkg could be fetched" >&2
    return 1
}

# step NAME PACKAGE: runs build_NAME in the package's source unless it was built with the same
# recipe before. The recipe's own text is in the stamp, so a changed recipe rebuilds; a newer
# Debian source is taken when the recipe next changes or the cache is cleared.
step() {
    local name=$1 pkg=$2 recipe
    recipe=$(declare -f "build_$name" | sha256sum | cut -c1-16)
    if [ -f "$cache/stamps/$name" ] && [ "$(cut -d' ' -f2 "$cache/stamps/$name")" = "$recipe" ]; then
        echo "windows-deps: $name $(cut -d' ' -f1 "$cache/stamps/$name") cached"
        return 0
    fi
    local start=$SECONDS fetched version src
    fetched=$(fetch "$pkg")
    version=${fetched%% *}
    src=${fetched#* }
    echo "windows-deps: building $name $version"
    # Not under `||`, which would turn off -e inside the recipe and let it go on after a failure.
    set +e
    (set -e && cd "$src" && "build_$name") > "$cache/$name.log" 2>&1
    local rc=$?
    set -e
    if [ $rc -ne 0 ]; then
        echo "windows-deps: $name failed; the end of $cache/$name.log:" >&2
        tail -n 30 "$cache/$name.log" >&2
        exit 1
    fi
    echo "$version $recipe" > "$cache/stamps/$name"
    echo "windows-deps: $name built in $((SECONDS - start)) s"
}

build_isal() {
    git clean -qfdx 2>/dev/null || true
    ./autogen.sh
    # ISA-L assembles Windows objects with yasm only, and its configure reads yasm's feature
    # level (AVX2, 4) only where it probed nasm first.
    AS=yasm yasm_feature_level=4 ./configure --host=$host --prefix="$prefix" --disable-shared
    make -j"$jobs"
    make install
}

build_sodium() {
    ./autogen.sh -s
    ./configure --host=$host --prefix="$prefix" --disable-shared --enable-static
    make -j"$jobs"
    make install
}

build_openssl() {
    # Only the digests are used. Without elliptic curves, curve448's gf_mul is not in the
    # library either, whose name would clash with ISA-L's in a static link.
    make clean >/dev/null 2>&1 || true
    ./Configure mingw64 no-shared no-tests no-module no-ec \
        --cross-compile-prefix=$host- --prefix="$prefix" --libdir=lib
    make -j"$jobs" build_libs
    make install_dev
}

build_gtest() {
    cmake -S /usr/src/googletest -B build-win -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64.cmake" -DMORVANE_WIN_PREFIX="$prefix" \
        -DCMAKE_INSTALL_PREFIX="$prefix" -Dgtest_disable_pthreads=OFF
    cmake --build build-win -j"$jobs"
    cmake --install build-win
}

build_qtbase() {
    # Qt 6.4 turns dynamic OpenGL on for Windows even without OpenGL, and its window code then
    # names OpenGL classes that were never built; without OpenGL the answer is plainly "no".
    sed -i 's/^#if QT_CONFIG(dynamicgl)$/#if QT_CONFIG(dynamicgl) \&\& QT_CONFIG(opengl)/' \
        src/plugins/platforms/windows/qwindowswindow.cpp
    # Debian's own Qt tools (moc, rcc, uic) run on the host; wintab is not in Debian's source.
    cmake -S . -B build-win -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64.cmake" -DMORVANE_WIN_PREFIX="$prefix" \
        -DCMAKE_INSTALL_PREFIX="$prefix" -DQT_HOST_PATH=/usr \
        -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
        -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DBUILD_WITH_PCH=OFF \
        -DFEATURE_tabletevent=OFF -DFEATURE_sql=OFF -DFEATURE_network=OFF \
        -DFEATURE_dbus=OFF -DFEATURE_opengl=OFF -DFEATURE_printsupport=OFF \
        -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF -DFEATURE_testlib=ON \
        -DFEATURE_gui=ON -DFEATURE_widgets=ON -DFEATURE_system_zlib=OFF
    cmake --build build-win -j"$jobs"
    cmake --install build-win
}

enable_deb_src
step isal libisal
step sodium libsodium
step openssl openssl
step gtest googletest
step qtbase qt6-base

# The widget tests run on Qt's offscreen platform, which on Windows finds fonts only in the
# prefix. Without them, text is measured in a fallback glyph box, far wider than any font.
mkdir -p "$prefix/lib/fonts"
cp -u /usr/share/fonts/truetype/liberation/LiberationSans-{Regular,Bold}.ttf "$prefix/lib/fonts/"
