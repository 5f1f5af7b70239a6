#!/usr/bin/env bash
# Installs what is missing (qconvex comes with qhull-bin), builds build/ and runs the convex hull
# benchmark: our hulls and qconvex side by side on the same points, with the ratio. Extra
# arguments go to the benchmark, e.g. --benchmark_filter=BallPoints.
source "$(dirname "$0")/common.sh"
install_packages
build build
exec "$ROOT/build/bench/hull_bench" --benchmark_counters_tabular=true "$@"
