#!/usr/bin/env bash
# Runs the batch tool on the samples and every test fixture, at a few settings, with every output
# it writes, into one folder: two folders made from two builds must be equal file for file
# (diff -r). Usage: scripts/snapshot_outputs.sh BUILD_DIR OUT_DIR
set -uo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cli="$1/convexdecomp-cli"
out="$2"
rm -rf "$out"
mkdir -p "$out"
for input in "$ROOT"/samples/*.stl "$ROOT"/tests/fixtures/*.stl; do
  name="$(basename "$input" .stl)"
  for settings in "0.1 0.1" "0.02 0.5" "0.5 1" "-1 0"; do
    set -- $settings
    dir="$out/$name-e$1-s$2"
    mkdir -p "$dir/hulls"
    "$cli" "$input" --epsilon "$1" --smooth "$2" --verbose --json "$dir/run.json" \
      --obj "$dir/hulls.obj" --pieces-obj "$dir/pieces.obj" --hulls-dir "$dir/hulls" \
      >"$dir/stdout" 2>"$dir/stderr"
    echo "$?" >"$dir/status"
  done
  "$cli" "$input" --sweep-epsilon 0.01:0.5:5 >"$out/$name-sweep.csv" 2>"$out/$name-sweep.err"
  echo "$?" >>"$out/$name-sweep.csv"
done
