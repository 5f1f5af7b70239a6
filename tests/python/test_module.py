"""The Python module against the batch tool, and its handling of bad arrays, threads, progress
and Ctrl+C. CD_CLI names the batch tool, CD_ROOT the source tree (both set by CTest)."""
import _thread
import concurrent.futures
import json
import os
import subprocess
import sys
import threading

import numpy as np
import pytest

import convexdecomp
from meshes import binary_stl, torus

ROOT = os.environ.get("CD_ROOT", os.path.join(os.path.dirname(__file__), "..", ".."))
CLI = os.environ.get("CD_CLI", os.path.join(ROOT, "build", "convexdecomp-cli"))


def tool_bytes(path, *options):
    return subprocess.run([CLI, path, "--quiet", "--json", "-", *options], capture_output=True,
                          check=True).stdout


def tool_json(path, *options):
    return json.loads(tool_bytes(path, *options), parse_constant=float)


def value(x):
    """A JSON number or one of the strings "nan", "inf", "-inf" as a float."""
    return float(x) if isinstance(x, str) else x


def assert_points(actual, expected):
    expected = np.array([[value(c) for c in p] for p in expected], np.float32).reshape(-1, 3)
    np.testing.assert_array_equal(np.asarray(actual, np.float32).reshape(-1, 3), expected)


def assert_same_as_tool(result, run):
    assert result.messages == run["messages"]
    assert result.epsilon == value(run["epsilon"])
    assert result.triangles == run["mesh"]["triangles"]
    assert_points(result.box, run["mesh"]["box"])
    assert len(result.pieces) == len(run["pieces"])
    for piece, expected in zip(result.pieces, run["pieces"]):
        assert_points(piece.triangles, [p for t in expected["triangles"] for p in t])
        assert_points(piece.box, expected["box"])
    assert len(result.hulls) == len(run["hulls"])
    for hull, expected in zip(result.hulls, run["hulls"]):
        assert_points(hull.vertices[hull.faces], [p for t in expected["faces"] for p in t])
        assert_points(hull.box, expected["box"])
        assert (hull.vertex_count, hull.face_count, hull.closed, hull.piece) == (
            expected["vertex_count"], expected["face_count"], expected["closed"],
            expected["piece"])
        np.testing.assert_equal(hull.volume, value(expected["volume"]))
    assert result.fit == run.get("fit")
    if "fidelity" in run:
        assert result.fidelity.keys() == run["fidelity"].keys()
        for key, expected in run["fidelity"].items():
            np.testing.assert_equal(result.fidelity[key], expected, err_msg=key)
    else:
        assert result.fidelity is None


# (file, batch tool options, decompose() keywords): every sample and the odd test inputs, in
# both modes and with the settings the tool derives from the mesh.
RUNS = [
    ("samples/gear.stl", [], {}),
    ("samples/torus.stl", [], {}),
    ("samples/gear.stl", ["--epsilon", "0.3", "--smooth", "0.5"], dict(epsilon=0.3, smooth=0.5)),
    ("samples/gear.stl", ["--epsilon-relative", "0.05"], dict(epsilon_relative=0.05)),
    ("samples/gear.stl", ["--no-hulls"], dict(hulls=False)),
    ("samples/torus.stl", ["--max-hulls", "8", "--report"], dict(max_hulls=8)),
    ("samples/gear.stl", ["--max-hulls", "3", "--max-hull-vertices", "12", "--report"],
     dict(max_hulls=3, max_hull_vertices=12)),
    ("samples/gear.stl", ["--report"], dict(fidelity=True)),
    ("tests/fixtures/cli_tetrahedron.stl", [], {}),
    ("tests/fixtures/cli_concave_fold.stl", ["--report"], dict(fidelity=True)),
    ("tests/fixtures/cli_non_finite.stl", [], dict(allow_nonfinite=True)),
    ("tests/fixtures/cli_no_triangles.stl", [], {}),
]


@pytest.mark.parametrize("name,options,keywords", RUNS)
def test_results_equal_the_batch_tools(name, options, keywords):
    path = os.path.join(ROOT, name)
    vertices, faces = convexdecomp.load(path)
    result = convexdecomp.decompose(vertices, faces, **keywords)
    written = tool_bytes(path, *options)
    assert result.to_json().encode() == written
    assert_same_as_tool(result, json.loads(written, parse_constant=float))
    # Every piece triangle is one face of the input, each face in at most one piece.
    taken = np.concatenate([p.faces for p in result.pieces] + [np.zeros(0, np.int64)])
    assert len(np.unique(taken)) == len(taken) and (taken >= 0).all()
    for piece in result.pieces:
        np.testing.assert_array_equal(vertices[faces[piece.faces]], piece.triangles)


def files_under(folder):
    return {str(p.relative_to(folder)): p.read_bytes() for p in folder.rglob("*") if p.is_file()}


@pytest.mark.parametrize("name,options,keywords", [
    ("samples/gear.stl", [], {}),
    ("samples/gear.stl", ["--max-hulls", "6"], dict(max_hulls=6, fidelity=False)),
])
def test_the_writers_write_the_batch_tools_files(tmp_path, name, options, keywords):
    path = os.path.join(ROOT, name)
    tool, module = tmp_path / "tool", tmp_path / "module"
    tool.mkdir()
    subprocess.run([CLI, path, "--quiet", *options, "--json", tool / "run.json",
                    "--obj", tool / "hulls.obj", "--pieces-obj", tool / "pieces.obj",
                    "--hulls-dir", tool / "hulls", "--stl-dir", tool / "stl",
                    "--mjcf", tool / "scene.xml", "--urdf", tool / "robot.urdf",
                    "--glb", tool / "hulls.glb"], check=True, capture_output=True)
    result = convexdecomp.decompose(*convexdecomp.load(path), **keywords)
    module.mkdir()
    result.write_json(module / "run.json")
    result.write_obj(module / "hulls.obj")
    result.write_pieces_obj(str(module / "pieces.obj"))
    result.write_hulls_dir(module / "hulls")
    result.write_stl_dir(module / "stl")
    result.write_mjcf(module / "scene.xml")
    result.write_urdf(module / "robot.urdf")
    result.write_glb(module / "hulls.glb")
    expected = files_under(tool)
    assert len(expected) > 8 and files_under(module) == expected
    for write in (result.write_json, result.write_glb, result.write_mjcf, result.write_hulls_dir):
        with pytest.raises(OSError) as raised:
            write(tmp_path / "missing" / "folder" / "out")
        assert raised.value.errno and "missing" in raised.value.filename


def test_calls_on_several_threads_give_the_colours_of_one_call_alone():
    runs = [(os.path.join(ROOT, "samples", name), keywords) for name in ("gear.stl", "torus.stl")
            for keywords in ({}, dict(max_hulls=4))] * 3
    meshes = {path: convexdecomp.load(path) for path, _ in runs}
    expected = {(path, str(k)): tool_bytes(path, *(["--max-hulls", "4", "--report"] if k else []))
                for path, k in runs}
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        results = list(pool.map(lambda run: convexdecomp.decompose(*meshes[run[0]], **run[1]),
                                runs))
    for (path, keywords), result in zip(runs, results):
        assert result.to_json().encode() == expected[(path, str(keywords))]


def test_loads_and_other_dtypes_and_layouts_give_the_same_result():
    path = os.path.join(ROOT, "samples", "gear.stl")
    vertices, faces = convexdecomp.load(path)
    with open(path, "rb") as f:
        read = convexdecomp.loads(f.read())
    np.testing.assert_array_equal(read[0], vertices)
    np.testing.assert_array_equal(read[1], faces)
    expected = convexdecomp.decompose(vertices, faces)
    strided = np.zeros((len(vertices), 6), np.float64)
    strided[:, ::2] = vertices
    for v, f in [(vertices.astype(np.float64), faces.astype(np.int32)),
                 (strided[:, ::2], faces.astype(np.uint32)),
                 (vertices.tolist(), faces.tolist()),
                 (np.asfortranarray(vertices), np.asfortranarray(faces.astype(np.uint16)))]:
        result = convexdecomp.decompose(v, f)
        assert result.messages == expected.messages
        for a, b in zip(result.hulls, expected.hulls):
            np.testing.assert_array_equal(a.vertices, b.vertices)
            np.testing.assert_array_equal(a.faces, b.faces)
    hull = expected.hulls[0]
    assert (hull.vertices.dtype, hull.faces.dtype, expected.pieces[0].faces.dtype) == (
        np.float32, np.int32, np.int64)
    assert hull.vertices.shape == (hull.vertex_count, 3)
    assert hull.faces.shape == (hull.face_count, 3)


TETRA = np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1]], np.float32)
TETRA_FACES = np.array([[0, 2, 1], [0, 1, 3], [0, 3, 2], [1, 2, 3]])


@pytest.mark.parametrize("vertices,faces,keywords,message", [
    (TETRA[:, :2], TETRA_FACES, {}, r"vertices must be an \(n, 3\) array, not of shape \(4, 2\)"),
    (TETRA.ravel(), TETRA_FACES, {}, r"not of shape \(12,\)"),
    (TETRA, TETRA_FACES[:, :2], {}, r"faces must be an \(n, 3\) array"),
    (TETRA.astype(np.int32), TETRA_FACES, {}, "vertices must be float32 or float64, not int32"),
    (TETRA.astype(np.float16), TETRA_FACES, {}, "not float16"),
    (TETRA, TETRA_FACES.astype(np.float64), {}, "faces must be of an integer dtype, not float64"),
    (TETRA, [["a", "b", "c"]], {}, "faces must be of an integer dtype"),
    (TETRA, TETRA_FACES + 1, {}, r"faces\[1\] refers to vertex 4, outside 0 to 3"),
    (TETRA, -TETRA_FACES, {}, r"faces\[0\] refers to vertex -2"),
    (TETRA, np.array([[0, 1, 2**63]], np.uint64), {}, "refers to vertex 9223372036854775808"),
    (np.zeros((0, 3)), TETRA_FACES, {}, "outside 0 to -1"),
    (np.where(TETRA == 1, np.nan, TETRA), TETRA_FACES, {}, r"vertices\[1\] .* NaN or infinite"),
    (TETRA * 1e39, TETRA_FACES, {}, "NaN or infinite as a 32-bit float"),
    (TETRA, TETRA_FACES, dict(epsilon=float("inf")), "not finite"),
    (TETRA, TETRA_FACES, dict(epsilon_relative=float("nan")), "not finite"),
    (TETRA, TETRA_FACES, dict(epsilon=0.1, epsilon_relative=0.1), "not both"),
    (TETRA, TETRA_FACES, dict(smooth=float("nan")), "smooth must be a finite number"),
    (TETRA, TETRA_FACES, dict(max_hulls=0), "max_hulls must be at least 1"),
    (TETRA, TETRA_FACES, dict(max_hulls=2, max_hull_vertices=3), "at least 4 with max_hulls"),
    (TETRA, TETRA_FACES, dict(max_hulls=2, smooth=0.5), "smooth does not go with it"),
    (TETRA, TETRA_FACES, dict(max_hulls=2, hulls=False), "hulls=False does not go with it"),
    (TETRA, TETRA_FACES, dict(max_hull_vertices=0), "max_hull_vertices must be at least 1"),
])
def test_bad_arrays_and_settings_raise_value_error(vertices, faces, keywords, message):
    with pytest.raises(ValueError, match=message):
        convexdecomp.decompose(vertices, faces, **keywords)


def test_non_finite_vertices_when_allowed_and_limits_and_smooth_warnings():
    vertices = np.vstack([TETRA, [[np.nan, 0, 0]]])
    faces = np.vstack([TETRA_FACES, [[4, 1, 2]]])
    result = convexdecomp.decompose(vertices, faces, allow_nonfinite=True)
    assert result.messages[0] == "triangles: 5" and np.isfinite(result.hulls[0].vertices).all()
    assert convexdecomp.decompose(TETRA, TETRA_FACES, max_hull_vertices=3).hulls_over_limit == [0]
    assert convexdecomp.decompose(TETRA, TETRA_FACES, max_hull_vertices=4).hulls_over_limit == []
    with pytest.warns(UserWarning, match="outside 0 to 1; the hulls are built as with 1"):
        convexdecomp.decompose(TETRA, TETRA_FACES, smooth=2)
    empty = convexdecomp.decompose(np.zeros((0, 3)), np.zeros((0, 3), int))
    assert (empty.messages, empty.pieces, empty.hulls) == (["triangles: 0"], [], [])


@pytest.mark.parametrize("name,content,error,reason", [
    ("mesh.stl", None, FileNotFoundError, ""),
    ("mesh.stl", "directory", IsADirectoryError, ""),
    ("mesh.stl", "fifo", None, ""),  # not a regular file: EINVAL
    ("part.step", b"solid", None, "unknown kind of mesh file '.step'"),
    ("mesh.obj", b"f 1 2 9\n", None, ""),  # the importer's own reason
])
def test_unreadable_files_raise_os_error_with_the_reason(tmp_path, name, content, error, reason):
    path = tmp_path / name
    if content == "directory":
        path.mkdir()
    elif content == "fifo":
        os.mkfifo(path)
    elif content is not None:
        path.write_bytes(content)
    with pytest.raises(error or OSError) as raised:
        convexdecomp.load(path)
    assert raised.value.errno and raised.value.strerror and str(path) in str(raised.value)
    assert reason in raised.value.strerror


@pytest.mark.parametrize("name", ["formats_two_objects.obj", "formats_binary.ply",
                                  "formats_pyramid.off", "formats_nodes.glb",
                                  "formats_tetrahedron.3mf"])
def test_every_format_loads_from_a_file_and_from_bytes_alike(name):
    path = os.path.join(ROOT, "tests", "fixtures", name)
    vertices, faces = convexdecomp.load(path)
    assert len(faces) > 0 and os.path.splitext(name)[1] in convexdecomp.EXTENSIONS
    with open(path, "rb") as f:
        read = convexdecomp.loads(f.read(), os.path.splitext(name)[1])
    np.testing.assert_array_equal(read[0], vertices)
    np.testing.assert_array_equal(read[1], faces)


def test_a_file_written_from_arrays_reads_back_bit_for_bit(tmp_path):
    vertices, faces = torus(12, 6)
    (tmp_path / "t.stl").write_bytes(binary_stl(vertices, faces))
    read_vertices, read_faces = convexdecomp.load(str(tmp_path / "t.stl"))
    np.testing.assert_array_equal(read_vertices[read_faces],
                                  vertices.astype(np.float32)[faces])
    assert len(read_vertices) == len(vertices)


class Stop(Exception):
    pass


def test_progress_reports_steps_and_an_exception_from_it_stops_the_call():
    vertices, faces = torus(50, 25)
    calls = []
    result = convexdecomp.decompose(vertices, faces, max_hulls=8, fidelity=False,
                                    progress=lambda step, share: calls.append((step, share)))
    assert {step for step, _ in calls} <= {"decomposing", "fitting", "hulls"}
    assert calls[0][0] == "decomposing" and all(0 <= share <= 1 for _, share in calls)
    assert len(result.hulls) <= 8

    def stop(step, share):
        calls.append(step)
        raise Stop(step)

    calls = []
    with pytest.raises(Stop, match="decomposing"):
        convexdecomp.decompose(vertices, faces, max_hulls=8, progress=stop)
    assert calls == ["decomposing"]
    with pytest.raises(Stop, match="reading"):
        convexdecomp.loads(binary_stl(*torus(100, 50)), progress=stop)


def test_ctrl_c_stops_a_long_call_in_the_main_thread():
    # The progress callable is a builtin, so no Python code runs in the call that could see the
    # signal: only the module's own check between the steps can stop it.
    vertices, faces = torus(50, 25)
    steps = {}
    done = threading.Event()

    def interrupt():
        while not steps and not done.wait(0.001):
            pass
        _thread.interrupt_main()

    interrupter = threading.Thread(target=interrupt)
    interrupter.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            convexdecomp.decompose(vertices, faces, max_hulls=8, fidelity=False,
                                   progress=steps.__setitem__)
    finally:
        done.set()
        interrupter.join()
    assert "decomposing" in steps and "hulls" not in steps  # stopped before its last step


def test_the_core_runs_without_the_gil():
    # With a switch interval longer than the test, a thread holding the GIL keeps it until it
    # blocks: the Python threads below advance while decompose runs only if it lets go.
    vertices, faces = torus(50, 25)
    ticks = 0
    done = threading.Event()
    seen = {}

    def run(name):
        seen[name] = []
        convexdecomp.decompose(vertices, faces, max_hulls=8, fidelity=False,
                               progress=lambda step, share: seen[name].append(ticks))

    def tick():
        nonlocal ticks
        while not done.is_set():
            ticks += 1
            done.wait(0.001)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(100)
    try:
        ticker = threading.Thread(target=tick)
        ticker.start()
        workers = [threading.Thread(target=run, args=(n,)) for n in ("a", "b")]
        for w in workers:
            w.start()
        for w in workers:
            w.join()
        done.set()
        ticker.join()
    finally:
        sys.setswitchinterval(interval)
    for name in ("a", "b"):
        assert len(seen[name]) >= 2 and seen[name][-1] > seen[name][0], seen
    # Both calls ran at once: each saw a tick value the other had seen before its own end.
    assert seen["a"][0] < seen["b"][-1] and seen["b"][0] < seen["a"][-1], seen
