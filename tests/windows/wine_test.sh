#!/usr/bin/env bash
# Cross-builds the Windows DLL, checks its binary interface, and runs the test host
# under Wine.
#
#   wine_test.sh dll  <source-dir> <build-dir> <win32|win64>
#        configure with cmake/mingw-*.cmake, build mosslib.dll, then check it: plain
#        export names, stdcall argument sizes (32-bit), system imports only, SSE2
#        arithmetic (32-bit)
#   wine_test.sh check <build-dir> <win32|win64>
#        only the check
#   wine_test.sh host <source-dir> <build-dir> [lineshape spinham relax]
#        build host.exe into <build-dir> with the DLL build's cross compiler, for the
#        model families named
#   wine_test.sh build <source-dir> <build-dir> <win32|win64> [families...]
#        dll, then host
#   wine_test.sh boot <wine-prefix>
#        create the Wine prefix (once; slow the first time)
#   wine_test.sh run  <wine-prefix> <build-dir> <out-dir> <mode> [<compare> <linux-dir> tolerances...]
#        run host.exe under Wine against <build-dir>/src/mosslib.dll in <mode>
#        (examples, host-fpu or doubl-first), then compare its spectra with the
#        reference directory (Linux, or another Windows run) within the tolerances
#   wine_test.sh kit  <wine-prefix> <build-dir> <consumer.c> <out-dir>
#        build the host kit (target mosslib_kit), unpack its zip into <out-dir>, check
#        that its .def names the DLL's exports, link <consumer.c> with the kit's header
#        and import library alone, and run it under Wine next to the kit's DLL
set -euo pipefail

die() {
    echo "wine_test: $*" >&2
    exit 1
}

triple_of() {
    case "$1" in
        win32) echo i686-w64-mingw32 ;;
        win64) echo x86_64-w64-mingw32 ;;
        *) die "unknown target '$1' (win32 or win64)" ;;
    esac
}

toolchain_of() {
    case "$1" in
        win32) echo mingw-i686.cmake ;;
        win64) echo mingw-x86_64.cmake ;;
    esac
}

need_cross_compiler() {
    local triple=$1
    command -v "$triple-g++-posix" >/dev/null ||
        die "$triple-g++-posix not found: install g++-mingw-w64-${triple%%-*}-posix (./run test installs it)"
}

build_dll() {
    local src=$1 dir=$2 target=$3
    local triple
    triple=$(triple_of "$target")
    need_cross_compiler "$triple"
    cmake -S "$src" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/$(toolchain_of "$target")" \
        -DCMAKE_BUILD_TYPE=Release >"$dir.configure.log" 2>&1 ||
        { cat "$dir.configure.log" >&2; die "configuring the $target build failed"; }
    cmake --build "$dir" --target mosslib -j 2
    check_dll "$dir" "$target"
}

# The DLL's binary interface, read from the file itself.
check_dll() {
    local dir=$1 target=$2
    local triple dll def
    triple=$(triple_of "$target")
    dll=$dir/src/mosslib.dll
    def=$dir/src/mosslib.def
    [ -f "$dll" ] || die "$dll was not built"
    local headers
    headers=$("$triple-objdump" -p "$dll")

    # Exports: exactly the names of the module-definition file, undecorated.
    local want got
    want=$(sed -n 's/^    \([A-Za-z_][A-Za-z0-9_]*\).*/\1/p' "$def" | sort)
    got=$(echo "$headers" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/s/^\s*\[ *[0-9]*\] //p' | sort)
    [ "$want" = "$got" ] || die "$target exports differ from $def:
$(diff <(echo "$want") <(echo "$got"))"
    echo "$target exports: $(echo "$got" | tr '\n' ' ')"

    # Imports: system DLLs only; the C and C++ run-times are linked in.
    local imports
    imports=$(echo "$headers" | sed -n 's/^\s*DLL Name: //p' | sort -u)
    local bad
    bad=$(echo "$imports" | grep -viE '^(KERNEL32|msvcrt)\.dll$' || true)
    [ -z "$bad" ] || die "$target DLL imports non-system DLLs: $bad"
    echo "$target imports: $(echo "$imports" | tr '\n' ' ')"

    if [ "$target" = win32 ]; then
        # stdcall: every return of the exported function internal@N pops N bytes.
        local disasm=$dir/mosslib.dll.s
        "$triple-objdump" -d --no-show-raw-insn "$dll" >"$disasm"
        local name internal bytes rets popped=""
        while read -r name internal; do
            bytes=${internal##*@}
            rets=$(awk -v sym="<_${internal}>:" '
                index($0, sym) { inside = 1; next }
                inside && /^$/ { exit }
                inside && /\tret/ { sub(/.*\tret[l]? */, ""); print ($0 == "" ? "0" : $0) }' "$disasm")
            [ -n "$rets" ] || die "$name ($internal): no return instruction found"
            if [ "$bytes" = 0 ]; then
                [ "$(echo "$rets" | sort -u)" = "0" ] || die "$name ($internal) pops arguments: $rets"
            else
                [ "$(echo "$rets" | sort -u)" = "$(printf '$0x%x' "$bytes")" ] ||
                    die "$name ($internal): returns with '$(echo "$rets" | sort -u | tr '\n' ' ')', expected ret \$$(printf '0x%x' "$bytes")"
            fi
            popped+=" $name:$bytes"
        done < <(sed -n 's/^    \([A-Za-z_][A-Za-z0-9_]*\) = \([A-Za-z_][A-Za-z0-9_]*@[0-9]*\)$/\1 \2/p' "$def")
        echo "win32 stdcall, bytes popped:$popped"

        # SSE2 arithmetic: no x87 add/subtract/multiply/divide in the library's own code
        # (x87 loads remain: a 32-bit function returns its double in st(0)). The mnemonic is
        # matched after the address, which may itself read "fadd".
        local x87
        x87=$("$triple-objdump" -d --no-show-raw-insn "$dir/src/libmosslib_core.a" \
            "$dir"/src/CMakeFiles/mosslib.dir/boundary/*.obj |
            grep -cE ':\s+(fadd|faddp|fsub|fsubp|fsubr|fsubrp|fmul|fmulp|fdiv|fdivp|fdivr|fdivrp|fsqrt)\b' || true)
        [ "$x87" = 0 ] || die "win32: $x87 x87 arithmetic instructions in the library's code"
        echo "win32 arithmetic: SSE2 only"
    fi
}

build_host() {
    local src=$1 dir=$2
    shift 2
    local cc
    cc=$(sed -n 's/^set(CMAKE_C_COMPILER "\(.*\)")$/\1/p' "$dir"/CMakeFiles/*/CMakeCCompiler.cmake 2>/dev/null | head -1)
    [ -n "$cc" ] || die "no C compiler recorded in $dir/CMakeFiles (build the DLL first)"
    local defs=() family
    for family in "$@"; do
        defs+=("-DMOSSLIB_HAVE_${family^^}")
    done
    local fp=()
    [[ "$(basename "$cc")" == i686-* ]] && fp=(-msse2 -mfpmath=sse)
    "$cc" -std=c11 -O2 -Wall -Wextra -Werror -ffp-contract=off "${fp[@]}" "${defs[@]}" \
        -I "$src/include" -o "$dir/host.exe" "$src/tests/windows/host.c" -static
    echo "built $dir/host.exe (families: ${*:-none})"
}

need_wine() {
    command -v wine >/dev/null && command -v wineserver >/dev/null && command -v wineboot >/dev/null ||
        die "wine not found: install wine, wine64 and wine32:i386 (./run test installs them)"
    [ -x /usr/lib/wine/wine ] ||
        die "the 32-bit Wine loader is missing: dpkg --add-architecture i386, then install wine32:i386"
    [ -x /usr/lib/wine/wine64 ] || die "the 64-bit Wine loader is missing: install wine64"
}

wine_env() {
    WINEPREFIX=$(realpath -m "$1")
    export WINEPREFIX
    export WINEDEBUG=-all
    # No Mono or Gecko installers (they would try the network and open dialogs).
    export WINEDLLOVERRIDES="mscoree,mshtml="
    unset DISPLAY WAYLAND_DISPLAY
}

boot_prefix() {
    local prefix=$1
    need_wine
    wine_env "$prefix"
    if [ -f "$prefix/system.reg" ] && [ -d "$prefix/drive_c/windows/syswow64" ]; then
        echo "wine prefix $prefix ready"
        return 0
    fi
    rm -rf "$prefix"
    mkdir -p "$(dirname "$prefix")"
    WINEARCH=win64 wineboot -i >"$prefix.boot.log" 2>&1 || { cat "$prefix.boot.log" >&2; die "wineboot failed"; }
    wineserver -w
    [ -d "$prefix/drive_c/windows/syswow64" ] || die "wineboot made no 64-bit prefix with 32-bit support"
    echo "wine prefix $prefix created"
}

# Windows path of a file of the Linux file system (Wine maps / to drive Z:).
windows_path() {
    local p
    p=$(realpath "$1")
    echo "Z:${p//\//\\}"
}

run_host() {
    local prefix=$1 dir=$2 out=$3 mode=$4
    shift 4
    need_wine
    wine_env "$prefix"
    [ -d "$prefix/drive_c" ] || die "no wine prefix at $prefix"
    rm -rf "$out"
    mkdir -p "$out"
    local status=0
    (cd "$out" && wine "$(windows_path "$dir/host.exe")" "$(windows_path "$dir/src/mosslib.dll")" . "$mode") ||
        status=$?
    wineserver -w || true
    [ "$status" = 0 ] || die "host.exe ($mode) failed with status $status"
    if [ $# -gt 0 ]; then
        local compare=$1 reference=$2
        shift 2
        "$compare" "$out" "$reference" "$@"
    fi
}

check_kit() {
    local prefix=$1 dir=$2 consumer=$3 out=$4
    need_wine
    cmake --build "$dir" --target mosslib_kit >"$dir/kit.log" 2>&1 ||
        { cat "$dir/kit.log" >&2; die "building the host kit failed"; }
    local zip
    zip=$(find "$dir/kit" -maxdepth 1 -name 'mosslib-*.zip')
    [ "$(echo "$zip" | wc -w)" = 1 ] || die "host kit zip: '$zip'"
    rm -rf "$out"
    mkdir -p "$out"
    /usr/bin/python3 -m zipfile -e "$zip" "$out"
    local name kit
    name=$(basename "$zip" .zip)
    kit=$out/$name
    local f
    for f in mosslib.dll mosslib.h mosslib.def mosslib.dll.a mosslib.lib README.txt models.md LICENSE.txt; do
        [ -s "$kit/$f" ] || die "$name lacks $f"
    done
    grep -q "^## Relaxation spectrum: \`parl\`" "$kit/models.md" || die "$name: models.md lacks parl's layout"

    # The .def names exactly what the DLL exports (32-bit: name@bytes of stdcall).
    local cc triple want got
    cc=$(sed -n 's/^set(CMAKE_C_COMPILER "\(.*\)")$/\1/p' "$dir"/CMakeFiles/*/CMakeCCompiler.cmake | head -1)
    triple=$(basename "$cc")
    triple=${triple%-gcc*}
    want=$(sed -n 's/^    \([A-Za-z_][A-Za-z0-9_]*\).*/\1/p' "$kit/mosslib.def" | sort)
    got=$("$triple-objdump" -p "$kit/mosslib.dll" |
        sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/s/^\s*\[ *[0-9]*\] //p' | sort)
    [ "$want" = "$got" ] || die "$name: mosslib.def and the DLL's exports differ:
$(diff <(echo "$want") <(echo "$got"))"
    # Stripped, with a version resource.
    local sections
    sections=$("$triple-objdump" -h "$kit/mosslib.dll")
    ! grep -q '\.debug' <<<"$sections" || die "$name: mosslib.dll has debug sections"
    grep -q '\.rsrc' <<<"$sections" || die "$name: mosslib.dll has no version resource"
    /usr/bin/python3 -c 'import sys; sys.exit("FileVersion".encode("utf-16-le") not in open(sys.argv[1], "rb").read())' \
        "$kit/mosslib.dll" || die "$name: no FileVersion in the resource"

    # A host built from the kit alone; no fuzzy matching of stdcall names.
    local version=${name#mosslib-}
    version=${version%-win*}
    local fixup=()
    [[ "$triple" == i686-* ]] && fixup=(-Wl,--disable-stdcall-fixup -msse2 -mfpmath=sse)
    local flags=(-std=c11 -O2 -Wall -Wextra -Werror -DEXPECTED_VERSION="\"$version\"" "${fixup[@]}" -I "$kit")
    # GNU ld with either import library; LLVM's COFF linker (lld-link's, the MSVC-style
    # link) with the MSVC import library.
    "$cc" "${flags[@]}" -o "$kit/consumer.exe" "$consumer" "$kit/mosslib.dll.a"
    "$cc" "${flags[@]}" -o "$kit/consumer-lib.exe" "$consumer" "$kit/mosslib.lib"
    local hosts=(consumer.exe consumer-lib.exe)
    if command -v clang >/dev/null && command -v ld.lld >/dev/null; then
        local gcclib
        gcclib=$(dirname "$("$cc" -print-libgcc-file-name)")
        local f lflags=()
        for f in "${flags[@]}"; do [ "$f" = -Wl,--disable-stdcall-fixup ] || lflags+=("$f"); done
        clang --target="$triple" -fuse-ld=lld -L "$gcclib" "${lflags[@]}" \
            -o "$kit/consumer-lld.exe" "$consumer" "$kit/mosslib.lib"
        hosts+=(consumer-lld.exe)
    fi
    wine_env "$prefix"
    [ -d "$prefix/drive_c" ] || die "no wine prefix at $prefix"
    local host status
    for host in "${hosts[@]}"; do
        status=0
        (cd "$kit" && wine "$host") || status=$?
        wineserver -w || true
        [ "$status" = 0 ] || die "$host linked from $name failed with status $status"
        echo "$name: $host runs"
    done
}

cmd=${1:-}
[ $# -gt 0 ] && shift
case "$cmd" in
    dll) build_dll "$@" ;;
    check) check_dll "$@" ;;
    host) build_host "$@" ;;
    build) build_dll "$1" "$2" "$3" && build_host "$1" "$2" "${@:4}" ;;
    boot) boot_prefix "$@" ;;
    run) run_host "$@" ;;
    kit) check_kit "$@" ;;
    *) die "usage: wine_test.sh dll|check|host|build|boot|run|kit ..." ;;
esac
