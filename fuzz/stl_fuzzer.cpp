// Fuzzes the STL reader through LoadStlFile, the entry point of File > Open and the batch tool.
// The input becomes a memory-backed regular file, so its size decides the kind as for a file on
// disk: 84 + 50 n bytes, n being the count at offset 80, is binary; anything else is text.
//
// Checked on every input, beyond the sanitizers:
// - a regular file always opens, and the box is the box of what was read (all zero for nothing);
// - binary: exactly n triangles, each corner the bits of the floats at its place in its facet;
// - text: at most one triangle per 10 bytes (each needs a line piece holding "outer loop"), and
//   the same triangles, bit for bit, as LoadStl on a memory stream of the same bytes (a stream
//   without a file size, so always scanned as text).

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "geometry/mesh.h"
#include "io/stl.h"

namespace {

void Check(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "stl_fuzzer: %s\n", what);
  std::abort();
}

bool SameBits(const cVec3& a, const float* b) {
  const float corner[3] = {a.x, a.y, a.z};
  return std::memcmp(corner, b, sizeof corner) == 0;
}

bool SameBits(const cVec3& a, const cVec3& b) {
  const float corner[3] = {b.x, b.y, b.z};
  return SameBits(a, corner);
}

bool SameTriangles(const cTriangleList& a, const cTriangleList& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    for (int k = 0; k < 3; ++k) {
      if (!SameBits(a[i].vertex[k], b[i].vertex[k])) return false;
    }
  }
  return true;
}

// The triangles LoadStl reads from a stream over the bytes, without a file behind it.
cTriangleList FromMemoryStream(const std::uint8_t* data, std::size_t size) {
  cMesh mesh;
  if (size == 0) return mesh.triangles;
  std::FILE* stream = fmemopen(const_cast<std::uint8_t*>(data), size, "r");
  Check(stream != nullptr, "fmemopen failed");
  LoadStl(stream, mesh);
  std::fclose(stream);
  return mesh.triangles;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const int fd = memfd_create("stl_fuzzer", MFD_CLOEXEC);
  static const std::string path = "/proc/self/fd/" + std::to_string(fd);
  Check(fd >= 0 && ftruncate(fd, 0) == 0, "no memory file");
  Check(pwrite(fd, data, size, 0) == static_cast<ssize_t>(size), "memory file write");

  cMesh mesh;
  Check(LoadStlFile(path, mesh), "a regular file did not open");
  const cTriangleList& read = mesh.triangles;
  const cBoundBox box = read.empty() ? cBoundBox() : ComputeBoundBox(read);
  Check(SameBits(mesh.box.min, box.min) && SameBits(mesh.box.max, box.max), "box");

  std::uint32_t count = 0;
  if (size >= 84) std::memcpy(&count, data + 80, 4);  // little-endian host
  if (size >= 84 && size - 84 == 50 * static_cast<std::uint64_t>(count)) {
    Check(read.size() == count, "binary triangle count");
    for (std::uint32_t i = 0; i < count; ++i) {
      for (int k = 0; k < 3; ++k) {
        float corner[3];
        std::memcpy(corner, data + 84 + 50 * i + 12 + 12 * k, sizeof corner);
        Check(SameBits(read[i].vertex[k], corner), "binary corner");
      }
    }
  } else {
    Check(read.size() <= size / 10, "more triangles than \"outer loop\" pieces");
    Check(SameTriangles(read, FromMemoryStream(data, size)), "file and stream differ");
  }
  return 0;
}
