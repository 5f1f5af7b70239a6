// Reads a mesh, splits it into nearly convex pieces and builds their hulls with the library, and
// prints one line per hull, then the size of the hulls as binary glTF (the writers of formats/).
// Usage: decompose_file MESH.stl [EPSILON [SMOOTH]]
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/convexdecomp.h"
#include "formats/engines.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s MESH.stl [EPSILON [SMOOTH]]\n", argv[0]);
    return 2;
  }
  const cMeshData mesh = ReadMeshFile(argv[1]);
  if (mesh.error != 0) {
    std::fprintf(stderr, "%s: %s\n", argv[1], std::strerror(mesh.error));
    return 1;
  }
  cDecomposeSettings settings;
  if (argc > 2) settings.epsilon = std::atof(argv[2]);
  if (argc > 3) settings.smooth = std::atof(argv[3]);

  const cDecomposeResult result = DecomposeMesh(mesh.triangles, settings);
  std::printf("triangles: %zu\npieces: %zu\nhulls: %zu\n", mesh.triangles.size(),
              result.pieces.size(), result.hulls.size());
  for (const cBuiltHull& hull : result.hulls) {
    std::printf("hull of piece %zu: %zu faces\n", hull.piece, hull.shape.faces.size());
  }
  cExportShapes shapes;
  for (const cBuiltHull& hull : result.hulls) shapes.shapes.push_back({&hull.shape.faces, {}});
  std::FILE* glb = std::tmpfile();
  if (glb == nullptr || !WriteGlb(glb, shapes, nullptr, {})) return 1;
  std::printf("glb: %ld bytes\n", std::ftell(glb));
  std::fclose(glb);
  return 0;
}
