"""Nearly convex pieces of a triangle mesh and a convex hull for each.

    import convexdecomp
    vertices, faces = convexdecomp.load("part.stl")
    result = convexdecomp.decompose(vertices, faces, epsilon=0.1)
    for hull in result.hulls:
        print(hull.vertices.shape, hull.faces.shape, hull.volume)

decompose(vertices, faces, epsilon=None, smooth=None, epsilon_relative=None, hulls=True,
          max_hulls=None, max_hull_vertices=None, fidelity=None, allow_nonfinite=False,
          progress=None)
    vertices: an (n, 3) float32 or float64 array (used as 32-bit floats); faces: an (m, 3)
    integer array of indices into vertices, each face's corner order fixing its front side.
    Computes what convexdecomp-cli computes with the same settings:
      - without max_hulls: the pieces grown at epsilon (model units, default 0.1; or
        epsilon_relative times the box diagonal), and with hulls=True a hull for every piece
        with at least four distinct corners, built from the share smooth (default 0.1, used
        clamped to 0..1 with a warning outside) of its corners. max_hull_vertices names the
        hulls with more vertices (result.hulls_over_limit).
      - with max_hulls=N: the fitting mode (--max-hulls N --max-hull-vertices V, V default 64):
        at most N hulls of at most V vertices holding every corner; epsilon defaults to 0.002
        times the box diagonal; smooth does not apply.
    fidelity (default: True with max_hulls) measures how well the hulls stand for the mesh
    (the tool's --report), as a dict with the names of the tool's JSON.
    Bad input raises ValueError before any work: wrong shapes or dtypes, face indices outside
    the vertices, vertices that are NaN or infinite as 32-bit floats (allow_nonfinite=True lets
    them through: the computation then gives the batch tool's defined result), settings the
    batch tool refuses. The computation runs without the GIL. progress(step, fraction) is called
    now and then (at most every 20 ms) on the calling thread; an exception it raises stops the
    computation and comes out of decompose; Ctrl+C in the main thread stops it with
    KeyboardInterrupt (the fidelity measurement, which reports no progress, runs to its end).

    The result has: triangles (the input's count), box ((2, 3): min and max corners), diagonal,
    epsilon (the tolerance used), smooth, messages (the desktop tool's message texts, as the
    batch tool prints them), regions (regions grown; None in the fitting mode), pieces, hulls,
    fit (None, or a dict: max_hulls, max_hull_vertices, start_pieces), hulls_over_limit,
    fidelity (None or a dict). Each piece: triangles ((t, 3, 3) float32, in the order they
    joined it), faces (their rows in the input faces, int64), box. Each hull: vertices ((k, 3)
    float32), faces ((f, 3) int32, wound outward), box (of the points it was built from), piece
    (its piece's index), vertex_count, face_count, volume, closed, reduced (fitting mode: cut
    down to the vertex limit).
    Its methods give the batch tool's files for the same file and settings, colours included:
    to_json() (the text of --json), write_json(path), write_obj(path) (--obj),
    write_pieces_obj(path), write_hulls_dir(folder), write_stl_dir(folder), write_mjcf(path),
    write_urdf(path), write_glb(path); a file that cannot be written raises OSError. The colours
    are drawn per call, so calls on several threads give what each gives alone.

load(path, progress=None) -> (vertices, faces)
    Reads a mesh file in any format the batch tool reads. Corners equal bit for bit share one
    vertex, so vertices[faces] are exactly the triangles of the file and decompose() on them
    gives what the batch tool gives for the file. A file that cannot be read raises OSError
    with the errno and the reason (FileNotFoundError, IsADirectoryError, ...).

loads(data, progress=None) -> (vertices, faces)
    The same for the bytes of a file.
"""
from ._convexdecomp import EXTENSIONS, Result, decompose, load, loads

__all__ = ["EXTENSIONS", "Result", "decompose", "load", "loads"]
