"""Decomposes every mesh of a folder tree on a Dask cluster, one task per file.

    python3 -m convexdecomp.dataset ROOT --out OUT [--scheduler tcp://HOST:8786] [settings]

Without --scheduler the files run on a local cluster of --workers processes (default: one per
core); with it, on the workers of that running scheduler, which must see ROOT and OUT at the same
paths and import this package. Every mesh file under ROOT (by extension, --ext, default every kind the tool reads)
gets a result OUT/<path under ROOT>.json, written under a temporary name and renamed into place:
the very bytes convexdecomp-cli writes with --json for that file and settings
(result.to_json(), written by result.write_json).

The manifest (--manifest, default OUT/manifest.jsonl) gets one JSON line per input as soon as
its task ends, flushed and synced: path (under ROOT), sha256 of the content, size, mtime_ns,
settings, status ("ok" or "error"), counts {triangles, pieces, hulls}, seconds (the task's time
on its worker), error (the reason, for status "error"). A later run with the same settings skips
every input that already has a line for its path with that content (size and mtime as recorded,
or else the same sha256): interrupted runs resume without redoing finished files, and files that
failed stay failed until --retry-errors. A torn last line (a run killed while writing it) is
ignored. --max-files N processes at most N inputs and leaves the rest for the next run.
Exit status: 0 when every input is done (errors included, they are in the manifest), 1 when some
were left (--max-files), 2 for bad options, 130 on Ctrl+C.
"""
import argparse
import hashlib
import json
import math
import os
import stat
import sys
import time

from ._convexdecomp import EXTENSIONS

SETTINGS = ("epsilon", "epsilon_relative", "smooth", "hulls", "max_hulls", "max_hull_vertices",
            "fidelity")


def _write_atomically(path, write):
    """write(name) writes the file under a temporary name, which then replaces path."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    temporary = "%s.%d.tmp" % (path, os.getpid())
    try:
        write(temporary)
    except BaseException:
        if os.path.exists(temporary):
            os.remove(temporary)
        raise
    os.replace(temporary, path)


def process_file(root, relative, out, settings):
    """One task: reads ROOT/relative, decomposes it, writes its result; the manifest record."""
    import convexdecomp
    start = time.perf_counter()
    record = {"path": relative, "sha256": None, "size": None, "mtime_ns": None,
              "settings": settings, "status": "error", "counts": None, "seconds": None,
              "error": None}
    try:
        # Non-blocking, so that a FIFO is refused rather than waited on.
        path = os.path.join(root, relative)
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
        with os.fdopen(fd, "rb") as f:
            info = os.fstat(f.fileno())
            record["size"], record["mtime_ns"] = info.st_size, info.st_mtime_ns
            if not stat.S_ISREG(info.st_mode):
                raise OSError(22, "not a regular file")
            record["sha256"] = hashlib.sha256(f.read()).hexdigest()
        # Read by name, as the batch tool reads it: the reader may go by the file's name.
        vertices, faces = convexdecomp.load(path)
        result = convexdecomp.decompose(vertices, faces, allow_nonfinite=True, **settings)
        # The bytes of result.to_json(), written by the module without the text in between.
        _write_atomically(os.path.join(out, relative + ".json"), result.write_json)
        record["counts"] = {"triangles": result.triangles, "pieces": len(result.pieces),
                            "hulls": len(result.hulls)}
        record["status"] = "ok"
    except (OSError, ValueError, MemoryError) as e:
        record["error"] = "%s: %s" % (type(e).__name__, e.strerror or e) \
            if isinstance(e, OSError) else "%s: %s" % (type(e).__name__, e)
    record["seconds"] = round(time.perf_counter() - start, 6)
    return record


def find_inputs(root, extensions, skip):
    """Files under root with one of the extensions (any case), as sorted relative paths."""
    found = []
    for directory, folders, files in os.walk(root):
        folders[:] = sorted(d for d in folders
                            if os.path.realpath(os.path.join(directory, d)) != skip)
        for name in sorted(files):
            if name.lower().endswith(extensions):
                found.append(os.path.relpath(os.path.join(directory, name), root))
    return found


def read_manifest(path):
    """The records of the manifest by (path, settings); and whether it ends inside a line."""
    done = {}
    torn = False
    try:
        with open(path, "rb") as f:
            content = f.read()
    except FileNotFoundError:
        return done, False
    torn = bool(content) and not content.endswith(b"\n")
    for line in content.splitlines():
        try:
            record = json.loads(line)
            key = (record["path"], json.dumps(record["settings"], sort_keys=True))
        except (ValueError, KeyError, TypeError):
            continue  # a torn line
        done[key] = record
    return done, torn


def file_hash(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def still_done(root, relative, record, retry_errors):
    """Whether an input with a manifest record needs no new run."""
    if record["status"] != "ok" and retry_errors:
        return False
    path = os.path.join(root, relative)
    try:
        info = os.stat(path)
    except OSError:
        return record["sha256"] is None  # failed before, still unreadable
    if (info.st_size, info.st_mtime_ns) == (record["size"], record["mtime_ns"]):
        return True
    if record["sha256"] is None or not stat.S_ISREG(info.st_mode):
        return False
    return file_hash(path) == record["sha256"]


class Manifest:
    """Appends records, each line written through to the system at once; synced to the disk
    at most every SYNC seconds and at the end (a sync costs milliseconds: one per line would
    slow the whole run down). A killed run loses no written line; a system crash at most the
    last SYNC seconds of them, whose files then run again."""
    SYNC = 0.2

    def __init__(self, path, torn):
        os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
        self.file = open(path, "ab")
        self.synced = time.monotonic()
        if torn:
            self.file.write(b"\n")  # the torn line stays a line of its own, ignored

    def append(self, record):
        self.file.write(json.dumps(record, sort_keys=True).encode() + b"\n")
        self.file.flush()
        if time.monotonic() - self.synced >= self.SYNC:
            os.fsync(self.file.fileno())
            self.synced = time.monotonic()

    def close(self):
        self.file.flush()
        os.fsync(self.file.fileno())
        self.file.close()


def parse_arguments(argv):
    parser = argparse.ArgumentParser(
        prog="python3 -m convexdecomp.dataset",
        description="Decompose every mesh of a folder tree on a Dask cluster, with a manifest "
                    "that lets a rerun skip what is done.")
    parser.add_argument("root", help="the folder tree of meshes")
    parser.add_argument("--out", required=True,
                        help="results go to OUT/<path under ROOT>.json")
    parser.add_argument("--manifest", help="default OUT/manifest.jsonl")
    parser.add_argument("--scheduler", help="address of a running Dask scheduler, "
                        "e.g. tcp://host:8786 (default: a local cluster)")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1,
                        help="processes of the local cluster (default: one per core)")
    parser.add_argument("--ext", action="append",
                        help="extension of the mesh files, repeatable (default: every "
                             "kind the tool reads, " + " ".join(EXTENSIONS) + ")")
    parser.add_argument("--max-files", type=int, help="process at most N inputs in this run")
    parser.add_argument("--retry-errors", action="store_true",
                        help="run again the inputs whose line says error")
    parser.add_argument("--epsilon", type=float)
    parser.add_argument("--epsilon-relative", type=float)
    parser.add_argument("--smooth", type=float)
    parser.add_argument("--no-hulls", dest="hulls", action="store_false")
    parser.add_argument("--max-hulls", type=int)
    parser.add_argument("--max-hull-vertices", type=int)
    parser.add_argument("--report", dest="fidelity", action="store_true", default=None,
                        help="measure the fidelity (on by default with --max-hulls)")
    arguments = parser.parse_args(argv)
    if arguments.workers < 1 or (arguments.max_files is not None and arguments.max_files < 0):
        parser.error("--workers must be at least 1 and --max-files at least 0")
    for name in ("epsilon", "epsilon_relative", "smooth"):
        value = getattr(arguments, name)
        if value is not None and not math.isfinite(value):
            parser.error("--%s needs a finite number" % name.replace("_", "-"))
    return arguments


def settings_of(arguments):
    settings = {name: getattr(arguments, name) for name in SETTINGS}
    return {k: v for k, v in settings.items() if v is not None and not (k == "hulls" and v)}


def start_client(arguments):
    from distributed import Client, LocalCluster
    if arguments.scheduler:
        return Client(arguments.scheduler), None
    cluster = LocalCluster(n_workers=arguments.workers, threads_per_worker=1, processes=True,
                           dashboard_address=None, silence_logs=40)
    return Client(cluster), cluster


def run(arguments, log=sys.stderr):
    root = os.path.abspath(arguments.root)
    out = os.path.abspath(arguments.out)
    manifest_path = arguments.manifest or os.path.join(out, "manifest.jsonl")
    settings = settings_of(arguments)
    settings_key = json.dumps(settings, sort_keys=True)
    # The settings are checked once here, on a tetrahedron, rather than failing every file.
    import convexdecomp
    import numpy as np
    try:
        convexdecomp.decompose(np.eye(4, 3, -1), [[0, 2, 1], [0, 1, 3], [0, 3, 2], [1, 2, 3]],
                               **settings)
    except ValueError as e:
        print("convexdecomp.dataset: %s" % e, file=log)
        return 2

    extensions = tuple(e if e.startswith(".") else "." + e
                       for e in (x.lower() for x in (arguments.ext or list(EXTENSIONS))))
    inputs = find_inputs(root, extensions, os.path.realpath(out))
    done, torn = read_manifest(manifest_path)
    todo = [p for p in inputs if (p, settings_key) not in done
            or not still_done(root, p, done[(p, settings_key)], arguments.retry_errors)]
    skipped = len(inputs) - len(todo)
    left = 0
    if arguments.max_files is not None and len(todo) > arguments.max_files:
        left = len(todo) - arguments.max_files
        todo = todo[:arguments.max_files]
    print("%d inputs: %d done before, %d to run%s" % (
        len(inputs), skipped, len(todo), ", %d left for a later run" % left if left else ""),
        file=log)
    if not todo:
        return 1 if left else 0

    manifest = Manifest(manifest_path, torn)
    client, cluster = start_client(arguments)
    failed = 0
    start = time.perf_counter()
    try:
        from distributed import as_completed
        # A bounded number of tasks in flight keeps the client's memory flat on huge trees;
        # they are submitted in batches, which costs the scheduler less than one at a time.
        window = max(64, 8 * sum(client.nthreads().values()))
        running = as_completed(with_results=True, raise_errors=False)
        paths = {}
        position = 0

        def top_up():
            nonlocal position
            room = window - len(paths)
            if room < window // 2 or position == len(todo):
                return
            batch = todo[position:position + room]
            position += len(batch)
            futures = client.map(process_file, [root] * len(batch), batch, [out] * len(batch),
                                 [settings] * len(batch), pure=False)
            paths.update((f.key, relative) for f, relative in zip(futures, batch))
            running.update(futures)

        top_up()
        for future, record in running:
            relative = paths.pop(future.key)
            if isinstance(record, BaseException):  # the task's worker died, or it could not run
                record = {"path": relative, "sha256": None, "size": None, "mtime_ns": None,
                          "settings": settings, "status": "error", "counts": None,
                          "seconds": None, "error": "task failed: %r" % record}
            manifest.append(record)
            failed += record["status"] != "ok"
            top_up()
    except KeyboardInterrupt:
        print("interrupted: the inputs already in the manifest stay done", file=log)
        return 130
    finally:
        manifest.close()
        client.close()
        if cluster is not None:
            cluster.close()
    print("%d run in %.2f s, %d with errors (see %s)" % (
        len(todo), time.perf_counter() - start, failed, manifest_path), file=log)
    return 1 if left else 0


def main(argv=None):
    return run(parse_arguments(sys.argv[1:] if argv is None else argv))


if __name__ == "__main__":
    sys.exit(main())
