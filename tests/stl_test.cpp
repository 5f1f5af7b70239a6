#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <tuple>

#include "geometry/mesh.h"
#include "io/stl.h"
#include "io/stl_internal.h"
#include "platform/platform.h"
#include "tests/support/platform_test.h"

namespace {

std::string Fixture(const std::string& name) {
  return std::string(CD_FIXTURES) + "/" + name;
}
std::string TempPrefix() {
  return testing::TempDir() + "cd_stl_" + std::to_string(getpid()) + "_";
}

std::string WriteTemp(const std::string& name, const std::string& bytes) {
  std::ofstream(TempPrefix() + name, std::ios::binary) << bytes;
  return TempPrefix() + name;
}

std::string Text(const cVec3& v) {
  std::ostringstream s;
  s << '(' << v.x << ',' << v.y << ',' << v.z << ')';
  return s.str();
}

// The triangles read from path as text, after checking that the box is the one of what was read.
std::string Load(const std::string& path) {
  cMesh mesh;
  if (!LoadStlFile(path, mesh)) return "not opened";
  std::string text, box = Text(cVec3()) + Text(cVec3());
  for (const cTriangle& t : mesh.triangles) {
    text += Text(t.vertex[0]) + Text(t.vertex[1]) + Text(t.vertex[2]) + ' ';
  }
  if (!mesh.triangles.empty()) {
    box = Text(ComputeBoundBox(mesh.triangles).min) + Text(ComputeBoundBox(mesh.triangles).max);
  }
  EXPECT_EQ(Text(mesh.box.min) + Text(mesh.box.max), box) << path;
  return text;
}

std::string LoadBytes(const std::string& name, const std::string& bytes) {
  const std::string path = WriteTemp(name, bytes), text = Load(path);
  std::remove(path.c_str());
  return text;
}

// A binary file: 80-byte header, count, and per 9 values one record (normal, corners, attribute).
std::string Binary(std::string header, std::uint32_t count, const std::vector<float>& corners) {
  static_assert(std::endian::native == std::endian::little);
  const float normal[3] = {0.6f, -0.8f, 0.0f};  // ignored, like the attribute
  header.resize(80, ' ');
  header.append(reinterpret_cast<const char*>(&count), 4);
  for (std::size_t i = 0; i + 9 <= corners.size(); i += 9) {
    header.append(reinterpret_cast<const char*>(normal), 12);
    header.append(reinterpret_cast<const char*>(&corners[i]), 36) += "\x7f\x01";
  }
  return header;
}

const std::string abc = "(1,2,3)(4,5,6)(7,8,9) ", zero = "(0,0,0)";

TEST(TextStl, FacetsInFileOrderWithCornersFromTheirVertexLines) {
  const std::pair<const char*, std::string> cases[] = {
      {"tetrahedron.stl",
       "(0,0,0)(0,3,0)(2.5,0,0) (0,0,0)(2.5,0,0)(0,0,4) (0,0,0)(0,0,4)(0,3,0) "
       "(2.5,0,0)(0,3,0)(0,0,4) "},
      {"capital_keywords.stl", abc},
      {"capital_exponent.stl", "(150,-0.2,30)(1,20,-0.0425)(0,0,1000) "},
      {"two_vertex_lines.stl", "(1,2,3)(4,5,6)(0,0,0) (7,8,9)(10,11,12)(13,14,15) "},
      {"vertex_two_numbers.stl", "(1,2,0)(4,0,0)(7,8,9) "},
      {"word_before_vertex.stl", "(0,0,0)(4,5,6)(7,8,9) "},
      {"outer_loop_last_line.stl", abc + zero + zero + zero + " "},
      {"truncated_facet_at_end.stl", abc + "(10,11,12)" + zero + zero + " "},
      {"huge_coordinates.stl", "(inf,-inf,nan)(-inf,inf,1)(0,0,0) "},
      {"no_outer_loop.stl", ""},
      {"empty.stl", ""},
  };
  for (const auto& [file, expected] : cases) EXPECT_EQ(Load(Fixture(file)), expected) << file;
  cMesh cube;
  ASSERT_TRUE(LoadStlFile(Fixture("cube.stl"), cube));
  EXPECT_EQ(cube.GetTriangleCount(), 12u);
  EXPECT_EQ(Text(cube.box.min) + Text(cube.box.max), "(-1,-2,-3)(1,2,3)");
}

TEST(TextStl, LongLinesArriveIn255CharacterPieces) {
  const std::string corners = "vertex 1 2 3\nvertex 4 5 6\nvertex 7 8 9\n";
  const char nul[] = "outer\0loop\nouter loop\0x\nvertex 1 2 3\0 9\nvertex\0 4 5 6\nvertex 7 8 9\n";
  const std::tuple<const char*, std::string, std::string> cases[] = {
      {"crlf", "solid\r\nouter loop\r\n" + corners, abc},
      {"straddling", std::string(250, 'x') + "outer loop\n" + corners, ""},
      {"later_piece", std::string(255, 'x') + "outer loop\n" + std::string(255, ' ') + corners,
       "(0,0,0)(1,2,3)(4,5,6) "},
      {"nul_bytes", std::string(nul, sizeof nul - 1), "(1,2,3)(0,0,0)(7,8,9) "},
      {"megabytes", std::string(255 * 40000, 'x') + "outer loop" + std::string(1 << 20, 'y'),
       zero + zero + zero + " "},
  };
  for (const auto& [name, text, expected] : cases) {
    EXPECT_EQ(LoadBytes(name, text), expected) << name;
  }
}

TEST(TextStl, NumbersReadTheSameUnderADecimalCommaLocale) {
  const std::string plain = Load(Fixture("capital_exponent.stl"));
  bool found = false;
  for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "de_DE", "fr_FR"}) {
    found = std::setlocale(LC_ALL, name) != nullptr && *std::localeconv()->decimal_point == ',';
    if (found) break;
  }
  const std::string comma = found ? Load(Fixture("capital_exponent.stl")) : "";
  std::setlocale(LC_ALL, "C");
  if (!found) GTEST_SKIP() << "no locale with a decimal comma is available here";
  EXPECT_EQ(comma, plain);
}

TEST(BinaryStl, OnlyAnExactSizeMakesAFileBinary) {
  const std::vector<float> three{1,     2,     3, 4, 5,  6,  7, 8, 9,   // one triangle a line
                                 -1.5f, 0,     2, 0, -7, 0,  3, 3, 3,   //
                                 0.25f, 1e-3f, 9, 8, 8,  -8, 0, 0, 0};  //
  const std::string text = "\nouter loop\nvertex 1 2 3\nvertex 4 5 6\nvertex 7 8 9\n";
  const std::tuple<const char*, std::string, std::string> cases[] = {
      {"three", Binary("solid looks like text", 3, three),
       abc + "(-1.5,0,2)(0,-7,0)(3,3,3) (0.25,0.001,9)(8,8,-8)(0,0,0) "},
      {"none", Binary("", 0, {}), ""},
      {"extra_byte", Binary("", 3, three) + " ", ""},  // not binary, and no text either
      {"count_too_small", Binary("", 2, three), ""},
      {"huge_count", Binary("solid", 0xffffffffu, {}) + text, abc},
  };
  for (const auto& [name, bytes, expected] : cases) {
    EXPECT_EQ(LoadBytes(name, bytes), expected) << name;
  }
}

// A binary file of count zero-filled facets that takes no disk space: only its header is written.
std::string SparseBinary(const std::string& name, std::uint32_t count) {
  const std::string path = WriteTemp(name, Binary("sparse", count, {}));
  EXPECT_EQ(truncate(path.c_str(), 84 + 50 * static_cast<off_t>(count)), 0);
  return path;
}

TEST(BinaryStl, CountsBeyondMemoryAreRefusedAndOthersReadInBoundedSteps) {
  const std::uint64_t memory =
      static_cast<std::uint64_t>(sysconf(_SC_PHYS_PAGES)) * sysconf(_SC_PAGESIZE);
  if (memory / 2 / sizeof(cTriangle) >= 0xffffffffu) GTEST_SKIP() << "4G triangles fit here";
  // count, triangles read (-1: refused with ENOMEM before reading).
  const std::pair<std::uint32_t, long> cases[] = {
      {0xffffffffu, -1},
      {static_cast<std::uint32_t>(memory / 2 / sizeof(cTriangle) + 1), -1},
      {65537, 65537},    // one facet past the first step
      {200000, 200000},  // several steps, the last one cut to the count
  };
  for (const auto& [count, expected] : cases) {
    const std::string path = SparseBinary("sparse_" + std::to_string(count), count);
    cMesh mesh;
    errno = 0;
    const bool opened = LoadStlFile(path, mesh);
    std::remove(path.c_str());
    EXPECT_EQ(opened, expected >= 0) << count;
    if (expected < 0) {
      EXPECT_EQ(errno, ENOMEM) << count;
      EXPECT_EQ(mesh.triangles.capacity(), 0u) << count;
      continue;
    }
    ASSERT_EQ(mesh.triangles.size(), static_cast<std::size_t>(expected)) << count;
    EXPECT_LE(mesh.triangles.capacity(), static_cast<std::size_t>(count)) << count;
    EXPECT_EQ(Text(mesh.triangles.back().vertex[2]), zero);
  }
}

// ---------------------------------------------------------------------------------------------
// The chunked readers against the line reader and the facet-by-facet reader

std::string TriangleBytes(const cTriangleList& triangles) {
  return std::string(reinterpret_cast<const char*>(triangles.data()),
                     triangles.size() * sizeof(cTriangle));
}

// The progress reports of a read.
class cProgressRecorder final : public cPlatform {
 public:
  void Progress(const char* step, double fraction) override {
    reports.emplace_back(step, fraction);
  }
  void ShowMessage(const std::string&, const std::string&) override {}
  void StartThread(std::function<void()>, std::atomic<cThreadHandle>&) override {}
  std::optional<std::string> ChooseStlFile(const std::string&) override { return std::nullopt; }
  void RunOptionsDialog() override {}
  void RequestQuit(int) override {}
  std::vector<std::pair<std::string, double>> reports;
};

// Both readers over the same file; the triangles must agree bit for bit (NaN payloads, -0), and
// the progress reports exactly.
void ExpectSameTriangles(const std::string& bytes, std::uint32_t binaryCount = 0) {
  const std::string path = WriteTemp("differential.stl", bytes);
  cTriangleList slow, fast;
  cProgressRecorder slowProgress, fastProgress;
  for (bool quick : {false, true}) {
    SetPlatform(quick ? &fastProgress : &slowProgress);
    std::FILE* file = std::fopen(path.c_str(), "r");
    ASSERT_NE(file, nullptr);
    cTriangleList& into = quick ? fast : slow;
    if (binaryCount != 0) {
      (quick ? ReadBinaryFacets : ReadBinaryByFacets)(file, binaryCount, into);
    } else {
      (quick ? ScanText : ScanTextByLines)(file, into);
    }
    std::fclose(file);
  }
  SetPlatform(nullptr);
  std::remove(path.c_str());
  EXPECT_EQ(fastProgress.reports, slowProgress.reports);
  EXPECT_EQ(fast.size(), slow.size());
  EXPECT_TRUE(TriangleBytes(fast) == TriangleBytes(slow));
}

// A number in one of the spellings files hold, common or odd.
std::string RandomNumber(std::mt19937& random) {
  static const char* const odd[] = {"1e-45",
                                    "1e-46",
                                    "7e-46",
                                    "1.17549e-38",
                                    "3.4028235e38",
                                    "3.5e38",
                                    "1e39",
                                    "0x1p3",
                                    "0X1P-3",
                                    "0x",
                                    "inf",
                                    "-inf",
                                    "nan",
                                    "NaN",
                                    "nan(1)",
                                    "INFINITY",
                                    "+1",
                                    "+.5",
                                    ".5",
                                    "5.",
                                    "-.5",
                                    "-0",
                                    "-0.0",
                                    "1e",
                                    "1e+",
                                    "1e99999",
                                    "1E5",
                                    "1.5abc",
                                    "1,5",
                                    "--1",
                                    ".",
                                    "-",
                                    "e5",
                                    "00012",
                                    "1e-99999",
                                    "123456789012345678901234567890",
                                    "0.000000000000000000000000000000000000000000001"};
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  char text[64];
  switch (random() % 8) {
    case 0:
      return odd[random() % std::size(odd)];
    case 1:
      std::snprintf(text, sizeof text, "%.9g", unit(random) * std::pow(10.0, random() % 80 - 40.0));
      break;
    case 2:
      std::snprintf(text, sizeof text, "%e", unit(random) * 1000);
      break;
    case 3:
      std::snprintf(text, sizeof text, "%.17g", unit(random));
      break;
    case 4:
      std::snprintf(text, sizeof text, "%d", static_cast<int>(random() % 2001) - 1000);
      break;
    case 5: {  // digits around 2^24 and powers of ten around 10^10, in and out of the short way
      const long digits = 16777216L + static_cast<long>(random() % 9) - 4 -
                          (random() % 2 ? static_cast<long>(random() % 16777216L) : 0);
      const int exponent = static_cast<int>(random() % 27) - 13;
      const int pointAt = static_cast<int>(random() % 9);  // digits after the point
      std::string number = std::to_string(digits);
      if (pointAt > 0 && pointAt < static_cast<int>(number.size()))
        number.insert(number.size() - pointAt, ".");
      std::snprintf(text, sizeof text, "%s%se%d", random() % 2 ? "-" : "", number.c_str(),
                    exponent);
      break;
    }
    default:
      std::snprintf(text, sizeof text, "%.6f", unit(random) * 100);
  }
  return text;
}

std::string RandomSpace(std::mt19937& random) {
  static const char* const spaces[] = {" ", " ", "  ", "\t", " \t ", "\v", "\f", "\r", ""};
  return spaces[random() % std::size(spaces)];
}

// A text file of facets, most of them well formed, some with odd lines.
std::string RandomTextStl(std::mt19937& random, int facets) {
  const std::string eol = random() % 4 == 0 ? "\r\n" : "\n";
  std::string text = "solid random" + eol;
  for (int f = 0; f < facets; ++f) {
    text += "  facet normal 0 0 1" + eol;
    text += random() % 10 == 0 ? "OUTER LOOP" + eol : "    outer loop" + eol;
    for (int v = 0; v < 3; ++v) {
      std::string line = RandomSpace(random) + (random() % 12 == 0 ? "VERTEX" : "vertex");
      const int numbers = random() % 10 == 0 ? static_cast<int>(random() % 5) : 3;
      for (int k = 0; k < numbers; ++k) {
        const std::string space = RandomSpace(random);
        line += (space.empty() ? " " : space) + RandomNumber(random);
      }
      if (random() % 15 == 0) line += " junk";
      if (random() % 40 == 0) line = "word " + line;
      if (random() % 60 == 0) line = std::string(200 + random() % 120, ' ') + line;
      text += line + RandomSpace(random) + eol;
    }
    text += "    endloop" + eol + "  endfacet" + eol;
  }
  return text + "endsolid random" + eol;
}

// Truncation, cut-out or repeated ranges, junk, NUL bytes and changed letter case.
std::string Mutate(std::mt19937& random, std::string text) {
  for (int m = static_cast<int>(random() % 4); m > 0 && !text.empty(); --m) {
    const std::size_t at = random() % text.size();
    switch (random() % 6) {
      case 0:
        text.resize(at);
        break;
      case 1:
        text.erase(at, random() % 40);
        break;
      case 2:
        text.insert(at, text.substr(random() % text.size(), random() % 300));
        break;
      case 3:
        text.insert(at, std::string(1 + random() % 300, static_cast<char>(random())));
        break;
      case 4:
        text[at] = random() % 3 == 0 ? '\0' : static_cast<char>(random());
        break;
      default:
        for (std::size_t i = at; i < std::min(text.size(), at + 64); ++i)
          text[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[i])));
    }
  }
  return text;
}

TEST(ChunkedReaders, TextSameAsTheLineReaderOnGeneratedAndMutatedFiles) {
  std::mt19937 random(31337u);
  for (int round = 0; round < 1500; ++round) {
    SCOPED_TRACE(round);
    const std::string text = RandomTextStl(random, 1 + static_cast<int>(random() % 12));
    ExpectSameTriangles(round % 3 == 0 ? text : Mutate(random, text));
    if (testing::Test::HasFailure()) break;
  }
  // Pieces that straddle the reader's chunks, and every fixture.
  ExpectSameTriangles(RandomTextStl(random, 20000));
  ExpectSameTriangles(std::string((1 << 20) - 3, ' ') + "outer loop\nvertex 1 2 3\n\r\nvertex 4");
  ExpectSameTriangles(std::string((1 << 20) - 300, 'x') + "\n" + RandomTextStl(random, 3));
  for (const char* name : {"cube.stl", "capital_exponent.stl", "huge_coordinates.stl",
                           "truncated_facet_at_end.stl", "outer_loop_last_line.stl"}) {
    std::ifstream in(Fixture(name), std::ios::binary);
    ExpectSameTriangles(std::string{std::istreambuf_iterator<char>(in), {}});
  }
}

TEST(ChunkedReaders, BinarySameAsTheFacetReader) {
  std::mt19937 random(4711u);
  for (std::uint32_t facets : {1u, 3u, 20970u, 20971u, 50000u}) {
    std::string bytes(84 + 50 * std::size_t{facets}, '\0');
    for (char& b : bytes) b = static_cast<char>(random());
    for (std::uint32_t claimed : {facets, facets + 7}) ExpectSameTriangles(bytes, claimed);
  }
}

TEST(BadInput, RandomBytesDirectoriesAndMissingFiles) {
  std::mt19937 random(20240611u);
  std::string bytes(1 << 20, '\0');
  for (char& b : bytes) b = static_cast<char>(random());
  EXPECT_EQ(LoadBytes("random", bytes), "");
  EXPECT_EQ(Load(TempPrefix() + "missing.stl"), "not opened");
}

TEST(BadInput, AnythingButARegularFileIsNotOpened) {
  // Reading would wait for a writer (FIFO) or never end (/dev/zero, /dev/urandom).
  const std::string fifo = TempPrefix() + "fifo.stl";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::pair<std::string, int> cases[] = {{testing::TempDir(), EISDIR},
                                               {fifo, EINVAL},
                                               {"/dev/zero", EINVAL},
                                               {"/dev/urandom", EINVAL}};
  for (const auto& [path, error] : cases) {
    cMesh mesh;
    errno = 0;
    EXPECT_FALSE(LoadStlFile(path, mesh)) << path;
    EXPECT_EQ(errno, error) << path;
    EXPECT_TRUE(mesh.triangles.empty()) << path;
  }
  std::remove(fifo.c_str());
}

TEST(BadInput, UnreadableFileIsNotOpened) {
  if (geteuid() == 0) GTEST_SKIP() << "running as root: file permissions do not stop reading";
  const std::string path = WriteTemp("unreadable.stl", "outer loop\nvertex 1 2 3\n");
  chmod(path.c_str(), 0);
  EXPECT_EQ(Load(path), "not opened");
  std::remove(path.c_str());
}

TEST(OpenCommand, ReplacesTheMeshAndRemembersTheChosenName) {
  cFakePlatform fake;
  SetPlatform(&fake);
  const std::string tetra = Fixture("tetrahedron.stl");
  std::ifstream in(tetra);
  const std::string content{std::istreambuf_iterator<char>(in), {}};
  const std::string shortName = WriteTemp("s", content);
  // Far beyond a fixed 128-character name buffer: long paths must open too.
  const std::string longName = WriteTemp(std::string(200, 'l'), content);
  const std::tuple<std::optional<std::string>, unsigned, std::string> steps[] = {
      {tetra, 4, tetra},
      {std::nullopt, 0, tetra},
      {longName, 4, longName},
      {shortName, 4, shortName}};
  cMesh* current = nullptr;
  fake.whileFileDialogOpen = [&] {
    EXPECT_TRUE(current != nullptr && current->components.empty());  // the new mesh
  };
  std::string last;
  int destroyed = 0, step = 0;
  for (const auto& [answer, count, remembered] : steps) {
    if (current != nullptr) current->components.emplace_back(new cCountedComponent(destroyed));
    fake.nextFile = answer;
    OpenMesh(current, last);
    ASSERT_NE(current, nullptr);
    EXPECT_EQ(destroyed, step++);  // every earlier mesh died with its component
    EXPECT_TRUE(current->components.empty());
    EXPECT_EQ(current->GetTriangleCount(), count);
    EXPECT_EQ(current->box.max.x, count == 0 ? 0.0f : 2.5f);
    EXPECT_EQ(last, remembered);
  }
  // Other kinds of file open the same way; one that cannot be read leaves the new mesh empty.
  const std::string objects = Fixture("formats_two_objects.obj");
  fake.nextFile = objects;
  EXPECT_TRUE(OpenMesh(current, last));
  EXPECT_EQ(current->GetTriangleCount(), 3u);
  EXPECT_EQ(current->box.max.y, 3.0f);
  const std::string broken = WriteTemp("broken.ply", "ply\nformat ascii 1.0\n");
  fake.nextFile = broken;
  errno = 0;
  EXPECT_FALSE(OpenMesh(current, last));
  EXPECT_EQ(errno, kUnreadableFile);
  EXPECT_EQ(current->GetTriangleCount(), 0u);
  std::remove(broken.c_str());
  EXPECT_EQ(fake.FileDialogs(),
            (std::vector<std::string>{"", tetra, tetra, longName, shortName, objects}));
  EXPECT_TRUE(fake.Messages().empty());
  delete current;
  SetPlatform(nullptr);
  std::remove(shortName.c_str());
  std::remove(longName.c_str());
}

// --- The other formats, through the importer ---------------------------------------------------

// A triangle as text with its corners rounded to 1e-4 and started at its smallest corner, which
// keeps the winding: importers may start a face at another of its corners.
std::string Canonical(const cTriangle& t) {
  std::string corners[3];
  for (int k = 0; k < 3; ++k) {
    const cVec3& v = t.vertex[k];
    const auto round = [](float x) { return std::round(x * 1e4f) / 1e4f + 0.0f; };
    corners[k] = Text(cVec3(round(v.x), round(v.y), round(v.z)));
  }
  const int first = static_cast<int>(std::min_element(corners, corners + 3) - corners);
  return corners[first] + corners[(first + 1) % 3] + corners[(first + 2) % 3];
}

std::vector<std::string> Canonical(const cMeshData& data) {
  std::vector<std::string> text;
  for (const cTriangle& t : data.triangles) text.push_back(Canonical(t));
  return text;
}

std::string Corners(std::initializer_list<cVec3> corners) {
  cTriangle t;
  std::copy(corners.begin(), corners.end(), t.vertex);
  return Canonical(t);
}

std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

struct cFormatCase {
  const char* fixture;
  std::vector<std::string> triangles;  // Corners, in file order
};

const std::vector<cFormatCase>& FormatCases() {
  using V = cVec3;
  // Two PLY files, text and binary: a triangle, then a quad beside it.
  const std::vector<std::string> ply = {Corners({V(0, 0, 0), V(1, 0, 0), V(0, 1, 0)}),
                                        Corners({V(2, 0, 0), V(3, 0, 0), V(3, 1, 0)}),
                                        Corners({V(2, 0, 0), V(3, 1, 0), V(0, 1, 0)})};
  // The tetrahedron of the 3MF file, moved 5 along x by its build item.
  const V a(5, 0, 0), b(6, 0, 0), c(5, 1, 0), d(5, 0, 1);
  static const std::vector<cFormatCase> cases = {
      // A square as one quad, a triangle as a second object; the line between them is left out.
      {"formats_two_objects.obj",
       {Corners({V(0, 0, 0), V(1, 0, 0), V(1, 1, 0)}),
        Corners({V(0, 0, 0), V(1, 1, 0), V(0, 1, 0)}),
        Corners({V(0, 0, 1), V(2, 0, 1), V(0, 3, 1)})}},
      {"formats_ascii.ply", ply},
      {"formats_binary.ply", ply},
      // A square pyramid: the quad base, then the four sides.
      {"formats_pyramid.off",
       {Corners({V(0, 0, 0), V(0, 2, 0), V(2, 2, 0)}),
        Corners({V(0, 0, 0), V(2, 2, 0), V(2, 0, 0)}),
        Corners({V(0, 0, 0), V(2, 0, 0), V(1, 1, 3)}),
        Corners({V(2, 0, 0), V(2, 2, 0), V(1, 1, 3)}),
        Corners({V(2, 2, 0), V(0, 2, 0), V(1, 1, 3)}),
        Corners({V(0, 2, 0), V(0, 0, 0), V(1, 1, 3)})}},
      // One triangle placed twice: under a node moved 10 along x, by a child scaling it 2 times,
      // then by a second root node as it is.
      {"formats_nodes.gltf",
       {Corners({V(10, 0, 0), V(12, 0, 0), V(10, 2, 0)}),
        Corners({V(0, 0, 0), V(1, 0, 0), V(0, 1, 0)})}},
      // The same with the buffer inside, the first node turning a quarter about z instead.
      {"formats_nodes.glb",
       {Corners({V(0, 0, 0), V(0, 2, 0), V(-2, 0, 0)}),
        Corners({V(0, 0, 0), V(1, 0, 0), V(0, 1, 0)})}},
      {"formats_tetrahedron.3mf",
       {Corners({a, c, b}), Corners({a, b, d}), Corners({b, c, d}), Corners({a, d, c})}},
  };
  return cases;
}

TEST(MeshFormats, EveryMeshOfTheFileInItsNodesPlaceInFileOrder) {
  for (const cFormatCase& row : FormatCases()) {
    SCOPED_TRACE(row.fixture);
    const std::string path = Fixture(row.fixture);
    const cMeshData read = ReadMeshFile(path);
    ASSERT_EQ(read.error, 0) << read.message;
    EXPECT_EQ(Canonical(read), row.triangles);
    EXPECT_EQ(
        std::memcmp(&read.box, &static_cast<const cBoundBox&>(ComputeBoundBox(read.triangles)),
                    sizeof read.box),
        0);

    // The extension in capitals; from memory, with the format given in any case. A glTF file's
    // buffer beside it is out of reach from memory.
    const std::string extension = path.substr(path.rfind('.'));
    std::string upper = extension;
    for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    const std::string copy = WriteTemp("MODEL" + upper, FileBytes(path));
    if (extension != ".gltf") {
      EXPECT_EQ(Canonical(ReadMeshFile(copy)), row.triangles);
    }
    std::remove(copy.c_str());
    const std::string bytes = FileBytes(path);
    const cMeshData fromMemory = ReadMeshMemory(bytes.data(), bytes.size(), {}, upper);
    if (extension == ".gltf") {
      EXPECT_EQ(fromMemory.error, kUnreadableFile);
      EXPECT_NE(fromMemory.message.find("formats_triangle.bin"), std::string::npos);
    } else {
      EXPECT_EQ(Canonical(fromMemory), row.triangles);
      EXPECT_EQ(Canonical(ReadMeshMemory(bytes.data(), bytes.size(), {}, upper.substr(1))),
                row.triangles);
    }
  }
}

TEST(MeshFormats, TheNameTellsTheFormatAndUnknownExtensionsAreRefused) {
  const std::pair<const char*, cMeshFormat> names[] = {{"part.stl", cMeshFormat::Stl},
                                                       {"part", cMeshFormat::Stl},
                                                       {"part.", cMeshFormat::Stl},
                                                       {"scans.v2/part", cMeshFormat::Stl},
                                                       {"a/b.Obj", cMeshFormat::Obj},
                                                       {"scan.PLY", cMeshFormat::Ply},
                                                       {"x.off", cMeshFormat::Off},
                                                       {"scene.glTF", cMeshFormat::Gltf},
                                                       {"scene.GLB", cMeshFormat::Glb},
                                                       {"print.3MF", cMeshFormat::ThreeMf},
                                                       {"part.stl.gz", cMeshFormat::Unknown},
                                                       {"part.step", cMeshFormat::Unknown},
                                                       {".obj", cMeshFormat::Obj}};
  for (const auto& [name, format] : names) EXPECT_EQ(MeshFormatOfName(name), format) << name;

  // Refused by the name, before the file is looked at; the reason names the known extensions.
  const std::string step = WriteTemp("part.step", FileBytes(Fixture("cube.stl")));
  const cMeshData refused = ReadMeshFile(step);
  EXPECT_EQ(refused.error, kUnknownFormat);
  EXPECT_TRUE(refused.triangles.empty());
  EXPECT_EQ(refused.message,
            "unknown kind of mesh file '.step' (known: .stl .obj .ply .off .gltf .glb .3mf)");
  std::remove(step.c_str());
  EXPECT_EQ(ReadMeshMemory("solid", 5, {}, "stp").error, kUnknownFormat);
  // Without a format, and with an empty one, bytes are STL.
  const std::string cube = FileBytes(Fixture("cube.stl"));
  EXPECT_EQ(ReadMeshMemory(cube.data(), cube.size()).triangles.size(), 12u);
  EXPECT_EQ(ReadMeshMemory(cube.data(), cube.size(), {}, "").triangles.size(), 12u);
}

// A GLB file (version 2) around the JSON text, without a binary chunk.
std::string Glb(std::string json) {
  json.resize((json.size() + 3) / 4 * 4, ' ');
  const auto word = [](std::uint32_t value) {
    return std::string{static_cast<char>(value), static_cast<char>(value >> 8),
                       static_cast<char>(value >> 16), static_cast<char>(value >> 24)};
  };
  return "glTF" + word(2) + word(static_cast<std::uint32_t>(20 + json.size())) +
         word(static_cast<std::uint32_t>(json.size())) + "JSON" + json;
}

// A defined error, nothing kept and a reason, for a file the importer cannot read.
void ExpectUnreadable(const std::string& name, const std::string& bytes, int error) {
  SCOPED_TRACE(name);
  const std::string path = WriteTemp(name, bytes);
  const cMeshData read = ReadMeshFile(path);
  EXPECT_EQ(read.error, error) << read.message;
  EXPECT_TRUE(read.triangles.empty());
  EXPECT_TRUE(error != kUnreadableFile || !read.message.empty());
  std::remove(path.c_str());
}

TEST(MeshFormats, BrokenFilesAndHeadersClaimingTooMuchGiveAnError) {
  const std::string ply = FileBytes(Fixture("formats_ascii.ply"));
  const std::string bigPly =
      "ply\nformat binary_little_endian 1.0\nelement vertex 4000000000\n"
      "property float x\nproperty float y\nproperty float z\n"
      "element face 1\nproperty list uchar int vertex_indices\n"
      "end_header\n" +
      std::string(64, '\0');
  const std::string gltf = FileBytes(Fixture("formats_nodes.gltf"));
  const std::string glb = FileBytes(Fixture("formats_nodes.glb"));
  std::string zip = FileBytes(Fixture("formats_tetrahedron.3mf"));
  const std::pair<const char*, std::string> broken[] = {
      {"index.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 9\n"},
      {"nothing.obj", "# no faces\nv 0 0 0\n"},
      {"endless.ply", ply.substr(0, ply.find("end_header"))},  // the header never ends
      {"cut.ply", ply.substr(0, ply.find("3 0 1 2"))},         // no faces after the header
      {"glued.ply", "ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\nend_header\1\n0\n"},
      {"billions.ply", bigPly},
      // The importer would write the second vertex element past the room of the first.
      // A binary file whose header the importer cannot make out: it would read past the end.
      {"type.ply",
       "ply\nformat binary_little_endian 1.0\nelement vertex 1\nproperty doubel x\n"
       "end_header\n"},
      {"twice.ply",
       "ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\nelement vertex 2\n"
       "property float x\nend_header\n0\n1\n2\n"},
      {"billions.off", "OFF\n2000000000 2000000000 0\n0 0 0\n"},
      {"digits.off", "OFF\n" + std::string(100, '4') + "\n\n1\n"},
      {"cut.gltf", gltf.substr(0, gltf.size() / 2)},
      {"cut.glb", glb.substr(0, glb.size() / 2)},
      {"cut.3mf", zip.substr(0, zip.size() / 2)},
      // The importer would recurse until the stack is full.
      {"deep.gltf", "{\"asset\":{\"version\":\"2.0\"},\"x\":" + std::string(300000, '[') +
                        std::string(300000, ']') + "}"},
      {"deep.glb", Glb([] {
         std::string json;
         for (int i = 0; i < 300000; ++i) json += "{\"a\":";
         return json + "1" + std::string(300000, '}');
       }())},
      {"cycle.3mf", FileBytes(Fixture("formats_component_cycle.3mf"))},
      {"text.3mf", "not a zip archive"}};
  for (const auto& [name, bytes] : broken) ExpectUnreadable(name, bytes, kUnreadableFile);
  // A GLB chunk claiming 2 GiB in a small file: refused, not made room for.
  std::string claims = Glb("{\"asset\":{\"version\":\"2.0\"}}");
  claims.replace(12, 4, std::string("\0\0\0\x80", 4));
  ExpectUnreadable("claims.glb", claims, kUnreadableFile);

  // An archive whose directory says an entry unpacks to more than its packed bytes can give, or
  // to more than 32 bits tell: refused before anything is unpacked or made room for.
  const std::size_t entry = zip.rfind("PK\x01\x02");
  ASSERT_NE(entry, std::string::npos);
  zip.replace(entry + 24, 4, "\x00\x00\x10\x00");  // 1 MiB from a few hundred bytes
  ExpectUnreadable("lying.3mf", zip, kUnreadableFile);
  zip.replace(entry + 24, 4, "\xff\xff\xff\xff");
  ExpectUnreadable("zip64.3mf", zip, EFBIG);
}

TEST(MeshFormats, EveryCutOfEveryFileHasADefinedOutcome) {
  for (const cFormatCase& row : FormatCases()) {
    const std::string path = Fixture(row.fixture), bytes = FileBytes(path);
    const std::string extension = path.substr(path.rfind('.') + 1);
    for (std::size_t cut = 0; cut < bytes.size(); cut += 7) {
      const cMeshData read = ReadMeshMemory(bytes.data(), cut, {}, extension);
      EXPECT_TRUE(read.error == 0 || (read.error == kUnreadableFile && read.triangles.empty()))
          << row.fixture << " cut at " << cut << ": " << read.error << " " << read.message;
    }
  }
}

TEST(MeshFormats, ProgressRunsFromStartToEndAndAStopAnywhereGivesNothing) {
  const std::string path = Fixture("formats_nodes.glb");
  std::vector<double> reports;
  const cMeshData whole = ReadMeshFile(path, [&](const char* step, double fraction) {
    EXPECT_STREQ(step, "reading");
    reports.push_back(fraction);
    return true;
  });
  ASSERT_EQ(whole.error, 0);
  ASSERT_GE(reports.size(), 4u);  // start, the importer's own, one per placed mesh, end
  EXPECT_EQ(reports.front(), 0.0);
  EXPECT_EQ(reports.back(), 1.0);
  for (double fraction : reports) EXPECT_TRUE(fraction >= 0.0 && fraction <= 1.0) << fraction;
  // The second to last report comes between the two placed meshes.
  for (std::size_t stopAt :
       {std::size_t{0}, reports.size() / 2, reports.size() - 2, reports.size() - 1}) {
    std::size_t seen = 0;
    const cMeshData stopped =
        ReadMeshFile(path, [&](const char*, double) { return seen++ < stopAt; });
    EXPECT_EQ(stopped.error, ECANCELED) << stopAt;
    EXPECT_TRUE(stopped.triangles.empty());
    EXPECT_EQ(seen, stopAt + 1);  // no report after the stop
  }
}

}  // namespace
