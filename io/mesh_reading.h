// Reading a mesh from a file or from memory as plain functions: a path or bytes in, triangles
// out. File > Open is a wrapper around the same readers (stl.h).
//
// The kind of file is told by the extension of its name, in any letter case: .stl, and a name
// without an extension, by the project's own STL reader (below and stl.h); .obj, .ply (text or
// binary), .off, .gltf, .glb and .3mf through the assimp importer, polygons cut into triangles.
// Any other extension is refused with kUnknownFormat.
#pragma once

#include <cerrno>
#include <cstddef>
#include <string>
#include <string_view>

#include "geometry/progress.h"
#include "geometry/vec3.h"

enum class cMeshFormat { Unknown, Stl, Obj, Ply, Off, Gltf, Glb, ThreeMf };

// The extensions read, with their dot, lower case, in this order, and the same as one line.
inline constexpr const char* kMeshExtensions[] = {".stl",  ".obj", ".ply", ".off",
                                                  ".gltf", ".glb", ".3mf"};
inline constexpr const char* kMeshExtensionList = ".stl .obj .ply .off .gltf .glb .3mf";

// The format of a file by its name: the text after the last dot of its last path part, in any
// letter case. Stl for a name without a dot there (and for one that ends in a dot); Unknown for
// an extension not in kMeshExtensions.
cMeshFormat MeshFormatOfName(std::string_view name);

// cMeshData::error for a name whose extension is not one of kMeshExtensions ("Protocol not
// supported" as the C library words it; cMeshData::message says what it means).
constexpr int kUnknownFormat = EPROTONOSUPPORT;
// cMeshData::error for a file the importer could not make sense of (message: its reason).
constexpr int kUnreadableFile = EBADMSG;

// A mesh as a file holds it.
struct cMeshData {
  cTriangleList triangles;  // in file order
  cBoundBox box;            // of every corner; all zero when there are no triangles
  // 0, or why nothing was read (then triangles is empty): the errno of opening the file,
  // EISDIR for a directory, EINVAL for a FIFO, socket or device, ENOMEM when the triangles would
  // not fit in memory, ECANCELED when progress asked to stop, the errno of a read that failed
  // (EIO when the system gave none) and ENODATA when a binary STL file ended before the facets
  // its header counts (it shrank while it was read). File > Open keeps what it could read of an
  // STL file instead. Through the importer also: kUnknownFormat, kUnreadableFile, and EFBIG for a
  // file (with the files it refers to) larger than MaxImportedBytes().
  int error = 0;
  // Empty, or the reason in words when the error alone does not say it (an unknown extension,
  // the importer's own message).
  std::string message;
};

// Reads the file at path as its name's format says. STL by the rules of LoadStl, reporting
// "reading" progress (share of the bytes) every 4096 lines or facets; the other formats report
// "reading" at the start, as the importer goes and at the end, and stop between meshes when
// asked. Reads no process-wide value; any thread.
//
// Imported files: every triangle of every mesh, in the order of the scene's nodes (depth first,
// a node before its children), each node's meshes in its order and each mesh's faces in file
// order; corners are the mesh's positions moved by the node's transform and its parents'
// (computed in double, kept as 32-bit floats). Points and lines are left out; nothing is
// merged, welded or reordered. Files that a glTF or OBJ file refers to (buffers, materials) are
// read from beside it when they are regular files.
cMeshData ReadMeshFile(const std::string& path, const cProgress& progress = {});

// The same for size bytes in memory, read as a regular file of that size with the extension
// format would be (".obj" or "obj", any letter case; empty or "stl" for STL). Imported bytes
// can refer to no other file: a glTF file's buffers must be inside it.
cMeshData ReadMeshMemory(const void* bytes, std::size_t size, const cProgress& progress = {},
                         std::string_view format = "stl");

// The largest file the importer is given (together with what it refers to): 1/32 of the
// physical memory, since importers keep several copies of what they read.
std::size_t MaxImportedBytes();
