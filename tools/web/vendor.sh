#!/usr/bin/env bash
# tools/web/vendor.sh WORK_DIR: the JavaScript of the mossfit serve page from npm, at the
# versions locked in python/mosslib/web/npm, copied with its licence into
# python/mosslib/web/static/vendor/ (not kept in git; the page never fetches anything).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$1
lock=$root/python/mosslib/web/npm
dest=$root/python/mosslib/web/static/vendor
if [ -f "$dest/.stamp" ] && cmp -s "$lock/package-lock.json" "$dest/.stamp"; then
    exit 0
fi
command -v npm >/dev/null || { echo "vendor.sh: npm is needed to vendor the page's plotting library" >&2; exit 1; }
mkdir -p "$work"
cp "$lock/package.json" "$lock/package-lock.json" "$work/"
(cd "$work" && npm ci --no-audit --no-fund --ignore-scripts --loglevel=error >/dev/null)
mkdir -p "$dest"
cp "$work/node_modules/uplot/dist/uPlot.iife.min.js" "$work/node_modules/uplot/dist/uPlot.min.css" "$dest/"
cp "$work/node_modules/uplot/LICENSE" "$dest/LICENSE"
printf 'uPlot %s (MIT licence: LICENSE), vendored from npm by tools/web/vendor.sh\n' \
    "$(sed -n 's/^ *"version": "\(.*\)",$/\1/p' "$work/node_modules/uplot/package.json" | head -1)" > "$dest/README"
cp "$lock/package-lock.json" "$dest/.stamp"
