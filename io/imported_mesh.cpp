// Every format but STL, read through the assimp importer: the file is read whole into memory
// here, so that the importer sees only regular files of a bounded size, then handed to the
// importer of its extension alone, with polygons cut into triangles and nothing else changed.
// The scene's nodes are walked here, each node's transform applied to the meshes it holds.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <assimp/BaseImporter.h>
#include <assimp/ai_assert.h>
#include <assimp/config.h>
#include <assimp/postprocess.h>
#include <assimp/scene.h>
#include <zlib.h>
#include <assimp/IOStream.hpp>
#include <assimp/IOSystem.hpp>
#include <assimp/Importer.hpp>
#include <assimp/ProgressHandler.hpp>

#include "io/mesh_reading.h"
#include "reading_internal.h"
#include "stl_internal.h"

// assimp checks its own invariants with ai_assert, which ends the process when one fails (some
// fail on malformed files). This definition takes the place of the library's: the failure
// becomes an exception, which Import below catches like any other, and the read fails.
void Assimp::aiAssertViolation(const char* expression, const char* file, int line) {
  throw std::runtime_error(std::string("the importer failed its own check (") + expression + ", " +
                           file + ":" + std::to_string(line) + ")");
}

namespace {

// The importer runs a node tree of any shape; past this many visits it is taken as broken (a
// node that is its own ancestor, or shared so often that its instances would not fit anyway).
constexpr std::size_t kMaxNodeVisits = std::size_t{1} << 22;

const char* ExtensionOf(cMeshFormat format) {
  switch (format) {
    case cMeshFormat::Obj:
      return "obj";
    case cMeshFormat::Ply:
      return "ply";
    case cMeshFormat::Off:
      return "off";
    case cMeshFormat::Gltf:
      return "gltf";
    case cMeshFormat::Glb:
      return "glb";
    case cMeshFormat::ThreeMf:
      return "3mf";
    case cMeshFormat::Stl:
    case cMeshFormat::Unknown:
      break;
  }
  return "";
}

cMeshData Failed(int error, std::string message = {}) {
  cMeshData data;
  data.error = error;
  data.message = std::move(message);
  return data;
}

// Reads the whole open descriptor, at most limit bytes: 0, EFBIG when there is more, or the
// errno of a failed read (EIO when none).
int ReadWhole(int fd, std::size_t limit, std::string& bytes) {
  struct stat info;
  if (fstat(fd, &info) == 0 && info.st_size > 0) {
    if (static_cast<std::uint64_t>(info.st_size) > limit) return EFBIG;
    bytes.reserve(static_cast<std::size_t>(info.st_size));
  }
  char buffer[1 << 16];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return errno != 0 ? errno : EIO;
    if (got == 0) return 0;
    if (bytes.size() + static_cast<std::size_t>(got) > limit) return EFBIG;
    bytes.append(buffer, static_cast<std::size_t>(got));
  }
}

// Reads the regular file at path whole, at most limit bytes (see ReadWhole).
int ReadRegularFile(const std::string& path, std::size_t limit, std::string& bytes) {
  std::FILE* file = nullptr;
  if (const int error = OpenRegularFile(path, file); error != 0) return error;
  const int error = ReadWhole(fileno(file), limit, bytes);
  std::fclose(file);
  return error;
}

// A file the importer reads, held in memory: the main file's bytes (not owned) or a file it
// refers to (owned).
class cMemoryStream : public Assimp::IOStream {
 public:
  cMemoryStream(const char* bytes, std::size_t size) : data(bytes), size(size) {}
  explicit cMemoryStream(std::string bytes)
      : owned(std::move(bytes)), data(owned.data()), size(owned.size()) {}

  std::size_t Read(void* buffer, std::size_t item, std::size_t count) override {
    if (item == 0 || count == 0) return 0;
    const std::size_t whole = std::min(count, (size - position) / item);
    if (whole > 0) std::memcpy(buffer, data + position, whole * item);
    position += whole * item;
    return whole;
  }
  std::size_t Write(const void*, std::size_t, std::size_t) override { return 0; }
  aiReturn Seek(std::size_t offset, aiOrigin origin) override {
    // Offsets from the current place or the end may be negative, as sizes that wrap around.
    const std::size_t base = origin == aiOrigin_CUR ? position : origin == aiOrigin_END ? size : 0;
    const std::size_t target = base + offset;
    if (target > size) return aiReturn_FAILURE;
    position = target;
    return aiReturn_SUCCESS;
  }
  std::size_t Tell() const override { return position; }
  std::size_t FileSize() const override { return size; }
  void Flush() override {}

 private:
  std::string owned;
  const char* data;
  std::size_t size;
  std::size_t position = 0;
};

// What the importer may open: the main file, and, when reading from a file, the regular files
// it refers to, all together at most budget bytes; never anything to write.
class cBoundedFiles : public Assimp::IOSystem {
 public:
  cBoundedFiles(std::string mainName, const char* bytes, std::size_t size, bool mayOpenFiles,
                std::size_t budget, bool& tooLarge)
      : mainName(std::move(mainName)),
        mainBytes(bytes),
        mainSize(size),
        mayOpenFiles(mayOpenFiles),
        budget(budget - std::min(budget, size)),
        tooLarge(tooLarge) {}

  bool Exists(const char* name) const override {
    if (name == nullptr) return false;
    if (mainName == name) return true;
    struct stat info;
    return mayOpenFiles && stat(name, &info) == 0 && S_ISREG(info.st_mode);
  }
  char getOsSeparator() const override { return '/'; }

  Assimp::IOStream* Open(const char* name, const char* mode) override {
    if (name == nullptr || mode == nullptr || std::strpbrk(mode, "wa+") != nullptr) return nullptr;
    if (mainName == name) return new cMemoryStream(mainBytes, mainSize);
    if (!mayOpenFiles) return nullptr;
    std::string bytes;
    const int error = ReadRegularFile(name, budget, bytes);
    if (error == EFBIG) tooLarge = true;
    if (error != 0) return nullptr;
    budget -= bytes.size();
    return new cMemoryStream(std::move(bytes));
  }
  void Close(Assimp::IOStream* file) override { delete file; }

 private:
  const std::string mainName;
  const char* const mainBytes;
  const std::size_t mainSize;
  const bool mayOpenFiles;
  std::size_t budget;
  bool& tooLarge;
};

// The importer's progress as "reading"; stopped is set when the receiver asks to stop.
class cForwardProgress : public Assimp::ProgressHandler {
 public:
  cForwardProgress(const cProgress& progress, bool& stopped)
      : progress(progress), stopped(stopped) {}
  bool Update(float percentage) override {
    if (!stopped && percentage >= 0.0f && percentage <= 1.0f) {
      try {
        stopped = !KeepGoing(progress, "reading", 0.9 * percentage);
      } catch (...) {
        stopped = true;  // the importer must not see an exception
      }
    }
    return !stopped;
  }

 private:
  const cProgress& progress;
  bool& stopped;
};

// Leaves the importer only the loaders that read files with this extension, so that a file is
// never read by a loader of another format that takes it for one of its own.
void KeepLoadersOf(Assimp::Importer& importer, const std::string& extension) {
  std::vector<Assimp::BaseImporter*> others;
  for (std::size_t i = 0; i < importer.GetImporterCount(); ++i) {
    Assimp::BaseImporter* loader = importer.GetImporter(i);
    std::set<std::string> extensions;
    loader->GetExtensionList(extensions);
    if (extensions.count(extension) == 0) others.push_back(loader);
  }
  for (Assimp::BaseImporter* loader : others) {
    // An unregistered loader is no longer the importer's to delete.
    if (importer.UnregisterLoader(loader) == aiReturn_SUCCESS) delete loader;
  }
}

std::uint32_t Little32(const unsigned char* at) {
  return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
         static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}
std::uint16_t Little16(const unsigned char* at) {
  return static_cast<std::uint16_t>(at[0] | at[1] << 8);
}

// A 3MF file is a zip archive, and the importer unpacks each entry whole into memory by the
// size the archive's directory gives it. 0 when those sizes add up to at most budget; EFBIG
// when they do not (or a size is too large for the 32-bit fields); kUnreadableFile when there
// is no directory to read or a size is more than the entry's packed bytes can give.
int CheckArchiveSizes(const char* bytes, std::size_t size, std::size_t budget) {
  const auto* data = reinterpret_cast<const unsigned char*>(bytes);
  constexpr std::size_t kEndSize = 22;  // the end record without its comment
  if (size < kEndSize) return kUnreadableFile;
  // The end record is within the last 64 KiB (its comment) plus its own size.
  std::size_t end = size - kEndSize;
  const std::size_t lowest = size > kEndSize + 65535 ? size - kEndSize - 65535 : 0;
  while (Little32(data + end) != 0x06054b50) {
    if (end == lowest) return kUnreadableFile;
    --end;
  }
  const std::size_t entries = Little16(data + end + 10);
  std::size_t at = Little32(data + end + 16);
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < entries; ++i) {
    constexpr std::size_t kEntrySize = 46;
    if (at > size || size - at < kEntrySize || Little32(data + at) != 0x02014b50)
      return kUnreadableFile;
    const std::uint32_t unpacked = Little32(data + at + 24);
    if (unpacked == 0xffffffffu) return EFBIG;  // a 64-bit size
    // Deflate makes at most 1032 bytes of one; a size beyond that (or a stored entry of another
    // size than its bytes) is a lie that would have the importer make room for it.
    const std::uint64_t packed = Little32(data + at + 20);
    const std::uint16_t method = Little16(data + at + 10);
    if (method == 0 ? unpacked != packed : unpacked > packed * 1032 + 64) return kUnreadableFile;
    total += unpacked;
    if (total > budget) return EFBIG;
    at +=
        kEntrySize + Little16(data + at + 28) + Little16(data + at + 30) + Little16(data + at + 32);
  }
  return 0;
}

using cMatrix = std::array<double, 16>;  // row by row, as aiMatrix4x4

cMatrix ToDouble(const aiMatrix4x4& m) {
  return {m.a1, m.a2, m.a3, m.a4, m.b1, m.b2, m.b3, m.b4,
          m.c1, m.c2, m.c3, m.c4, m.d1, m.d2, m.d3, m.d4};
}

cMatrix Multiply(const cMatrix& a, const cMatrix& b) {
  cMatrix product{};
  for (int row = 0; row < 4; ++row) {
    for (int column = 0; column < 4; ++column) {
      double sum = 0.0;
      for (int k = 0; k < 4; ++k) sum += a[row * 4 + k] * b[k * 4 + column];
      product[row * 4 + column] = sum;
    }
  }
  return product;
}

cVec3 Transform(const cMatrix& m, const aiVector3D& v) {
  const double x = v.x, y = v.y, z = v.z;
  return cVec3(static_cast<float>(m[0] * x + m[1] * y + m[2] * z + m[3]),
               static_cast<float>(m[4] * x + m[5] * y + m[6] * z + m[7]),
               static_cast<float>(m[8] * x + m[9] * y + m[10] * z + m[11]));
}

bool IsTriangle(const aiMesh& mesh, const aiFace& face) {
  if (face.mNumIndices != 3 || face.mIndices == nullptr) return false;
  for (unsigned k = 0; k < 3; ++k) {
    if (face.mIndices[k] >= mesh.mNumVertices) return false;
  }
  return true;
}

// The meshes of the scene as its nodes place them, one entry per node and mesh, in the order
// the triangles are taken: depth first, a node's meshes before its children.
struct cPlacedMesh {
  unsigned mesh;  // index in the scene's meshes
  cMatrix transform;
};

// 0, or kUnreadableFile when the nodes cannot be walked (too many visits, a missing mesh).
int PlaceMeshes(const aiScene& scene, std::vector<cPlacedMesh>& placed) {
  if (scene.mRootNode == nullptr) return 0;
  struct cVisit {
    const aiNode* node;
    cMatrix parent;
  };
  constexpr cMatrix kIdentity = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
  std::vector<cVisit> pending = {{scene.mRootNode, kIdentity}};
  std::size_t visits = 0;
  while (!pending.empty()) {
    const cVisit visit = pending.back();
    pending.pop_back();
    if (++visits > kMaxNodeVisits) return kUnreadableFile;
    const cMatrix transform = Multiply(visit.parent, ToDouble(visit.node->mTransformation));
    for (unsigned i = 0; i < visit.node->mNumMeshes; ++i) {
      const unsigned index = visit.node->mMeshes[i];
      if (index >= scene.mNumMeshes || scene.mMeshes[index] == nullptr) return kUnreadableFile;
      placed.push_back({index, transform});
    }
    // Children go on the stack last first, so that the first is taken next.
    for (unsigned i = visit.node->mNumChildren; i-- > 0;) {
      if (visit.node->mChildren[i] == nullptr) return kUnreadableFile;
      pending.push_back({visit.node->mChildren[i], transform});
    }
  }
  return 0;
}

std::uint64_t CountTriangles(const aiMesh& mesh) {
  if (mesh.mVertices == nullptr || mesh.mFaces == nullptr) return 0;
  std::uint64_t count = 0;
  for (unsigned f = 0; f < mesh.mNumFaces; ++f) count += IsTriangle(mesh, mesh.mFaces[f]);
  return count;
}

// The triangles of the scene (see ReadMeshFile): 0, ENOMEM when they would not fit in memory,
// ECANCELED when progress asked to stop (between meshes) or kUnreadableFile.
int TakeTriangles(const aiScene& scene, const cProgress& progress, cTriangleList& triangles) {
  std::vector<cPlacedMesh> placed;
  if (const int error = PlaceMeshes(scene, placed); error != 0) return error;
  std::vector<std::uint64_t> counts(scene.mNumMeshes);
  for (unsigned i = 0; i < scene.mNumMeshes; ++i) {
    if (scene.mMeshes[i] != nullptr) counts[i] = CountTriangles(*scene.mMeshes[i]);
  }
  std::uint64_t total = 0;
  for (const cPlacedMesh& place : placed) {
    total += counts[place.mesh];
    if (!FitsInMemory(total)) return ENOMEM;
  }
  triangles.reserve(total);
  for (std::size_t p = 0; p < placed.size(); ++p) {
    if (!KeepGoing(progress, "reading", 0.9 + 0.1 * static_cast<double>(p) / placed.size()))
      return ECANCELED;
    const aiMesh& mesh = *scene.mMeshes[placed[p].mesh];
    if (mesh.mVertices == nullptr || mesh.mFaces == nullptr) continue;
    for (unsigned f = 0; f < mesh.mNumFaces; ++f) {
      const aiFace& face = mesh.mFaces[f];
      if (!IsTriangle(mesh, face)) continue;  // points, lines
      cTriangle triangle;
      for (int k = 0; k < 3; ++k) {
        triangle.vertex[k] = Transform(placed[p].transform, mesh.mVertices[face.mIndices[k]]);
      }
      triangles.push_back(triangle);
    }
  }
  return 0;
}

// Sets every mesh's primitive types from its faces; false when a face has no corners (a loader's
// leftover of a file cut short), which the cutting into triangles cannot take.
bool MarkPrimitiveTypes(aiScene& scene) {
  for (unsigned i = 0; i < scene.mNumMeshes; ++i) {
    aiMesh& mesh = *scene.mMeshes[i];
    unsigned types = 0;
    for (unsigned f = 0; f < mesh.mNumFaces; ++f) {
      const unsigned corners = mesh.mFaces[f].mNumIndices;
      if (corners == 0) return false;
      if (corners == 1) types |= aiPrimitiveType_POINT;
      if (corners == 2) types |= aiPrimitiveType_LINE;
      if (corners == 3) types |= aiPrimitiveType_TRIANGLE;
      if (corners > 3) types |= aiPrimitiveType_POLYGON;
    }
    mesh.mPrimitiveTypes = types;
  }
  return true;
}

// The words of text, split at spaces, tabs and line ends.
std::vector<std::string_view> Words(std::string_view text) {
  std::vector<std::string_view> words;
  std::size_t at = 0;
  while ((at = text.find_first_not_of(" \t\r\n", at)) != std::string_view::npos) {
    const std::size_t end = std::min(text.find_first_of(" \t\r\n", at), text.size());
    words.push_back(text.substr(at, end - at));
    at = end;
  }
  return words;
}

// A count as a header writes it; false for anything but decimal digits, or more than 18 of them
// (which the importer's own number reading takes for ever over).
bool ReadCount(std::string_view word, std::uint64_t& count) {
  if (word.empty() || word.size() > 18) return false;
  count = 0;
  for (char c : word) {
    if (c < '0' || c > '9') return false;
    count = count * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return true;
}

// The size of a PLY property type, 0 for a name that is none.
std::uint64_t PlyTypeSize(std::string_view type) {
  for (const char* name : {"char", "uchar", "int8", "uint8"})
    if (type == name) return 1;
  for (const char* name : {"short", "ushort", "int16", "uint16"})
    if (type == name) return 2;
  for (const char* name : {"int", "uint", "float", "int32", "uint32", "float32"})
    if (type == name) return 4;
  for (const char* name : {"double", "float64"})
    if (type == name) return 8;
  return 0;
}

// The importer makes room for every element a PLY or OFF header counts before it reads them, so
// a small file claiming billions makes it take gigabytes. Each element takes some bytes of the
// file (a binary PLY element the sizes of its properties, a text one two characters per value,
// an OFF vertex or face two characters): an empty string when the counts fit the file, else why
// not. A header that cannot be made out is left to the importer.
std::string CheckPlyCounts(std::string_view text) {
  // The header must end with "end_header" on a line of its own (spaces after it allowed): the
  // importer's header reader goes round for ever without it, or with anything else after it.
  const auto endsHeader = [&](std::size_t at) {
    if (at > 0 && text[at - 1] != '\n' && text[at - 1] != '\r') return false;
    const std::size_t after = text.find_first_not_of(" \t", at + 10);
    return after == std::string_view::npos || text[after] == '\n' || text[after] == '\r';
  };
  std::size_t end = text.find("end_header");
  while (end != std::string_view::npos && !endsHeader(end)) end = text.find("end_header", end + 1);
  if (end == std::string_view::npos) return "the PLY header has no end_header line";
  const std::size_t bodyStart = std::min(text.find('\n', end), text.size());
  const std::uint64_t body = text.size() - bodyStart;
  bool binary = false;
  std::uint64_t need = 0, count = 0, bytes = 0, values = 0;
  std::set<std::string> names;
  const auto addElement = [&] {
    const std::uint64_t each = std::max<std::uint64_t>(1, binary ? bytes : 2 * values);
    need += count > body ? body + 1 : count * each;
  };
  std::size_t at = 0;
  // Past the first line ("ply"), every line must be one the format defines, with known types:
  // the importer reads past the end of a binary file whose header it could not make out.
  bool inElement = false;
  at = std::min(text.find('\n'), end) + 1;
  while (at < end) {
    const std::size_t next = std::min(text.find('\n', at), end);
    const std::vector<std::string_view> words = Words(text.substr(at, next - at));
    at = next + 1;
    if (words.empty() || words[0] == "comment" || words[0] == "obj_info") continue;
    if (words[0] == "format" && words.size() == 3) {
      binary = words[1] != "ascii";
    } else if (words[0] == "element" && words.size() == 3) {
      if (inElement) addElement();
      inElement = true;
      // The importer sizes an element's room by its first declaration and fills it by a later
      // one: a name declared twice makes it write past the room.
      if (!names.insert(std::string(words[1])).second)
        return "the PLY header declares the element " + std::string(words[1]) + " twice";
      if (!ReadCount(words[2], count)) return "the PLY header has an element count it cannot read";
      bytes = values = 0;
    } else if (words[0] == "property" && inElement &&
               (words.size() == 3 ? PlyTypeSize(words[1]) != 0
                                  : words.size() == 5 && words[1] == "list" &&
                                        PlyTypeSize(words[2]) != 0 && PlyTypeSize(words[3]) != 0)) {
      bytes += PlyTypeSize(words.size() == 3 ? words[1] : words[2]);
      ++values;
    } else {
      return "the PLY header has a line it cannot make out";
    }
  }
  if (inElement) addElement();
  return need > body ? "the PLY header counts more elements than the file holds" : "";
}

std::string CheckOffCounts(std::string_view text) {
  // The first word names the kind (OFF, COFF, NOFF, 4OFF...); the counts follow, after any
  // comment lines.
  std::vector<std::uint64_t> counts;
  std::size_t at = 0;
  bool first = true;
  while (counts.size() < 2 && at < text.size()) {
    const std::size_t next = std::min(text.find('\n', at), text.size());
    std::string_view line = text.substr(at, next - at);
    at = next + 1;
    line = line.substr(0, std::min(line.find('#'), line.size()));
    for (std::string_view word : Words(line)) {
      if (first && word.size() >= 3 && word.substr(word.size() - 3) == "OFF") {
        first = false;
        continue;
      }
      first = false;
      std::uint64_t count = 0;
      if (!ReadCount(word, count)) return "the OFF header has a count it cannot read";
      counts.push_back(count);
      if (counts.size() == 2) break;
    }
  }
  if (counts.size() < 2) return {};
  const std::uint64_t left = text.size() - std::min(at, text.size());
  const bool fits =
      counts[0] <= left / 2 && counts[1] <= left / 2 && counts[0] + counts[1] <= left / 2;
  return fits ? "" : "the OFF header counts more vertices and faces than the file holds";
}

// The bytes of one archive entry, unpacked (stored or deflated), at most limit of them; false when
// the entry cannot be read.
bool UnpackEntry(const unsigned char* data, std::size_t size, std::size_t entry, std::size_t limit,
                 std::string& out) {
  const std::uint16_t method = Little16(data + entry + 10);
  const std::uint32_t packed = Little32(data + entry + 20), unpacked = Little32(data + entry + 24);
  const std::size_t local = Little32(data + entry + 42);
  if (unpacked > limit || local > size || size - local < 30 || Little32(data + local) != 0x04034b50)
    return false;
  const std::size_t start = local + 30 + Little16(data + local + 26) + Little16(data + local + 28);
  if (start > size || size - start < packed) return false;
  if (method == 0) {
    out.assign(reinterpret_cast<const char*>(data + start),
               std::min<std::size_t>(packed, unpacked));
    return true;
  }
  if (method != 8) return false;
  out.assign(unpacked, '\0');
  z_stream stream{};
  if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) return false;
  stream.next_in = const_cast<unsigned char*>(data + start);
  stream.avail_in = packed;
  stream.next_out = reinterpret_cast<unsigned char*>(out.data());
  stream.avail_out = unpacked;
  const int status = inflate(&stream, Z_FINISH);
  out.resize(unpacked - stream.avail_out);
  inflateEnd(&stream);
  return status == Z_STREAM_END || status == Z_OK || status == Z_BUF_ERROR;
}

// The value of attribute name in the tag text (name="value" or name='value'), empty when none.
std::string_view Attribute(std::string_view tag, std::string_view name) {
  for (std::size_t at = tag.find(name); at != std::string_view::npos; at = tag.find(name, at + 1)) {
    const bool starts = at > 0 && (tag[at - 1] == ' ' || tag[at - 1] == '\t' ||
                                   tag[at - 1] == '\n' || tag[at - 1] == '\r');
    std::size_t eq = at + name.size();
    while (eq < tag.size() && (tag[eq] == ' ' || tag[eq] == '\t')) ++eq;
    if (!starts || eq >= tag.size() || tag[eq] != '=') continue;
    std::size_t quote = eq + 1;
    while (quote < tag.size() && (tag[quote] == ' ' || tag[quote] == '\t')) ++quote;
    if (quote >= tag.size() || (tag[quote] != '"' && tag[quote] != '\'')) continue;
    const std::size_t end = tag.find(tag[quote], quote + 1);
    if (end == std::string_view::npos) return {};
    return tag.substr(quote + 1, end - quote - 1);
  }
  return {};
}

// The importer follows a 3MF object's components recursively: an object among its own
// components, or a long chain of them, ends the process on a full stack. Real files nest a few.
constexpr std::size_t kMaxComponentDepth = 64;

// An empty string when the components of every model part of the archive nest at most
// kMaxComponentDepth deep and never contain their own object, else why not.
std::string CheckComponents(const char* bytes, std::size_t size, std::size_t budget) {
  const auto* data = reinterpret_cast<const unsigned char*>(bytes);
  // CheckArchiveSizes found the directory; it is walked again here.
  std::size_t end = size - 22;
  const std::size_t lowest = size > 22 + 65535 ? size - 22 - 65535 : 0;
  while (Little32(data + end) != 0x06054b50) {
    if (end == lowest) return "not a zip archive";
    --end;
  }
  std::map<std::string, std::vector<std::string>, std::less<>> parts;  // object: its components
  const std::size_t entries = Little16(data + end + 10);
  std::size_t at = Little32(data + end + 16);
  for (std::size_t i = 0; i < entries; ++i) {
    const std::size_t nameLength = Little16(data + at + 28);
    if (at + 46 + nameLength > size) return "not a zip archive";
    const std::string_view name(bytes + at + 46, nameLength);
    if (name.size() >= 6 && name.substr(name.size() - 6) == ".model") {
      std::string xml;
      if (!UnpackEntry(data, size, at, budget, xml))
        return "an entry of the archive cannot be unpacked";
      std::string object;
      for (std::size_t tag = xml.find('<'); tag != std::string::npos;
           tag = xml.find('<', tag + 1)) {
        const std::size_t close = std::min(xml.find('>', tag), xml.size());
        const std::string_view text = std::string_view(xml).substr(tag, close - tag);
        const auto is = [&](std::string_view element) {
          const std::size_t colon = text.find(':');
          const std::string_view bare =
              colon != std::string_view::npos && colon < text.find_first_of(" \t\r\n/")
                  ? text.substr(colon + 1)
                  : text.substr(1);
          return bare.substr(0, element.size()) == element &&
                 (bare.size() == element.size() ||
                  std::string_view(" \t\r\n/>").find(bare[element.size()]) !=
                      std::string_view::npos);
        };
        if (is("object")) {
          object = std::string(Attribute(text, "id"));
          parts[object];
        } else if (is("component")) {
          parts[object].push_back(std::string(Attribute(text, "objectid")));
        }
      }
    }
    at += 46 + nameLength + Little16(data + at + 30) + Little16(data + at + 32);
  }
  // Depth first from every object, without recursion: an object met again on the path is its own
  // component.
  std::map<std::string, std::size_t, std::less<>> depth;  // finished objects: their depth
  for (const auto& [start, components] : parts) {
    if (depth.count(start) != 0) continue;
    std::vector<std::pair<std::string, std::size_t>> path = {{start, 0}};
    std::set<std::string, std::less<>> onPath = {start};
    while (!path.empty()) {
      auto& [object, next] = path.back();
      const auto found = parts.find(object);
      const std::vector<std::string> none;
      const std::vector<std::string>& children = found != parts.end() ? found->second : none;
      if (next < children.size()) {
        const std::string child = children[next++];
        if (onPath.count(child) != 0) return "a 3MF object is among its own components";
        if (depth.count(child) != 0) continue;
        if (path.size() >= kMaxComponentDepth)
          return "3MF components nest deeper than " + std::to_string(kMaxComponentDepth);
        path.push_back({child, 0});
        onPath.insert(child);
        continue;
      }
      std::size_t deepest = 0;
      for (const std::string& child : children) {
        const auto known = depth.find(child);
        if (known != depth.end()) deepest = std::max(deepest, known->second + 1);
      }
      if (deepest > kMaxComponentDepth)
        return "3MF components nest deeper than " + std::to_string(kMaxComponentDepth);
      depth[object] = deepest;
      onPath.erase(object);
      path.pop_back();
    }
  }
  return {};
}

// The importer reads glTF's JSON recursively, one call per level of nesting: a file nesting a
// million arrays ends the process on a full stack. Real files nest a few levels.
constexpr int kMaxJsonDepth = 256;

// An empty string when the JSON text nests at most kMaxJsonDepth levels, else why not.
std::string CheckJsonDepth(std::string_view json) {
  int depth = 0;
  bool inString = false, escaped = false;
  for (char c : json) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxJsonDepth)
        return "the JSON nests deeper than " + std::to_string(kMaxJsonDepth) + " levels";
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return {};
}

// The importer makes room for a GLB chunk by the length its header gives before reading it: a
// small file claiming gigabytes makes it take them. An empty string when the lengths fit the
// file, else why not.
std::string CheckGlbLengths(std::string_view bytes) {
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  if (bytes.size() < 20 || bytes.substr(0, 4) != "glTF") return {};  // the importer refuses it
  const std::uint32_t version = Little32(data + 4);
  const char* const tooLong = "the GLB header gives lengths beyond the end of the file";
  if (Little32(data + 8) > bytes.size()) return tooLong;
  if (version == 1) return Little32(data + 12) > bytes.size() - 20 ? tooLong : "";
  for (std::size_t at = 12; bytes.size() - at >= 8;) {
    const std::uint32_t length = Little32(data + at);
    if (length > bytes.size() - at - 8) return tooLong;
    at += 8 + length;
  }
  return {};
}

// The JSON of a GLB file: the first chunk of version 2, the content of version 1; all of it
// when the header is neither (the importer refuses such a file anyway).
std::string_view GlbJson(std::string_view bytes) {
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  if (bytes.size() < 20 || bytes.substr(0, 4) != "glTF") return bytes;
  const std::uint32_t version = Little32(data + 4), length = Little32(data + 12);
  const std::size_t start = 20;
  if (version == 2 && bytes.substr(16, 4) != "JSON") return bytes;
  if (version != 1 && version != 2) return bytes;
  return bytes.substr(start, std::min<std::size_t>(length, bytes.size() - start));
}

std::string TooLarge() {
  return "the file, with the files it refers to, is larger than " +
         std::to_string(MaxImportedBytes() >> 20) +
         " MB, the most that is read of one (1/32 of "
         "the memory)";
}

// Imports size bytes named name (the main file); mayOpenFiles: files it refers to are read too.
cMeshData ImportNamed(const char* bytes, std::size_t size, const std::string& name,
                      bool mayOpenFiles, cMeshFormat format, const cProgress& progress) {
  const std::size_t budget = MaxImportedBytes();
  if (size > budget) return Failed(EFBIG, TooLarge());
  if (format == cMeshFormat::ThreeMf) {
    if (const int error = CheckArchiveSizes(bytes, size, budget - size); error != 0)
      return Failed(error, error == EFBIG ? TooLarge()
                                          : "not a zip archive, or one that lies about its sizes");
    if (std::string why = CheckComponents(bytes, size, budget - size); !why.empty())
      return Failed(kUnreadableFile, std::move(why));
  }
  const std::string_view text(bytes, size);
  std::string unfit = format == cMeshFormat::Ply    ? CheckPlyCounts(text)
                      : format == cMeshFormat::Off  ? CheckOffCounts(text)
                      : format == cMeshFormat::Gltf ? CheckJsonDepth(text)
                      : format == cMeshFormat::Glb  ? CheckGlbLengths(text)
                                                    : std::string();
  if (unfit.empty() && format == cMeshFormat::Glb) unfit = CheckJsonDepth(GlbJson(text));
  if (!unfit.empty()) return Failed(kUnreadableFile, std::move(unfit));
  cMeshData data;
  bool stopped = false, tooLarge = false;
  try {
    Assimp::Importer importer;
    KeepLoadersOf(importer, ExtensionOf(format));
    importer.SetIOHandler(new cBoundedFiles(name, bytes, size, mayOpenFiles, budget, tooLarge));
    importer.SetProgressHandler(new cForwardProgress(progress, stopped));
    importer.SetPropertyBool(AI_CONFIG_IMPORT_NO_SKELETON_MESHES, true);
    // No step that joins, sorts, splits or moves anything: the scene is checked (indices in
    // range and the like), then polygons become triangles. Loaders may mark a mesh as holding
    // polygons when no face of it has more than three corners, which the cutting takes for a
    // broken scene; the marks are made again from the faces before it runs.
    const aiScene* scene = importer.ReadFile(name, aiProcess_ValidateDataStructure);
    if (scene != nullptr && !stopped) {
      if (!MarkPrimitiveTypes(const_cast<aiScene&>(*scene)))
        return Failed(kUnreadableFile, "a face has no corners");
      scene = importer.ApplyPostProcessing(aiProcess_Triangulate);
    }
    if (stopped) return Failed(ECANCELED);
    if (tooLarge) return Failed(EFBIG, TooLarge());
    if (scene == nullptr) {
      const char* reason = importer.GetErrorString();
      // Loaders report a failed allocation as an error of their own.
      if (reason != nullptr && std::strstr(reason, "bad_alloc") != nullptr) return Failed(ENOMEM);
      return Failed(kUnreadableFile, reason != nullptr && *reason != '\0' ? reason : "");
    }
    if (const int error = TakeTriangles(*scene, progress, data.triangles); error != 0)
      return Failed(error, error == kUnreadableFile ? "the scene's nodes cannot be walked" : "");
  } catch (const std::bad_alloc&) {
    return Failed(ENOMEM);
  } catch (const std::exception& error) {
    return Failed(kUnreadableFile, error.what());
  } catch (...) {
    return Failed(kUnreadableFile);
  }
  if (!KeepGoing(progress, "reading", 1.0)) return Failed(ECANCELED);
  if (!data.triangles.empty()) data.box = ComputeBoundBox(data.triangles);
  return data;
}

// ImportNamed, with the kind of file named in the reason why it could not be read.
cMeshData Import(const char* bytes, std::size_t size, const std::string& name, bool mayOpenFiles,
                 cMeshFormat format, const cProgress& progress) {
  cMeshData data = ImportNamed(bytes, size, name, mayOpenFiles, format, progress);
  if (data.error == kUnreadableFile) {
    data.message = std::string("not a readable .") + ExtensionOf(format) + " file" +
                   (data.message.empty() ? "" : ": " + data.message);
  }
  return data;
}

}  // namespace

std::size_t MaxImportedBytes() {
  const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || pageSize <= 0) return std::size_t{1} << 30;  // unknown: 1 GiB
  return static_cast<std::size_t>(pages) * static_cast<std::size_t>(pageSize) / 32;
}

cMeshData ImportMeshFile(const std::string& path, cMeshFormat format, const cProgress& progress) {
  if (!KeepGoing(progress, "reading", 0.0)) return Failed(ECANCELED);
  std::string bytes;
  try {
    if (const int error = ReadRegularFile(path, MaxImportedBytes(), bytes); error != 0)
      return Failed(error, error == EFBIG ? TooLarge() : "");
  } catch (const std::bad_alloc&) {
    return Failed(ENOMEM);
  }
  return Import(bytes.data(), bytes.size(), path, true, format, progress);
}

cMeshData ImportMeshMemory(const void* bytes, std::size_t size, cMeshFormat format,
                           const cProgress& progress) {
  if (!KeepGoing(progress, "reading", 0.0)) return Failed(ECANCELED);
  static const char kNothing = '\0';
  const char* at = size > 0 ? static_cast<const char*>(bytes) : &kNothing;
  return Import(at, size, std::string("mesh.") + ExtensionOf(format), false, format, progress);
}
