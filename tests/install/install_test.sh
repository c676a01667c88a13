#!/usr/bin/env bash
# The installed library as an outside project meets it.
#
#   install_test.sh install <build-dir> <consumer-dir> <work-dir> <cc>
#        cmake --install into <work-dir>/prefix, then check the tree
#   install_test.sh package <build-dir> <consumer-dir> <work-dir> <cc>
#        build the Debian package with CPack, unpack it with dpkg -x into
#        <work-dir>/root, then check <work-dir>/root/usr
#
# The check: the shared library carries its SONAME with the usual links; a consumer
# compiled with pkg-config flags and one built with find_package(mosslib) each run
# against the installed library (and no other); the installed mosspec runs.
set -euo pipefail

die() {
    echo "install_test: $*" >&2
    exit 1
}

check_tree() {
    local prefix=$1 consumer=$2 work=$3 cc=$4
    local pc lib
    pc=$(find "$prefix" -name mosslib.pc)
    [ -n "$pc" ] || die "no mosslib.pc under $prefix"
    lib=$(dirname "$(dirname "$pc")")
    [ -f "$prefix/include/mosslib.h" ] || die "no include/mosslib.h under $prefix"

    # The shared library: real file, SONAME link, development link.
    local soname real
    soname=$(objdump -p "$lib/libmosslib.so" | sed -n 's/^ *SONAME *//p')
    [[ "$soname" =~ ^libmosslib\.so\.[0-9]+$ ]] || die "SONAME is '$soname'"
    [ -L "$lib/$soname" ] || die "$lib/$soname is not a link"
    real=$(readlink -f "$lib/libmosslib.so")
    [[ "$(basename "$real")" == "$soname".*.* ]] || die "libmosslib.so resolves to $real"
    echo "library: $(basename "$real"), SONAME $soname"

    # pkg-config: nothing but its flags; the loader path points into the tree.
    local version
    version=$(PKG_CONFIG_PATH="$(dirname "$pc")" pkg-config --modversion mosslib)
    # shellcheck disable=SC2046
    "$cc" -std=c11 -Wall -Wextra -Werror -DEXPECTED_VERSION="\"$version\"" \
        $(PKG_CONFIG_PATH="$(dirname "$pc")" pkg-config --cflags mosslib) \
        -o "$work/consumer-pkgconfig" "$consumer/consumer.c" \
        $(PKG_CONFIG_PATH="$(dirname "$pc")" pkg-config --libs mosslib) -lm
    LD_LIBRARY_PATH=$lib run_consumer "$work/consumer-pkgconfig" "$lib"

    # find_package: the imported target mosslib::mosslib.
    cmake -S "$consumer" -B "$work/consumer-cmake" -DCMAKE_C_COMPILER="$cc" \
        -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF \
        -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF >"$work/consumer-cmake.log" 2>&1 ||
        { cat "$work/consumer-cmake.log" >&2; die "find_package(mosslib) failed"; }
    local found
    found=$(sed -n 's/^mosslib_DIR:PATH=//p' "$work/consumer-cmake/CMakeCache.txt")
    [[ "$(realpath "$found")" == "$(realpath "$prefix")"/* ]] || die "find_package found $found"
    cmake --build "$work/consumer-cmake" >"$work/consumer-build.log" 2>&1 ||
        { cat "$work/consumer-build.log" >&2; die "building the find_package consumer failed"; }
    run_consumer "$work/consumer-cmake/consumer" "$lib"

    # The tool finds its library by its run path.
    "$prefix/bin/mosspec" --list >/dev/null || die "installed mosspec does not run"
    echo "mosspec: runs from $prefix/bin"

    # The Python package, where the source tree has one, imports from the tree.
    local site=$prefix/lib/python3/dist-packages
    if [ -d "$site/mosslib" ]; then
        local where
        where=$(cd "$work" && PYTHONPATH=$site LD_LIBRARY_PATH=$lib PYTHONDONTWRITEBYTECODE=1 \
            /usr/bin/python3 -c 'import mosslib; print(mosslib.__file__)') ||
            die "the installed Python package does not import"
        [[ "$where" == "$site"/* ]] || die "python imported mosslib from $where"
        echo "python: mosslib imports from $site"
        (cd "$work" && PYTHONPATH=$site PYTHONDONTWRITEBYTECODE=1 "$prefix/bin/mossfit" models \
            >/dev/null) || die "installed mossfit does not run"
        echo "mossfit: runs from $prefix/bin"
    fi
}

# run_consumer <program> <lib-dir>: runs it, and it must have loaded <lib-dir>'s library.
run_consumer() {
    local program=$1 lib=$2 loaded
    loaded=$(ldd "$program" | sed -n 's/^\s*libmosslib\.so\.[0-9]* => \(\S*\).*/\1/p')
    [ "$(realpath "$loaded")" = "$(realpath "$lib/$(basename "$loaded")")" ] ||
        die "$(basename "$program") loads $loaded, not the library in $lib"
    "$program"
}

cmd=${1:-}
[ $# -eq 5 ] || die "usage: install_test.sh install|package <build-dir> <consumer-dir> <work-dir> <cc>"
build=$2 consumer=$3 work=$4 cc=$5
rm -rf "$work"
mkdir -p "$work"
work=$(realpath "$work")
case "$cmd" in
    install)
        cmake --install "$build" --prefix "$work/prefix" >"$work/install.log"
        check_tree "$work/prefix" "$consumer" "$work" "$cc"
        ;;
    package)
        if grep -q '^MOSSLIB_HELP2MAN:FILEPATH=/' "$build/CMakeCache.txt"; then
            cmake --build "$build" --target mosslib_man >"$work/man.log" 2>&1 ||
                { cat "$work/man.log" >&2; die "the man pages were not made"; }
        fi
        (cd "$work" && cpack -G DEB --config "$(realpath "$build")/CPackConfig.cmake" -B "$work/pkg") \
            >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log" >&2; die "cpack failed"; }
        local_names=$(cd "$work/pkg" && ls -- *.deb | sed 's/_.*//' | sort | tr '\n' ' ')
        [ "$local_names" = "libmosslib-dev libmosslib0 mosslib-tools python3-mosslib " ] ||
            die "cpack made: $local_names"
        for deb in "$work"/pkg/*.deb; do
            name=$(dpkg-deb -f "$deb" Package)
            echo "package: $(basename "$deb"), depends: $(dpkg-deb -f "$deb" Depends)"
            dpkg-deb -c "$deb" >"$work/contents.txt"
            grep -q "/usr/share/doc/$name/copyright$" "$work/contents.txt" || die "$name: no copyright file"
            dpkg -x "$deb" "$work/root"
        done
        check_tree "$work/root/usr" "$consumer" "$work" "$cc"
        if command -v lintian >/dev/null; then
            lintian --tag-display-limit 0 "$work"/pkg/*.deb >"$work/lintian.log" 2>&1 || true
            cat "$work/lintian.log"
            ! grep -q '^E:' "$work/lintian.log" || die "lintian reports errors"
        fi
        ;;
    *) die "unknown command '$cmd'" ;;
esac
