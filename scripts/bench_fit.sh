#!/usr/bin/env bash
# The fitting mode (convexdecomp-cli --max-hulls N --max-hull-vertices 64) side by side with a
# peer, the voxel-based decomposition of the npm package vhacd-js@0.0.1 run through its public
# JavaScript API (bench/peer/vhacd_run.mjs, every other option at its default), on the same
# meshes: the benchmark meshes of convexdecomp-bench-mesh at 52,000 triangles (scan: a closed
# bumpy torus; cad: a closed terraced block; soup: an open triangle soup, binary STL) and
# samples/gear.stl and samples/torus.stl, each at N = 8, 16, 32, 64; then the 1M-triangle scan
# at N = 32 (the peer cut off after $CD_BENCH_PEER_TIMEOUT seconds, default 600).
#
# Both programs' hulls are written as OBJ and measured alike by convexdecomp-fidelity
# (MeasureFidelity with its default settings). CPU time is user + system: for our tool that of
# the whole process (reading the STL, fitting, writing the OBJ), from wait4 on the child; for
# the peer that of the decomposition call only (process.cpuUsage around computeConvexHulls, so
# neither reading the STL nor starting Node and its WebAssembly), with the whole Node process's
# in the notes. Runs go one after another, never two at once. Prints a Markdown table and
# notes for docs/performance.md.
#
# Needs node and npm (vhacd-js is installed into a scratch folder that is removed at the end;
# nothing else is installed) and the build tools of scripts/packages.txt (scripts/bench.sh
# installs them). Builds build-bench/.
source "$(dirname "$0")/common.sh"

for tool in node npm python3; do
  command -v "$tool" >/dev/null || { echo "bench_fit.sh: $tool is needed" >&2; exit 1; }
done
peer_timeout="${CD_BENCH_PEER_TIMEOUT:-600}"
hulls_list=(8 16 32 64)
vertices=64

scratch="$(mktemp -d "${TMPDIR:-/tmp}/bench_fit.XXXXXX")"
trap 'rm -rf "$scratch"' EXIT

echo "== installing vhacd-js@0.0.1 into the scratch folder" >&2
npm install --prefix "$scratch/peer" --no-audit --no-fund --loglevel=error vhacd-js@0.0.1 >&2

echo "== building" >&2
build build-bench -DCD_BUILD_GUI=OFF -DCD_BUILD_PYTHON=OFF -DCD_BUILD_BENCHMARKS=ON -- \
  convexdecomp-cli convexdecomp-bench-mesh convexdecomp-fidelity >&2
cli="$ROOT/build-bench/convexdecomp-cli"
make_mesh="$ROOT/build-bench/bench/convexdecomp-bench-mesh"
fidelity="$ROOT/build-bench/bench/convexdecomp-fidelity"
peer_script="$ROOT/bench/peer/vhacd_run.mjs"

# cpu_run LOG COMMAND...: runs COMMAND with its standard output in LOG.out and its standard
# error in LOG.err, and writes "status user_s sys_s wall_s" of that child to LOG.time
# (getrusage of the child through wait4). Returns COMMAND's status.
cpu_run() {
  local log="$1"; shift
  python3 - "$log" "$@" <<'EOF'
import os, sys, time
log, command = sys.argv[1], sys.argv[2:]
with open(log + ".out", "wb") as out, open(log + ".err", "wb") as err:
    start = time.monotonic()
    pid = os.fork()
    if pid == 0:
        os.dup2(os.open(os.devnull, os.O_RDONLY), 0)
        os.dup2(out.fileno(), 1)
        os.dup2(err.fileno(), 2)
        try:
            os.execvp(command[0], command)
        finally:
            os._exit(127)
    _, status, usage = os.wait4(pid, 0)
    wall = time.monotonic() - start
code = os.waitstatus_to_exitcode(status)
code = 128 - code if code < 0 else code
with open(log + ".time", "w") as f:
    f.write(f"{code} {usage.ru_utime:.3f} {usage.ru_stime:.3f} {wall:.3f}\n")
sys.exit(code)
EOF
}

results="$scratch/results.tsv"
: > "$results"
# measure MESH NAME N: runs our tool and then the peer on MESH, measures both, appends a line
# per tool to the results: name N tool status cpu_s wall_s peer_process_cpu_s fidelity-line.
measure() {
  local mesh="$1" name="$2" n="$3" timeout_s="${4:-$peer_timeout}"
  local run="$scratch/run" status fields line
  for tool in ours peer; do
    local obj="$scratch/$tool.obj"
    rm -f "$obj"
    echo "== $name N=$n $tool" >&2
    status=0
    if [ "$tool" = ours ]; then
      cpu_run "$run" "$cli" "$mesh" --max-hulls "$n" --max-hull-vertices "$vertices" --quiet \
        --obj "$obj" || status=$?
    else
      cpu_run "$run" timeout "$timeout_s" node "$peer_script" "$scratch/peer" "$mesh" "$n" \
        "$vertices" "$obj" || status=$?
    fi
    read -r _ user sys wall < "$run.time"
    local cpu process_cpu="-"
    cpu="$(python3 -c "print(f'{$user + $sys:.3f}')")"
    if [ "$tool" = peer ]; then
      process_cpu="$cpu"
      cpu="$(grep -o 'cpu_s=[0-9.]*' "$run.out" | cut -d= -f2 || true)"
      cpu="${cpu:--}"
    fi
    if [ "$status" -eq 0 ] && [ -s "$obj" ]; then
      line="$("$fidelity" "$mesh" "$obj")" || line="failed=convexdecomp-fidelity could not measure"
    else
      [ "$status" -eq 124 ] && line="failed=not done within ${timeout_s} s" \
        || line="failed=exit status $status: $(tail -n 3 "$run.err" | tr '\t\n' '  ')"
      echo "   $line" >&2
    fi
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$name" "$n" "$tool" "$status" "$cpu" "$wall" \
      "$process_cpu" "$line" >> "$results"
    tail -n 1 "$results" | cut -f3- >&2
  done
}

echo "== making the meshes" >&2
for shape in scan cad soup; do
  "$make_mesh" "$shape" 52000 binary "$scratch/${shape}_52k.stl" >&2
done
cp "$ROOT/samples/gear.stl" "$ROOT/samples/torus.stl" "$scratch/"

start_load="$(cut -d' ' -f1-3 /proc/loadavg)"
uptime_start="$(uptime)"
for name in scan_52k cad_52k soup_52k gear torus; do
  for n in "${hulls_list[@]}"; do
    measure "$scratch/$name.stl" "$name" "$n"
  done
done
"$make_mesh" scan 1000000 binary "$scratch/scan_1M.stl" >&2
measure "$scratch/scan_1M.stl" scan_1M 32 "$peer_timeout"
uptime_end="$(uptime)"

python3 - "$results" "$start_load" "$uptime_start" "$uptime_end" "$peer_timeout" <<'EOF'
import sys
path, start_load, uptime_start, uptime_end, peer_timeout = sys.argv[1:]
rows = []
for raw in open(path):
    name, n, tool, status, cpu, wall, process_cpu, line = raw.rstrip("\n").split("\t")
    facts = {}
    if line.startswith("failed="):
        facts["failed"] = line[len("failed="):]
    else:
        facts = dict(item.split("=", 1) for item in line.split())
    rows.append(dict(name=name, n=int(n), tool=tool, cpu=cpu, wall=float(wall),
                     process_cpu=process_cpu, facts=facts))

def pct(share, error=None):
    text = f"{100 * float(share):.2f}"
    return text + (f" ± {100 * float(error):.2f}" if error is not None else "")

print(f"uptime at the start: {uptime_start.strip()}")
print(f"uptime at the end: {uptime_end.strip()}\n")
print("| mesh | N | tool | hulls | largest vertex count | missing % | excess % | IoU [low, high] "
      "| vertices covered % | CPU s |")
print("|---|---:|---|---:|---:|---:|---:|---|---:|---:|")
for r in rows:
    f = r["facts"]
    tool = "ours" if r["tool"] == "ours" else "vhacd-js"
    cpu = r["cpu"]
    if r["name"].endswith("_1M"):
        cpu += f" (wall {r['wall']:.2f} s)"
    if "failed" in f:
        print(f"| {r['name']} | {r['n']} | {tool} | - | - | - | - | - | - | {f['failed']} |")
        continue
    if f["closed"] == "1":
        missing = pct(f["missing_share"], f["missing_error_share"])
        excess = pct(f["excess_share"], f["excess_error_share"])
        iou = f"{float(f['iou']):.3f} [{float(f['iou_low']):.3f}, {float(f['iou_high']):.3f}]"
    else:
        missing = excess = iou = "open mesh"
    print(f"| {r['name']} | {r['n']} | {tool} | {f['hulls']} | {f['largest_vertices']} "
          f"| {missing} | {excess} | {iou} | {pct(f['vertex_coverage'])} | {cpu} |")

print("\nThe targets, per mesh and N (closed meshes; CPU as above):\n")
print("| mesh | N | IoU ours | IoU peer | IoU at least the peer's | largest vertex count | "
      "mesh vertices inside % | CPU ours s | CPU peer s | peer / ours |")
print("|---|---:|---:|---:|---|---:|---:|---:|---:|---:|")
for (name, n), pair in {(r["name"], r["n"]): None for r in rows}.items():
    ours = next((r for r in rows if (r["name"], r["n"], r["tool"]) == (name, n, "ours")), None)
    peer = next((r for r in rows if (r["name"], r["n"], r["tool"]) == (name, n, "peer")), None)
    if ours is None or "failed" in ours["facts"] or ours["facts"]["closed"] != "1":
        continue
    f = ours["facts"]
    ours_iou = float(f["iou"])
    cpu = ours["cpu"] + (f" (wall {ours['wall']:.2f})" if name.endswith("_1M") else "")
    if peer is None or "failed" in peer["facts"]:
        print(f"| {name} | {n} | {ours_iou:.3f} | - | - | {f['largest_vertices']} "
              f"| {pct(f['vertex_coverage'])} | {cpu} | - | - |")
        continue
    peer_iou = float(peer["facts"]["iou"])
    met = "yes" if ours_iou >= peer_iou else f"no, by {peer_iou - ours_iou:.3f}"
    ratio = float(peer["cpu"]) / max(float(ours["cpu"]), 1e-3)
    print(f"| {name} | {n} | {ours_iou:.3f} | {peer_iou:.3f} | {met} | {f['largest_vertices']} "
          f"| {pct(f['vertex_coverage'])} | {cpu} | {peer['cpu']} | {ratio:.1f} |")

print("\nPer mesh and N (peer CPU: the decomposition call; in brackets the whole Node process; "
      "ours: the whole process):\n")
pairs = {}
for r in rows:
    pairs.setdefault((r["name"], r["n"]), {})[r["tool"]] = r
for (name, n), pair in pairs.items():
    ours, peer = pair.get("ours"), pair.get("peer")
    parts = []
    if ours and peer and "failed" not in ours["facts"] and "failed" not in peer["facts"]:
        ratio = float(peer["cpu"]) / max(float(ours["cpu"]), 1e-3)
        parts.append(f"CPU peer/ours = {ratio:.1f} ({peer['cpu']} s [{peer['process_cpu']} s] "
                     f"/ {ours['cpu']} s)")
        parts.append(f"surface covered: ours {pct(ours['facts']['surface_coverage'])} %, "
                     f"peer {pct(peer['facts']['surface_coverage'])} %")
        if ours["facts"]["closed"] != "1":
            parts.append("hull surfaces from the mesh, largest / mean share of the diagonal: "
                         f"ours {pct(ours['facts']['largest_distance'])} / "
                         f"{pct(ours['facts']['mean_distance'])} %, peer "
                         f"{pct(peer['facts']['largest_distance'])} / "
                         f"{pct(peer['facts']['mean_distance'])} %")
    elif peer and "failed" in peer["facts"]:
        parts.append(f"peer skipped: {peer['facts']['failed']} (cut off after {peer_timeout} s "
                     f"wall, {peer['process_cpu']} s CPU)")
    elif ours and "failed" in ours["facts"]:
        parts.append(f"ours failed: {ours['facts']['failed']}")
    print(f"- {name}, N = {n}: " + "; ".join(parts))
EOF
