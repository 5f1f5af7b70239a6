// The benchmark meshes as files, written once per process into a scratch folder
// ($CD_BENCH_DIR, else the system's temporary folder), and the size steps to run.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "bench_meshes.h"

// 10k and 100k triangles always; 1M only when CD_BENCH_LARGE is set (scripts/bench.sh sets it).
inline std::vector<std::size_t> BenchSizes() {
  std::vector<std::size_t> sizes{10000, 100000};
  if (std::getenv("CD_BENCH_LARGE") != nullptr) sizes.push_back(1000000);
  return sizes;
}

inline std::string SizeName(std::size_t count) {
  return count >= 1000000 ? std::to_string(count / 1000000) + "M"
                          : std::to_string(count / 1000) + "k";
}

// Removes the files written by this process when it ends.
struct cBenchFiles {
  std::vector<std::string> paths;
  ~cBenchFiles() {
    for (const std::string& path : paths) unlink(path.c_str());
  }
};
inline cBenchFiles& WrittenBenchFiles() {
  static cBenchFiles files;
  return files;
}

inline std::string BenchFile(cBenchShape shape, std::size_t count, bool binary) {
  const char* dir = std::getenv("CD_BENCH_DIR");
  const std::string path = std::string(dir != nullptr ? dir : "/tmp") + "/cd_bench_" +
                           ShapeName(shape) + "_" + SizeName(count) + "_" +
                           std::to_string(getpid()) + (binary ? "_binary.stl" : "_ascii.stl");
  struct stat info;
  if (stat(path.c_str(), &info) != 0) {
    const cTriangleList triangles = BenchMesh(shape, count);
    WriteFile(path, binary ? BinaryStl(triangles) : AsciiStl(triangles));
    WrittenBenchFiles().paths.push_back(path);
  }
  return path;
}

inline double FileSize(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? static_cast<double>(info.st_size) : 0.0;
}
