// Fuzzes the readers of every mesh format but STL through ReadMeshMemory, the entry point that
// ReadMeshFile shares with it once the file's bytes are in memory. The input's first byte picks
// the format (its value modulo 6: OBJ, PLY, OFF, glTF, GLB, 3MF); the rest are the file's bytes.
//
// Checked on every read, beyond the sanitizers and the fuzzer's time and memory limits:
// - the outcome is one of the defined ones: triangles, or an empty list with an error the
//   reader documents (unreadable, too large, out of memory);
// - the box is the box of the triangles (all zero for none);
// - a receiver that asks to stop at its first report gets ECANCELED and nothing else.

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "io/mesh_reading.h"

namespace {

void Check(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "mesh_formats_fuzzer: %s\n", what);
  std::abort();
}

bool SameBits(const cVec3& a, const cVec3& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

constexpr const char* kFormats[] = {"obj", "ply", "off", "gltf", "glb", "3mf"};

}  // namespace

// assimp's loaders leak what they had built when they give up on a malformed file; those leaks
// are not ours to find (also in tests/sanitizers/lsan.supp, for runs that set no options).
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libassimp\n";
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const char* format = kFormats[data[0] % 6];
  const std::uint8_t* bytes = data + 1;
  const std::size_t length = size - 1;

  const cMeshData read = ReadMeshMemory(bytes, length, {}, format);
  Check(read.error == 0 || read.error == kUnreadableFile || read.error == EFBIG ||
            read.error == ENOMEM,
        "an error the reader does not document");
  Check(read.error == 0 || read.triangles.empty(), "triangles kept after an error");
  Check(read.error != kUnreadableFile || !read.message.empty(), "an unreadable file unexplained");
  const cBoundBox box = read.triangles.empty() ? cBoundBox() : ComputeBoundBox(read.triangles);
  Check(SameBits(box.min, read.box.min) && SameBits(box.max, read.box.max), "box");

  // A stop asked for at the first report is honoured.
  if ((data[0] & 0xf0) == 0) {
    int reports = 0;
    const cMeshData stopped = ReadMeshMemory(
        bytes, length,
        [&](const char*, double) {
          ++reports;
          return false;
        },
        format);
    Check(reports == 1, "reports after a stop");
    Check(stopped.error == ECANCELED && stopped.triangles.empty(), "a stop not honoured");
  }
  return 0;
}
