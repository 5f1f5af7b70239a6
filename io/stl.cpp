#include "io/stl.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "geometry/mesh.h"
#include "io/classic_numbers.h"
#include "platform/platform.h"

namespace {

// One read takes at most 255 characters up to and including the next newline; a longer line
// arrives in pieces, each examined as a line of its own.
constexpr int kLineBufferSize = 256;

constexpr long kBinaryHeaderSize = 84;
constexpr long kBinaryFacetSize = 50;  // normal, three corners (12 floats), 2 attribute bytes

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

void ScanText(std::FILE* file, cMesh& mesh) {
  cClassicNumbers numbers;
  char line[kLineBufferSize];
  while (!std::feof(file) && !std::ferror(file)) {
    cVec3 corner[3];
    ReadLine(file, line);
    LowerCase(line);
    if (std::strstr(line, "outer loop") == nullptr) continue;
    for (cVec3& c : corner) {
      ReadLine(file, line);
      LowerCase(line);
      // The first word is skipped whatever it is; conversion stops at the first field that
      // does not parse, and the coordinates from there on stay 0.
      if (std::strstr(line, "vertex") != nullptr)
        std::sscanf(line, "%*s %f %f %f", &c.x, &c.y, &c.z);
    }
    mesh.triangles.emplace_back(corner[0], corner[1], corner[2]);
  }
}

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

void ReadBinary(std::FILE* file, std::uint32_t count, cMesh& mesh) {
  if (std::fseek(file, kBinaryHeaderSize, SEEK_SET) != 0) return;
  mesh.triangles.reserve(mesh.triangles.size() + count);
  unsigned char facet[kBinaryFacetSize];
  for (std::uint32_t i = 0; i < count; ++i) {
    if (std::fread(facet, 1, sizeof facet, file) != sizeof facet) break;
    cTriangle t;
    for (int k = 0; k < 3; ++k) {
      const unsigned char* at = facet + 12 + 12 * k;  // after the facet normal
      t.vertex[k] =
          cVec3(LittleEndianFloat(at), LittleEndianFloat(at + 4), LittleEndianFloat(at + 8));
    }
    mesh.triangles.push_back(t);
  }
}

}  // namespace

void LoadStl(std::FILE* file, cMesh& mesh) {
  std::uint32_t count = 0;
  if (IsBinary(file, count)) {
    ReadBinary(file, count, mesh);
  } else {
    ScanText(file, mesh);
  }
  if (!mesh.triangles.empty()) mesh.box = ComputeBoundBox(mesh.triangles);
}

bool LoadStlFile(const std::string& path, cMesh& mesh) {
  std::FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) return false;
  LoadStl(file, mesh);
  const int saved = errno;
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
