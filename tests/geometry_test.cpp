#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <new>
#include <vector>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "geometry/huge_pages.h"
#include "geometry/mesh.h"
#include "geometry/vec3d.h"
#include "tests/support/triangle_printing.h"

// Release order of watched objects, noted without allocating (pieces have no virtual hooks).
namespace {
const void* Watched[4];
std::vector<int> ReleaseOrder;
void Release(void* p) {
  for (int i = 0; i < 4; ++i) {
    if (p != nullptr && Watched[i] == p) ReleaseOrder.push_back(i);  // capacity reserved
  }
  std::free(p);
}
}  // namespace
void* operator new(std::size_t n) {
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  Release(p);
}
void operator delete(void* p, std::size_t) noexcept {
  Release(p);
}

namespace {

struct cCountingComponent : cMeshComponent {
  cCountingComponent(std::vector<int>& log_, int id_) : log(log_), id(id_) {}
  ~cCountingComponent() override { log.push_back(id); }
  std::uint32_t GetTypeId() override { return 0; }
  void Apply(cMesh*) override {}
  void Draw() override {}
  std::vector<int>& log;
  int id;
};

TEST(Vectors, CrossDotAndLength) {
  EXPECT_EQ(Cross(cVec3(1, 0, 0), cVec3(0, 1, 0)), cVec3(0, 0, 1));
  EXPECT_EQ(Cross(cVec3(1, 2, 3), cVec3(4, 5, 6)), cVec3(-3, 6, -3));
  EXPECT_EQ(Dot(cVec3(1, 2, 3), cVec3(4, -5, 6)), 12.0);
  const float f = 1.0f + 0x1p-23f;  // f * f needs 47 bits: exact in double, not in float
  EXPECT_EQ(Dot(cVec3(f, f, f), cVec3(f, f, f)), 3 * (1.0 + 0x1p-22 + 0x1p-46));
  EXPECT_EQ(Length(cVec3(3, -4, 12)), 13.0);
}

// The double vectors widen before they subtract, and sum x, y, z in that order (the float
// vectors' Dot sums z, y, x): with terms that cancel, the order shows in the bits.
TEST(Vectors, DoubleVectorsWidenFirstAndSumXYZInThatOrder) {
  EXPECT_EQ((Widen(cVec3(1e8f, 0, 0)) - Widen(cVec3(1, 0, 0))).x, 99999999.0);  // not in float
  const cVec3d ones{1, 1, 1};
  EXPECT_EQ(Dot(cVec3d{1e16, -1e16, 1}, ones), 1.0);  // (1e16 - 1e16) + 1
  EXPECT_EQ(Dot(cVec3d{1, 1e16, -1e16}, ones), 0.0);  // (1 + 1e16) - 1e16: the 1 is lost
  EXPECT_EQ(Dot(cVec3d{1, 1e16, -1e16}, ones), Dot(ones, cVec3d{1, 1e16, -1e16}));
  const cVec3d c = Cross(cVec3d{1, 2, 3}, cVec3d{4, 5, 6});
  EXPECT_EQ(c.x, -3.0);
  EXPECT_EQ(c.y, 6.0);
  EXPECT_EQ(c.z, -3.0);
  EXPECT_EQ(Cross(cVec3d{1, 0, 0}, cVec3d{0, 1, 0}).z, 1.0);  // right-handed
  EXPECT_EQ(SquaredLength(cVec3d{3, -4, 12}), 169.0);
  EXPECT_EQ(Length(cVec3d{3, -4, 12}), 13.0);
  const cVec3d q = (cVec3d{1, 2, 3} + cVec3d{1, 2, 3}) / 4;
  EXPECT_EQ(q.x, 0.5);
  EXPECT_EQ(q.y, 1.0);
  EXPECT_EQ(q.z, 1.5);
}

TEST(Triangles, NormalFollowsCornerOrderAndVanishesWhenDegenerate) {
  const cVec3 a(0, 0, 0), b(2, 0, 0), c(0, 3, 0);
  EXPECT_EQ(Normal(cTriangle(a, b, c)), cVec3(0, 0, 6));  // twice the area, toward the viewer
  EXPECT_EQ(Normal(cTriangle(c, b, a)), cVec3(0, 0, -6));
  EXPECT_EQ(Normal(cTriangle(b, b, b)), cVec3());
  EXPECT_EQ(Normal(cTriangle(a, cVec3(1, 2, 3), cVec3(3, 6, 9))), cVec3());
}

TEST(Boxes, TightBoxOfAllCornersInAnyOrder) {
  const cVec3 p(1, -2, 3), q(-4, 5, 0), r(2, 2, -6);
  for (const cTriangle& t : {cTriangle(p, q, r), cTriangle(q, r, p), cTriangle(r, p, q)}) {
    const cBoundBox box = ComputeBoundBox({t});  // every corner holds every extreme once
    EXPECT_EQ(box.min, cVec3(-4, -2, -6));
    EXPECT_EQ(box.max, cVec3(2, 5, 3));
  }
  EXPECT_EQ(ComputeBoundBox({cTriangle(p, p, p)}).min, p);
  EXPECT_EQ(ComputeBoundBox({cTriangle(p, p, p)}).max, p);
  cTriangleList list{cTriangle(p, q, r), cTriangle(cVec3(10, 0, 0), cVec3(0, -10, 0), cVec3()),
                     cTriangle(cVec3(5, 1, 1), cVec3(2, 2, 20), cVec3(-3, 3, 3))};
  const auto byFirstX = [](auto& a, auto& b) { return a.vertex[0].x < b.vertex[0].x; };
  std::sort(list.begin(), list.end(), byFirstX);
  do {
    EXPECT_EQ(ComputeBoundBox(list).min, cVec3(-4, -10, -6));
    EXPECT_EQ(ComputeBoundBox(list).max, cVec3(10, 5, 20));
  } while (std::next_permutation(list.begin(), list.end(), byFirstX));
  EXPECT_EQ(GetCenter(cBoundBox()), cVec3());
  EXPECT_EQ(GetCenter(cBoundBox{cVec3(-1, 2, 4), cVec3(3, 6, 5)}), cVec3(1, 4, 4.5f));
}

TEST(Mesh, StartsEmptyAndKeepsOrderWhenErasing) {
  cMesh mesh;
  EXPECT_EQ(mesh.GetTriangleCount(), 0u);
  EXPECT_EQ(mesh.box.max, cVec3());
  EXPECT_EQ(mesh.decomposition, nullptr);
  for (float x : {0, 1, 2}) mesh.triangles.emplace_back(cVec3(x, 0, 0), cVec3(), cVec3());
  mesh.triangles.erase(mesh.triangles.begin());
  ASSERT_EQ(mesh.GetTriangleCount(), 2u);
  cTriangle out;
  EXPECT_EQ(&mesh.GetTriangle(out, 0), &out);
  EXPECT_EQ(out.vertex[0].x, 1.0f);
  EXPECT_EQ(mesh.GetTriangle(out, 1).vertex[0].x, 2.0f);
}

TEST(Mesh, ColoursComeFromRandInRedGreenBlueOrder) {
  for (unsigned seed : {1u, 7u, 12345u}) {
    std::srand(seed);
    cMesh mesh;
    cConvexPiece piece;
    std::srand(seed);
    std::vector<int> expected;
    for (int range : {225, 225, 225, 255, 255, 255}) expected.push_back(std::rand() % range);
    const std::vector<int> got{mesh.color.red,  mesh.color.green,  mesh.color.blue,
                               piece.color.red, piece.color.green, piece.color.blue};
    EXPECT_EQ(got, expected);
  }
}

TEST(Ownership, MeshDestroysComponentsFirstToLast) {
  std::vector<int> log;
  auto* mesh = new cMesh();
  for (int id : {1, 2, 3}) mesh->components.emplace_back(new cCountingComponent(log, id));
  delete mesh;
  EXPECT_EQ(log, (std::vector<int>{1, 2, 3}));
}

TEST(Ownership, PieceDestroysNestedChildrenBeforeItself) {
  auto* parent = new cConvexPiece();  // parent -> {child -> {grandchild}, second}
  auto* child = new cConvexPiece();
  auto* grandchild = new cConvexPiece();
  auto* second = new cConvexPiece();
  child->children.emplace_back(grandchild);
  parent->children.emplace_back(child);
  parent->children.emplace_back(second);
  ReleaseOrder.reserve(8);
  const void* watch[] = {parent, child, grandchild, second};
  std::copy_n(watch, 4, Watched);
  delete parent;
  std::fill_n(Watched, 4, nullptr);
  EXPECT_EQ(ReleaseOrder, (std::vector<int>{2, 1, 3, 0}));
}

}  // namespace

// Each test runs in a process of its own, so the allocator starts with glibc's adaptive
// thresholds, under which 48 MiB freed at the top of the heap is handed back at once.
TEST(Memory, FreedHeapIsKeptForTheNextFrame) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers bring their own allocator";
#elif !defined(__GLIBC__)
  GTEST_SKIP() << "only glibc's allocator is tuned";
#else
  KeepFreedMemoryForReuse();
  std::vector<void*> blocks(768);  // 48 MiB in blocks the size a driver's scene takes
  for (void*& block : blocks) block = std::malloc(64 << 10);
  for (auto it = blocks.rbegin(); it != blocks.rend(); ++it) std::free(*it);
  EXPECT_GE(mallinfo2().keepcost, std::size_t{40} << 20);
#endif
}
