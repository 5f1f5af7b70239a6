// The library's functions against the desktop commands they stand for, and their progress,
// cancelling and bad-input outcomes.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/convexdecomp.h"
#include "decomposition/decomposition.h"
#include "hull/hull.h"
#include "io/stl.h"
#include "state/state.h"
#include "tests/support/fake_platform.h"
#include "tests/support/meshes.h"

namespace {

bool SameBits(const cTriangleList& a, const cTriangleList& b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(cTriangle)) == 0);
}

std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// Noise on a torus's corners, so that pieces are many and small.
cTriangleList RoughTorus() {
  cTriangleList torus = Torus(48, 24, 4.0f, 1.5f, 0.3f);
  for (cTriangle& t : torus) {
    for (cVec3& v : t.vertex)
      v.z = v.z + 0.01f * static_cast<float>(static_cast<int>(v.x * 37) % 5);
  }
  return torus;
}

class CoreTest : public testing::Test {
 protected:
  void SetUp() override {
    ResetProcessState();
    SetPlatform(&platform);
  }
  void TearDown() override {
    DestroyCurrentMesh();
    SetPlatform(nullptr);
    ResetProcessState();
  }
  cFakePlatform platform;
};

// The commands run on a mesh through the component, as the desktop runs them.
struct cCommandRun {
  std::vector<cTriangleList> pieces;
  std::vector<cTriangleList> hulls;
};
cCommandRun RunCommands(const cTriangleList& triangles, double epsilon, double smooth) {
  Epsilon.store(epsilon);
  Smooth.store(smooth);
  cMesh mesh;
  mesh.triangles = triangles;
  cDecomposition decomposition;
  decomposition.Apply(&mesh);
  ConvexHullWorker(decomposition);
  cCommandRun run;
  for (const auto& piece : decomposition.pieces) run.pieces.push_back(piece->triangles);
  for (const auto& hull : decomposition.hulls) run.hulls.push_back(hull->faces);
  return run;
}

TEST_F(CoreTest, DecomposeMeshGivesWhatTheCommandsGiveAndDrawsNoColour) {
  const std::string gear = FileBytes(std::string(CD_FIXTURES) + "/../../samples/gear.stl");
  const cMeshData gearMesh = ReadMeshMemory(gear.data(), gear.size());
  struct cCase {
    const char* name;
    cTriangleList triangles;
    double epsilon, smooth;
  };
  const cCase cases[] = {
      {"gear", gearMesh.triangles, 0.1, 0.1},
      {"gear, fine", gearMesh.triangles, 0.001, 1.0},
      {"torus", BulgingTorus(40, 20), 0.1, 0.5},
      {"rough torus", RoughTorus(), 0.005, 0.3},
      {"rough torus, negative epsilon", RoughTorus(), -1.0, 0.0},
      {"sphere", UvSphere(16, 24, 2.0f), 0.1, 2.0},
      {"nothing", {}, 0.1, 0.1},
  };
  for (const cCase& c : cases) {
    SCOPED_TRACE(c.name);
    const cCommandRun expected = RunCommands(c.triangles, c.epsilon, c.smooth);
    Epsilon.store(99.0);  // the functions must not read the settings
    Smooth.store(-5.0);
    std::srand(77);
    const int before = std::rand();
    std::srand(77);
    const cDecomposeResult result = DecomposeMesh(c.triangles, {c.epsilon, c.smooth, true});
    EXPECT_EQ(std::rand(), before);
    EXPECT_FALSE(result.cancelled);
    ASSERT_EQ(result.pieces.size(), expected.pieces.size());
    for (std::size_t i = 0; i < expected.pieces.size(); ++i) {
      EXPECT_TRUE(SameBits(result.pieces[i].triangles, expected.pieces[i]));
      if (i > 0) {
        EXPECT_GT(result.pieces[i].region, result.pieces[i - 1].region);
      }
    }
    EXPECT_GE(result.regions, result.pieces.size());
    ASSERT_EQ(result.hulls.size(), expected.hulls.size());
    for (std::size_t i = 0; i < expected.hulls.size(); ++i) {
      EXPECT_TRUE(SameBits(result.hulls[i].shape.faces, expected.hulls[i]));
      if (i > 0) {
        EXPECT_GT(result.hulls[i].piece, result.hulls[i - 1].piece);
      }
    }
  }
  EXPECT_TRUE(platform.Messages().size() > 0);  // only the commands showed messages
}

TEST_F(CoreTest, ProgressCanStopEveryStep) {
  const cTriangleList torus = RoughTorus();
  const cDecomposeResult whole = DecomposeMesh(torus, {0.005, 0.3, true});
  ASSERT_GT(whole.pieces.size(), 4u);

  for (const char* stopAt : {"decomposing", "hulls"}) {
    SCOPED_TRACE(stopAt);
    int reports = 0;
    const cDecomposeResult stopped =
        DecomposeMesh(torus, {0.005, 0.3, true}, [&](const char* step, double fraction) {
          EXPECT_GE(fraction, 0.0);
          EXPECT_LE(fraction, 1.0);
          return std::string(step) != stopAt || ++reports < 3;
        });
    EXPECT_TRUE(stopped.cancelled);
    EXPECT_EQ(reports, 3);
    if (std::string(stopAt) == "hulls") {
      EXPECT_EQ(stopped.pieces.size(), whole.pieces.size());
      EXPECT_EQ(stopped.hulls.size(), 2u);
    } else {
      EXPECT_LT(stopped.pieces.size(), whole.pieces.size());
      EXPECT_TRUE(stopped.hulls.empty());
    }
  }
}

TEST_F(CoreTest, ReadingFromMemoryIsReadingTheFileAndFailuresSayWhy) {
  for (const char* name : {"cube.stl", "huge_coordinates.stl", "empty.stl",
                           "truncated_facet_at_end.stl", "../../samples/torus.stl"}) {
    SCOPED_TRACE(name);
    const std::string path = std::string(CD_FIXTURES) + "/" + name;
    const std::string bytes = FileBytes(path);
    const cMeshData fromFile = ReadMeshFile(path);
    const cMeshData fromMemory = ReadMeshMemory(bytes.data(), bytes.size());
    cMesh mesh;
    ASSERT_TRUE(LoadStlFile(path, mesh));
    EXPECT_EQ(fromFile.error, 0);
    EXPECT_EQ(fromMemory.error, 0);
    EXPECT_TRUE(SameBits(fromFile.triangles, mesh.triangles));
    EXPECT_TRUE(SameBits(fromMemory.triangles, mesh.triangles));
    EXPECT_EQ(std::memcmp(&fromMemory.box, &mesh.box, sizeof mesh.box), 0);
  }
  EXPECT_EQ(ReadMeshFile(std::string(CD_FIXTURES) + "/no_such_file.stl").error, ENOENT);
  EXPECT_EQ(ReadMeshFile(CD_FIXTURES).error, EISDIR);
  EXPECT_EQ(ReadMeshFile("/dev/zero").error, EINVAL);
  // A read that fails is no end of the file; File > Open keeps what it read (nothing here).
  EXPECT_EQ(ReadMeshFile("/proc/self/mem").error, EIO);
  cMesh unreadable;
  EXPECT_TRUE(LoadStlFile("/proc/self/mem", unreadable));
  EXPECT_TRUE(unreadable.triangles.empty());
  // A binary file cut short while it is read (at its first progress report) is reported.
  const std::string cut = testing::TempDir() + "core_test_cut.stl";
  {
    std::ofstream out(cut, std::ios::binary);
    const std::string header(80, ' '), count("\x50\xc3\x00\x00", 4);  // 50000 facets
    out << header << count << std::string(50 * 50000, '\0');
  }
  const cMeshData shrunk = ReadMeshFile(cut, [&](const char*, double) {
    EXPECT_EQ(truncate(cut.c_str(), 84 + 50 * 10), 0);
    return true;
  });
  EXPECT_EQ(shrunk.error, ENODATA);
  EXPECT_TRUE(shrunk.triangles.empty());
  std::remove(cut.c_str());
  EXPECT_TRUE(ReadMeshMemory(nullptr, 0).triangles.empty());

  // A reader asked to stop gives nothing back.
  const std::string torus = FileBytes(std::string(CD_FIXTURES) + "/../../samples/torus.stl");
  const cMeshData stopped =
      ReadMeshMemory(torus.data(), torus.size(), [](const char*, double) { return false; });
  EXPECT_EQ(stopped.error, ECANCELED);
  EXPECT_TRUE(stopped.triangles.empty());
}

}  // namespace
