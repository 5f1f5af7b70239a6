// The Python module _convexdecomp (imported by the package convexdecomp): decompose() over
// numpy arrays and load()/loads() through the library's reader. Arrays are checked before any
// work and refused with ValueError; the computations run without the GIL, and a progress hook
// takes it back now and then to call the caller's callable and to see Ctrl+C.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "io/mesh_reading.h"
#include "run.h"

namespace py = pybind11;

namespace {

// The progress callback the computations get. It takes the GIL at most every kInterval (and on
// the first report): then it checks for signals (Ctrl+C raises KeyboardInterrupt in the main
// thread) and calls the caller's callable; an exception from either is kept and stops the
// computation. Without a callable, outside the main thread, it never takes the GIL.
class cPythonProgress {
 public:
  static constexpr std::chrono::milliseconds kInterval{20};

  // With the GIL held.
  explicit cPythonProgress(py::object callable) : callable(std::move(callable)) {
    py::module_ threading = py::module_::import("threading");
    mainThread = threading.attr("current_thread")().is(threading.attr("main_thread")());
  }

  cProgress Receiver() {
    if (callable.is_none() && !mainThread) return {};
    return [this](const char* step, double fraction) { return Report(step, fraction); };
  }

  // With the GIL held: raises what stopped the computation, if anything did.
  void RaiseIfStopped() {
    if (error) std::rethrow_exception(error);
  }

 private:
  bool Report(const char* step, double fraction) {
    if (error) return false;
    const auto now = std::chrono::steady_clock::now();
    if (now < next) return true;
    next = now + kInterval;
    py::gil_scoped_acquire gil;
    try {
      if (PyErr_CheckSignals() != 0) throw py::error_already_set();
      if (!callable.is_none()) callable(step, fraction);
    } catch (...) {
      error = std::current_exception();
      return false;
    }
    return true;
  }

  py::object callable;
  bool mainThread = false;
  std::chrono::steady_clock::time_point next{};
  std::exception_ptr error;
};

[[noreturn]] void Refuse(const std::string& text) {
  throw py::value_error(text);
}

std::string ShapeText(const py::array& a) {
  std::string text = "(";
  for (py::ssize_t i = 0; i < a.ndim(); ++i) text += (i ? ", " : "") + std::to_string(a.shape(i));
  return text + (a.ndim() == 1 ? ",)" : ")");
}

py::array AsArray(const py::object& object, const char* name) {
  py::array array;
  try {
    array = py::module_::import("numpy").attr("asarray")(object);
  } catch (py::error_already_set& e) {
    Refuse(std::string(name) + " is not an array: " + e.what());
  }
  if (array.ndim() != 2 || array.shape(1) != 3) {
    Refuse(std::string(name) + " must be an (n, 3) array, not of shape " + ShapeText(array));
  }
  return array;
}

std::string DtypeText(const py::array& a) {
  return py::str(a.dtype()).cast<std::string>();
}

template <typename T>
void ReadVertices(const py::array& array, std::vector<cVec3>& points) {
  const auto values = py::array_t<T, py::array::forcecast>::ensure(array).template unchecked<2>();
  for (py::ssize_t i = 0; i < values.shape(0); ++i) {
    points.emplace_back(static_cast<float>(values(i, 0)), static_cast<float>(values(i, 1)),
                        static_cast<float>(values(i, 2)));
  }
}

// The triangles of vertices[faces], checked: shapes, dtypes, indices, finite coordinates (as
// 32-bit floats) unless allowNonFinite.
cTriangleList Triangles(const py::object& vertexObject, const py::object& faceObject,
                        bool allowNonFinite) {
  const py::array vertices = AsArray(vertexObject, "vertices");
  const py::array faces = AsArray(faceObject, "faces");
  const char vertexKind = vertices.dtype().kind();
  const char faceKind = faces.dtype().kind();
  if (vertexKind != 'f' || (vertices.itemsize() != 4 && vertices.itemsize() != 8)) {
    Refuse("vertices must be float32 or float64, not " + DtypeText(vertices));
  }
  if ((faceKind != 'i' && faceKind != 'u') || faces.itemsize() > 8) {
    Refuse("faces must be of an integer dtype, not " + DtypeText(faces));
  }
  std::vector<cVec3> points;
  points.reserve(static_cast<std::size_t>(vertices.shape(0)));
  if (vertices.itemsize() == 4) {
    ReadVertices<float>(vertices, points);
  } else {
    ReadVertices<double>(vertices, points);
  }
  if (!allowNonFinite) {
    for (std::size_t i = 0; i < points.size(); ++i) {
      const cVec3& p = points[i];
      if (std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z)) continue;
      Refuse("vertices[" + std::to_string(i) +
             "] has a coordinate that is NaN or infinite as a 32-bit float (pass "
             "allow_nonfinite=True to decompose such a mesh as the batch tool does)");
    }
  }
  const auto count = static_cast<std::uint64_t>(points.size());
  cTriangleList triangles;
  triangles.reserve(static_cast<std::size_t>(faces.shape(0)));
  auto take = [&](auto values) {
    for (py::ssize_t i = 0; i < values.shape(0); ++i) {
      cTriangle t;
      for (int k = 0; k < 3; ++k) {
        const auto index = values(i, k);
        if (index < 0 || static_cast<std::uint64_t>(index) >= count) {
          Refuse("faces[" + std::to_string(i) + "] refers to vertex " + std::to_string(index) +
                 ", outside 0 to " + std::to_string(static_cast<long long>(count) - 1));
        }
        t.vertex[k] = points[static_cast<std::size_t>(index)];
      }
      triangles.push_back(t);
    }
  };
  if (faceKind == 'u') {
    take(py::array_t<std::uint64_t, py::array::forcecast>::ensure(faces).unchecked<2>());
  } else {
    take(py::array_t<std::int64_t, py::array::forcecast>::ensure(faces).unchecked<2>());
  }
  return triangles;
}

py::array_t<float> PointArray(const cVec3* points, std::size_t count) {
  py::array_t<float> array({static_cast<py::ssize_t>(count), py::ssize_t{3}});
  if (count > 0) std::memcpy(array.mutable_data(), points, count * sizeof(cVec3));
  return array;
}

py::array_t<float> TriangleArray(const cTriangleList& triangles) {
  py::array_t<float> array(
      {static_cast<py::ssize_t>(triangles.size()), py::ssize_t{3}, py::ssize_t{3}});
  if (!triangles.empty())
    std::memcpy(array.mutable_data(), triangles.data(), triangles.size() * sizeof(cTriangle));
  return array;
}

py::array_t<float> BoxArray(const cBoundBox& box) {
  const cVec3 corners[2] = {box.min, box.max};
  return PointArray(corners, 2);
}

template <typename T>
py::array_t<T> IndexArray(const std::vector<T>& values, py::ssize_t columns) {
  const auto rows = static_cast<py::ssize_t>(values.size()) / columns;
  py::array_t<T> array = columns == 1 ? py::array_t<T>(rows) : py::array_t<T>({rows, columns});
  if (!values.empty()) std::memcpy(array.mutable_data(), values.data(), values.size() * sizeof(T));
  return array;
}

// The fidelity under the names of the batch tool's JSON.
py::dict FidelityDict(const cFidelity& f) {
  py::dict d;
  py::list hulls;
  for (const cHullFidelity& h : f.hulls) {
    py::dict hull;
    hull["vertex_count"] = h.vertexCount;
    hull["face_count"] = h.faceCount;
    hull["measured"] = h.measured;
    hulls.append(hull);
  }
  d["hulls"] = hulls;
  d["total_vertices"] = f.totalVertices;
  d["largest_vertex_count"] = f.largestVertexCount;
  d["total_faces"] = f.totalFaces;
  d["diagonal"] = f.diagonal;
  d["tolerance"] = f.tolerance;
  d["surface_samples"] = f.surfaceSamples;
  d["surface_coverage"] = f.surfaceCoverage;
  d["mesh_vertices"] = f.meshVertices;
  d["vertex_coverage"] = f.vertexCoverage;
  d["closed"] = f.closed;
  if (f.closed) {
    d["solid_volume"] = f.solidVolume;
    d["intersection"] = f.intersectionVolume;
    d["intersection_error"] = f.intersectionError;
    d["excess"] = f.excessVolume;
    d["excess_error"] = f.excessError;
    d["missing"] = f.missingVolume;
    d["missing_error"] = f.missingError;
    d["iou"] = f.iou;
    d["iou_low"] = f.iouLow;
    d["iou_high"] = f.iouHigh;
    d["cell_size"] = f.cellSize;
  } else {
    d["distance_samples"] = f.distanceSamples;
    d["largest_distance"] = f.largestDistance;
    d["mean_distance"] = f.meanDistance;
  }
  return d;
}

// The result object: plain attributes built once (types.SimpleNamespace, so it prints and
// pickles without a class of its own here).
py::object ResultObject(const cRunResult& run, std::size_t triangles, double smooth) {
  py::object space = py::module_::import("types").attr("SimpleNamespace");
  py::list pieces;
  for (const cRunPiece& piece : run.pieces) {
    pieces.append(space(py::arg("triangles") = TriangleArray(piece.triangles),
                        py::arg("faces") = IndexArray(piece.indices, 1),
                        py::arg("box") = BoxArray(piece.box)));
  }
  py::list hulls;
  std::vector<cVec3> corners;
  std::vector<std::uint32_t> indices;
  for (const cRunHull& hull : run.hulls) {
    IndexCorners(hull.faces, corners, indices);
    std::vector<std::int32_t> faces(indices.begin(), indices.end());
    hulls.append(space(py::arg("vertices") = PointArray(corners.data(), corners.size()),
                       py::arg("faces") = IndexArray(faces, 3), py::arg("box") = BoxArray(hull.box),
                       py::arg("piece") = hull.piece, py::arg("vertex_count") = hull.vertexCount,
                       py::arg("face_count") = hull.faces.size(), py::arg("volume") = hull.volume,
                       py::arg("closed") = hull.closed, py::arg("reduced") = hull.reduced));
  }
  py::object fit = py::none();
  if (run.fitted) {
    py::dict d;
    d["max_hulls"] = run.maxHulls;
    d["max_hull_vertices"] = run.maxHullVertices;
    d["start_pieces"] = run.startPieces;
    fit = d;
  }
  return space(py::arg("epsilon") = run.epsilon, py::arg("smooth") = smooth,
               py::arg("messages") = run.messages, py::arg("triangles") = triangles,
               py::arg("box") = BoxArray(run.box), py::arg("diagonal") = run.diagonal,
               py::arg("pieces") = pieces, py::arg("hulls") = hulls,
               py::arg("regions") = run.fitted ? py::object(py::none()) : py::cast(run.regions),
               py::arg("fit") = fit, py::arg("hulls_over_limit") = run.overLimit,
               py::arg("fidelity") =
                   run.fidelity ? py::object(FidelityDict(*run.fidelity)) : py::object(py::none()));
}

py::object Decompose(const py::object& vertices, const py::object& faces,
                     std::optional<double> epsilon, std::optional<double> smooth,
                     std::optional<double> epsilonRelative, bool hulls,
                     std::optional<long long> maxHulls, std::optional<long long> maxHullVertices,
                     std::optional<bool> fidelity, bool allowNonFinite,
                     const py::object& progress) {
  cTriangleList triangles = Triangles(vertices, faces, allowNonFinite);
  cRunRequest request;
  request.epsilon = epsilon;
  request.epsilonRelative = epsilonRelative;
  request.hulls = hulls;
  if (maxHulls) {
    if (*maxHulls < 1) Refuse("max_hulls must be at least 1, not " + std::to_string(*maxHulls));
    request.maxHulls = static_cast<std::size_t>(*maxHulls);
    if (smooth)
      Refuse("max_hulls builds every hull from all its points: smooth does not go with it");
  }
  if (maxHullVertices) {
    if (*maxHullVertices < 1)
      Refuse("max_hull_vertices must be at least 1, not " + std::to_string(*maxHullVertices));
    request.maxHullVertices = static_cast<std::size_t>(*maxHullVertices);
  }
  request.smooth = smooth.value_or(0.1);
  request.fidelity = fidelity.value_or(maxHulls.has_value());
  const double diagonal = triangles.empty() ? 0.0 : [&] {
    const cBoundBox box = ComputeBoundBox(triangles);
    return Length(box.max - box.min);
  }();
  if (const std::string problem = RequestProblem(request, diagonal); !problem.empty())
    Refuse(problem);
  if (request.smooth < 0.0 || request.smooth > 1.0) {
    const std::string text = "smooth " + std::to_string(request.smooth) +
                             " is outside 0 to 1; the hulls are built as with " +
                             (request.smooth < 0.0 ? "0" : "1");
    if (PyErr_WarnEx(PyExc_UserWarning, text.c_str(), 1) != 0) throw py::error_already_set();
  }

  cPythonProgress hook(progress);
  const cProgress receiver = hook.Receiver();
  cRunResult run;
  {
    py::gil_scoped_release released;
    run = RunDecomposition(triangles, request, receiver);
  }
  hook.RaiseIfStopped();
  return ResultObject(run, triangles.size(), request.smooth);
}

// Triangles as welded arrays: corners equal bit for bit share a vertex (so vertices[faces]
// gives back the very triangles read), in order of first appearance.
py::tuple MeshArrays(const cTriangleList& triangles) {
  struct cBits {
    std::uint32_t v[3];
    bool operator==(const cBits& o) const { return std::memcmp(v, o.v, sizeof v) == 0; }
  };
  struct cHash {
    std::size_t operator()(const cBits& b) const {
      return (std::uint64_t{b.v[0]} * 0x9e3779b97f4a7c15ull) ^
             (std::uint64_t{b.v[1]} * 0xc2b2ae3d27d4eb4full) ^ (std::uint64_t{b.v[2]} << 7);
    }
  };
  std::vector<cVec3> points;
  std::vector<std::int64_t> faces;
  {
    py::gil_scoped_release released;
    std::unordered_map<cBits, std::int64_t, cHash> known;
    known.reserve(triangles.size() * 2);
    faces.reserve(triangles.size() * 3);
    for (const cTriangle& t : triangles) {
      for (const cVec3& p : t.vertex) {
        cBits bits;
        std::memcpy(bits.v, &p, sizeof bits.v);
        const auto [at, added] = known.emplace(bits, static_cast<std::int64_t>(points.size()));
        if (added) points.push_back(p);
        faces.push_back(at->second);
      }
    }
  }
  return py::make_tuple(PointArray(points.data(), points.size()), IndexArray(faces, 3));
}

[[noreturn]] void RaiseReadError(int error, const py::object& name) {
  errno = error;
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.ptr());
  throw py::error_already_set();
}

py::tuple Load(const py::object& path, const py::object& progress) {
  const py::object name = py::module_::import("os").attr("fspath")(path);
  const std::string bytes =
      py::module_::import("os").attr("fsencode")(name).cast<py::bytes>().cast<std::string>();
  cPythonProgress hook(progress);
  const cProgress receiver = hook.Receiver();
  cMeshData data;
  {
    py::gil_scoped_release released;
    data = ReadMeshFile(bytes, receiver);
  }
  hook.RaiseIfStopped();
  if (data.error != 0) RaiseReadError(data.error, name);
  return MeshArrays(data.triangles);
}

py::tuple Loads(const py::bytes& content, const py::object& progress) {
  char* buffer = nullptr;
  py::ssize_t size = 0;
  if (PyBytes_AsStringAndSize(content.ptr(), &buffer, &size) != 0) throw py::error_already_set();
  cPythonProgress hook(progress);
  const cProgress receiver = hook.Receiver();
  cMeshData data;
  {
    py::gil_scoped_release released;  // content is immutable and held by the caller
    data = ReadMeshMemory(buffer, static_cast<std::size_t>(size), receiver);
  }
  hook.RaiseIfStopped();
  if (data.error != 0) RaiseReadError(data.error, py::str("<bytes>"));
  return MeshArrays(data.triangles);
}

}  // namespace

PYBIND11_MODULE(_convexdecomp, m) {
  m.doc() = "Nearly convex pieces of a triangle mesh and their convex hulls.";
  m.def("decompose", &Decompose, py::arg("vertices"), py::arg("faces"),
        py::arg("epsilon") = py::none(), py::arg("smooth") = py::none(),
        py::arg("epsilon_relative") = py::none(), py::arg("hulls") = true,
        py::arg("max_hulls") = py::none(), py::arg("max_hull_vertices") = py::none(),
        py::arg("fidelity") = py::none(), py::arg("allow_nonfinite") = false,
        py::arg("progress") = py::none());
  m.def("load", &Load, py::arg("path"), py::kw_only(), py::arg("progress") = py::none());
  m.def("loads", &Loads, py::arg("data"), py::kw_only(), py::arg("progress") = py::none());
}
