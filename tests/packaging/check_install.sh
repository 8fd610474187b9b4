#!/usr/bin/env bash
# What the build installs, checked in a temporary root.
#   check_install.sh install BUILD_DIR VERSION   cmake --install into a staging prefix
#   check_install.sh deb BUILD_DIR VERSION       cpack -G DEB, then the package's control fields,
#                                                and the tree that dpkg -x unpacks from it
# Either way the tree must hold exactly the programs, the desktop entry, the icons, the metainfo,
# the manual page and the completion, and they must work from there (check_tree in common.sh).
set -uo pipefail
export LC_ALL=C.UTF-8
source "$(dirname "$0")/common.sh"
mode=$1 build_dir=$2 version=$3
make_scratch

case $mode in
    install)
        if ! cmake --install "$build_dir" --prefix "$scratch/root/usr" >"$scratch/install.log" 2>&1; then
            fail "cmake --install failed: $(cat "$scratch/install.log")"
            finish
        fi
        check_tree "$scratch/root/usr" "$version"
        ;;
    deb)
        # The package and cpack's work files go to the scratch folder, not the build folder.
        if ! (cd "$build_dir" && cpack -G DEB -B "$scratch/out") >"$scratch/cpack.log" 2>&1; then
            fail "cpack -G DEB failed: $(cat "$scratch/cpack.log")"
            finish
        fi
        arch=$(dpkg --print-architecture)
        deb=$scratch/out/morvane_${version}_$arch.deb
        if [[ ! -f $deb ]]; then
            fail "cpack made no $(basename "$deb"): $(ls "$scratch/out")"
            finish
        fi
        field() { dpkg-deb -f "$deb" "$1"; }
        [[ $(field Package) == morvane ]] || fail "Package is '$(field Package)'"
        [[ $(field Version) == "$version" ]] || fail "Version is '$(field Version)', not $version"
        [[ $(field Architecture) == "$arch" ]] || fail "Architecture is '$(field Architecture)'"
        [[ $(field Section) == utils ]] || fail "Section is '$(field Section)', not utils"
        [[ $(field Maintainer) =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ ]] ||
            fail "Maintainer '$(field Maintainer)' is not 'Name <address>'"
        [[ -n $(field Description) ]] || fail "the package has no Description"
        # dpkg-shlibdeps found the Qt 6 libraries that the two programs link.
        depends=$(field Depends)
        echo "Depends: $depends"
        # The package names, without versions, one a line; "a | b" gives both.
        names=$(sed -E 's/ *\([^)]*\)//g; s/ *[,|] */\n/g' <<<"$depends")
        for library in libqt6core6 libqt6gui6 libqt6widgets6 libc6 libstdc++6; do
            grep -qxF "$library" <<<"$names" || fail "Depends does not name $library: $depends"
        done
        # Every file belongs to root and none is writable by others.
        if dpkg-deb -c "$deb" | awk '$2 != "root/root" || $1 ~ /^.{8}w/' | grep -q .; then
            fail "files not owned by root or writable by all: $(dpkg-deb -c "$deb" |
                awk '$2 != "root/root" || $1 ~ /^.{8}w/')"
        fi
        dpkg -x "$deb" "$scratch/root" || fail "dpkg -x failed"
        check_tree "$scratch/root/usr" "$version"
        ;;
    *)
        echo "usage: check_install.sh install|deb BUILD_DIR VERSION" >&2
        exit 2
        ;;
esac

finish
