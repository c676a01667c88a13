#!/usr/bin/env bash
# pip install ./python on a machine with only the source tree: the wheel compiles the
# library itself, is tagged for the platform, carries the library and the licence, and
# its mossfit runs in a virtual environment that sees Debian's packages.
#   wheel_test.sh <source-dir> <work-dir>
set -euo pipefail
source=$1 work=$2
die() { echo "wheel_test: $*" >&2; exit 1; }
rm -rf "$work"
mkdir -p "$work"
cp -r "$source/python" "$source/src" "$source/include" "$source/cmake" "$source/tools" \
      "$source/CMakeLists.txt" "$source/LICENSE" "$work/"
rm -rf "$work/python/build" "$work/python"/*.egg-info
/usr/bin/python3 -m venv --system-site-packages "$work/venv"
env -u MOSSLIB_LIBRARY "$work/venv/bin/pip" wheel --no-deps --no-build-isolation --no-index \
    "$work/python" -w "$work/wheels" >"$work/pip.log" 2>&1 || { tail -20 "$work/pip.log"; die "pip wheel failed"; }
wheel=$(ls "$work"/wheels/*.whl)
[[ "$(basename "$wheel")" == mosslib-*-py3-none-linux_*.whl ]] || die "wheel tagged $(basename "$wheel")"
listing=$(unzip -l "$wheel")   # whole, not piped into grep -q (SIGPIPE under pipefail)
grep -q ' mosslib/libmosslib.so$' <<<"$listing" || die "no library in the wheel"
grep -q 'dist-info/LICENSE$' <<<"$listing" || die "no licence in the wheel"
"$work/venv/bin/pip" install --no-deps --no-index "$wheel" >>"$work/pip.log" 2>&1 || die "pip install failed"
(cd "$work" && env -u MOSSLIB_LIBRARY "$work/venv/bin/mossfit" models >/dev/null) || die "mossfit does not run"
where=$(cd "$work" && env -u MOSSLIB_LIBRARY "$work/venv/bin/python" -c 'import mosslib; print(mosslib.library().path)')
[[ "$where" == "$work/venv/"* ]] || die "the package loads $where"
echo "wheel: $(basename "$wheel"), library loaded from the installed package"
