#include "io/stl.h"

#include <fcntl.h>
#include <sys/mman.h>
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
#include "reading_internal.h"
#include "stl_internal.h"

namespace {

constexpr long kBinaryHeaderSize = 84;

// Reads the next line piece. A read that obtains nothing (end of file, read error) yields an
// empty line, never the previous line again.
void ReadLine(std::FILE* file, char (&line)[kLineBufferSize]) {
  if (std::fgets(line, kLineBufferSize, file) == nullptr) {
    NoteReadError(file);
    line[0] = '\0';
  }
}

void LowerCase(char* text) {
  for (; *text != '\0'; ++text) {
    if (*text >= 'A' && *text <= 'Z') *text = static_cast<char>(*text - 'A' + 'a');
  }
}

// Progress of reading, by bytes, every 4096 lines or facets; false when reading should stop.
bool ReportRead(std::FILE* file, std::uint32_t& counter) {
  return (++counter & 4095) != 0 || ReportReadAt(file, std::ftell(file));
}

// Where the reading on this thread reports to, while a read is in progress, and whether the
// receiver asked it to stop. Set only for the length of one read (cReadScope).
thread_local const cProgress* readProgress = nullptr;
thread_local bool readStopped = false;
thread_local int readError = 0;  // NoteReadError

class cReadScope {
 public:
  explicit cReadScope(const cProgress& progress)
      : saved(readProgress), savedStopped(readStopped), savedError(readError) {
    readProgress = &progress;
    readStopped = false;
    readError = 0;
  }
  ~cReadScope() {
    readProgress = saved;
    readStopped = savedStopped;
    readError = savedError;
  }
  cReadScope(const cReadScope&) = delete;
  cReadScope& operator=(const cReadScope&) = delete;

  bool Stopped() const { return readStopped; }
  int Error() const { return readError; }

 private:
  const cProgress* saved;
  bool savedStopped;
  int savedError;
};

// The desktop's reads report to the platform and are never stopped.
const cProgress& PlatformProgress() {
  static const cProgress forward = [](const char* step, double fraction) {
    Platform().Progress(step, fraction);
    return true;
  };
  return forward;
}

}  // namespace

void NoteReadError(std::FILE* file) {
  const int error = errno;
  if (readError == 0 && std::ferror(file)) readError = error != 0 ? error : EIO;
}

bool ReportReadAt(std::FILE* file, long position) {
  if (readProgress == nullptr || !*readProgress) return true;
  struct stat info;
  if (fstat(fileno(file), &info) != 0 || info.st_size <= 0) return true;
  if (!(*readProgress)("reading", static_cast<double>(position) / info.st_size)) {
    readStopped = true;
  }
  return !readStopped;
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
    if (!ReportRead(file, lines)) return;
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
  if (!read) NoteReadError(file);
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
    if (std::fread(facet, 1, sizeof facet, file) != sizeof facet) {
      NoteReadError(file);
      break;
    }
    if (list.size() == list.capacity()) {
      list.reserve(list.size() + std::min<std::uint64_t>(count - i, room));
      room = std::max<std::uint64_t>(list.size(), kReserveStep);
    }
    if (!ReportRead(file, reported)) return;
    cTriangle t;
    for (int k = 0; k < 3; ++k) {
      const unsigned char* at = facet + 12 + 12 * k;  // after the facet normal
      t.vertex[k] =
          cVec3(LittleEndianFloat(at), LittleEndianFloat(at + 4), LittleEndianFloat(at + 8));
    }
    list.push_back(t);
  }
}

namespace {

// Reads the file; 0, or ENODATA when a binary file ended before the facets its header counts
// (it shrank while it was read). Read errors are noted (NoteReadError).
int ReadStl(std::FILE* file, cTriangleList& triangles) {
  std::uint32_t count = 0;
  if (IsBinary(file, count)) {
    const std::size_t before = triangles.size();
    ReadBinaryFacets(file, count, triangles);
    return triangles.size() - before < count ? ENODATA : 0;
  }
  ScanText(file, triangles);
  return 0;
}

// Reads the open file into triangles (appending) and closes it. 0, or ENOMEM when the triangles
// do not fit (triangles then as before), or ECANCELED when progress asked to stop; with
// incomplete, also the errno of a failed read (see NoteReadError) or ENODATA for a binary file
// that ended early, where otherwise what was read counts.
int ReadAndClose(std::FILE* file, cTriangleList& triangles, const cProgress& progress,
                 bool incomplete) {
  const std::size_t before = triangles.size();
  cReadScope scope(progress);
  int error = 0, cut = 0;
  try {
    cut = ReadStl(file, triangles);
  } catch (const std::bad_alloc&) {
    error = ENOMEM;
  }
  if (error == 0 && scope.Stopped()) error = ECANCELED;
  if (error == 0 && incomplete) error = scope.Error() != 0 ? scope.Error() : cut;
  if (error != 0) {
    triangles.resize(before);
    triangles.shrink_to_fit();
  }
  std::fclose(file);
  return error;
}

cMeshData Finished(cMeshData data, int error) {
  data.error = error;
  if (error != 0) data.triangles = cTriangleList();
  if (!data.triangles.empty()) data.box = ComputeBoundBox(data.triangles);
  return data;
}

}  // namespace

int OpenRegularFile(const std::string& path, std::FILE*& file) {
  // Without O_NONBLOCK, opening a FIFO would wait for a writer; it is refused below anyway.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno;
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
  if (error == 0) {
    file = fdopen(fd, "r");
    if (file == nullptr) error = errno;
  }
  if (error != 0) close(fd);
  return error;
}

void LoadStl(std::FILE* file, cMesh& mesh) {
  cReadScope scope(PlatformProgress());
  ReadStl(file, mesh.triangles);  // what could be read counts
  if (!mesh.triangles.empty()) mesh.box = ComputeBoundBox(mesh.triangles);
}

bool LoadStlFile(const std::string& path, cMesh& mesh) {
  std::FILE* file = nullptr;
  if (const int error = OpenRegularFile(path, file); error != 0) {
    errno = error;
    return false;
  }
  if (const int error = ReadAndClose(file, mesh.triangles, PlatformProgress(), false); error != 0) {
    errno = error;
    return false;
  }
  if (!mesh.triangles.empty()) mesh.box = ComputeBoundBox(mesh.triangles);
  return true;
}

bool LoadMeshFile(const std::string& path, cMesh& mesh) {
  if (MeshFormatOfName(path) == cMeshFormat::Stl) return LoadStlFile(path, mesh);
  cMeshData data = ReadMeshFile(path, PlatformProgress());
  if (data.error != 0) {
    errno = data.error;
    return false;
  }
  if (mesh.triangles.empty()) {
    mesh.triangles = std::move(data.triangles);
  } else {
    mesh.triangles.insert(mesh.triangles.end(), data.triangles.begin(), data.triangles.end());
  }
  if (!mesh.triangles.empty()) mesh.box = ComputeBoundBox(mesh.triangles);
  return true;
}

cMeshData ReadStlFile(const std::string& path, const cProgress& progress) {
  cMeshData data;
  std::FILE* file = nullptr;
  if (const int error = OpenRegularFile(path, file); error != 0) return Finished({}, error);
  const int error = ReadAndClose(file, data.triangles, progress, true);
  return Finished(std::move(data), error);
}

cMeshData ReadStlMemory(const void* bytes, std::size_t size, const cProgress& progress) {
  // The bytes become a file in memory, so that they are read by the very rules a file is (a
  // binary file is told by its size).
  const int fd = memfd_create("mesh", MFD_CLOEXEC);
  if (fd < 0) return Finished({}, errno);
  const auto* at = static_cast<const char*>(bytes);
  for (std::size_t left = size; left > 0;) {
    const ssize_t wrote = write(fd, at, left);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) {
      const int error = wrote < 0 ? errno : EIO;
      close(fd);
      return Finished({}, error);
    }
    at += wrote;
    left -= static_cast<std::size_t>(wrote);
  }
  std::FILE* file = lseek(fd, 0, SEEK_SET) == 0 ? fdopen(fd, "r") : nullptr;
  if (file == nullptr) {
    const int error = errno;
    close(fd);
    return Finished({}, error);
  }
  cMeshData data;
  const int error = ReadAndClose(file, data.triangles, progress, true);
  return Finished(std::move(data), error);
}

bool OpenMesh(cMesh*& current, std::string& lastName) {
  delete current;
  current = nullptr;
  current = new cMesh();
  std::optional<std::string> chosen = Platform().ChooseStlFile(lastName);
  if (!chosen) return true;
  lastName = *chosen;
  return LoadMeshFile(*chosen, *current);
}

bool OpenMeshFile(cMesh*& current, std::string& lastName, const std::string& path) {
  delete current;
  current = nullptr;
  current = new cMesh();
  lastName = path;
  return LoadMeshFile(path, *current);
}
