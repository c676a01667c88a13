#!/usr/bin/env bash
# tools/readme_tables.sh MOSSPEC README [--check]
# Fills every block between "<!-- catalogue: NAME -->" and "<!-- /catalogue -->" in the
# README with `mosspec --markdown NAME` (a model's parameter table, or the vocabulary).
# With --check nothing is written: the command fails and shows the difference when the
# README is not what the catalogue says.
set -euo pipefail
mosspec=$1 readme=$2 mode=${3:-}
out=$(mktemp)
trap 'rm -f "$out"' EXIT
name=""
while IFS= read -r line || [ -n "$line" ]; do
    if [[ $line =~ ^\<!--\ catalogue:\ ([A-Za-z_]+)\ --\>$ ]]; then
        name=${BASH_REMATCH[1]}
        printf '%s\n' "$line" >> "$out"
        "$mosspec" --markdown "$name" >> "$out"
    elif [[ $line == "<!-- /catalogue -->" ]]; then
        name=""
        printf '%s\n' "$line" >> "$out"
    elif [ -z "$name" ]; then
        printf '%s\n' "$line" >> "$out"
    fi
done < "$readme"
if [ "$mode" = --check ]; then
    if ! diff -u "$readme" "$out"; then
        echo "README tables differ from the catalogue: run tools/readme_tables.sh $mosspec $readme" >&2
        exit 1
    fi
else
    cp "$out" "$readme"
fi
