// The Python module _convexdecomp (imported by the package convexdecomp): decompose() over
// numpy arrays, its result's writers (the batch tool's files) and load()/loads() through the
// library's reader. Arrays are checked before any
// work and refused with ValueError; the computations run without the GIL, and a progress hook
// takes it back now and then to call the caller's callable and to see Ctrl+C.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "decomposition/decomposition.h"
#include "formats/engines.h"
#include "formats/export.h"
#include "hull/hull.h"
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

// What decompose() returns: the run, kept for the writers, with its facts as plain attributes
// built once (set on the instance, so they print, compare and change as a namespace's would).
struct cResult {
  std::shared_ptr<const cModuleRun> run;
};

const cBatchRun& BatchOf(const cResult& result) {
  return *result.run->batch;
}

py::object ResultObject(std::shared_ptr<const cModuleRun> owned, double smooth) {
  const cModuleRun& run = *owned;
  const cBatchRun& batch = *run.batch;
  const cDecomposition& decomposition = batch.decomposition;
  py::object space = py::module_::import("types").attr("SimpleNamespace");
  py::list pieces;
  for (std::size_t i = 0; i < decomposition.pieces.size(); ++i) {
    const cConvexPiece& piece = *decomposition.pieces[i];
    pieces.append(space(py::arg("triangles") = TriangleArray(piece.triangles),
                        py::arg("faces") = IndexArray(run.indices[i], 1),
                        py::arg("box") = BoxArray(piece.box)));
  }
  py::list hulls;
  std::vector<cVec3> corners;
  std::vector<std::uint32_t> indices;
  for (std::size_t i = 0; i < decomposition.hulls.size(); ++i) {
    const cHullResult& hull = *decomposition.hulls[i];
    IndexCorners(hull.faces, corners, indices);
    std::vector<std::int32_t> faces(indices.begin(), indices.end());
    const cHullFacts facts = HullFacts(hull.faces);
    const std::size_t piece = i < batch.hullPieces.size() ? batch.hullPieces[i] : i;
    const bool reduced = i < batch.reduced.size() && batch.reduced[i];
    hulls.append(space(py::arg("vertices") = PointArray(corners.data(), corners.size()),
                       py::arg("faces") = IndexArray(faces, 3), py::arg("box") = BoxArray(hull.box),
                       py::arg("piece") = piece, py::arg("vertex_count") = facts.vertices,
                       py::arg("face_count") = facts.faces, py::arg("volume") = facts.volume,
                       py::arg("closed") = facts.closed, py::arg("reduced") = reduced));
  }
  py::object fit = py::none();
  if (batch.fit) {
    py::dict d;
    d["max_hulls"] = batch.fit->maxHulls;
    d["max_hull_vertices"] = batch.fit->maxHullVertices;
    d["start_pieces"] = batch.fit->startPieces;
    fit = d;
  }
  py::object result = py::cast(cResult{std::move(owned)});
  const std::pair<const char*, py::object> attributes[] = {
      {"epsilon", py::cast(batch.epsilon)},
      {"smooth", py::cast(smooth)},
      {"messages", py::cast(batch.messages)},
      {"triangles", py::cast(batch.mesh.triangles.size())},
      {"box", BoxArray(batch.mesh.box)},
      {"diagonal", py::cast(run.diagonal)},
      {"pieces", pieces},
      {"hulls", hulls},
      {"regions", batch.fit ? py::object(py::none()) : py::cast(batch.regions)},
      {"fit", fit},
      {"hulls_over_limit", py::cast(run.overLimit)},
      {"fidelity", batch.fidelity ? py::object(FidelityDict(*batch.fidelity)) : py::none()},
  };
  for (const auto& [name, value] : attributes) py::setattr(result, name, value);
  return result;
}

// A path argument (str, bytes or os.PathLike) as the file system's bytes, and as the name an
// OSError shows.
std::string PathBytes(const py::object& path, py::object& name) {
  name = py::module_::import("os").attr("fspath")(path);
  return py::module_::import("os").attr("fsencode")(name).cast<py::bytes>().cast<std::string>();
}

[[noreturn]] void RaiseWriteError(int error, const std::string& failed) {
  errno = error;
  const py::object name = py::module_::import("os").attr("fsdecode")(py::bytes(failed));
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.ptr());
  throw py::error_already_set();
}

// Runs write (which returns 0 or an errno, setting failed) without the GIL; OSError on failure.
void Write(const std::function<int(std::string& failed)>& write) {
  std::string failed;
  int error = 0;
  {
    py::gil_scoped_release released;
    error = write(failed);
  }
  if (error != 0) RaiseWriteError(error, failed);
}

// The JSON the batch tool writes with --json for the same input and settings, gathered through
// a stream of the C library's that appends to a string (an ordinary buffered stream: a memory
// stream takes the writer's many short writes one by one, three times slower).
std::string JsonText(const cBatchRun& batch) {
  std::string text;
  cookie_io_functions_t functions{};
  functions.write = [](void* cookie, const char* data, std::size_t size) -> ssize_t {
    static_cast<std::string*>(cookie)->append(data, size);
    return static_cast<ssize_t>(size);
  };
  std::FILE* out = fopencookie(&text, "w", functions);
  if (out == nullptr) throw std::bad_alloc();
  std::setvbuf(out, nullptr, _IOFBF, std::size_t{1} << 16);
  WriteJson(out, batch.Written());
  if (std::fclose(out) != 0) throw std::bad_alloc();
  return text;
}

// The file writers of the result: what the batch tool's output options write.
void WriteJsonFile(const cResult& result, const py::object& path) {
  py::object name;
  const std::string file = PathBytes(path, name);
  const cBatchRun& batch = BatchOf(result);
  Write([&](std::string& failed) {
    return WritePlainFile(
        file,
        [&](std::FILE* out) {
          WriteJson(out, batch.Written());
          return true;
        },
        failed);
  });
}

void WriteShapes(const cResult& result, const py::object& path, cExportFormat format, bool pieces) {
  py::object name;
  const std::string file = PathBytes(path, name);
  const cBatchRun& batch = BatchOf(result);
  const cExportShapes shapes =
      pieces ? PieceShapes(batch.decomposition.pieces) : HullShapes(batch.decomposition.hulls);
  Write([&](std::string& failed) {
    return WriteExportFiles(file, format, shapes, batch.mesh.triangles, batch.mesh.color, failed);
  });
}

// --hulls-dir: hull_001.obj, ... each an OBJ of its own with the object hull_<n>.
void WriteHullsDir(const cResult& result, const py::object& path) {
  py::object name;
  std::string folder = PathBytes(path, name);
  if (folder.empty()) folder = ".";
  if (folder.back() != '/') folder += '/';
  const cHullList& hulls = BatchOf(result).decomposition.hulls;
  Write([&](std::string& failed) {
    if (const int error = MakeFolder(folder); error != 0) {
      failed = folder;
      return error;
    }
    for (std::size_t i = 0; i < hulls.size(); ++i) {
      char file[32];
      std::snprintf(file, sizeof file, "hull_%03zu.obj", i + 1);
      const int error = WritePlainFile(
          folder + file,
          [&](std::FILE* out) {
            WriteHullObj(out, *hulls[i], "hull_" + std::to_string(i + 1));
            return true;
          },
          failed);
      if (error != 0) return error;
    }
    return 0;
  });
}

py::object DecomposeArrays(const py::object& vertices, const py::object& faces,
                           std::optional<double> epsilon, std::optional<double> smooth,
                           std::optional<double> epsilonRelative, bool hulls,
                           std::optional<long long> maxHulls,
                           std::optional<long long> maxHullVertices, std::optional<bool> fidelity,
                           bool allowNonFinite, const py::object& progress) {
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
  auto run = std::make_shared<cModuleRun>();
  {
    py::gil_scoped_release released;
    *run = RunDecomposition(std::move(triangles), request, receiver);
  }
  hook.RaiseIfStopped();
  return ResultObject(std::move(run), request.smooth);
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

// OSError with the errno and the file's name; its text is the reader's own reason when it gave
// one (an unknown extension, what the importer found wrong), else the C library's.
[[noreturn]] void RaiseReadError(const cMeshData& data, const py::object& name) {
  if (data.message.empty()) {
    errno = data.error;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.ptr());
    throw py::error_already_set();
  }
  const py::object error =
      py::module_::import("builtins").attr("OSError")(data.error, py::str(data.message), name);
  PyErr_SetObject(PyExc_OSError, error.ptr());
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
  if (data.error != 0) RaiseReadError(data, name);
  return MeshArrays(data.triangles);
}

py::tuple Loads(const py::bytes& content, const std::string& format, const py::object& progress) {
  char* buffer = nullptr;
  py::ssize_t size = 0;
  if (PyBytes_AsStringAndSize(content.ptr(), &buffer, &size) != 0) throw py::error_already_set();
  cPythonProgress hook(progress);
  const cProgress receiver = hook.Receiver();
  cMeshData data;
  {
    py::gil_scoped_release released;  // content is immutable and held by the caller
    data = ReadMeshMemory(buffer, static_cast<std::size_t>(size), receiver, format);
  }
  hook.RaiseIfStopped();
  if (data.error != 0) RaiseReadError(data, py::str("<bytes>"));
  return MeshArrays(data.triangles);
}

}  // namespace

PYBIND11_MODULE(_convexdecomp, m) {
  m.doc() = "Nearly convex pieces of a triangle mesh and their convex hulls.";
  const auto shapes = [](cExportFormat format, bool pieces) {
    return [format, pieces](const cResult& result, const py::object& path) {
      WriteShapes(result, path, format, pieces);
    };
  };
  py::class_<cResult>(m, "Result", py::dynamic_attr())
      .def("to_json",
           [](const cResult& result) {
             std::string text;
             {
               py::gil_scoped_release released;
               text = JsonText(BatchOf(result));
             }
             return text;
           })
      .def("write_json", &WriteJsonFile, py::arg("path"))
      .def("write_obj", shapes(cExportFormat::Obj, false), py::arg("path"))
      .def("write_pieces_obj", shapes(cExportFormat::Obj, true), py::arg("path"))
      .def("write_hulls_dir", &WriteHullsDir, py::arg("folder"))
      .def("write_mjcf", shapes(cExportFormat::Mjcf, false), py::arg("path"))
      .def("write_urdf", shapes(cExportFormat::Urdf, false), py::arg("path"))
      .def("write_glb", shapes(cExportFormat::Glb, false), py::arg("path"))
      .def("write_stl_dir", shapes(cExportFormat::StlFolder, false), py::arg("folder"))
      .def("__repr__", [](const py::object& self) {
        return py::str("<convexdecomp.Result: {} triangles, {} pieces, {} hulls>")
            .format(self.attr("triangles"), py::len(self.attr("pieces")),
                    py::len(self.attr("hulls")));
      });
  m.def("decompose", &DecomposeArrays, py::arg("vertices"), py::arg("faces"),
        py::arg("epsilon") = py::none(), py::arg("smooth") = py::none(),
        py::arg("epsilon_relative") = py::none(), py::arg("hulls") = true,
        py::arg("max_hulls") = py::none(), py::arg("max_hull_vertices") = py::none(),
        py::arg("fidelity") = py::none(), py::arg("allow_nonfinite") = false,
        py::arg("progress") = py::none());
  m.def("load", &Load, py::arg("path"), py::kw_only(), py::arg("progress") = py::none());
  m.def("loads", &Loads, py::arg("data"), py::arg("format") = "stl", py::kw_only(),
        py::arg("progress") = py::none());
  py::tuple extensions(std::size(kMeshExtensions));
  for (std::size_t i = 0; i < std::size(kMeshExtensions); ++i)
    extensions[i] = py::str(kMeshExtensions[i]);
  m.attr("EXTENSIONS") = extensions;
}
