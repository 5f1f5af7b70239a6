#include "geometry/surface.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "geometry/point_key.h"

bool IsClosedSurface(const cTriangleList& triangles) {
  if (triangles.empty()) return false;
  // Corner numbers, then the directed edges gathered by their first corner: each corner's list
  // of second corners, sorted. Closed when no list repeats a corner and every edge's reverse is
  // in the other corner's list.
  cPointIndex index(triangles.size() / 2 + 4);
  std::vector<std::uint32_t> id(3 * triangles.size());
  for (std::size_t t = 0; t < triangles.size(); ++t) {
    for (int k = 0; k < 3; ++k) {
      const cVec3& v = triangles[t].vertex[k];
      if (!std::isfinite(v.x) || !std::isfinite(v.y) || !std::isfinite(v.z)) return false;
      id[3 * t + k] = index.FindOrInsert(v, static_cast<std::uint32_t>(index.Count()));
    }
    const std::uint32_t* c = &id[3 * t];
    if (c[0] == c[1] || c[1] == c[2] || c[2] == c[0]) return false;
  }
  std::vector<std::uint32_t> start(index.Count() + 1, 0);
  for (const std::uint32_t corner : id) ++start[corner + 1];
  for (std::size_t k = 1; k < start.size(); ++k) start[k] += start[k - 1];
  std::vector<std::uint32_t> next(start.begin(), start.end() - 1), to(id.size());
  for (std::size_t c = 0; c < id.size(); ++c) {
    const std::size_t following = c % 3 == 2 ? c - 2 : c + 1;
    to[next[id[c]]++] = id[following];
  }
  for (std::size_t k = 0; k + 1 < start.size(); ++k) {
    std::sort(to.begin() + start[k], to.begin() + start[k + 1]);
    if (std::adjacent_find(to.begin() + start[k], to.begin() + start[k + 1]) !=
        to.begin() + start[k + 1]) {
      return false;
    }
  }
  for (std::size_t k = 0; k + 1 < start.size(); ++k) {
    for (std::size_t e = start[k]; e < start[k + 1]; ++e) {
      const std::uint32_t other = to[e];
      if (!std::binary_search(to.begin() + start[other], to.begin() + start[other + 1],
                              static_cast<std::uint32_t>(k))) {
        return false;
      }
    }
  }
  return true;
}

namespace {

// A signed fixed-point number wide enough to hold any sum of products of three floats exactly:
// a float is m * 2^e with m below 2^24 and e from -172 to 104, so a product is below 2^72 at a
// power of two from -516 to 312; 1024 bits leave room for the carries of 2^100 terms. Two's
// complement in 64-bit limbs, least significant first.
class cExactSum {
 public:
  // Adds sign * a * b * c (each finite).
  void AddProduct(int sign, float a, float b, float c) {
    if (a == 0.0f || b == 0.0f || c == 0.0f) return;
    int ea = 0, eb = 0, ec = 0;
    const auto ma = static_cast<std::uint64_t>(std::ldexp(std::fabs(std::frexp(a, &ea)), 24));
    const auto mb = static_cast<std::uint64_t>(std::ldexp(std::fabs(std::frexp(b, &eb)), 24));
    const auto mc = static_cast<std::uint64_t>(std::ldexp(std::fabs(std::frexp(c, &ec)), 24));
    if ((a < 0) != (b < 0)) sign = -sign;
    if (c < 0) sign = -sign;
    const unsigned __int128 product = static_cast<unsigned __int128>(ma * mb) * mc;
    const int shift = (ea - 24) + (eb - 24) + (ec - 24) + kLowestPower;  // 0 .. 900
    const int limb = shift / 64, bit = shift % 64;
    // The product moved up by bit, as three limbs.
    std::uint64_t part[3];
    part[0] = static_cast<std::uint64_t>(product << bit);
    const unsigned __int128 high = bit == 0 ? product >> 64 : product >> (64 - bit);
    part[1] = static_cast<std::uint64_t>(high);
    part[2] = static_cast<std::uint64_t>(high >> 64);
    if (sign > 0) {
      std::uint64_t carry = 0;
      for (int k = 0; k < kLimbs - limb; ++k) {
        const std::uint64_t add = k < 3 ? part[k] : 0;
        if (k >= 3 && carry == 0) break;
        const unsigned __int128 sum = static_cast<unsigned __int128>(limbs[limb + k]) + add + carry;
        limbs[limb + k] = static_cast<std::uint64_t>(sum);
        carry = static_cast<std::uint64_t>(sum >> 64);
      }
    } else {
      std::uint64_t borrow = 0;
      for (int k = 0; k < kLimbs - limb; ++k) {
        const std::uint64_t sub = k < 3 ? part[k] : 0;
        if (k >= 3 && borrow == 0) break;
        const std::uint64_t before = limbs[limb + k];
        const std::uint64_t after = before - sub - borrow;
        borrow = (before < sub || (before == sub && borrow != 0)) ? 1 : 0;
        limbs[limb + k] = after;
      }
    }
  }

  // The sum as a double: its sign exact, its magnitude within a few units in the last place.
  double Value() const {
    const bool negative = (limbs[kLimbs - 1] >> 63) != 0;
    std::uint64_t magnitude[kLimbs];
    std::uint64_t carry = 1;
    for (int k = 0; k < kLimbs; ++k) {
      if (negative) {
        const unsigned __int128 sum = static_cast<unsigned __int128>(~limbs[k]) + carry;
        magnitude[k] = static_cast<std::uint64_t>(sum);
        carry = static_cast<std::uint64_t>(sum >> 64);
      } else {
        magnitude[k] = limbs[k];
      }
    }
    int top = kLimbs - 1;
    while (top >= 0 && magnitude[top] == 0) --top;
    if (top < 0) return 0.0;
    // The top two limbs hold at least 65 significant bits: more than a double keeps.
    double value = std::ldexp(static_cast<double>(magnitude[top]), 64 * top - kLowestPower);
    if (top > 0)
      value += std::ldexp(static_cast<double>(magnitude[top - 1]), 64 * (top - 1) - kLowestPower);
    return negative ? -value : value;
  }

 private:
  static constexpr int kLimbs = 16;
  static constexpr int kLowestPower = 516;  // bit 0 stands for 2^-516
  std::uint64_t limbs[kLimbs] = {};
};

}  // namespace

double EnclosedVolume(const cTriangleList& triangles) {
  // Six times the volume is the sum of det(a, b, c) over the triangles, each determinant six
  // products of three coordinates: summed exactly, so the sign is never one of rounding.
  cExactSum sum;
  for (const cTriangle& t : triangles) {
    for (const cVec3& v : t.vertex) {
      if (!std::isfinite(v.x) || !std::isfinite(v.y) || !std::isfinite(v.z)) return std::nan("");
    }
    const cVec3 &a = t.vertex[0], &b = t.vertex[1], &c = t.vertex[2];
    sum.AddProduct(+1, a.x, b.y, c.z);
    sum.AddProduct(-1, a.x, b.z, c.y);
    sum.AddProduct(-1, a.y, b.x, c.z);
    sum.AddProduct(+1, a.y, b.z, c.x);
    sum.AddProduct(+1, a.z, b.x, c.y);
    sum.AddProduct(-1, a.z, b.y, c.x);
  }
  return sum.Value() / 6.0;
}

std::size_t DistinctCorners(const cTriangleList& triangles) {
  cPointIndex index(triangles.size() / 2 + 4);
  std::size_t apart = 0;  // corners with a NaN coordinate
  for (const cTriangle& t : triangles) {
    for (const cVec3& corner : t.vertex) {
      if (HasNaN(corner)) {
        ++apart;
      } else {
        index.FindOrInsert(corner, 0);
      }
    }
  }
  return apart + index.Count();
}
