#include "io/stl.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>

#include "geometry/mesh.h"
#include "io/classic_numbers.h"
#include "platform/platform.h"
#include "stl_internal.h"

namespace {

constexpr long kBinaryHeaderSize = 84;

// Reads the next line piece. A read that obtains nothing (end of file, read error) yields an
// empty line, never the previous line again.
void ReadLine(std::FILE* file, char (&line)[kLineBufferSize]) {
  if (std::fgets(line, kLineBufferSize, file) == nullptr) line[0] = '\0';
}

void LowerCase(char* text) {
  for (; *text != '\0'; ++text) {
    if (*text >= 'A' && *text <= 'Z') *text = static_cast<char>(*text - 'A' + 'a');
  }
}

// Progress of reading, by bytes, every 4096 lines or facets.
void ReportRead(std::FILE* file, std::uint32_t& counter) {
  if ((++counter & 4095) == 0) ReportReadAt(file, std::ftell(file));
}

}  // namespace

void ReportReadAt(std::FILE* file, long position) {
  struct stat info;
  if (fstat(fileno(file), &info) != 0 || info.st_size <= 0) return;
  Platform().Progress("reading", static_cast<double>(position) / info.st_size);
}

void ScanVertexLine(const char* lowered, cVec3& corner) {
  // The first word is skipped whatever it is; conversion stops at the first field that does not
  // parse, and the coordinates from there on keep their value.
  std::sscanf(lowered, "%*s %f %f %f", &corner.x, &corner.y, &corner.z);
}

void ScanTextByLines(std::FILE* file, cTriangleList& triangles) {
  cClassicNumbers numbers;
  char line[kLineBufferSize];
  std::uint32_t lines = 0;
  while (!std::feof(file) && !std::ferror(file)) {
    cVec3 corner[3];
    ReportRead(file, lines);
    ReadLine(file, line);
    LowerCase(line);
    if (std::strstr(line, "outer loop") == nullptr) continue;
    for (cVec3& c : corner) {
      ReadLine(file, line);
      LowerCase(line);
      if (std::strstr(line, "vertex") != nullptr) ScanVertexLine(line, c);
    }
    triangles.emplace_back(corner[0], corner[1], corner[2]);
  }
}

namespace {

std::uint32_t LittleEndian32(const unsigned char* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
         (static_cast<std::uint32_t>(bytes[2]) << 16) |
         (static_cast<std::uint32_t>(bytes[3]) << 24);
}

float LittleEndianFloat(const unsigned char* bytes) {
  const std::uint32_t bits = LittleEndian32(bytes);
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// The facet count of a binary file, when the file's size matches it exactly.
bool IsBinary(std::FILE* file, std::uint32_t& count) {
  struct stat info;
  if (fstat(fileno(file), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  if (info.st_size < kBinaryHeaderSize) return false;
  unsigned char header[kBinaryHeaderSize];
  const bool read = std::fread(header, 1, sizeof header, file) == sizeof header;
  std::rewind(file);
  if (!read) return false;
  count = LittleEndian32(header + 80);
  const std::uint64_t expected = static_cast<std::uint64_t>(kBinaryHeaderSize) +
                                 static_cast<std::uint64_t>(kBinaryFacetSize) * count;
  return static_cast<std::uint64_t>(info.st_size) == expected;
}

}  // namespace

// The triangles of one file may take at most half the machine's physical memory: the
// decomposition copies them again. A sparse file has the size of any count without the disk
// space, so a size that matches the count proves nothing about memory.
bool FitsInMemory(std::uint64_t triangles) {
  const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || pageSize <= 0) return true;  // unknown: allocation failures still stop it
  const std::uint64_t limit = static_cast<std::uint64_t>(pages) * pageSize / 2;
  return triangles <= limit / sizeof(cTriangle);
}

// Room for the facets the file really stores: a sparse file has the size of any count with few
// blocks on disk, so the first reservation goes by the bytes stored (at least 65536 triangles,
// 2.3 MB) and later ones at most double what was read; none goes beyond the count.
std::uint64_t StoredFacets(std::FILE* file) {
  struct stat info;
  if (fstat(fileno(file), &info) != 0 || info.st_blocks < 0) return 0;
  return static_cast<std::uint64_t>(info.st_blocks) * 512 / kBinaryFacetSize;
}

void ReadBinaryByFacets(std::FILE* file, std::uint32_t count, cTriangleList& triangles) {
  if (!FitsInMemory(count)) throw std::bad_alloc();
  if (std::fseek(file, kBinaryHeaderSize, SEEK_SET) != 0) return;
  cTriangleList& list = triangles;
  std::uint64_t room = std::max(StoredFacets(file), kReserveStep);
  unsigned char facet[kBinaryFacetSize];
  std::uint32_t reported = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (std::fread(facet, 1, sizeof facet, file) != sizeof facet) break;
    if (list.size() == list.capacity()) {
      list.reserve(list.size() + std::min<std::uint64_t>(count - i, room));
      room = std::max<std::uint64_t>(list.size(), kReserveStep);
    }
    ReportRead(file, reported);
    cTriangle t;
    for (int k = 0; k < 3; ++k) {
      const unsigned char* at = facet + 12 + 12 * k;  // after the facet normal
      t.vertex[k] =
          cVec3(LittleEndianFloat(at), LittleEndianFloat(at + 4), LittleEndianFloat(at + 8));
    }
    list.push_back(t);
  }
}

void LoadStl(std::FILE* file, cMesh& mesh) {
  std::uint32_t count = 0;
  if (IsBinary(file, count)) {
    ReadBinaryFacets(file, count, mesh.triangles);
  } else {
    ScanText(file, mesh.triangles);
  }
  if (!mesh.triangles.empty()) mesh.box = ComputeBoundBox(mesh.triangles);
}

bool LoadStlFile(const std::string& path, cMesh& mesh) {
  // Without O_NONBLOCK, opening a FIFO would wait for a writer; it is refused below anyway.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  // Directories, FIFOs, sockets and devices (/dev/zero would never end) are not STL files.
  struct stat info;
  int error = 0;
  if (fstat(fd, &info) != 0) {
    error = errno;
  } else if (S_ISDIR(info.st_mode)) {
    error = EISDIR;
  } else if (!S_ISREG(info.st_mode)) {
    error = EINVAL;
  } else if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    error = errno;
  }
  if (error != 0) {
    close(fd);
    errno = error;
    return false;
  }
  std::FILE* file = fdopen(fd, "r");
  if (file == nullptr) {
    error = errno;
    close(fd);
    errno = error;
    return false;
  }
  const std::size_t before = mesh.triangles.size();
  int saved = 0;
  try {
    LoadStl(file, mesh);
    saved = errno;
  } catch (const std::bad_alloc&) {
    mesh.triangles.resize(before);
    mesh.triangles.shrink_to_fit();
    std::fclose(file);
    errno = ENOMEM;
    return false;
  }
  std::fclose(file);
  errno = saved;
  return true;
}

bool OpenMesh(cMesh*& current, std::string& lastName) {
  delete current;
  current = nullptr;
  current = new cMesh();
  std::optional<std::string> chosen = Platform().ChooseStlFile(lastName);
  if (!chosen) return true;
  lastName = *chosen;
  return LoadStlFile(*chosen, *current);
}

bool OpenMeshFile(cMesh*& current, std::string& lastName, const std::string& path) {
  delete current;
  current = nullptr;
  current = new cMesh();
  lastName = path;
  return LoadStlFile(path, *current);
}
