// The readers behind LoadStl, for the io library and its tests: the line reader and the
// facet-by-facet binary reader, which define what a file holds, and the chunked readers that
// LoadStl uses, which must give the same triangles bit for bit.
#pragma once

#include <cstdint>
#include <cstdio>

#include "geometry/vec3.h"

// One read of the line reader takes at most 255 characters up to and including the next
// newline; a longer line arrives in pieces, each examined as a line of its own.
constexpr int kLineBufferSize = 256;

constexpr long kBinaryFacetSize = 50;  // normal, three corners (12 floats), 2 attribute bytes

// Reports the progress of reading when the file has a size (position bytes of it read) to the
// receiver of the read in progress on this thread; false when it asked to stop, and the reader
// then returns at once.
bool ReportReadAt(std::FILE* file, long position);

// Remembers, for the read in progress on this thread, why a read of file came back short when it
// failed rather than reached the end: the errno of the failed read (EIO when it left none). The
// first failure counts. Readers call it right after a short read.
void NoteReadError(std::FILE* file);

// The triangles of one file may take at most half the machine's physical memory.
bool FitsInMemory(std::uint64_t triangles);

// Binary room is reserved in steps: the first by the bytes the file stores (at least
// kReserveStep triangles), later ones at most doubling what was read, none beyond the count.
constexpr std::uint64_t kReserveStep = 65536;
std::uint64_t StoredFacets(std::FILE* file);

// Reads the coordinates of a lower-cased "vertex" line into corner: the first word is skipped,
// then up to three numbers as the C library's scanf reads them, under the C locale (see
// cClassicNumbers). Coordinates after the first field that does not convert keep their value.
void ScanVertexLine(const char* lowered, cVec3& corner);

// The line reader: appends a triangle for every line piece that holds "outer loop" (any letter
// case), with corners from the next three pieces. A read that obtains nothing yields an empty
// piece. Progress every 4096 pieces examined for "outer loop".
void ScanTextByLines(std::FILE* file, cTriangleList& triangles);

// Appends the count facets that follow the 84-byte header, one read per facet, stopping at the
// first short read; progress every 4096 facets. Throws std::bad_alloc before reading when the
// count does not fit in memory (FitsInMemory).
void ReadBinaryByFacets(std::FILE* file, std::uint32_t count, cTriangleList& triangles);

// The same as ScanTextByLines, reading the file in large chunks and converting plain decimal
// numbers itself; any other line goes through ScanVertexLine. Reserves room for as many
// triangles as the file's size allows (untouched room costs no memory) so that the list is
// never copied while it grows.
void ScanText(std::FILE* file, cTriangleList& triangles);

// The same as ReadBinaryByFacets, reading many facets at a time.
void ReadBinaryFacets(std::FILE* file, std::uint32_t count, cTriangleList& triangles);
