#include "cli/export.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>

#include "decomposition/decomposition.h"
#include "geometry/point_key.h"
#include "geometry/surface.h"
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

}  // namespace

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
