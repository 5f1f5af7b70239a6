// The model the tool works on: the loaded mesh, the interface through which algorithms read it,
// the components that computations attach to it, and the pieces a decomposition produces.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "geometry/vec3.h"

class cMesh;
class cConvexPiece;
class cMeshComponent;

// Red, green, blue, drawn from rand() when the object is made.
struct cColor {
  unsigned char red = 0;
  unsigned char green = 0;
  unsigned char blue = 0;
};

// Three successive rand() % range draws, assigned to red, green and blue in that order.
cColor RandomColor(int range);

// Owned objects in insertion order. An owner destroys its entries first to last itself (see the
// destructors); the list never does it implicitly in another order.
using cPieceList = std::vector<std::unique_ptr<cConvexPiece>>;
using cComponentList = std::vector<std::unique_ptr<cMeshComponent>>;

// Destroys the entries of an owned list first to last, then empties it.
template <typename List>
void DestroyFirstToLast(List& list) {
  for (auto& entry : list) entry.reset();
  list.clear();
}

// How algorithms read a mesh.
class cTriangleSource {
 public:
  virtual void Draw() = 0;
  virtual std::uint32_t GetTriangleCount() = 0;
  // Copies triangle number index (below GetTriangleCount, not checked) into out; returns out.
  virtual cTriangle& GetTriangle(cTriangle& out, std::uint32_t index) = 0;

 protected:
  ~cTriangleSource() = default;
};

// Anything attached to a mesh: a computation with its result.
class cMeshComponent {
 public:
  virtual ~cMeshComponent() = default;
  virtual std::uint32_t GetTypeId() = 0;
  virtual void Apply(cMesh* mesh) = 0;
  virtual void Draw() = 0;

  std::uint32_t typeId = 0;  // set and reported by the decomposition only
};

// One piece of a decomposition. A piece with children stands for the group of its children.
class cConvexPiece {
 public:
  cConvexPiece();  // colour: rand() % 255 for red, green, blue in that order
  ~cConvexPiece();
  cConvexPiece(const cConvexPiece&) = delete;
  cConvexPiece& operator=(const cConvexPiece&) = delete;

  cTriangleList triangles;  // in the order they joined the piece
  cBoundBox box;            // set when the piece is closed
  cColor color;
  cPieceList children;
};

class cDecomposition;
class cHullResult;

// Hull results belong to a higher layer than the lists that own them: each entry carries the
// function that destroys it (through its virtual destructor, from where the type is known).
struct cHullDeleter {
  void (*destroy)(cHullResult* hull) = nullptr;
  void operator()(cHullResult* hull) const { destroy(hull); }
};
using cHullPointer = std::unique_ptr<cHullResult, cHullDeleter>;
using cHullList = std::vector<cHullPointer>;

// The loaded model. The application owns the current one; it owns its components.
class cMesh : public cTriangleSource {
 public:
  cMesh();  // colour: rand() % 225 for red, green, blue in that order
  virtual ~cMesh();
  cMesh(const cMesh&) = delete;
  cMesh& operator=(const cMesh&) = delete;

  void Draw() override;
  std::uint32_t GetTriangleCount() override;
  cTriangle& GetTriangle(cTriangle& out, std::uint32_t index) override;

  cComponentList components;                // the last entry is the top
  cDecomposition* decomposition = nullptr;  // link into components; owns nothing
  cTriangleList triangles;                  // in file order
  cBoundBox box;                            // all zero while there are no triangles
  cColor color;
};

// Drawing belongs to a higher layer: the model only calls these hooks, which the renderer
// installs. With no hook installed, Draw does nothing (batch runs and tests).
struct cDrawHooks {
  void (*drawMesh)(cMesh& mesh) = nullptr;
  void (*drawDecomposition)(cDecomposition& decomposition) = nullptr;
  void (*drawHullResult)(cHullResult& hull) = nullptr;
};
cDrawHooks& DrawHooks();
