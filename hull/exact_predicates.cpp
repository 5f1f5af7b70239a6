// Expansion arithmetic after J. R. Shewchuk, "Adaptive Precision Floating-Point Arithmetic and
// Fast Robust Geometric Predicates" (1997): TwoSum and TwoProduct give the exact rounding error
// of one operation, and a sum of doubles is kept exactly as a nonoverlapping expansion.
//
// The exact path does not use coordinate differences (which can round): the determinant is
// expanded into products of three raw float coordinates. A product of two floats is exact in
// double (24 + 24 bits), and TwoProduct makes the third factor exact as well, so each term
// becomes two doubles whose sum is its exact value.
#include "exact_predicates.h"

#include <algorithm>
#include <cmath>

namespace {

// Exact sum a + b = x + y with x = fl(a + b).
inline void TwoSum(double a, double b, double& x, double& y) {
  x = a + b;
  const double bv = x - a;
  const double av = x - bv;
  y = (a - av) + (b - bv);
}

// Veltkamp split of a into two halves of at most 26 significant bits each.
inline void Split(double a, double& hi, double& lo) {
  const double c = 134217729.0 * a;  // 2^27 + 1
  const double big = c - a;
  hi = c - big;
  lo = a - hi;
}

// Exact product a * b = x + y with x = fl(a * b) (Dekker).
inline void TwoProduct(double a, double b, double& x, double& y) {
  x = a * b;
  double ahi, alo, bhi, blo;
  Split(a, ahi, alo);
  Split(b, bhi, blo);
  const double err1 = x - ahi * bhi;
  const double err2 = err1 - alo * bhi;
  const double err3 = err2 - ahi * blo;
  y = alo * blo - err3;
}

// An expansion: nonoverlapping components in order of increasing magnitude, zeros dropped.
struct cExpansion {
  double part[64];  // at most one component per term added (48 in Orient3d)
  int count = 0;

  // Adds b exactly (Shewchuk's GROW-EXPANSION with zero elimination).
  void Add(double b) {
    double q = b;
    int kept = 0;
    for (int i = 0; i < count; ++i) {
      double sum, err;
      TwoSum(q, part[i], sum, err);
      q = sum;
      if (err != 0.0) part[kept++] = err;
    }
    if (q != 0.0) part[kept++] = q;
    count = kept;
  }
  int Sign() const {
    if (count == 0) return 0;
    return part[count - 1] > 0.0 ? 1 : -1;
  }
};

// Adds sign * x * y * z exactly: x * y is exact in double, the last product is split.
inline void AddTriple(cExpansion& e, double sign, float x, float y, float z) {
  double hi, lo;
  TwoProduct(sign * (static_cast<double>(x) * y), z, hi, lo);
  e.Add(lo);
  e.Add(hi);
}

// det3(u, v, w) with rows u, v, w, added exactly with the given sign.
void AddDet3(cExpansion& e, double sign, const cVec3& u, const cVec3& v, const cVec3& w) {
  AddTriple(e, sign, u.x, v.y, w.z);
  AddTriple(e, -sign, u.x, v.z, w.y);
  AddTriple(e, -sign, u.y, v.x, w.z);
  AddTriple(e, sign, u.y, v.z, w.x);
  AddTriple(e, sign, u.z, v.x, w.y);
  AddTriple(e, -sign, u.z, v.y, w.x);
}

int Orient3dExact(const cVec3& a, const cVec3& b, const cVec3& c, const cVec3& q) {
  // det[b - a; c - a; q - a] = det3(b, c, q) - det3(a, c, q) + det3(a, b, q) - det3(a, b, c).
  cExpansion e;
  AddDet3(e, 1.0, b, c, q);
  AddDet3(e, -1.0, a, c, q);
  AddDet3(e, 1.0, a, b, q);
  AddDet3(e, -1.0, a, b, c);
  return e.Sign();
}

// Bound on the error of the filter below relative to its permanent (Shewchuk's o3derrboundA).
constexpr double kEpsilon = 0x1p-53;
constexpr double kOrient3dBound = (7.0 + 56.0 * kEpsilon) * kEpsilon;

}  // namespace

int Orient3d(const cVec3& a, const cVec3& b, const cVec3& c, const cVec3& q) {
  const double bx = double(b.x) - a.x, by = double(b.y) - a.y, bz = double(b.z) - a.z;
  const double cx = double(c.x) - a.x, cy = double(c.y) - a.y, cz = double(c.z) - a.z;
  const double qx = double(q.x) - a.x, qy = double(q.y) - a.y, qz = double(q.z) - a.z;
  const double byCz = by * cz, bzCy = bz * cy;
  const double bzCx = bz * cx, bxCz = bx * cz;
  const double bxCy = bx * cy, byCx = by * cx;
  const double det = qx * (byCz - bzCy) + qy * (bzCx - bxCz) + qz * (bxCy - byCx);
  const double permanent = (std::fabs(byCz) + std::fabs(bzCy)) * std::fabs(qx) +
                           (std::fabs(bzCx) + std::fabs(bxCz)) * std::fabs(qy) +
                           (std::fabs(bxCy) + std::fabs(byCx)) * std::fabs(qz);
  const double bound = kOrient3dBound * permanent;
  if (det > bound) return 1;
  if (-det > bound) return -1;
  return Orient3dExact(a, b, c, q);
}

int Orient2d(const cVec3& a, const cVec3& b, const cVec3& c, int axis) {
  auto u = [axis](const cVec3& p) { return axis == 0 ? p.y : axis == 1 ? p.z : p.x; };
  auto v = [axis](const cVec3& p) { return axis == 0 ? p.z : axis == 1 ? p.x : p.y; };
  // (bu - au)(cv - av) - (bv - av)(cu - au), expanded into six exact products of two floats.
  cExpansion e;
  e.Add(double(u(b)) * v(c));
  e.Add(-double(u(b)) * v(a));
  e.Add(-double(u(a)) * v(c));
  e.Add(-double(v(b)) * u(c));
  e.Add(double(v(b)) * u(a));
  e.Add(double(v(a)) * u(c));
  return e.Sign();
}

bool Collinear(const cVec3& a, const cVec3& b, const cVec3& c) {
  return Orient2d(a, b, c, 0) == 0 && Orient2d(a, b, c, 1) == 0 && Orient2d(a, b, c, 2) == 0;
}

namespace {

// The sign of Orient2d(a, b, p) along z with p moved by (e, e^2): never 0 unless a and b
// coincide in the projection. Shared edges get opposite signs from their two triangles.
int PerturbedOrient(const cVec3& a, const cVec3& b, const cVec3& p) {
  const int o = Orient2d(a, b, p, 2);
  if (o != 0) return o;
  if (b.y != a.y) return b.y > a.y ? -1 : 1;
  if (b.x != a.x) return b.x > a.x ? 1 : -1;
  return 0;
}

}  // namespace

bool VerticalCrossing(const cTriangle& t, const cVec3& line, double& z) {
  const cVec3 &a = t.vertex[0], &b = t.vertex[1], &c = t.vertex[2];
  if (line.x < std::min({a.x, b.x, c.x}) || line.x > std::max({a.x, b.x, c.x}) ||
      line.y < std::min({a.y, b.y, c.y}) || line.y > std::max({a.y, b.y, c.y})) {
    return false;
  }
  const int s = PerturbedOrient(a, b, line);
  if (s == 0 || PerturbedOrient(b, c, line) != s || PerturbedOrient(c, a, line) != s) {
    return false;
  }
  // Crossed: the projection has area, so n.z (from exact float differences) is not 0.
  const double ax = a.x, ay = a.y, az = a.z;
  const double ux = double(b.x) - ax, uy = double(b.y) - ay, uz = double(b.z) - az;
  const double vx = double(c.x) - ax, vy = double(c.y) - ay, vz = double(c.z) - az;
  const double nx = uy * vz - uz * vy, ny = uz * vx - ux * vz, nz = ux * vy - uy * vx;
  const double zMin = std::min({a.z, b.z, c.z}), zMax = std::max({a.z, b.z, c.z});
  z = nz != 0.0 ? az - (nx * (line.x - ax) + ny * (line.y - ay)) / nz : zMin;
  z = std::clamp(z, zMin, zMax);
  return true;
}
