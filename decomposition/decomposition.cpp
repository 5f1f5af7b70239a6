#include "decomposition/decomposition.h"

#include "decomposition_internal.h"

#include <cstdio>
#include <string>

#include "geometry/huge_pages.h"
#include "neighbour_index.h"
#include "state/state.h"

namespace {

std::string Format(const char* format, int value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

}  // namespace

bool SharesEdge(const cTriangle& p, const cTriangle& t) {
  int pairs = 0;
  for (const cVec3& a : p.vertex) {
    for (const cVec3& b : t.vertex) {
      if (SamePoint(a, b)) ++pairs;
    }
  }
  return pairs >= 2;
}

bool PassesPlaneTest(const cTriangle& p, const cTriangle& t, double epsilon) {
  const cVec3 n = Normal(p);
  const double len = Length(n);
  const double d = -Dot(n, p.vertex[0]);
  for (const cVec3& corner : t.vertex) {
    const double dist = (Dot(n, corner) + d) / len;
    if (dist > epsilon) return false;
  }
  return true;
}

double ReadEpsilon() {
  return Epsilon.load(std::memory_order_relaxed);
}

void ExpandByScan(cTriangleList& work, cTriangleList& piece, std::size_t i,
                  cEpsilonReader readEpsilon) {
  std::size_t k = 0;
  while (k < work.size()) {
    // Fetched again after every append: appending may move the piece's storage.
    const cTriangle& p = piece[i];
    const cTriangle& t = work[k];
    if (SharesEdge(p, t) && PassesPlaneTest(p, t, readEpsilon())) {
      piece.push_back(t);
      work.erase(work.begin() + static_cast<std::ptrdiff_t>(k));
    } else {
      ++k;
    }
  }
}

cDecomposition::cDecomposition() {
  typeId = kDecompositionTypeId;
}

cDecomposition::~cDecomposition() {
  worker.store(0);
  DestroyFirstToLast(pieces);
  DestroyFirstToLast(hulls);
  pieces.shrink_to_fit();
  hulls.shrink_to_fit();
}

cGrowth GrowPieces(cTriangleList triangles, cEpsilonSource epsilon, const cProgress& progress,
                   bool keepSingles) {
  cGrowth growth;
  if (triangles.empty()) return growth;
  // The same pieces as taking seeds from the front of the work list and growing them with
  // ExpandByScan, without scanning the whole list for every piece triangle.
  const double total = static_cast<double>(triangles.size());
  cNeighbourIndex index(triangles);
  triangles = cTriangleList();  // the index has its own copy; the pieces take this memory
  // Progress every 64 expansions, by the share of the total triangles taken.
  const auto report = [&](std::size_t i, std::size_t remaining) {
    return (i & 63) != 0 || KeepGoing(progress, "decomposing", 1.0 - double(remaining) / total);
  };
  while (!index.Empty()) {
    cGrownPiece piece;
    if (!index.GrowPiece(piece.triangles, epsilon, report)) {
      growth.cancelled = true;
      break;
    }
    piece.region = growth.regions++;
    if (piece.triangles.size() > 1 || keepSingles) {
      piece.box = ComputeBoundBox(piece.triangles);
      growth.pieces.push_back(std::move(piece));
    }
  }
  return growth;
}

void cDecomposition::Apply(cMesh* mesh) {
  DestroyFirstToLast(pieces);
  source = mesh;
  typeId = kDecompositionTypeId;
  if (mesh == nullptr) return;

  cTriangleList work;
  ReserveWithHugePages(work, mesh->GetTriangleCount());  // the count is asked again below
  for (std::uint32_t index = 0; index < mesh->GetTriangleCount(); ++index) {
    cTriangle t;
    work.push_back(mesh->GetTriangle(t, index));
  }
  Platform().ShowMessage(Format("triangles: %i", static_cast<int>(work.size())), "");
  if (work.empty()) return;

  cGrowth growth = GrowPieces(std::move(work), ReadEpsilon, [](const char* step, double done) {
    Platform().Progress(step, done);
    return true;
  });
  TakePieces(*this, std::move(growth));
  Platform().ShowMessage(Format("objects: %i", static_cast<int>(pieces.size())), "");
}

void TakePieces(cDecomposition& decomposition, cGrowth&& growth) {
  // Every grown region drew its colour when it was made, kept as a piece or not.
  std::size_t region = 0;
  for (cGrownPiece& grown : growth.pieces) {
    for (; region < grown.region; ++region) RandomColor(255);
    ++region;
    auto piece = std::make_unique<cConvexPiece>();
    piece->triangles = std::move(grown.triangles);
    piece->box = grown.box;
    decomposition.pieces.push_back(std::move(piece));
  }
  for (; region < growth.regions; ++region) RandomColor(255);
}

void cDecomposition::Draw() {
  if (DrawHooks().drawDecomposition != nullptr) DrawHooks().drawDecomposition(*this);
}

void Decompose(cMesh& mesh) {
  if (!mesh.components.empty()) {
    for (auto it = mesh.components.rbegin(); it != mesh.components.rend(); ++it) {
      if ((*it)->GetTypeId() != kDecompositionTypeId) continue;
      auto* component = static_cast<cDecomposition*>(it->get());
      if (component->worker.load() != 0) return;
      component->Apply(&mesh);
      return;
    }
    return;  // a mesh whose components hold no decomposition is left alone
  }
  auto owned = std::make_unique<cDecomposition>();
  cDecomposition* component = owned.get();
  mesh.components.push_back(std::move(owned));
  component->source = &mesh;
  Busy.fetch_add(1);
  Platform().StartThread([component] { DecomposeWorker(*component); }, component->worker);
  mesh.decomposition = component;
}

void DecomposeWorker(cDecomposition& component) {
  component.Apply(component.source);
  component.worker.store(0);
  Busy.fetch_sub(1);  // the last touch: the component may be destroyed from here on
}
