#!/usr/bin/env bash
# mosspec --out: a regular file (or a link's target) is replaced whole, a pipe or a
# device is written directly, a directory or a link to nothing is refused with one
# line; no temporary is ever left behind and an existing OUT.part is not touched.
# Usage: mosspec_output_test.sh MOSSPEC
set -u
mosspec=$(realpath "$1")
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir" || exit 1
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

"$mosspec" doubl >expected.csv || fail "stdout"
lines=$(wc -l <expected.csv)

# A new file and an existing one (its permissions kept); OUT.part belongs to the user.
echo mine >out.csv.part
"$mosspec" doubl --out out.csv && cmp -s out.csv expected.csv || fail "new file"
chmod 640 out.csv
echo old >>out.csv
"$mosspec" doubl --out out.csv && cmp -s out.csv expected.csv || fail "existing file"
[ "$(stat -c %a out.csv)" = 640 ] || fail "permissions of the replaced file"
[ "$(cat out.csv.part)" = mine ] || fail "an existing OUT.part was overwritten"

# A symbolic link: the target is replaced, the link stays a link.
mkdir sub && echo old >sub/target.csv && ln -s sub/target.csv link.csv
"$mosspec" doubl --out link.csv && [ -L link.csv ] && cmp -s sub/target.csv expected.csv || fail "symbolic link"

# A pipe: written directly, read whole by its reader.
mkfifo pipe
timeout 20 cat pipe >from_pipe.csv &
reader=$!
"$mosspec" doubl --out pipe || fail "pipe: status"
wait "$reader"
[ -p pipe ] && cmp -s from_pipe.csv expected.csv || fail "pipe"

# A device that refuses to hold anything: a failure, and the device is still a device.
# As root, a node of our own (a faulty mosspec could replace /dev/full itself).
full=/dev/full
if [ "$(id -u)" = 0 ]; then
    full=$dir/full
    mknod "$full" c 1 7 2>/dev/null || full=
fi
if [ -n "$full" ] && [ -c "$full" ]; then
    "$mosspec" doubl --out "$full" 2>err && fail "$full reported success"
    [ -c "$full" ] || fail "$full replaced"
    [ "$(wc -l <err)" = 1 ] || fail "$full: not one line"
fi

# Refused, with one line and no leftovers: a directory, a link to nothing, a missing
# directory.
mkdir outdir && ln -s nowhere dangling.csv
for target in outdir dangling.csv missing/x.csv; do
    "$mosspec" doubl --out "$target" 2>err && fail "$target: reported success"
    [ "$(wc -l <err)" = 1 ] || fail "$target: not one line"
done
[ -d outdir ] && [ -z "$(ls -A outdir)" ] && [ -L dangling.csv ] && [ ! -e nowhere ] || fail "refused targets changed"

# Nothing but what the cases made: no temporary, no DIR.part.
leftovers=$(ls -A . sub | grep -v -x -E 'expected.csv|out.csv|out.csv.part|sub|link.csv|pipe|from_pipe.csv|err|outdir|dangling.csv|target.csv|full|\.:|sub:|' )
[ -z "$leftovers" ] || fail "left behind: $leftovers"
[ "$lines" -gt 1 ] || fail "no spectrum"
exit $((failures > 0))
