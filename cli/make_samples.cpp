// convexdecomp-make-samples DIRECTORY: writes the sample meshes torus.stl and gear.stl as ASCII
// STL into DIRECTORY. Both are closed surfaces with every facet counter-clockwise seen from
// outside. Every corner is computed once and shared by index, so neighbouring facets meet in
// exactly equal points, and coordinates are rounded to five decimals to keep the files short
// and the same on every machine.

#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "geometry/torus.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

struct cPoint {
  float x, y, z;
};

struct cSurface {
  std::vector<cPoint> points;
  std::vector<std::array<int, 3>> facets;  // indices into points, counter-clockwise from outside

  int Add(double x, double y, double z) {
    points.push_back({Round(x), Round(y), Round(z)});
    return static_cast<int>(points.size()) - 1;
  }
  // A quad a, b, c, d in counter-clockwise order as two facets.
  void Quad(int a, int b, int c, int d) {
    facets.push_back({a, b, c});
    facets.push_back({a, c, d});
  }

  static float Round(double v) {
    const double rounded = std::round(v * 1e5) / 1e5;
    return static_cast<float>(rounded == 0.0 ? 0.0 : rounded);  // no "-0"
  }
};

// Tube of radius r around a circle of radius R in the xy plane: u around the z axis, v around
// the tube, both counter-clockwise, so (u, v) -> (u + 1, v) -> (u + 1, v + 1) faces outward.
cSurface MakeTorus(int segments, int sides, double R, double r) {
  cSurface s;
  ForEachTorusCorner(
      segments, sides, R, [r](double, double) { return r; },
      [&s](double x, double y, double z) { s.Add(x, y, z); });
  ForEachClosedGridFacet(segments, sides, [&s](std::size_t a, std::size_t b, std::size_t c) {
    s.facets.push_back({static_cast<int>(a), static_cast<int>(b), static_cast<int>(c)});
  });
  return s;
}

// A spur gear: a toothed disc with a hub that stands out of both faces and a round bore, along
// z. Every ring of points has four per tooth at the same angles (the outline: root, tip, tip,
// root), so rings are joined by quads. The step from the disc's faces up to the hub is concave,
// which is where the decomposition splits the gear.
cSurface MakeGear(int teeth, double root, double tip, double hub, double bore, double disc,
                  double hubHeight) {
  cSurface s;
  const int n = 4 * teeth;
  // Rings, each n points: outline and hub foot on both faces of the disc, hub top and bore on
  // both faces of the hub.
  enum {
    kOutlineTop,
    kOutlineBottom,
    kFootTop,
    kFootBottom,
    kHubTop,
    kHubBottom,
    kBoreTop,
    kBoreBottom,
    kRings
  };
  std::vector<int> ring[kRings];
  for (int i = 0; i < n; ++i) {
    const double angle = 2.0 * kPi * i / n;
    const double c = std::cos(angle);
    const double sn = std::sin(angle);
    const double outline = (i % 4 == 1 || i % 4 == 2) ? tip : root;
    ring[kOutlineTop].push_back(s.Add(outline * c, outline * sn, disc));
    ring[kOutlineBottom].push_back(s.Add(outline * c, outline * sn, -disc));
    ring[kFootTop].push_back(s.Add(hub * c, hub * sn, disc));
    ring[kFootBottom].push_back(s.Add(hub * c, hub * sn, -disc));
    ring[kHubTop].push_back(s.Add(hub * c, hub * sn, hubHeight));
    ring[kHubBottom].push_back(s.Add(hub * c, hub * sn, -hubHeight));
    ring[kBoreTop].push_back(s.Add(bore * c, bore * sn, hubHeight));
    ring[kBoreBottom].push_back(s.Add(bore * c, bore * sn, -hubHeight));
  }
  // Quads (a[i], a[i + 1], b[i + 1], b[i]) between rings a and b; the comments say where the
  // normals of each band point.
  auto band = [&](int a, int b) {
    for (int i = 0; i < n; ++i) {
      const int j = (i + 1) % n;
      s.Quad(ring[a][i], ring[a][j], ring[b][j], ring[b][i]);
    }
  };
  band(kOutlineBottom, kOutlineTop);  // rim with the teeth, facing out
  band(kOutlineTop, kFootTop);        // upper face of the disc, +z
  band(kFootTop, kHubTop);            // hub wall above the disc, facing out
  band(kHubTop, kBoreTop);            // upper face of the hub, +z
  band(kBoreTop, kBoreBottom);        // bore, facing the axis
  band(kBoreBottom, kHubBottom);      // lower face of the hub, -z
  band(kHubBottom, kFootBottom);      // hub wall below the disc, facing out
  band(kFootBottom, kOutlineBottom);  // lower face of the disc, -z
  return s;
}

std::string Number(float value) {
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}

std::string Vector(const cPoint& p) {
  return Number(p.x) + " " + Number(p.y) + " " + Number(p.z);
}

std::string ToStl(const cSurface& s, const char* name) {
  std::string text = std::string("solid ") + name + "\n";
  for (const auto& f : s.facets) {
    const cPoint& a = s.points[f[0]];
    const cPoint& b = s.points[f[1]];
    const cPoint& c = s.points[f[2]];
    const double ux = b.x - a.x, uy = b.y - a.y, uz = b.z - a.z;
    const double vx = c.x - a.x, vy = c.y - a.y, vz = c.z - a.z;
    const double nx = uy * vz - uz * vy, ny = uz * vx - ux * vz, nz = ux * vy - uy * vx;
    const double length = std::sqrt(nx * nx + ny * ny + nz * nz);
    const cPoint normal{cSurface::Round(nx / length), cSurface::Round(ny / length),
                        cSurface::Round(nz / length)};
    text += "  facet normal " + Vector(normal) + "\n    outer loop\n";
    for (const cPoint* p : {&a, &b, &c}) text += "      vertex " + Vector(*p) + "\n";
    text += "    endloop\n  endfacet\n";
  }
  return text + "endsolid " + name + "\n";
}

bool WriteFile(const std::string& path, const std::string& text) {
  std::FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) {
    std::fprintf(stderr, "convexdecomp-make-samples: cannot write %s: %s\n", path.c_str(),
                 std::strerror(errno));
    return false;
  }
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  const bool closed = std::fclose(file) == 0;
  if (!written || !closed) {
    std::fprintf(stderr, "convexdecomp-make-samples: cannot write %s\n", path.c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: convexdecomp-make-samples DIRECTORY\n", stderr);
    return 2;
  }
  const std::string directory = argv[1];
  const bool torus =
      WriteFile(directory + "/torus.stl", ToStl(MakeTorus(32, 16, 2.0, 0.6), "torus"));
  const bool gear = WriteFile(directory + "/gear.stl",
                              ToStl(MakeGear(16, 1.0, 1.25, 0.45, 0.25, 0.15, 0.35), "gear"));
  return torus && gear ? 0 : 1;
}
