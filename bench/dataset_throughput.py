#!/usr/bin/env python3
"""Throughput of the data-set command against one process doing the same files in a row.

    bench/dataset_throughput.py [--files 1000] [--triangles 5000] [--workers N] [--build build]

Writes FILES binary STL meshes of about TRIANGLES triangles each (the bench generator's bumpy
torus, a different count for each so that no two are alike) into a scratch folder, then
  1. in this process: convexdecomp.dataset.process_file on every file in a row (read, hash,
     decompose, write the result: the very work of one task), timed;
  2. WORKERS plain processes at once, each doing its share of the files in a row: the most
     the machine gives at that moment, without Dask;
  3. python3 -m convexdecomp.dataset on the folder with a local cluster of WORKERS processes,
     timed as a whole (cluster start included) and from its own count of the run.
Prints the times, the ratio and the overhead per file: the worker time that is not spent in
the tasks themselves, (run time x workers - sum of the tasks' seconds) / files."""
import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
import time


def in_a_row(meshes, inputs, out):
    from convexdecomp.dataset import process_file
    for relative in inputs:
        record = process_file(meshes, relative, out, {})
        assert record["status"] == "ok", record


def main():
    if sys.argv[1:2] == ["--share"]:  # one of the plain processes: --share BUILD MESHES OUT I N
        build, meshes, out, index, count = sys.argv[2:]
        sys.path.insert(0, os.path.join(build, "python"))
        inputs = sorted(os.path.relpath(os.path.join(d, n), meshes)
                        for d, _, files in os.walk(meshes) for n in files)
        in_a_row(meshes, inputs[int(index)::int(count)], out)
        return
    parser = argparse.ArgumentParser()
    parser.add_argument("--files", type=int, default=1000)
    parser.add_argument("--triangles", type=int, default=5000)
    parser.add_argument("--workers", type=int, default=os.cpu_count())
    parser.add_argument("--build", default=os.path.join(os.path.dirname(__file__), "..", "build"))
    arguments = parser.parse_args()
    build = os.path.abspath(arguments.build)
    sys.path.insert(0, os.path.join(build, "python"))

    load_before = os.getloadavg()[0]
    with tempfile.TemporaryDirectory() as scratch:
        meshes = os.path.join(scratch, "meshes")
        for i in range(arguments.files):
            folder = os.path.join(meshes, "%02d" % (i // 100))
            os.makedirs(folder, exist_ok=True)
            count = arguments.triangles - arguments.files // 2 + i
            subprocess.run([os.path.join(build, "bench", "convexdecomp-bench-mesh"), "scan",
                            str(count), "binary", os.path.join(folder, "m%04d.stl" % i)],
                           check=True, stdout=subprocess.DEVNULL)
        inputs = sorted(os.path.relpath(os.path.join(d, n), meshes)
                        for d, _, files in os.walk(meshes) for n in files)

        start = time.perf_counter()
        in_a_row(meshes, inputs, os.path.join(scratch, "row"))
        row = time.perf_counter() - start

        start = time.perf_counter()
        shares = [subprocess.Popen([sys.executable, __file__, "--share", build, meshes,
                                    os.path.join(scratch, "shares"), str(i),
                                    str(arguments.workers)])
                  for i in range(arguments.workers)]
        assert all(p.wait() == 0 for p in shares)
        plain = time.perf_counter() - start

        environment = dict(os.environ, PYTHONPATH=os.path.join(build, "python"))
        out = os.path.join(scratch, "cluster")
        start = time.perf_counter()
        run = subprocess.run([sys.executable, "-m", "convexdecomp.dataset", meshes, "--out", out,
                              "--workers", str(arguments.workers)],
                             env=environment, capture_output=True, text=True, check=True)
        whole = time.perf_counter() - start
        running = float(re.search(r"run in ([0-9.]+) s", run.stderr).group(1))
        with open(os.path.join(out, "manifest.jsonl")) as f:
            records = [json.loads(line) for line in f]
        assert len(records) == len(inputs) and all(r["status"] == "ok" for r in records)
        tasks = sum(r["seconds"] for r in records)

    n = len(inputs)
    print("files: %d of about %d triangles, %d workers, %d cores, load average %.1f before, "
          "%.1f after" % (n, arguments.triangles, arguments.workers, os.cpu_count(), load_before,
                          os.getloadavg()[0]))
    print("one process in a row: %.2f s (%.1f ms a file)" % (row, 1000 * row / n))
    print("%d plain processes at once: %.2f s, %.2fx" % (arguments.workers, plain, row / plain))
    print("data-set command: %.2f s in all, %.2f s after the cluster started" % (whole, running))
    print("ratio: %.2fx in all, %.2fx after the start" % (row / whole, row / running))
    print("tasks' own time: %.2f s (%.1f ms a file)" % (tasks, 1000 * tasks / n))
    print("overhead per file: %.1f ms of worker time"
          % (1000 * (running * arguments.workers - tasks) / n))


if __name__ == "__main__":
    main()
