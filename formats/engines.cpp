#include "formats/engines.h"

#include <sys/stat.h>
#include <tiny_gltf.h>

#include <cctype>
#include <cerrno>
#include <functional>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <sstream>

#include "formats/export.h"
#include "geometry/point_key.h"
#include "geometry/surface.h"
#include "hull/hull.h"

const char* const kSourceFileName = "source.stl";

namespace {

void Put(std::FILE* out, const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), out);
}

// Text for an XML attribute between double quotes.
std::string XmlText(const std::string& text) {
  std::string escaped;
  for (const char c : text) {
    switch (c) {
      case '&':
        escaped += "&amp;";
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      case '"':
        escaped += "&quot;";
        break;
      case '\'':
        escaped += "&apos;";
        break;
      default:
        // Control characters have no place in XML 1.0 text; a name with one keeps a '_'.
        escaped += static_cast<unsigned char>(c) < 0x20 ? '_' : c;
    }
  }
  return escaped;
}

// A colour channel as the byte over 255, formed in float as the OBJ writer does.
std::string Channel(unsigned char byte) {
  return FormatFloat(static_cast<float>(byte) / 255.0f);
}

std::string Rgba(const cColor& c) {
  return Channel(c.red) + " " + Channel(c.green) + " " + Channel(c.blue) + " 1";
}

std::string StemOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::size_t dot = base.rfind('.');
  if (dot != std::string::npos && dot > 0) base.erase(dot);
  return base;
}

void PutFloat(std::FILE* out, float value) {
  std::uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  const unsigned char bytes[4] = {
      static_cast<unsigned char>(bits), static_cast<unsigned char>(bits >> 8),
      static_cast<unsigned char>(bits >> 16), static_cast<unsigned char>(bits >> 24)};
  std::fwrite(bytes, 1, sizeof bytes, out);
}

cVec3 UnitNormal(const cTriangle& t) {
  const double ax = double{t.vertex[1].x} - t.vertex[0].x,
               ay = double{t.vertex[1].y} - t.vertex[0].y,
               az = double{t.vertex[1].z} - t.vertex[0].z;
  const double bx = double{t.vertex[2].x} - t.vertex[0].x,
               by = double{t.vertex[2].y} - t.vertex[0].y,
               bz = double{t.vertex[2].z} - t.vertex[0].z;
  const double nx = ay * bz - az * by, ny = az * bx - ax * bz, nz = ax * by - ay * bx;
  const double length = std::sqrt(nx * nx + ny * ny + nz * nz);
  if (!(length > 0.0) || !std::isfinite(length)) return cVec3();
  return cVec3(static_cast<float>(nx / length), static_cast<float>(ny / length),
               static_cast<float>(nz / length));
}

void CollectLeaves(const cConvexPiece& piece, cExportShapes& shapes) {
  if (!piece.children.empty()) {
    for (const auto& child : piece.children) CollectLeaves(*child, shapes);
    return;
  }
  shapes.shapes.push_back({&piece.triangles, piece.color});
}

// One triangle list as glTF data: its corners once each (exact float equality, in order of
// first appearance; a corner with a NaN coordinate shared with nothing) and the corner numbers.
struct cIndexedMesh {
  std::vector<float> positions;  // x, y, z per corner
  std::vector<std::uint32_t> indices;
};

cIndexedMesh Indexed(const cTriangleList& triangles) {
  cIndexedMesh mesh;
  cPointIndex index(triangles.size() / 2 + 4);
  mesh.indices.reserve(triangles.size() * 3);
  for (const cTriangle& t : triangles) {
    for (const cVec3& p : t.vertex) {
      const auto next = static_cast<std::uint32_t>(mesh.positions.size() / 3);
      const std::uint32_t number = index.FindOrInsert(p, next);
      if (number == next) mesh.positions.insert(mesh.positions.end(), {p.x, p.y, p.z});
      mesh.indices.push_back(number);
    }
  }
  return mesh;
}

// Appends bytes to the buffer, starting at a multiple of 4; returns where they start.
std::size_t Append(std::vector<unsigned char>& buffer, const void* data, std::size_t size) {
  while (buffer.size() % 4 != 0) buffer.push_back(0);
  const std::size_t offset = buffer.size();
  const auto* bytes = static_cast<const unsigned char*>(data);
  buffer.insert(buffer.end(), bytes, bytes + size);
  return offset;
}

// Appends size bytes to the buffer as a view of their own (for target) and returns an accessor
// of count elements of type over that view; the caller adds the accessor.
tinygltf::Accessor View(tinygltf::Model& model, std::vector<unsigned char>& buffer,
                        const void* bytes, std::size_t size, int target, int componentType,
                        int type, std::size_t count) {
  tinygltf::BufferView view;
  view.buffer = 0;
  view.byteLength = size;
  view.byteOffset = Append(buffer, bytes, size);
  view.target = target;
  model.bufferViews.push_back(view);
  tinygltf::Accessor accessor;
  accessor.bufferView = static_cast<int>(model.bufferViews.size()) - 1;
  accessor.componentType = componentType;
  accessor.type = type;
  accessor.count = count;
  return accessor;
}

// Adds one mesh of one triangle primitive with a material of colour; returns its index.
int AddMesh(tinygltf::Model& model, const cTriangleList& triangles, const cColor& color,
            const std::string& name) {
  const cIndexedMesh mesh = Indexed(triangles);
  std::vector<unsigned char>& data = model.buffers[0].data;
  const std::size_t corners = mesh.positions.size() / 3;

  tinygltf::Accessor position = View(
      model, data, mesh.positions.data(), mesh.positions.size() * sizeof(float),
      TINYGLTF_TARGET_ARRAY_BUFFER, TINYGLTF_COMPONENT_TYPE_FLOAT, TINYGLTF_TYPE_VEC3, corners);
  // The bounds glTF asks of positions, over the finite coordinates.
  std::vector<double> low(3, 0.0), high(3, 0.0);
  for (int axis = 0; axis < 3; ++axis) {
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    for (std::size_t i = 0; i < corners; ++i) {
      const double value = mesh.positions[3 * i + axis];
      if (!std::isfinite(value)) continue;
      lo = std::min(lo, value);
      hi = std::max(hi, value);
    }
    if (lo <= hi) low[axis] = lo, high[axis] = hi;
  }
  position.minValues = low;
  position.maxValues = high;
  model.accessors.push_back(position);

  tinygltf::Accessor index =
      View(model, data, mesh.indices.data(), mesh.indices.size() * sizeof(std::uint32_t),
           TINYGLTF_TARGET_ELEMENT_ARRAY_BUFFER, TINYGLTF_COMPONENT_TYPE_UNSIGNED_INT,
           TINYGLTF_TYPE_SCALAR, mesh.indices.size());
  model.accessors.push_back(index);

  tinygltf::Material material;
  material.name = name;
  material.pbrMetallicRoughness.baseColorFactor = {color.red / 255.0, color.green / 255.0,
                                                   color.blue / 255.0, 1.0};
  material.pbrMetallicRoughness.metallicFactor = 0.0;
  material.doubleSided = false;
  model.materials.push_back(material);

  tinygltf::Primitive primitive;
  primitive.attributes["POSITION"] = static_cast<int>(model.accessors.size()) - 2;
  primitive.indices = static_cast<int>(model.accessors.size()) - 1;
  primitive.material = static_cast<int>(model.materials.size()) - 1;
  primitive.mode = TINYGLTF_MODE_TRIANGLES;
  tinygltf::Mesh gltfMesh;
  gltfMesh.name = name;
  gltfMesh.primitives.push_back(primitive);
  model.meshes.push_back(gltfMesh);
  return static_cast<int>(model.meshes.size()) - 1;
}

}  // namespace

std::string cExportShapes::Name(std::size_t index) const {
  return prefix + "_" + std::to_string(index + 1);
}

cExportShapes HullShapes(const cHullList& hulls) {
  cExportShapes shapes;
  shapes.prefix = "hull";
  for (const cHullPointer& hull : hulls) shapes.shapes.push_back({&hull->faces, hull->color});
  return shapes;
}

cExportShapes PieceShapes(const cPieceList& pieces) {
  cExportShapes shapes;
  shapes.prefix = "piece";
  for (const auto& piece : pieces) CollectLeaves(*piece, shapes);
  return shapes;
}

void WriteBinaryStl(std::FILE* out, const cTriangleList& triangles) {
  char header[80] = {};
  std::snprintf(header, sizeof header, "binary STL written by convexdecomp");
  std::fwrite(header, 1, sizeof header, out);
  // More triangles than the count can hold cannot be told apart from fewer: the count is cut.
  const auto count = static_cast<std::uint32_t>(
      std::min<std::size_t>(triangles.size(), std::numeric_limits<std::uint32_t>::max()));
  const unsigned char countBytes[4] = {
      static_cast<unsigned char>(count), static_cast<unsigned char>(count >> 8),
      static_cast<unsigned char>(count >> 16), static_cast<unsigned char>(count >> 24)};
  std::fwrite(countBytes, 1, sizeof countBytes, out);
  for (std::uint32_t i = 0; i < count; ++i) {
    const cTriangle& t = triangles[i];
    const cVec3 n = UnitNormal(t);
    for (const float value : {n.x, n.y, n.z}) PutFloat(out, value);
    for (const cVec3& p : t.vertex) {
      PutFloat(out, p.x);
      PutFloat(out, p.y);
      PutFloat(out, p.z);
    }
    std::fputc(0, out);
    std::fputc(0, out);
  }
}

std::string ShapeFileName(const cExportShapes& shapes, std::size_t index) {
  return shapes.Name(index) + ".stl";
}

std::string MeshFolderFor(const std::string& scenePath) {
  return StemOf(scenePath) + "_meshes";
}

std::string ModelNameFor(const std::string& scenePath) {
  const std::string stem = StemOf(scenePath);
  return stem.empty() ? "robot" : stem;
}

bool HasNoVolume(const cTriangleList& faces) {
  double low[3] = {INFINITY, INFINITY, INFINITY}, high[3] = {-INFINITY, -INFINITY, -INFINITY};
  for (const cTriangle& t : faces) {
    for (const cVec3& p : t.vertex) {
      const double c[3] = {p.x, p.y, p.z};
      for (int axis = 0; axis < 3; ++axis) {
        low[axis] = std::min(low[axis], c[axis]);
        high[axis] = std::max(high[axis], c[axis]);
      }
    }
  }
  double diagonal = 0.0;
  for (int axis = 0; axis < 3; ++axis)
    diagonal += (high[axis] - low[axis]) * (high[axis] - low[axis]);
  diagonal = std::sqrt(diagonal);
  const double volume = EnclosedVolume(faces);
  return !(diagonal > 0.0) || !std::isfinite(diagonal) || !std::isfinite(volume) ||
         !(volume > 1e-9 * diagonal * diagonal * diagonal);
}

std::vector<std::size_t> WriteMjcf(std::FILE* out, const cExportShapes& shapes,
                                   const std::string& name, const std::string& meshFolder) {
  std::vector<std::size_t> written, leftOut;
  for (std::size_t i = 0; i < shapes.shapes.size(); ++i) {
    (HasNoVolume(*shapes.shapes[i].faces) ? leftOut : written).push_back(i);
  }
  const std::string model = XmlText(name);
  Put(out, "<mujoco model=\"" + model + "\">\n  <asset>\n");
  for (const std::size_t i : written) {
    Put(out, "    <mesh name=\"" + shapes.Name(i) + "\" file=\"" +
                 XmlText(meshFolder + "/" + ShapeFileName(shapes, i)) + "\"/>\n");
  }
  Put(out, "  </asset>\n  <worldbody>\n    <body name=\"" + model + "\">\n");
  for (const std::size_t i : written) {
    Put(out, "      <geom name=\"" + shapes.Name(i) + "\" type=\"mesh\" mesh=\"" + shapes.Name(i) +
                 "\" rgba=\"" + Rgba(shapes.shapes[i].color) + "\"/>\n");
  }
  Put(out, "    </body>\n  </worldbody>\n</mujoco>\n");
  return leftOut;
}

void WriteUrdf(std::FILE* out, const cExportShapes& shapes, const std::string& name,
               const std::string& meshFolder, bool withVisual) {
  const std::string robot = XmlText(name);
  Put(out,
      "<?xml version=\"1.0\"?>\n<robot name=\"" + robot + "\">\n  <link name=\"" + robot + "\">\n");
  if (withVisual) {
    Put(out, "    <visual>\n      <geometry>\n        <mesh filename=\"" +
                 XmlText(meshFolder + "/" + kSourceFileName) +
                 "\"/>\n      </geometry>\n    </visual>\n");
  }
  for (std::size_t i = 0; i < shapes.shapes.size(); ++i) {
    Put(out, "    <collision name=\"" + shapes.Name(i) +
                 "\">\n      <geometry>\n        <mesh filename=\"" +
                 XmlText(meshFolder + "/" + ShapeFileName(shapes, i)) +
                 "\"/>\n      </geometry>\n    </collision>\n");
  }
  Put(out, "  </link>\n</robot>\n");
}

bool WriteGlb(std::FILE* out, const cExportShapes& shapes, const cTriangleList* source,
              const cColor& sourceColor) {
  try {
    tinygltf::Model model;
    model.asset.version = "2.0";
    model.asset.generator = "convexdecomp";
    model.buffers.resize(1);
    tinygltf::Scene scene;
    tinygltf::Value::Array shapeList;
    for (std::size_t i = 0; i < shapes.shapes.size(); ++i) {
      const int mesh =
          AddMesh(model, *shapes.shapes[i].faces, shapes.shapes[i].color, shapes.Name(i));
      tinygltf::Value::Object shape;
      shape["type"] = tinygltf::Value(std::string("hull"));
      shape["mesh"] = tinygltf::Value(mesh);
      shapeList.emplace_back(std::move(shape));
      tinygltf::Node node;
      node.name = shapes.Name(i);
      node.mesh = mesh;
      tinygltf::Value::Object reference;
      reference["shape"] = tinygltf::Value(static_cast<int>(i));
      node.extensions["OMI_physics_shape"] = tinygltf::Value(std::move(reference));
      model.nodes.push_back(node);
      scene.nodes.push_back(static_cast<int>(model.nodes.size()) - 1);
    }
    if (source != nullptr && !source->empty()) {
      tinygltf::Node node;
      node.name = "source";
      node.mesh = AddMesh(model, *source, sourceColor, "source");
      model.nodes.push_back(node);
      scene.nodes.push_back(static_cast<int>(model.nodes.size()) - 1);
    }
    // Empty lists would be written as null, which readers refuse: a file without shapes names no
    // extension, one without nodes has no scene.
    if (!shapeList.empty()) {
      tinygltf::Value::Object document;
      document["shapes"] = tinygltf::Value(std::move(shapeList));
      model.extensions["OMI_physics_shape"] = tinygltf::Value(std::move(document));
      model.extensionsUsed.push_back("OMI_physics_shape");
    }
    if (!scene.nodes.empty()) {
      model.scenes.push_back(scene);
      model.defaultScene = 0;
    }
    // A file without triangles still gets a buffer of its own (4 bytes), which GLB readers want.
    if (model.buffers[0].data.empty()) model.buffers[0].data.assign(4, 0);

    std::ostringstream bytes;
    tinygltf::TinyGLTF writer;
    if (!writer.WriteGltfSceneToStream(&model, bytes, false, true)) return false;
    Put(out, bytes.str());
    return true;
  } catch (const std::bad_alloc&) {
    throw;
  } catch (...) {
    return false;
  }
}

cExportFormat ExportFormatFor(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
    return cExportFormat::StlFolder;
  }
  std::string extension = path.substr(dot + 1);
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (extension == "obj") return cExportFormat::Obj;
  if (extension == "xml") return cExportFormat::Mjcf;
  if (extension == "urdf") return cExportFormat::Urdf;
  if (extension == "glb") return cExportFormat::Glb;
  return cExportFormat::StlFolder;
}

// Writes one plain file through write; 0 or the errno of the failure, failed then set to path.
int WritePlainFile(const std::string& path, const std::function<bool(std::FILE*)>& write,
                   std::string& failed) {
  std::FILE* out = std::fopen(path.c_str(), "wb");
  int error = out == nullptr ? errno : 0;
  if (out != nullptr) {
    errno = 0;
    const bool written = write(out);
    if (!written || std::fflush(out) != 0 || std::ferror(out) != 0)
      error = errno != 0 ? errno : EIO;
    if (std::fclose(out) != 0 && error == 0) error = errno;
  }
  if (error != 0) failed = path;
  return error;
}

// Makes folder when it does not exist; 0 or the errno of the failure.
int MakeFolder(const std::string& folder) {
  struct stat info;
  if (stat(folder.c_str(), &info) == 0) return S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
  return mkdir(folder.c_str(), 0777) == 0 ? 0 : errno;
}

namespace {

int WriteShapeFiles(const std::string& folder, const cExportShapes& shapes, std::string& failed) {
  if (const int error = MakeFolder(folder); error != 0) {
    failed = folder;
    return error;
  }
  for (std::size_t i = 0; i < shapes.shapes.size(); ++i) {
    const cTriangleList& faces = *shapes.shapes[i].faces;
    const int error = WritePlainFile(
        folder + "/" + ShapeFileName(shapes, i),
        [&faces](std::FILE* out) {
          WriteBinaryStl(out, faces);
          return true;
        },
        failed);
    if (error != 0) return error;
  }
  return 0;
}

}  // namespace

int WriteExportFiles(const std::string& path, cExportFormat format, const cExportShapes& shapes,
                     const cTriangleList& source, const cColor& sourceColor, std::string& failed) {
  const std::size_t slash = path.rfind('/');
  const std::string beside = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  const std::string meshFolder = MeshFolderFor(path);
  switch (format) {
    case cExportFormat::Obj:
      return WritePlainFile(
          path,
          [&](std::FILE* out) {
            WriteShapesObj(out, shapes);
            return true;
          },
          failed);
    case cExportFormat::Glb:
      return WritePlainFile(
          path, [&](std::FILE* out) { return WriteGlb(out, shapes, &source, sourceColor); },
          failed);
    case cExportFormat::StlFolder:
      return WriteShapeFiles(path, shapes, failed);
    case cExportFormat::Mjcf:
    case cExportFormat::Urdf:
      break;
  }
  if (const int error = WriteShapeFiles(beside + meshFolder, shapes, failed); error != 0)
    return error;
  if (format == cExportFormat::Mjcf) {
    return WritePlainFile(
        path,
        [&](std::FILE* out) {
          WriteMjcf(out, shapes, ModelNameFor(path), meshFolder);
          return true;
        },
        failed);
  }
  const std::string visual = beside + meshFolder + "/" + kSourceFileName;
  const auto writeSource = [&source](std::FILE* out) {
    WriteBinaryStl(out, source);
    return true;
  };
  if (const int error = WritePlainFile(visual, writeSource, failed); error != 0) return error;
  return WritePlainFile(
      path,
      [&](std::FILE* out) {
        WriteUrdf(out, shapes, ModelNameFor(path), meshFolder, true);
        return true;
      },
      failed);
}
