// convexdecomp-bench-mesh scan|cad|soup TRIANGLES ascii|binary FILE: writes one benchmark mesh.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench_meshes.h"

int main(int argc, char** argv) {
  const char* usage = "usage: convexdecomp-bench-mesh scan|cad|soup TRIANGLES ascii|binary FILE\n";
  if (argc != 5) {
    std::fputs(usage, stderr);
    return 2;
  }
  const std::string kind = argv[1], format = argv[3];
  const long count = std::strtol(argv[2], nullptr, 10);
  cBenchShape shape;
  if (kind == "scan") {
    shape = cBenchShape::Scan;
  } else if (kind == "cad") {
    shape = cBenchShape::Cad;
  } else if (kind == "soup") {
    shape = cBenchShape::Soup;
  } else {
    std::fputs(usage, stderr);
    return 2;
  }
  if (count <= 0 || (format != "ascii" && format != "binary")) {
    std::fputs(usage, stderr);
    return 2;
  }
  const cTriangleList triangles = BenchMesh(shape, static_cast<std::size_t>(count));
  if (!WriteFile(argv[4], format == "ascii" ? AsciiStl(triangles) : BinaryStl(triangles))) {
    std::perror(argv[4]);
    return 1;
  }
  std::printf("%zu triangles written to %s\n", triangles.size(), argv[4]);
  return 0;
}
