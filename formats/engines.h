// What physics engines load: hulls (or any closed shapes) as binary STL files, wired into a
// MuJoCo model (MJCF), a robot description (URDF) or one binary glTF file. Coordinates are written
// as they are, in the mesh's own units. Like the JSON and OBJ writers these only format into the
// stream they are given; the caller owns it, checks it for errors, and writes the mesh files the
// scene files name (ShapeFileName, in the folder MeshFolderFor gives).
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "geometry/mesh.h"

// One shape to write: its faces, wound outward, and its colour. The faces stay owned elsewhere.
struct cExportShape {
  const cTriangleList* faces = nullptr;
  cColor color;
};

// The shapes of one export, in order, named prefix_1, prefix_2, ...
struct cExportShapes {
  std::string prefix = "hull";
  std::vector<cExportShape> shapes;

  std::string Name(std::size_t index) const;  // prefix_<index + 1>
};

// The hulls in list order ("hull_1", ...).
cExportShapes HullShapes(const cHullList& hulls);
// The pieces ("piece_1", ...): a piece with children stands for its leaves, depth first, as in
// WritePiecesObj.
cExportShapes PieceShapes(const cPieceList& pieces);

// Binary STL: an 80-byte header (text, then zero bytes), the triangle count and every triangle
// with its unit normal from the corner order (0, 0, 0 for a triangle without area) and its corners
// as 32-bit little-endian floats.
void WriteBinaryStl(std::FILE* out, const cTriangleList& triangles);

// The file of shape index in a mesh folder: "<prefix>_<index + 1>.stl". The source mesh of a
// URDF's visual is kSourceFileName.
std::string ShapeFileName(const cExportShapes& shapes, std::size_t index);
extern const char* const kSourceFileName;

// The mesh folder of a scene file, as the scene names it: the file's name without its last
// extension, then "_meshes" ("out/gear.xml" -> "gear_meshes"); it lies beside the file.
std::string MeshFolderFor(const std::string& scenePath);
// The model's name in a scene file: the file's name without folder and last extension
// ("robot" when that leaves nothing).
std::string ModelNameFor(const std::string& scenePath);

// Whether a shape has no volume to speak of: at most 1e-9 of its box diagonal cubed (a flat hull,
// two-sided or nearly so), or coordinates that are not finite. MuJoCo refuses such a mesh, and
// with it the whole model.
bool HasNoVolume(const cTriangleList& faces);

// MJCF (MuJoCo's XML): <mujoco model="name">, every shape a <mesh> asset named like it with the
// file meshFolder/ShapeFileName, and one body "name" in the world body holding a mesh <geom> per
// shape, in order, named like the shape and coloured with its colour. The body has no joint, so
// it is fixed in the world. Shapes without volume (HasNoVolume) are left out, so that MuJoCo
// loads the rest; returns their indices.
std::vector<std::size_t> WriteMjcf(std::FILE* out, const cExportShapes& shapes,
                                   const std::string& name, const std::string& meshFolder);

// URDF: <robot name="name"> with one <link name="name">: a <visual> with the mesh
// meshFolder/kSourceFileName when withVisual, then one <collision name="..."> per shape, in
// order, with the mesh meshFolder/ShapeFileName.
void WriteUrdf(std::FILE* out, const cExportShapes& shapes, const std::string& name,
               const std::string& meshFolder, bool withVisual);

// Binary glTF (GLB): mesh i is shape i (one triangle primitive, its corners written once each,
// with a material of the shape's colour), then, when source is given and has triangles, the last
// mesh is the source. Node i is shape i, named like it, with its mesh and the node extension
// {"OMI_physics_shape": {"shape": i}}; the document lists the shapes as
// "extensions": {"OMI_physics_shape": {"shapes": [{"type": "hull", "mesh": i}, ...]}} and
// "extensionsUsed": ["OMI_physics_shape"] (neither without shapes). The source, when given, is
// the last node, "source"; the nodes make the one scene (none without nodes).
// Returns false when the library could not serialise the model (nothing is written then).
bool WriteGlb(std::FILE* out, const cExportShapes& shapes, const cTriangleList* source,
              const cColor& sourceColor);

// OBJ of the shapes: one object per shape, "o <name>", as WriteHullsObj writes hulls and
// WritePiecesObj pieces (the same bytes for HullShapes and PieceShapes of the same lists).
void WriteShapesObj(std::FILE* out, const cExportShapes& shapes);

// What a file name asks for, by its extension in any case: ".obj" OBJ, ".xml" MJCF, ".urdf"
// URDF, ".glb" binary glTF; anything else a folder of binary STL files, one per shape.
enum class cExportFormat { Obj, Mjcf, Urdf, Glb, StlFolder };
cExportFormat ExportFormatFor(const std::string& path);

// Writes shapes to path in format, as plain files (no temporary file, no lock): for MJCF and URDF
// the mesh folder beside path (made when missing) with a file per shape (and the source for
// URDF's visual) first, then the scene file; a STL folder is made when missing. The GLB carries
// source. 0, or the errno of the first failure with failed set to the path it happened on.
int WriteExportFiles(const std::string& path, cExportFormat format, const cExportShapes& shapes,
                     const cTriangleList& source, const cColor& sourceColor, std::string& failed);
