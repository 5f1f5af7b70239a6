// The exact identity of a point, and an index that numbers distinct points: two points are the
// same when each coordinate is the same float (0.0 equals -0.0); a point with a NaN coordinate is
// the same as no point, itself included. Every part of the program that tells corners apart
// (neighbours, hull samples, the corners written to files, the closed-surface check) does it so.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "geometry/huge_pages.h"
#include "geometry/vec3.h"

// The bits of a coordinate with -0 taken as 0, so that equal bits mean equal floats.
inline std::uint32_t CoordinateBits(float value) {
  if (value == 0.0f) value = 0.0f;
  std::uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

inline bool HasNaN(const cVec3& v) {
  return v.x != v.x || v.y != v.y || v.z != v.z;
}

// Equal keys mean the same point for points without NaN; a NaN point must be kept apart by the
// caller (HasNaN), since its key may equal another NaN point's.
struct cPointKey {
  std::uint32_t x = 0, y = 0, z = 0;
  auto operator<=>(const cPointKey&) const = default;
};

inline cPointKey KeyOf(const cVec3& v) {
  return {CoordinateBits(v.x), CoordinateBits(v.y), CoordinateBits(v.z)};
}

inline std::uint64_t HashOf(const cPointKey& k) {
  std::uint64_t h = (static_cast<std::uint64_t>(k.x) << 32 | k.y) * 0x9e3779b97f4a7c15ull;
  h ^= (h >> 29) ^ (static_cast<std::uint64_t>(k.z) * 0xc2b2ae3d27d4eb4full);
  h *= 0xff51afd7ed558ccdull;
  return h ^ (h >> 32);
}

// A hash index from points to numbers, in time linear in the number of points. Each slot holds
// the key with its number, so that a search touches one place in memory.
class cPointIndex {
 public:
  // Room for expected points before the table first grows; any count works.
  explicit cPointIndex(std::size_t expected = 16) {
    std::size_t capacity = 16;
    while (capacity < expected + expected / 2) capacity *= 2;
    Allocate(capacity);
  }

  // The number stored for p, or, when p is new, stores value for it and returns value. A point
  // with a NaN coordinate is never stored: value is returned.
  std::uint32_t FindOrInsert(const cVec3& p, std::uint32_t value) {
    if (HasNaN(p)) return value;
    const cPointKey key = KeyOf(p);
    const std::size_t mask = slots.size() - 1;
    std::size_t at = HashOf(key) & mask;
    for (;; at = (at + 1) & mask) {
      const cSlot& slot = slots[at];
      if (!slot.used) break;
      if (slot.key == key) return slot.value;
    }
    slots[at] = cSlot{key, value, true};
    if (2 * ++count > slots.size()) Grow();
    return value;
  }

  // Starts loading the slot where p's search begins: only a hint to the processor.
  void Prefetch(const cVec3& p) const {
    __builtin_prefetch(&slots[HashOf(KeyOf(p)) & (slots.size() - 1)]);
  }

  std::size_t Count() const { return count; }  // points stored

 private:
  struct cSlot {
    cPointKey key;
    std::uint32_t value = 0;
    bool used = false;
  };

  void Allocate(std::size_t capacity) {
    slots = std::vector<cSlot>();
    ReserveWithHugePages(slots, capacity);
    slots.assign(capacity, cSlot{});
  }
  void Grow() {
    std::vector<cSlot> old = std::move(slots);
    Allocate(old.size() * 2);
    const std::size_t mask = slots.size() - 1;
    for (const cSlot& slot : old) {
      if (!slot.used) continue;
      std::size_t at = HashOf(slot.key) & mask;
      while (slots[at].used) at = (at + 1) & mask;
      slots[at] = slot;
    }
  }

  std::vector<cSlot> slots;
  std::size_t count = 0;
};
