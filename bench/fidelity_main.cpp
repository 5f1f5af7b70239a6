// convexdecomp-fidelity MESH.stl HULLS.obj: how well the hulls of an OBJ file stand in for a
// mesh, as one line of key=value pairs (MeasureFidelity with its default settings), so that the
// hulls of any program can be measured alike.
//
// The OBJ file: every "o" line starts a hull (faces before the first "o" form a hull of their
// own); "v x y z" lines, with anything after z (vertex colours) ignored; "f" lines of three or
// more corners, each "a", "a/b", "a//c" or "a/b/c", where only a counts: 1-based, global across
// objects, negative counting back from the last vertex read. Polygons are split into a fan from
// their first corner. Other lines are skipped.
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "hull/fidelity.h"
#include "io/mesh_reading.h"

namespace {

constexpr const char* kUsage = "usage: convexdecomp-fidelity MESH.stl HULLS.obj\n";

std::string_view NextWord(std::string_view& line) {
  const std::size_t start = line.find_first_not_of(" \t\r");
  if (start == std::string_view::npos) {
    line = {};
    return {};
  }
  line.remove_prefix(start);
  const std::size_t end = std::min(line.find_first_of(" \t\r"), line.size());
  const std::string_view word = line.substr(0, end);
  line.remove_prefix(end);
  return word;
}

bool ParseFloat(std::string_view word, float& value) {
  const auto result = std::from_chars(word.data(), word.data() + word.size(), value);
  return result.ec == std::errc() && result.ptr == word.data() + word.size();
}

// The vertex number of one face corner ("a", "a/b", "a//c", "a/b/c") as a 0-based index into
// vertices, or false when it names no vertex read so far.
bool ParseCorner(std::string_view word, std::size_t vertexCount, std::size_t& index) {
  const std::string_view number = word.substr(0, word.find('/'));
  long long value = 0;
  const auto result = std::from_chars(number.data(), number.data() + number.size(), value);
  if (result.ec != std::errc() || result.ptr != number.data() + number.size()) return false;
  const long long count = static_cast<long long>(vertexCount);
  if (value > 0 && value <= count) {
    index = static_cast<std::size_t>(value - 1);
    return true;
  }
  if (value < 0 && -value <= count) {
    index = static_cast<std::size_t>(count + value);
    return true;
  }
  return false;
}

// Reads the hulls of path into hulls; on failure says why in problem.
bool ReadHullsObj(const std::string& path, std::vector<cTriangleList>& hulls,
                  std::string& problem) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    problem = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  std::vector<cVec3> vertices;
  bool open = false;  // a hull has been started
  std::string text;
  std::size_t lineNumber = 0;
  std::vector<std::size_t> corners;
  while (std::getline(in, text)) {
    ++lineNumber;
    std::string_view line(text);
    const std::string_view keyword = NextWord(line);
    const auto fail = [&](const char* what) {
      problem = path + ":" + std::to_string(lineNumber) + ": " + what;
      return false;
    };
    if (keyword == "o") {
      hulls.emplace_back();
      open = true;
    } else if (keyword == "v") {
      cVec3 p;
      if (!ParseFloat(NextWord(line), p.x) || !ParseFloat(NextWord(line), p.y) ||
          !ParseFloat(NextWord(line), p.z)) {
        return fail("a vertex needs three numbers");
      }
      vertices.push_back(p);
    } else if (keyword == "f") {
      corners.clear();
      for (std::string_view word = NextWord(line); !word.empty(); word = NextWord(line)) {
        std::size_t index = 0;
        if (!ParseCorner(word, vertices.size(), index)) return fail("a face names no vertex");
        corners.push_back(index);
      }
      if (corners.size() < 3) return fail("a face needs three corners");
      if (!open) {
        hulls.emplace_back();
        open = true;
      }
      for (std::size_t k = 2; k < corners.size(); ++k) {
        hulls.back().emplace_back(vertices[corners[0]], vertices[corners[k - 1]],
                                  vertices[corners[k]]);
      }
    }
  }
  if (in.bad()) {
    problem = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const cMeshData mesh = ReadMeshFile(argv[1]);
  if (mesh.error != 0) {
    std::fprintf(stderr, "convexdecomp-fidelity: cannot read %s: %s\n", argv[1],
                 std::strerror(mesh.error));
    return 1;
  }
  std::vector<cTriangleList> hulls;
  std::string problem;
  if (!ReadHullsObj(argv[2], hulls, problem)) {
    std::fprintf(stderr, "convexdecomp-fidelity: %s\n", problem.c_str());
    return 1;
  }
  const cFidelity f = MeasureFidelity(mesh.triangles, hulls);
  // Volumes as shares of the solid (0 when the mesh is open or its volume is not positive).
  const double solid = f.closed && f.solidVolume > 0.0 ? f.solidVolume : 0.0;
  const auto share = [&](double volume) { return solid > 0.0 ? volume / solid : 0.0; };
  std::printf(
      "hulls=%zu largest_vertices=%u total_vertices=%llu triangles=%zu closed=%d "
      "missing_share=%.6g missing_error_share=%.6g excess_share=%.6g excess_error_share=%.6g "
      "iou=%.6g iou_low=%.6g iou_high=%.6g vertex_coverage=%.6g surface_coverage=%.6g "
      "largest_distance=%.6g mean_distance=%.6g\n",
      hulls.size(), f.largestVertexCount, static_cast<unsigned long long>(f.totalVertices),
      mesh.triangles.size(), f.closed ? 1 : 0, share(f.missingVolume), share(f.missingError),
      share(f.excessVolume), share(f.excessError), f.iou, f.iouLow, f.iouHigh, f.vertexCoverage,
      f.surfaceCoverage, f.largestDistance, f.meanDistance);
  return std::fflush(stdout) == 0 ? 0 : 1;
}
