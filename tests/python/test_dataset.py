"""The data-set command on a tree of small meshes and broken files: a run cut short on its own
local cluster of two processes, the rest resumed on a running scheduler, and a rerun with
nothing left to do."""
import hashlib
import json
import os
import subprocess
import sys
import types

import numpy as np
import pytest
from distributed import LocalCluster

import convexdecomp
from convexdecomp.dataset import read_manifest
from meshes import binary_stl, torus
from test_module import ROOT, assert_same_as_tool, tool_json

# Debian's distributed starts its event loop the way this tornado warns about.
pytestmark = pytest.mark.filterwarnings("ignore:make_current is deprecated:DeprecationWarning")


def dataset(*arguments):
    return subprocess.run([sys.executable, "-m", "convexdecomp.dataset", *arguments],
                          capture_output=True, text=True, timeout=100)


def lines(path):
    with open(path, "rb") as f:
        return f.read().splitlines()


def as_result(document, path):
    """A result file read back as decompose() gives it, the pieces' triangles from the mesh."""
    vertices, faces = convexdecomp.load(path)
    space = types.SimpleNamespace

    def array(values, dtype):
        return np.array([[float(x) for x in row] for row in values], dtype).reshape(-1, 3)

    return space(
        **{k: document[k] for k in ("epsilon", "messages", "regions")},
        triangles=document["mesh"]["triangles"], box=array(document["mesh"]["box"], np.float32),
        pieces=[space(box=array(p["box"], np.float32), triangles=vertices[faces[p["faces"]]])
                for p in document["pieces"]],
        hulls=[space(box=array(h["box"], np.float32), vertices=array(h["vertices"], np.float32),
                     faces=np.array(h["faces"], int).reshape(-1, 3),
                     **{k: h[k] for k in ("vertex_count", "face_count", "volume", "closed",
                                          "piece")})
               for h in document["hulls"]],
        fit=document.get("fit"), fidelity=document.get("fidelity"))


def test_a_tree_runs_resumes_and_skips_what_is_done(tmp_path):
    root, out = tmp_path / "meshes", tmp_path / "out"
    (root / "a" / "b").mkdir(parents=True)
    for i, (around, across) in enumerate([(8, 4), (12, 6), (16, 8), (10, 5)]):
        (root / "a" / ("torus%d.stl" % i)).write_bytes(binary_stl(*torus(around, across)))
    for name in ("gear.stl", "torus.stl"):
        (root / "a" / "b" / name).write_bytes((open(os.path.join(ROOT, "samples", name), "rb")
                                               .read()))
    (root / "garbage.STL").write_bytes(b"not a mesh at all")  # read as text: no triangles
    (root / "notes.txt").write_text("not an input")
    os.symlink(tmp_path / "missing.stl", root / "dangling.stl")
    os.mkfifo(root / "fifo.stl")
    manifest = out / "manifest.jsonl"

    first = dataset(str(root), "--out", str(out), "--workers", "2", "--max-files", "4")
    assert first.returncode == 1, first.stderr  # inputs left for a later run
    assert "9 inputs: 0 done before, 4 to run, 5 left" in first.stderr
    assert len(lines(manifest)) == 4

    # Between the runs: one finished file gets new content, one only a new time, and the run
    # that was cut short left half a line.
    done = [json.loads(line)["path"] for line in lines(manifest)]
    assert sorted(done) == ["a/torus0.stl", "dangling.stl", "fifo.stl", "garbage.STL"]
    changed, touched = "a/torus0.stl", "garbage.STL"
    (root / changed).write_bytes(binary_stl(*torus(6, 3)))
    os.utime(root / touched, ns=(1, 1))
    with open(manifest, "ab") as f:
        f.write(b'{"path": "a/torus3.stl", "sha')

    # The rest on a running scheduler, as on a remote cluster.
    with LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None,
                      silence_logs=40) as cluster:
        second = dataset(str(root), "--out", str(out), "--scheduler", cluster.scheduler_address)
    assert second.returncode == 0, second.stderr
    assert "9 inputs: 3 done before, 6 to run" in second.stderr
    records, torn = read_manifest(manifest)
    assert not torn and len(lines(manifest)) == 4 + 1 + 6
    records = [json.loads(line) for line in lines(manifest)[:4] + lines(manifest)[5:]]
    # No input ran twice with the same content; the changed file ran again with its new one.
    runs = [(r["path"], r["sha256"]) for r in records]
    assert len(set(runs)) == len(runs)
    assert sorted({r["path"] for r in records}) == sorted(
        p for p in (os.path.relpath(os.path.join(d, n), root) for d, _, files in os.walk(root)
                    for n in files) if p != "notes.txt")
    assert [r["path"] for r in records].count(changed) == 2
    assert [r["path"] for r in records].count(touched) == 1

    latest = {r["path"]: r for r in records}
    assert {p: r["status"] for p, r in latest.items() if r["status"] != "ok"} == {
        "dangling.stl": "error", "fifo.stl": "error"}
    assert "No such file" in latest["dangling.stl"]["error"]
    assert "not a regular file" in latest["fifo.stl"]["error"]
    assert latest["garbage.STL"]["counts"] == {"triangles": 0, "pieces": 0, "hulls": 0}
    for path, record in latest.items():
        if record["status"] != "ok":
            continue
        with open(root / path, "rb") as f:
            content = f.read()
        assert record["sha256"] == hashlib.sha256(content).hexdigest()
        result = convexdecomp.decompose(*convexdecomp.loads(content))
        assert record["counts"] == {"triangles": result.triangles, "pieces": len(result.pieces),
                                    "hulls": len(result.hulls)}
        assert record["settings"] == {} and record["seconds"] >= 0
    # A result holds what the batch tool writes, but for the colours.
    for name in ("a/b/gear.stl", "a/torus1.stl"):
        with open(out / (name + ".json")) as f:
            document = json.load(f)
        assert_same_as_tool(as_result(document, root / name), tool_json(str(root / name)))

    third = dataset(str(root), "--out", str(out))
    assert third.returncode == 0 and "9 inputs: 9 done before, 0 to run" in third.stderr
    assert len(lines(manifest)) == 11


def test_bad_settings_are_refused_before_any_work(tmp_path):
    run = dataset(str(tmp_path), "--out", str(tmp_path / "out"), "--max-hulls", "0")
    assert run.returncode == 2 and "max_hulls must be at least 1" in run.stderr
    run = dataset(str(tmp_path), "--out", str(tmp_path / "out"), "--epsilon", "nan")
    assert run.returncode == 2 and "--epsilon needs a finite number" in run.stderr
    assert not (tmp_path / "out").exists()
