// Meshes of chosen size for the benchmarks and the whole-run measurements: a closed scan-like
// surface, a CAD-like part with flat regions and sharp creases, and a triangle soup with
// duplicates and degenerate triangles; STL text and binary writing; peak-memory probing.
#pragma once

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>

#include "geometry/torus.h"
#include "geometry/vec3.h"

enum class cBenchShape { Scan, Cad, Soup };

inline const char* ShapeName(cBenchShape shape) {
  return shape == cBenchShape::Scan ? "scan" : shape == cBenchShape::Cad ? "cad" : "soup";
}

// A closed, bumpy torus (major radius 50, tube 20) with a little noise on every corner, as a
// scanner gives: about count triangles, corners shared bit for bit, listed ring by ring.
inline cTriangleList ScanSurface(std::size_t count) {
  const int sides = std::max(3, static_cast<int>(std::sqrt(count / 4.0)));
  const int rings = std::max(3, static_cast<int>(count / (2.0 * sides)));
  std::mt19937 random(12345u);
  std::uniform_real_distribution<double> noise(-0.1, 0.1);
  return TorusTriangles(rings, sides, 50.0, [&](double u, double v) {
    return 20 + 3 * std::sin(5 * u) * std::cos(3 * v) + noise(random);
  });
}

// A closed block, 100 x 100 at the base: a terraced top (flat levels joined by one-cell steep
// ramps, so sharp creases), vertical walls and a flat bottom, every face finely gridded.
inline cTriangleList CadPart(std::size_t count) {
  const int n = std::max(2, static_cast<int>(std::sqrt(count / 4.0)));
  const double cell = 100.0 / n;
  auto height = [&](int i, int j) {
    const double x = i * cell, y = j * cell;
    const double level = std::floor(2 + 1.5 * std::sin(x / 23) + 1.5 * std::cos(y / 31));
    return static_cast<float>(10 + 5 * level);
  };
  auto top = [&](int i, int j) {
    return cVec3(static_cast<float>(i * cell), static_cast<float>(j * cell), height(i, j));
  };
  auto bottom = [&](int i, int j) {
    return cVec3(static_cast<float>(i * cell), static_cast<float>(j * cell), 0.0f);
  };
  cTriangleList triangles;
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < n; ++j) {
      triangles.emplace_back(top(i, j), top(i + 1, j), top(i + 1, j + 1));
      triangles.emplace_back(top(i, j), top(i + 1, j + 1), top(i, j + 1));
      triangles.emplace_back(bottom(i, j), bottom(i + 1, j + 1), bottom(i + 1, j));
      triangles.emplace_back(bottom(i, j), bottom(i, j + 1), bottom(i + 1, j + 1));
    }
  }
  // Walls: for every boundary step (a to b, counter-clockwise seen from above) a quad down.
  auto wall = [&](cVec3 a, cVec3 b) {
    const cVec3 a0(a.x, a.y, 0.0f), b0(b.x, b.y, 0.0f);
    triangles.emplace_back(a0, b0, b);
    triangles.emplace_back(a0, b, a);
  };
  for (int k = 0; k < n; ++k) {
    wall(top(k, 0), top(k + 1, 0));
    wall(top(n, k), top(n, k + 1));
    wall(top(n - k, n), top(n - k - 1, n));
    wall(top(0, n - k), top(0, n - k - 1));
  }
  return triangles;
}

// count triangles in random order: most from a scan-like surface, one in ten a copy of another
// (sometimes with its corners turned), one in twenty degenerate (a repeated corner, three
// corners on a line, or all at the origin).
inline cTriangleList TriangleSoup(std::size_t count) {
  cTriangleList triangles = ScanSurface(count * 17 / 20);
  std::mt19937 random(6789u);
  while (triangles.size() < count) {
    cTriangle t = triangles[random() % triangles.size()];
    switch (random() % 3) {
      case 0:
        t.vertex[2] = t.vertex[random() % 2];
        break;
      case 1:
        t.vertex[2] = cVec3(2 * t.vertex[1].x - t.vertex[0].x, 2 * t.vertex[1].y - t.vertex[0].y,
                            2 * t.vertex[1].z - t.vertex[0].z);
        if (random() % 2) t = cTriangle();
        break;
      default:
        if (random() % 2) t = cTriangle(t.vertex[1], t.vertex[2], t.vertex[0]);
        triangles.push_back(t);  // a duplicate, and one more below
    }
    triangles.push_back(t);
  }
  triangles.resize(count);
  std::shuffle(triangles.begin(), triangles.end(), random);
  return triangles;
}

inline cTriangleList BenchMesh(cBenchShape shape, std::size_t count) {
  switch (shape) {
    case cBenchShape::Scan:
      return ScanSurface(count);
    case cBenchShape::Cad:
      return CadPart(count);
    default:
      return TriangleSoup(count);
  }
}

// STL text as exporters write it: six-digit scientific numbers, a unit facet normal.
inline std::string AsciiStl(const cTriangleList& triangles) {
  std::string text = "solid bench\n";
  char line[160];
  auto put = [&](const char* prefix, float x, float y, float z) {
    char* at = line + std::strlen(std::strcpy(line, prefix));
    for (float v : {x, y, z}) {
      *at++ = ' ';
      at = std::to_chars(at, line + sizeof line, v, std::chars_format::scientific, 6).ptr;
    }
    *at++ = '\n';
    text.append(line, at);
  };
  for (const cTriangle& t : triangles) {
    const cVec3 n = Normal(t);
    const double length = Length(n);
    const double s = length > 0 ? 1 / length : 0;
    put("  facet normal", static_cast<float>(n.x * s), static_cast<float>(n.y * s),
        static_cast<float>(n.z * s));
    text += "    outer loop\n";
    for (const cVec3& v : t.vertex) put("      vertex", v.x, v.y, v.z);
    text += "    endloop\n  endfacet\n";
  }
  return text + "endsolid bench\n";
}

inline std::string BinaryStl(const cTriangleList& triangles) {
  std::string bytes(80, ' ');
  const auto count = static_cast<std::uint32_t>(triangles.size());
  bytes.append(reinterpret_cast<const char*>(&count), 4);
  const float normal[3] = {0, 0, 0};
  for (const cTriangle& t : triangles) {
    bytes.append(reinterpret_cast<const char*>(normal), 12);
    bytes.append(reinterpret_cast<const char*>(&t), 36);
    bytes += std::string(2, '\0');
  }
  return bytes;
}

inline bool WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

// The growth of resident memory over a stretch of work: the kernel's high-water mark is reset
// at the start (Linux /proc/self/clear_refs), read at the end and taken relative to the start.
class cPeakMemory {
 public:
  cPeakMemory() {
    if (std::FILE* f = std::fopen("/proc/self/clear_refs", "w")) {
      std::fputs("5", f);
      std::fclose(f);
    }
    start = Status("VmRSS:");
  }
  // Megabytes above the resident size at the start.
  double GrowthMB() const { return (Status("VmHWM:") - start) / 1024.0; }

 private:
  static long Status(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string word;
    long kb = 0;
    while (status >> word) {
      if (word == field) {
        status >> kb;
        break;
      }
    }
    return kb;
  }
  long start = 0;
};
