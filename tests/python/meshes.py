"""Meshes made in numpy for the Python tests."""
import numpy as np


def torus(around, across, bump=0.05):
    """A closed bumpy torus wound outward: around * across * 2 triangles."""
    u = np.linspace(0, 2 * np.pi, around, endpoint=False)
    v = np.linspace(0, 2 * np.pi, across, endpoint=False)
    U, V = np.meshgrid(u, v, indexing="ij")
    r = 0.5 + bump * np.sin(7 * U) * np.cos(5 * V)
    vertices = np.stack([(2 + r * np.cos(V)) * np.cos(U), (2 + r * np.cos(V)) * np.sin(U),
                         r * np.sin(V)], -1).reshape(-1, 3)
    i, j = np.meshgrid(np.arange(around), np.arange(across), indexing="ij")
    a = i * across + j
    b = (i + 1) % around * across + j
    c = (i + 1) % around * across + (j + 1) % across
    d = i * across + (j + 1) % across
    faces = np.concatenate([np.stack([a, b, c], -1).reshape(-1, 3),
                            np.stack([a, c, d], -1).reshape(-1, 3)])
    return vertices, faces


def binary_stl(vertices, faces):
    """The bytes of a binary STL file of vertices[faces]."""
    triangles = np.asarray(vertices, np.float32)[np.asarray(faces)]
    records = np.zeros(len(triangles), dtype=[("normal", "<f4", 3), ("corners", "<f4", (3, 3)),
                                              ("attribute", "<u2")])
    records["corners"] = triangles
    return b"\0" * 80 + np.uint32(len(triangles)).tobytes() + records.tobytes()
