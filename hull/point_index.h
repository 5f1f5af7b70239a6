// A hash index from exact point coordinates to a number, for finding repeated points in time
// linear in the number of points. Coordinates compare as floats: 0.0 equals -0.0.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "geometry/vec3.h"

class cPointIndex {
 public:
  explicit cPointIndex(std::size_t expected = 16) {
    std::size_t capacity = 16;
    while (capacity < 2 * expected) capacity *= 2;
    slots.assign(capacity, cSlot{});
  }

  // The number stored for p, or, when p is new, stores value for it and returns value. A point
  // with a NaN coordinate equals no point: it is never stored and value is returned.
  std::uint32_t FindOrInsert(const cVec3& p, std::uint32_t value) {
    if (p.x != p.x || p.y != p.y || p.z != p.z) return value;
    const std::uint32_t key[3] = {Bits(p.x), Bits(p.y), Bits(p.z)};
    std::size_t mask = slots.size() - 1;
    for (std::size_t at = Hash(key) & mask;; at = (at + 1) & mask) {
      cSlot& slot = slots[at];
      if (!slot.used) {
        slot = cSlot{{key[0], key[1], key[2]}, value, true};
        if (++size * 2 > slots.size()) Grow();
        return value;
      }
      if (slot.key[0] == key[0] && slot.key[1] == key[1] && slot.key[2] == key[2])
        return slot.value;
    }
  }

 private:
  struct cSlot {
    std::uint32_t key[3] = {0, 0, 0};
    std::uint32_t value = 0;
    bool used = false;
  };

  static std::uint32_t Bits(float f) {
    if (f == 0.0f) f = 0.0f;  // -0.0 and 0.0 are one coordinate
    std::uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
  }
  static std::size_t Hash(const std::uint32_t key[3]) {
    std::uint64_t h = key[0] * 0x9E3779B97F4A7C15ull;
    h = (h ^ (h >> 29) ^ key[1]) * 0xBF58476D1CE4E5B9ull;
    h = (h ^ (h >> 31) ^ key[2]) * 0x94D049BB133111EBull;
    return static_cast<std::size_t>(h ^ (h >> 32));
  }
  void Grow() {
    std::vector<cSlot> old(slots.size() * 2);
    old.swap(slots);
    const std::size_t mask = slots.size() - 1;
    for (const cSlot& slot : old) {
      if (!slot.used) continue;
      std::size_t at = Hash(slot.key) & mask;
      while (slots[at].used) at = (at + 1) & mask;
      slots[at] = slot;
    }
  }

  std::vector<cSlot> slots;
  std::size_t size = 0;
};
