// Reading a mesh from a file or from memory as plain functions: a path or bytes in, triangles
// out. File > Open is a wrapper around the same readers (stl.h).
#pragma once

#include <cstddef>
#include <string>

#include "geometry/progress.h"
#include "geometry/vec3.h"

// A mesh as a file holds it.
struct cMeshData {
  cTriangleList triangles;  // in file order
  cBoundBox box;            // of every corner; all zero when there are no triangles
  // 0, or why nothing was read (then triangles is empty): the errno of opening the file,
  // EISDIR for a directory, EINVAL for a FIFO, socket or device, ENOMEM when the triangles would
  // not fit in memory, ECANCELED when progress asked to stop, the errno of a read that failed
  // (EIO when the system gave none) and ENODATA when a binary file ended before the facets its
  // header counts (it shrank while it was read). File > Open keeps what it could read instead.
  int error = 0;
};

// Reads an STL file by the rules of LoadStl, reporting "reading" progress (share of the bytes)
// to progress every 4096 lines or facets. Reads no process-wide value; any thread.
cMeshData ReadMeshFile(const std::string& path, const cProgress& progress = {});

// The same for size bytes in memory, read as a regular file of that size would be.
cMeshData ReadMeshMemory(const void* bytes, std::size_t size, const cProgress& progress = {});
