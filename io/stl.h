// Reading STL files into a mesh, and the Open command's handling of the current mesh.
#pragma once

#include <cstdio>
#include <string>

#include "io/mesh_reading.h"

class cMesh;

// Reads the whole open file into mesh.triangles (appending), then sets mesh.box when at least
// one triangle is there. A regular file whose size is exactly 84 + 50 n bytes, n being the
// little-endian 32-bit count at offset 80, is read as binary STL; anything else goes through
// the text scanner, which never fails: what it cannot read becomes (0, 0, 0) corners or is
// skipped. The file is left open; the caller closes it. Throws std::bad_alloc when the
// triangles do not fit in memory, and before reading anything when a binary file's count would
// take more than half the physical memory (a sparse file can match any count with its size).
void LoadStl(std::FILE* file, cMesh& mesh);

// Opens path for reading and runs LoadStl. Returns false, leaving the mesh untouched, when the
// file cannot be opened or is not a regular file (errno EISDIR for a directory, EINVAL for a
// FIFO, socket or device such as /dev/zero), or when its triangles do not fit in memory (ENOMEM);
// errno then tells why. A read that fails or ends early keeps the triangles read before it.
bool LoadStlFile(const std::string& path, cMesh& mesh);

// What File > Open reads: an STL file (by its name, see MeshFormatOfName) through LoadStlFile;
// any other through ReadMeshFile, appending its triangles and setting the box when there are
// any. Returns false, leaving the mesh untouched, with errno set to cMeshData::error when
// nothing could be read.
bool LoadMeshFile(const std::string& path, cMesh& mesh);

// File > Open: destroys *current (if any), makes a new empty mesh current at once, asks for a
// file starting from lastName and, if one was chosen (a name of any length), remembers it in
// lastName and loads it (LoadMeshFile). UI thread; the caller keeps it away from a mesh a
// computation uses. Afterwards *current always points to the new mesh, empty when nothing could be
// read. Returns false when a chosen file could not be opened (errno tells why), true otherwise.
bool OpenMesh(cMesh*& current, std::string& lastName);

// File > Open with path chosen without the dialog (a name given at start or dropped on the
// window): the same steps and the same outcome.
bool OpenMeshFile(cMesh*& current, std::string& lastName, const std::string& path);
