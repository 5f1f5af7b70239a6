// ReadMeshFile and ReadMeshMemory: the file's name (or the format given) picks the reader.
#include "io/mesh_reading.h"

#include <iterator>
#include <string>

#include "reading_internal.h"

namespace {

char Lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The format of an extension given without its dot.
cMeshFormat FormatOfExtension(std::string_view extension) {
  if (extension.empty()) return cMeshFormat::Stl;
  std::string lower;
  for (char c : extension) lower += Lower(c);
  static constexpr cMeshFormat kFormats[] = {
      cMeshFormat::Stl,  cMeshFormat::Obj, cMeshFormat::Ply,    cMeshFormat::Off,
      cMeshFormat::Gltf, cMeshFormat::Glb, cMeshFormat::ThreeMf};
  static_assert(std::size(kFormats) == std::size(kMeshExtensions));
  for (std::size_t i = 0; i < std::size(kFormats); ++i) {
    if (lower == kMeshExtensions[i] + 1) return kFormats[i];
  }
  return cMeshFormat::Unknown;
}

cMeshData Refused(std::string_view extension) {
  cMeshData data;
  data.error = kUnknownFormat;
  data.message = "unknown kind of mesh file '." + std::string(extension) +
                 "' (known: " + kMeshExtensionList + ")";
  return data;
}

std::string_view ExtensionOfName(std::string_view name) {
  const std::size_t slash = name.rfind('/');
  const std::string_view last = slash == std::string_view::npos ? name : name.substr(slash + 1);
  const std::size_t dot = last.rfind('.');
  return dot == std::string_view::npos ? std::string_view() : last.substr(dot + 1);
}

}  // namespace

cMeshFormat MeshFormatOfName(std::string_view name) {
  return FormatOfExtension(ExtensionOfName(name));
}

cMeshData ReadMeshFile(const std::string& path, const cProgress& progress) {
  const cMeshFormat format = MeshFormatOfName(path);
  if (format == cMeshFormat::Unknown) return Refused(ExtensionOfName(path));
  if (format == cMeshFormat::Stl) return ReadStlFile(path, progress);
  return ImportMeshFile(path, format, progress);
}

cMeshData ReadMeshMemory(const void* bytes, std::size_t size, const cProgress& progress,
                         std::string_view format) {
  if (!format.empty() && format.front() == '.') format.remove_prefix(1);
  const cMeshFormat kind = FormatOfExtension(format);
  if (kind == cMeshFormat::Unknown) return Refused(format);
  if (kind == cMeshFormat::Stl) return ReadStlMemory(bytes, size, progress);
  return ImportMeshMemory(bytes, size, kind, progress);
}
