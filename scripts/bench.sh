#!/usr/bin/env bash
# Builds build-bench/ (no desktop program) and measures speed and memory:
#   1. the Google Benchmark programs over generated meshes of 10k, 100k and 1M triangles (a
#      closed scan-like surface, a CAD-like part, a triangle soup) and the samples: reading
#      (io_bench), decomposition (decomposition_bench) and hull building (hull_bench);
#      and frames (render_bench: 800 x 600 offscreen on Mesa llvmpipe, each drawn both from the
#      cached arrays and directly, vertex by vertex, in the same process);
#   2. whole runs of the batch tool on 1M-triangle text STL files, timed with /usr/bin/time -v,
#      once with --no-hulls and once with hulls (each cut off after $CD_BENCH_TIMEOUT seconds,
#      default 600).
# Prints Markdown tables (Reading, Decomposition, Convex hulls, the Convex Hull command, Frames,
# Whole runs) for docs/performance.md; raw results go to build-bench/results/.
# Options: --quick leaves out the 1M-triangle meshes and the whole runs. Arguments starting with
# --benchmark (e.g. --benchmark_filter=BallPoints) run only the convex hull benchmark instead:
# our hulls and qconvex (package qhull-bin) side by side on the same points, built in build/.
source "$(dirname "$0")/common.sh"
install_packages
if [[ "${1:-}" == --benchmark* ]]; then
  build build
  exec "$ROOT/build/bench/hull_bench" --benchmark_counters_tabular=true "$@"
fi
for pkg in time python3; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "$pkg" >/dev/null
  fi
done

quick=0
[ "${1:-}" = "--quick" ] && quick=1
timeout_s="${CD_BENCH_TIMEOUT:-600}"

build build-bench -DCD_BUILD_GUI=OFF -DCD_BUILD_PYTHON=OFF -DCD_BUILD_BENCHMARKS=ON
out="$ROOT/build-bench/results"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$out"
export CD_BENCH_DIR="$scratch"
[ "$quick" = 0 ] && export CD_BENCH_LARGE=1

echo "== machine"
{
  echo "cpu: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(nproc) cores"
  echo "memory: $(free -g | awk '/Mem:/ {print $2}') GiB"
  echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
  echo "kernel: $(uname -r)"
} | tee "$out/machine.txt"

for program in io_bench decomposition_bench hull_bench; do
  echo "== $program"
  "$ROOT/build-bench/bench/$program" --benchmark_out="$out/$program.json" \
    --benchmark_out_format=json --benchmark_counters_tabular=true
done
# Frame times differ by tens of per cent from one process to the next on a shared machine:
# five processes, each drawing the same frames both ways; the table gives the spread.
frames='^BM_Frame(Mesh|Pieces|MeshWhole|MeshImmediate|PiecesImmediate)/'
[ "$quick" = 1 ] && frames="$frames(10000|100000)\$"
rm -f "$out"/render_bench.*.json
for run in 1 2 3 4 5; do
  echo "== render_bench, process $run"
  "$ROOT/build-bench/bench/render_bench" --benchmark_filter="$frames" --benchmark_repetitions=3 \
    --benchmark_report_aggregates_only=true --benchmark_out="$out/render_bench.$run.json" \
    --benchmark_out_format=json --benchmark_counters_tabular=true
done

: > "$out/runs.txt"
if [ "$quick" = 0 ]; then
  for shape in scan cad soup; do
    file="$scratch/${shape}_1M.stl"
    "$ROOT/build-bench/bench/convexdecomp-bench-mesh" "$shape" 1000000 ascii "$file" >/dev/null
    for mode in --no-hulls hulls; do
      args=("$file")
      [ "$mode" = --no-hulls ] && args+=(--no-hulls)
      echo "== convexdecomp-cli ${shape}_1M.stl $mode"
      log="$scratch/time.txt"
      status=0
      /usr/bin/time -v timeout "$timeout_s" "$ROOT/build-bench/convexdecomp-cli" "${args[@]}" \
        >"$scratch/messages.txt" 2>"$log" || status=$?
      objects="$(grep -o 'objects: [0-9]*' "$scratch/messages.txt" | cut -d' ' -f2)"
      wall="$(awk -F': ' '/Elapsed \(wall clock\)/ {print $2}' "$log")"
      user="$(awk -F': ' '/User time/ {print $2}' "$log")"
      sys="$(awk -F': ' '/System time/ {print $2}' "$log")"
      rss="$(awk -F': ' '/Maximum resident set size/ {print $2}' "$log")"
      [ "$status" = 124 ] && wall="not done after ${timeout_s} s"
      printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$shape" "$mode" "$(stat -c %s "$file")" \
        "${objects:-?}" "${wall:-?}" "${user:-?}" "${sys:-?}" "${rss:-?}" | tee -a "$out/runs.txt"
    done
  done
fi

python3 - "$out" <<'EOF'
import json, os, sys
out = sys.argv[1]

def rows(name):
    path = os.path.join(out, name + ".json")
    return json.load(open(path))["benchmarks"] if os.path.exists(path) else []

def ms(b, key):
    scale = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[b["time_unit"]]
    return b[key] * scale

print("\n### Reading (LoadStl from the page cache)\n")
print("| file | size MB | triangles | wall ms | CPU ms | MB/s (CPU) | peak growth MB |")
print("|---|---:|---:|---:|---:|---:|---:|")
for b in rows("io_bench"):
    print(f"| {b['name']} | {b['file_MB']:.1f} | {b['triangles']:.0f} | {ms(b, 'real_time'):.1f} "
          f"| {ms(b, 'cpu_time'):.1f} | {b['MB/s']:.0f} | {b['peak_MB']:.1f} |")

print("\n### Decomposition (Apply, Epsilon 0.1)\n")
print("| mesh | triangles | pieces | wall ms | CPU ms | triangles/s (CPU) | peak growth MB |")
print("|---|---:|---:|---:|---:|---:|---:|")
for b in rows("decomposition_bench"):
    if "triangles/s" not in b:
        continue
    peak = f"{b['peak_MB']:.1f}" if "peak_MB" in b else "-"
    print(f"| {b['name']} | {b['triangles']:.0f} | {b['pieces']:.0f} | {ms(b, 'real_time'):.1f} "
          f"| {ms(b, 'cpu_time'):.1f} | {b['triangles/s'] / 1e6:.2f} M | {peak} |")

hulls = [b for b in rows("hull_bench") if not b.get("error_occurred")]
kinds = {"BM_SpherePoints": "on a sphere", "BM_BallPoints": "in a ball",
         "BM_BigSphereMeshSample": "of the 1M-triangle sphere mesh (Smooth 1.0)"}
compared = [b for b in hulls if b["name"].split("/")[0] in kinds and "ours_cpu_ms" in b]
if compared:
    print("\n### Convex hulls (ours: processor time for one hull; qconvex: its Ts compute time)\n")
    print("| points | faces | ours ms | qconvex ms | ratio | qconvex whole run ms |")
    print("|---|---:|---:|---:|---:|---:|")
    for b in compared:
        print(f"| {b['points']:,.0f} {kinds[b['name'].split('/')[0]]} | {b['faces']:,.0f} "
              f"| {b['ours_cpu_ms']:.2f} | {b['qconvex_ms']:.2f} | {b['ratio']:.2f} "
              f"| {b['qconvex_wall_ms']:.0f} |")
command = [b for b in hulls if b["name"].startswith(("BM_ConvexHullCommandBigSphere/",
                                                      "BM_CollectDistinctPoints"))]
if command:
    print("\n### The Convex Hull command on the 1M-triangle sphere mesh as one piece\n")
    print("| work | CPU ms | wall ms |")
    print("|---|---:|---:|")
    for b in command:
        if b["name"].startswith("BM_CollectDistinctPoints"):
            work = "distinct points of its 999,000 triangles"
        else:
            smooth = int(b["name"].split("/")[1]) / 10
            work = f"distinct points, sample and hull at Smooth {smooth:.1f}"
        print(f"| {work} | {ms(b, 'cpu_time'):.0f} | {ms(b, 'real_time'):.0f} |")

import glob, statistics
processes = []
for path in sorted(glob.glob(os.path.join(out, "render_bench.*.json"))):
    medians = {b["run_name"]: b for b in json.load(open(path))["benchmarks"]
               if b.get("aggregate_name") == "median"}
    processes.append(medians)
if processes:
    print(f"\n### Frames (800 x 600, llvmpipe; {len(processes)} processes, each the median of 3; "
          "direct = vertex by vertex)\n")
    print("| model | triangles | direct wall ms | cached wall ms | cached CPU ms "
          "| direct / cached, each process | median |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    span = lambda v, f="{:.1f}": f.format(min(v)) + ("" if len(v) == 1 else "-" + f.format(max(v)))
    models = {"BM_FrameMesh": "one list", "BM_FramePieces": "1000 pieces",
              "BM_FrameMeshWhole": "one list, no chunk left out"}
    for name in processes[0]:
        kind, size = name.split("/")
        if kind not in models:
            continue
        direct_name = kind.replace("Whole", "") + "Immediate/" + size
        cached = [ms(p[name], "real_time") for p in processes if name in p]
        cpu = [ms(p[name], "cpu_time") for p in processes if name in p]
        direct = [ms(p[direct_name], "real_time") for p in processes if direct_name in p]
        ratios = [ms(p[direct_name], "real_time") / ms(p[name], "real_time")
                  for p in processes if name in p and direct_name in p]
        print(f"| {models[kind]} | {processes[0][name]['triangles']:.0f} "
              f"| {span(direct) if direct else '-'} | {span(cached)} | {span(cpu)} "
              f"| {span(ratios, '{:.2f}') if ratios else '-'} "
              f"| {statistics.median(ratios):.2f} |" if ratios else "| - |")

runs = [line.rstrip("\n").split("\t") for line in open(os.path.join(out, "runs.txt")) if line.strip()]
if runs:
    print("\n### Whole runs (convexdecomp-cli, default settings, 1M-triangle text STL)\n")
    print("| file | hulls | file MB | pieces | wall | user s | sys s | peak RSS MB |")
    print("|---|---|---:|---:|---:|---:|---:|---:|")
    for shape, mode, size, objects, wall, user, sys_s, rss in runs:
        rss_mb = f"{int(rss) / 1024:.0f}" if rss.strip().isdigit() else rss
        print(f"| {shape}_1M.stl | {'no (--no-hulls)' if mode == '--no-hulls' else 'yes'} "
              f"| {int(size) / 1e6:.0f} | {objects} | {wall} | {user} | {sys_s} | {rss_mb} |")
EOF
