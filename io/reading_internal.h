// The readers behind ReadMeshFile and ReadMeshMemory, one per kind of file, for the io library
// and its tests.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

#include "io/mesh_reading.h"

// Opens path for reading when it is a regular file: 0, or the errno of why not (EISDIR for a
// directory, EINVAL for a FIFO, socket or device).
int OpenRegularFile(const std::string& path, std::FILE*& file);

// The STL reader (stl.cpp).
cMeshData ReadStlFile(const std::string& path, const cProgress& progress);
cMeshData ReadStlMemory(const void* bytes, std::size_t size, const cProgress& progress);

// The importer (imported_mesh.cpp), for every format but STL.
cMeshData ImportMeshFile(const std::string& path, cMeshFormat format, const cProgress& progress);
cMeshData ImportMeshMemory(const void* bytes, std::size_t size, cMeshFormat format,
                           const cProgress& progress);
