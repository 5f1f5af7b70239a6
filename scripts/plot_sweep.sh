#!/usr/bin/env bash
# Draws how the piece count, the hull count and the largest hull's vertex count change with
# Epsilon, from the batch tool's --sweep-epsilon table, as a PNG made by gnuplot:
#   scripts/plot_sweep.sh MESH FROM:TO:STEPS OUT.png
# Needs gnuplot (Debian: apt-get install gnuplot-nox) and the batch tool in build/ (or CLI=path).
set -euo pipefail
if [[ $# -ne 3 ]]; then
  echo "usage: scripts/plot_sweep.sh MESH FROM:TO:STEPS OUT.png" >&2
  exit 2
fi
mesh="$1" sweep="$2" out="$3"
root="$(cd "$(dirname "$0")/.." && pwd)"
cli="${CLI:-$root/build/convexdecomp-cli}"
if ! command -v gnuplot > /dev/null; then
  echo "plot_sweep.sh: gnuplot is missing (Debian: apt-get install gnuplot-nox)" >&2
  exit 1
fi
table="$(mktemp)"
trap 'rm -f "$table"' EXIT
"$cli" "$mesh" --quiet --sweep-epsilon "$sweep" > "$table"
gnuplot <<PLOT
set terminal pngcairo size 800,480 font "Liberation Sans,11"
set output "$out"
set datafile separator ","
set title "$(basename "$mesh"): Epsilon sweep"
set xlabel "Epsilon (model units)"
set ylabel "pieces and hulls"
set y2label "vertices of the largest hull"
set ytics 1 nomirror
set y2tics
set yrange [0:*] writeback
set y2range [0:*]
set key bottom left box opaque
set grid
plot "$table" skip 1 using 1:2 with steps linewidth 2 title "pieces", \
     "" skip 1 using 1:3 with points pointtype 7 title "hulls", \
     "" skip 1 using 1:4 axes x1y2 with linespoints pointtype 6 title "largest hull (vertices)"
PLOT
echo "$out"
