// Fuzzes the STL reader through LoadStlFile, the entry point of File > Open and the batch tool.
// The input becomes a memory-backed regular file, so its size decides the kind as for a file on
// disk: 84 + 50 n bytes, n being the count at offset 80, is binary; anything else is text.
//
// Every input is read twice: as it is, and as the facets of a binary file made from it (an
// 80-byte header, the count, and as many whole 50-byte facets as the input holds), since a
// fuzzer rarely hits the exact size that makes a file binary.
//
// Checked on every read, beyond the sanitizers:
// - a regular file always opens, and the box is the box of what was read (all zero for nothing);
// - binary: exactly n triangles, each corner the bits of the floats at its place in its facet;
// - text: at most one triangle per 10 bytes (each needs a line piece holding "outer loop"); the
//   same triangles, bit for bit, as a model of the line reader below, written from its
//   description with string operations instead of stdio, and as LoadStl on a memory stream of
//   the same bytes (a stream without a file size, so always scanned as text).

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
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

// The line reader, modelled: pieces of at most 255 bytes, each ending after a newline, examined
// up to a NUL byte; a triangle for every piece holding "outer loop" in any letter case, its
// corners read from the next three pieces (those holding "vertex": the first word skipped, up to
// three numbers); a read past the end yields an empty piece. The loop ends once a read has met
// the end of the file: a piece cut short by the end, or an empty read.
cTriangleList ModelTextReader(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  std::size_t at = 0;
  bool atEnd = false;
  auto next = [&]() {
    if (at == bytes.size()) {
      atEnd = true;
      return std::string();
    }
    std::size_t end = std::min(at + 255, bytes.size());
    const std::size_t newline = bytes.find('\n', at);
    if (newline < end) end = newline + 1;
    std::string piece = bytes.substr(at, end - at);
    at = end;
    if (piece.back() != '\n' && piece.size() < 255) atEnd = true;
    piece.resize(std::strlen(piece.c_str()));  // the reader sees the piece up to a NUL
    for (char& c : piece) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return piece;
  };
  cTriangleList triangles;
  while (!atEnd) {
    if (next().find("outer loop") == std::string::npos) continue;
    cVec3 corner[3];
    for (cVec3& c : corner) {
      const std::string piece = next();
      if (piece.find("vertex") != std::string::npos) {
        std::sscanf(piece.c_str(), "%*s %f %f %f", &c.x, &c.y, &c.z);
      }
    }
    triangles.emplace_back(corner[0], corner[1], corner[2]);
  }
  return triangles;
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

void CheckFile(const std::uint8_t* data, std::size_t size) {
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
    Check(SameTriangles(read, ModelTextReader(data, size)), "file and model differ");
    Check(SameTriangles(read, FromMemoryStream(data, size)), "file and stream differ");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  CheckFile(data, size);
  const std::uint32_t count = static_cast<std::uint32_t>(size / 50);
  std::string binary = "binary made by stl_fuzzer";
  binary.resize(80, ' ');
  binary.append(reinterpret_cast<const char*>(&count), 4);
  binary.append(reinterpret_cast<const char*>(data), 50 * static_cast<std::size_t>(count));
  CheckFile(reinterpret_cast<const std::uint8_t*>(binary.data()), binary.size());
  return 0;
}
