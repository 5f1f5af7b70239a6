#include "formats/export.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>

#include "decomposition/decomposition.h"
#include "formats/engines.h"
#include "geometry/point_key.h"
#include "geometry/surface.h"
#include "hull/fidelity.h"
#include "hull/hull.h"

namespace {

void Put(std::FILE* out, const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), out);
}
void Put(std::FILE* out, const char* text) {
  std::fputs(text, out);
}

// A coordinate in JSON: a number when finite, else one of the strings "nan", "inf", "-inf".
std::string JsonFloat(float value) {
  if (std::isfinite(value)) return FormatFloat(value);
  return "\"" + FormatFloat(value) + "\"";
}

std::string JsonString(const std::string& text) {
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
      quoted += escaped;
    } else {
      quoted += c;
    }
  }
  return quoted + "\"";
}

std::string JsonPoint(const cVec3& p) {
  return "[" + JsonFloat(p.x) + ", " + JsonFloat(p.y) + ", " + JsonFloat(p.z) + "]";
}

std::string JsonColor(const cColor& c) {
  return "[" + std::to_string(c.red) + ", " + std::to_string(c.green) + ", " +
         std::to_string(c.blue) + "]";
}

std::string JsonBox(const cBoundBox& box) {
  return "[" + JsonPoint(box.min) + ", " + JsonPoint(box.max) + "]";
}

void PutTriangles(std::FILE* out, const cTriangleList& triangles) {
  Put(out, "[");
  for (std::size_t i = 0; i < triangles.size(); ++i) {
    if (i > 0) Put(out, ", ");
    const cTriangle& t = triangles[i];
    Put(out, "[" + JsonPoint(t.vertex[0]) + ", " + JsonPoint(t.vertex[1]) + ", " +
                 JsonPoint(t.vertex[2]) + "]");
  }
  Put(out, "]");
}

void PutPiece(std::FILE* out, const cConvexPiece& piece) {
  Put(out, "{\"color\": " + JsonColor(piece.color) + ", \"box\": " + JsonBox(piece.box) +
               ", \"triangles\": ");
  PutTriangles(out, piece.triangles);
  if (!piece.children.empty()) {
    Put(out, ", \"children\": [");
    for (std::size_t i = 0; i < piece.children.size(); ++i) {
      if (i > 0) Put(out, ", ");
      PutPiece(out, *piece.children[i]);
    }
    Put(out, "]");
  }
  Put(out, "}");
}

std::string JsonDouble(double value) {
  if (std::isfinite(value)) return FormatDouble(value);
  return std::isnan(value) ? "\"nan\"" : value > 0 ? "\"inf\"" : "\"-inf\"";
}

void PutHull(std::FILE* out, const cHullResult& hull, std::size_t piece) {
  Put(out,
      "{\"color\": " + JsonColor(hull.color) + ", \"box\": " + JsonBox(hull.box) + ", \"faces\": ");
  PutTriangles(out, hull.faces);
  const cHullFacts facts = HullFacts(hull.faces);
  Put(out, ", \"vertex_count\": " + std::to_string(facts.vertices) + ", \"face_count\": " +
               std::to_string(facts.faces) + ", \"volume\": " + JsonDouble(facts.volume) +
               ", \"closed\": " + (facts.closed ? "true" : "false") +
               ", \"piece\": " + std::to_string(piece) + "}");
}

// Writes one OBJ object; next is the 1-based index its first new vertex gets, advanced past
// the vertices written.
void PutObject(std::FILE* out, const std::string& name, const cTriangleList& triangles,
               const cColor& color, std::size_t& next) {
  Put(out, "o " + name + "\n");
  // Channels as the byte over 255, each formed in float, so 0 and 255 are exactly 0 and 1.
  const std::string rgb = " " + FormatFloat(static_cast<float>(color.red) / 255.0f) + " " +
                          FormatFloat(static_cast<float>(color.green) / 255.0f) + " " +
                          FormatFloat(static_cast<float>(color.blue) / 255.0f);
  std::map<cPointKey, std::size_t> known;
  std::vector<std::array<std::size_t, 3>> faces;
  faces.reserve(triangles.size());
  for (const cTriangle& t : triangles) {
    std::array<std::size_t, 3> face{};
    for (int k = 0; k < 3; ++k) {
      const cVec3& p = t.vertex[k];
      const bool shareable = !HasNaN(p);
      const cPointKey key = KeyOf(p);
      if (shareable) {
        const auto found = known.find(key);
        if (found != known.end()) {
          face[k] = found->second;
          continue;
        }
      }
      Put(out,
          "v " + FormatFloat(p.x) + " " + FormatFloat(p.y) + " " + FormatFloat(p.z) + rgb + "\n");
      face[k] = next++;
      if (shareable) known.emplace(key, face[k]);
    }
    faces.push_back(face);
  }
  for (const auto& face : faces) {
    Put(out, "f " + std::to_string(face[0]) + " " + std::to_string(face[1]) + " " +
                 std::to_string(face[2]) + "\n");
  }
}

void PutLeaves(std::FILE* out, const cConvexPiece& piece, int& number, std::size_t& next) {
  if (!piece.children.empty()) {
    for (const auto& child : piece.children) PutLeaves(out, *child, number, next);
    return;
  }
  PutObject(out, "piece_" + std::to_string(++number), piece.triangles, piece.color, next);
}

void PutFidelity(std::FILE* out, const cFidelity& f) {
  auto number = [](double value) { return JsonDouble(value); };
  Put(out, ",\n  \"fidelity\": {\"hulls\": [");
  for (std::size_t i = 0; i < f.hulls.size(); ++i) {
    if (i > 0) Put(out, ", ");
    Put(out, "{\"vertex_count\": " + std::to_string(f.hulls[i].vertexCount) +
                 ", \"face_count\": " + std::to_string(f.hulls[i].faceCount) +
                 ", \"measured\": " + (f.hulls[i].measured ? "true" : "false") + "}");
  }
  Put(out, "], \"total_vertices\": " + std::to_string(f.totalVertices) +
               ", \"largest_vertex_count\": " + std::to_string(f.largestVertexCount) +
               ", \"total_faces\": " + std::to_string(f.totalFaces) +
               ", \"diagonal\": " + number(f.diagonal) + ", \"tolerance\": " + number(f.tolerance) +
               ",\n    \"surface_samples\": " + std::to_string(f.surfaceSamples) +
               ", \"surface_coverage\": " + number(f.surfaceCoverage) +
               ", \"mesh_vertices\": " + std::to_string(f.meshVertices) +
               ", \"vertex_coverage\": " + number(f.vertexCoverage) +
               ", \"closed\": " + (f.closed ? "true" : "false"));
  if (f.closed) {
    Put(out, ",\n    \"solid_volume\": " + number(f.solidVolume) +
                 ", \"intersection\": " + number(f.intersectionVolume) +
                 ", \"intersection_error\": " + number(f.intersectionError) + ", \"excess\": " +
                 number(f.excessVolume) + ", \"excess_error\": " + number(f.excessError) +
                 ", \"missing\": " + number(f.missingVolume) +
                 ", \"missing_error\": " + number(f.missingError) + ", \"iou\": " + number(f.iou) +
                 ", \"iou_low\": " + number(f.iouLow) + ", \"iou_high\": " + number(f.iouHigh) +
                 ", \"cell_size\": " + number(f.cellSize));
  } else {
    Put(out, ",\n    \"distance_samples\": " + std::to_string(f.distanceSamples) +
                 ", \"largest_distance\": " + number(f.largestDistance) +
                 ", \"mean_distance\": " + number(f.meanDistance));
  }
  Put(out, "}");
}

std::string Percent(double share) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f %%", 100.0 * share);
  return text;
}

std::string Volume(double value, double error, double scale) {
  if (std::fabs(value) < 1e-12 * scale) value = 0.0;  // rounding left over from a sum
  char text[64];
  std::snprintf(text, sizeof text, "%.6g (+- %.3g)", value, error);
  return text;
}

}  // namespace

std::string FidelityReport(const cFidelity& f) {
  char text[256];
  std::string report;
  std::snprintf(text, sizeof text, "fidelity: %zu hulls, %llu vertices (largest %u), %llu faces\n",
                f.hulls.size(), static_cast<unsigned long long>(f.totalVertices),
                f.largestVertexCount, static_cast<unsigned long long>(f.totalFaces));
  report += text;
  report += "inside the hulls: " + Percent(f.surfaceCoverage) + " of the surface (" +
            std::to_string(f.surfaceSamples) + " samples), " + Percent(f.vertexCoverage) +
            " of the mesh's " + std::to_string(f.meshVertices) + " vertices\n";
  if (f.closed) {
    const double solid = f.solidVolume > 0.0 ? f.solidVolume : 1.0;
    report += "closed mesh, solid volume " + FormatDouble(f.solidVolume) + "\n";
    report += "  missing " + Volume(f.missingVolume, f.missingError, solid) + " = " +
              Percent(std::max(0.0, f.missingVolume) / solid) + " of the solid\n";
    report += "  excess " + Volume(f.excessVolume, f.excessError, solid) + " = " +
              Percent(f.excessVolume / solid) + " of the solid\n";
    std::snprintf(text, sizeof text, "  IoU %.4f (between %.4f and %.4f)", f.iou, f.iouLow,
                  f.iouHigh);
    report += text;
  } else {
    std::snprintf(text, sizeof text,
                  "open mesh: the hulls' surfaces lie at most %.3g %% (mean %.3g %%) of the box "
                  "diagonal from the mesh (%u samples)",
                  100.0 * f.largestDistance, 100.0 * f.meanDistance, f.distanceSamples);
    report += text;
  }
  return report;
}

std::string FormatFloat(float value) {
  if (std::isnan(value)) return "nan";  // whatever its sign bit
  if (std::isinf(value)) return value > 0.0f ? "inf" : "-inf";
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}

std::string FormatDouble(double value) {
  if (std::isnan(value)) return "nan";  // whatever its sign bit
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}

void WriteJson(std::FILE* out, const cRunResult& run) {
  Put(out, "{\n");
  Put(out, "  \"epsilon\": " + JsonDouble(run.epsilon) + ",\n");
  Put(out, "  \"smooth\": " + JsonDouble(run.smooth) + ",\n");
  Put(out, "  \"messages\": [");
  for (std::size_t i = 0; i < run.messages.size(); ++i) {
    if (i > 0) Put(out, ", ");
    Put(out, JsonString(run.messages[i]));
  }
  Put(out, "],\n");
  const cMesh& mesh = *run.mesh;
  Put(out, "  \"mesh\": {\"triangles\": " + std::to_string(mesh.triangles.size()) +
               ", \"color\": " + JsonColor(mesh.color) + ", \"box\": " + JsonBox(mesh.box) +
               "},\n");

  const cPieceList& pieces = run.decomposition->pieces;
  Put(out, pieces.empty() ? "  \"pieces\": []" : "  \"pieces\": [\n");
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    Put(out, "    ");
    PutPiece(out, *pieces[i]);
    Put(out, i + 1 < pieces.size() ? ",\n" : "\n  ]");
  }
  Put(out, ",\n");

  const cHullList& hulls = run.decomposition->hulls;
  Put(out, hulls.empty() ? "  \"hulls\": []" : "  \"hulls\": [\n");
  for (std::size_t i = 0; i < hulls.size(); ++i) {
    Put(out, "    ");
    PutHull(out, *hulls[i], i < run.hullPieces.size() ? run.hullPieces[i] : i);
    Put(out, i + 1 < hulls.size() ? ",\n" : "\n  ]");
  }
  if (run.fit != nullptr) {
    Put(out, ",\n  \"fit\": {\"max_hulls\": " + std::to_string(run.fit->maxHulls) +
                 ", \"max_hull_vertices\": " + std::to_string(run.fit->maxHullVertices) +
                 ", \"start_pieces\": " + std::to_string(run.fit->startPieces) + "}");
  }
  if (run.fidelity != nullptr) PutFidelity(out, *run.fidelity);
  Put(out, "\n}\n");
}

void WriteHullsObj(std::FILE* out, const cHullList& hulls) {
  int number = 0;
  std::size_t next = 1;
  for (const cHullPointer& hull : hulls) {
    PutObject(out, "hull_" + std::to_string(++number), hull->faces, hull->color, next);
  }
}

cHullFacts HullFacts(const cTriangleList& faces) {
  cHullFacts facts;
  facts.faces = faces.size();
  facts.vertices = DistinctCorners(faces);
  facts.volume = EnclosedVolume(faces);
  facts.closed = IsClosedSurface(faces);
  return facts;
}

void WriteHullObj(std::FILE* out, const cHullResult& hull, const std::string& name) {
  std::size_t next = 1;
  PutObject(out, name, hull.faces, hull.color, next);
}

void WritePiecesObj(std::FILE* out, const cPieceList& pieces) {
  int number = 0;
  std::size_t next = 1;
  for (const auto& piece : pieces) PutLeaves(out, *piece, number, next);
}

void WriteShapesObj(std::FILE* out, const cExportShapes& shapes) {
  std::size_t next = 1;
  for (std::size_t i = 0; i < shapes.shapes.size(); ++i) {
    PutObject(out, shapes.Name(i), *shapes.shapes[i].faces, shapes.shapes[i].color, next);
  }
}
