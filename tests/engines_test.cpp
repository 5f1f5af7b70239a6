// The files the batch tool writes for physics engines, loaded by the engines' own readers: MuJoCo
// loads the MJCF with its STL meshes, urdfdom parses the URDF, assimp reads the GLB (and tinygltf
// the extension it carries), on the gear's hulls from Convex Hull and from the fitting mode.
#include <assimp/scene.h>
#include <gtest/gtest.h>
#include <mujoco/mujoco.h>
#include <stdlib.h>
#include <tiny_gltf.h>
#include <unistd.h>
#include <urdf_parser/urdf_parser.h>
#include <assimp/Importer.hpp>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "core/convexdecomp.h"
#include "formats/engines.h"
#include "geometry/point_key.h"
#include "geometry/surface.h"
#include "hull/fit.h"

namespace fs = std::filesystem;

namespace {

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The distinct corners of a triangle list, as keys.
std::set<cPointKey> Corners(const cTriangleList& triangles) {
  std::set<cPointKey> keys;
  for (const cTriangle& t : triangles) {
    for (const cVec3& p : t.vertex) keys.insert(KeyOf(p));
  }
  return keys;
}

bool SameTriangles(const cTriangleList& a, const cTriangleList& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    for (int k = 0; k < 3; ++k) {
      if (KeyOf(a[i].vertex[k]) != KeyOf(b[i].vertex[k])) return false;
    }
  }
  return true;
}

// A run of the batch tool and the hulls the library makes for the same settings.
struct cEngineCase {
  const char* name;
  std::vector<std::string> options;
  bool fit;
};

void PrintTo(const cEngineCase& c, std::ostream* out) {
  *out << c.name;
}

std::vector<cTriangleList> ExpectedHulls(const cMeshData& mesh, bool fit) {
  std::vector<cTriangleList> hulls;
  if (fit) {
    cFitSettings settings;
    settings.maxHulls = 16;
    settings.epsilon = kFitRelativeEpsilon * Length(mesh.box.max - mesh.box.min);
    for (cFittedHull& hull : FitHulls(mesh.triangles, settings).hulls) hulls.push_back(hull.faces);
  } else {
    for (cBuiltHull& hull : DecomposeMesh(mesh.triangles, {}).hulls) {
      hulls.push_back(hull.shape.faces);
    }
  }
  return hulls;
}

class EnginesTest : public ::testing::TestWithParam<cEngineCase> {
 protected:
  void SetUp() override {
    char name[] = "/tmp/engines_test.XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    dir = name;
  }
  void TearDown() override { fs::remove_all(dir); }

  fs::path dir;
};

TEST_P(EnginesTest, EnginesLoadOneShapePerHullWithTheHullsCorners) {
  const cEngineCase& c = GetParam();
  const cMeshData gear = ReadMeshFile(CD_SAMPLES "/gear.stl");
  ASSERT_EQ(gear.error, 0);
  const std::vector<cTriangleList> hulls = ExpectedHulls(gear, c.fit);
  ASSERT_GE(hulls.size(), 2u);

  std::string command = "cd " + dir.string() + " && " CD_CLI " " CD_SAMPLES "/gear.stl --quiet";
  for (const std::string& option : c.options) command += " " + option;
  command += " --mjcf out/gear.xml --urdf out/gear.urdf --glb out/gear.glb --stl-dir stl";
  command += " > /dev/null";
  fs::create_directory(dir / "out");
  ASSERT_EQ(std::system(command.c_str()), 0) << command;

  // The STL files are the hulls, float for float, closed and wound outward; the mesh folder
  // of the MJCF and the URDF holds the same bytes.
  const std::size_t n = hulls.size();
  std::set<std::string> names;
  for (std::size_t i = 0; i < n; ++i) {
    const std::string name = "hull_" + std::to_string(i + 1) + ".stl";
    names.insert(name);
    const cMeshData read = ReadMeshFile((dir / "stl" / name).string());
    ASSERT_EQ(read.error, 0) << name;
    EXPECT_TRUE(SameTriangles(read.triangles, hulls[i])) << name;
    EXPECT_TRUE(IsClosedSurface(read.triangles)) << name;
    EXPECT_GT(EnclosedVolume(read.triangles), 0.0) << name;
    EXPECT_EQ(ReadAll(dir / "out/gear_meshes" / name), ReadAll(dir / "stl" / name)) << name;
  }
  std::set<std::string> written;
  for (const auto& e : fs::directory_iterator(dir / "stl")) written.insert(e.path().filename());
  EXPECT_EQ(written, names);
  EXPECT_EQ(ReadAll(dir / "out/gear_meshes/source.stl").size(), 84 + 50 * gear.triangles.size());

  // MuJoCo: a mesh and a geom per hull, in order, each with the hull's distinct corners.
  char error[1000] = "";
  mjModel* model = mj_loadXML((dir / "out/gear.xml").c_str(), nullptr, error, sizeof error);
  ASSERT_NE(model, nullptr) << error;
  EXPECT_EQ(model->nmesh, static_cast<int>(n));
  EXPECT_EQ(model->ngeom, static_cast<int>(n));
  for (int i = 0; i < model->ngeom && i < static_cast<int>(n); ++i) {
    EXPECT_STREQ(mj_id2name(model, mjOBJ_GEOM, i), ("hull_" + std::to_string(i + 1)).c_str());
    EXPECT_EQ(model->geom_dataid[i], i);
    EXPECT_EQ(model->mesh_vertnum[i], static_cast<int>(DistinctCorners(hulls[i])));
  }
  mj_deleteModel(model);

  // urdfdom: one link, the mesh as its visual, a collision per hull with its file.
  const urdf::ModelInterfaceSharedPtr robot = urdf::parseURDF(ReadAll(dir / "out/gear.urdf"));
  ASSERT_NE(robot, nullptr);
  EXPECT_EQ(robot->getName(), "gear");
  const urdf::LinkConstSharedPtr link = robot->getRoot();
  ASSERT_NE(link, nullptr);
  ASSERT_EQ(link->collision_array.size(), n);
  for (std::size_t i = 0; i < n; ++i) {
    const auto mesh = std::dynamic_pointer_cast<urdf::Mesh>(link->collision_array[i]->geometry);
    ASSERT_NE(mesh, nullptr);
    EXPECT_EQ(mesh->filename, "gear_meshes/hull_" + std::to_string(i + 1) + ".stl");
    EXPECT_TRUE(fs::exists(dir / "out" / mesh->filename));
  }
  ASSERT_NE(link->visual, nullptr);
  const auto visual = std::dynamic_pointer_cast<urdf::Mesh>(link->visual->geometry);
  ASSERT_NE(visual, nullptr);
  EXPECT_EQ(visual->filename, "gear_meshes/source.stl");

  // assimp: a mesh per hull with the hull's corners once each, faces that close it outward,
  // then the source mesh.
  Assimp::Importer importer;
  const aiScene* scene = importer.ReadFile((dir / "out/gear.glb").string(), 0);
  ASSERT_NE(scene, nullptr) << importer.GetErrorString();
  ASSERT_EQ(scene->mNumMeshes, n + 1);
  for (std::size_t i = 0; i <= n; ++i) {
    const aiMesh& mesh = *scene->mMeshes[i];
    const cTriangleList& expected = i < n ? hulls[i] : gear.triangles;
    cTriangleList faces;
    for (unsigned f = 0; f < mesh.mNumFaces; ++f) {
      ASSERT_EQ(mesh.mFaces[f].mNumIndices, 3u);
      cTriangle t;
      for (int k = 0; k < 3; ++k) {
        const aiVector3D& v = mesh.mVertices[mesh.mFaces[f].mIndices[k]];
        t.vertex[k] = cVec3(v.x, v.y, v.z);
      }
      faces.push_back(t);
    }
    EXPECT_EQ(mesh.mNumVertices, DistinctCorners(expected)) << i;
    EXPECT_EQ(Corners(faces), Corners(expected)) << i;
    EXPECT_TRUE(SameTriangles(faces, expected)) << i;
    if (i < n) {
      EXPECT_TRUE(IsClosedSurface(faces)) << i;
      EXPECT_GT(EnclosedVolume(faces), 0.0) << i;
    }
  }

  // The extension as written: node i names shape i, a hull of mesh i.
  tinygltf::Model gltf;
  tinygltf::TinyGLTF loader;
  std::string problem, warning;
  ASSERT_TRUE(loader.LoadBinaryFromFile(&gltf, &problem, &warning, (dir / "out/gear.glb").string()))
      << problem;
  EXPECT_NE(std::find(gltf.extensionsUsed.begin(), gltf.extensionsUsed.end(), "OMI_physics_shape"),
            gltf.extensionsUsed.end());
  const tinygltf::Value& shapes = gltf.extensions["OMI_physics_shape"].Get("shapes");
  ASSERT_EQ(shapes.ArrayLen(), n);
  ASSERT_EQ(gltf.nodes.size(), n + 1);
  for (std::size_t i = 0; i < n; ++i) {
    const auto at = static_cast<int>(i);
    EXPECT_EQ(shapes.Get(at).Get("type").Get<std::string>(), "hull");
    EXPECT_EQ(shapes.Get(at).Get("mesh").Get<int>(), at);
    EXPECT_EQ(gltf.nodes[i].name, "hull_" + std::to_string(i + 1));
    EXPECT_EQ(gltf.nodes[i].mesh, at);
    EXPECT_EQ(gltf.nodes[i].extensions["OMI_physics_shape"].Get("shape").Get<int>(), at);
  }
  EXPECT_EQ(gltf.nodes[n].name, "source");
  EXPECT_TRUE(gltf.nodes[n].extensions.empty());
}

// Files without shapes, and flat hulls (no volume, which MuJoCo refuses with the whole model):
// the engines still load what is written, the MJCF without the flat hulls, each named on
// standard error.
TEST(EnginesEdge, FilesWithoutHullsOrWithFlatHullsStillLoad) {
  const struct {
    const char* fixture;
    int hulls;
    int flat;
  } rows[] = {{"cli_no_triangles.stl", 0, 0},
              {"cli_decimals.stl", 1, 1},
              {"cube.stl", 1, 1},
              {"cli_non_finite.stl", 1, 1},
              {"window_two_cubes.stl", 2, 0}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.fixture);
    char name[] = "/tmp/engines_test.XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    const fs::path dir = name;
    const std::string command = "cd " + dir.string() + " && " CD_CLI " " CD_FIXTURES "/" +
                                row.fixture +
                                " --quiet --mjcf e.xml --urdf e.urdf --glb e.glb --stl-dir s"
                                " > /dev/null 2> err.txt";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const std::string err = ReadAll(dir / "err.txt");
    int warnings = 0;
    for (std::size_t at = err.find("has no volume"); at != std::string::npos;
         at = err.find("has no volume", at + 1)) {
      ++warnings;
    }
    EXPECT_EQ(warnings, row.flat) << err;
    char error[1000] = "";
    mjModel* model = mj_loadXML((dir / "e.xml").c_str(), nullptr, error, sizeof error);
    ASSERT_NE(model, nullptr) << error;
    EXPECT_EQ(model->ngeom, row.hulls - row.flat);
    mj_deleteModel(model);
    const urdf::ModelInterfaceSharedPtr robot = urdf::parseURDF(ReadAll(dir / "e.urdf"));
    ASSERT_NE(robot, nullptr);
    EXPECT_EQ(robot->getRoot()->collision_array.size(), static_cast<std::size_t>(row.hulls));
    tinygltf::Model gltf;
    tinygltf::TinyGLTF loader;
    std::string problem, warning;
    EXPECT_TRUE(loader.LoadBinaryFromFile(&gltf, &problem, &warning, (dir / "e.glb").string()))
        << problem;
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "s"), fs::directory_iterator()),
              row.hulls);
    fs::remove_all(dir);
  }
}

INSTANTIATE_TEST_SUITE_P(GearHulls, EnginesTest,
                         ::testing::Values(cEngineCase{"ConvexHull", {}, false},
                                           cEngineCase{"FitHulls", {"--max-hulls", "16"}, true}),
                         [](const ::testing::TestParamInfo<cEngineCase>& info) {
                           return info.param.name;
                         });

}  // namespace
