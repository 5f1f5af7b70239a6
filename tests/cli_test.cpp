// The batch tool, run as a separate process the way a script would, plus its writers in-process
// for the shapes a run cannot produce (pieces with children).

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <limits>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "cli/progress.h"
#include "decomposition/decomposition.h"
#include "formats/batch_run.h"
#include "formats/engines.h"
#include "formats/export.h"
#include "geometry/mesh.h"
#include "hull/hull.h"
#include "hull/hull_internal.h"
#include "io/stl.h"
#include "tests/support/triangle_printing.h"

namespace fs = std::filesystem;

namespace {

const std::string kFixtures = CD_FIXTURES;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

struct cRun {
  int exitCode = -1;
  std::string out;
  std::string err;
};

struct cSpawn {
  std::string stdoutDevice;       // empty: capture; else an existing file opened for writing as is
  bool appendStdout = false;      // ... opened to append
  rlim_t fileSizeLimit = 0;       // 0: none
  rlim_t addressSpaceLimit = 0;   // 0: none
  bool stderrTerminal = false;    // standard error is a pseudo-terminal, read into cRun::err
  bool stderrIntoStdout = false;  // standard error goes where standard output goes
  std::string workingDirectory;   // empty: the test's
  int closedDescriptor = -1;      // 1 or 2: the program starts with it closed
  bool ignoreInterrupt = false;   // the program starts with SIGINT ignored
};

cSpawn FileSizeLimit(rlim_t bytes) {
  cSpawn spawn;
  spawn.fileSizeLimit = bytes;
  return spawn;
}
cSpawn StdoutInto(const std::string& device, bool append = false) {
  cSpawn spawn;
  spawn.stdoutDevice = device;
  spawn.appendStdout = append;
  return spawn;
}

// A started program; Wait collects what Cli would return.
struct cChild {
  pid_t pid = -1;
  int terminal = -1;  // master side of the pseudo-terminal, if any
  std::string outPath, errPath;
  bool capture = true;
};

cChild StartProgram(const std::string& program, const std::vector<std::string>& args,
                    const fs::path& dir, const cSpawn& spawn = {}) {
  cChild child;
  child.capture = spawn.stdoutDevice.empty();
  child.outPath = child.capture ? (dir / "stdout.txt").string() : spawn.stdoutDevice;
  child.errPath = (dir / "stderr.txt").string();
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  int slave = -1;
  if (spawn.stderrTerminal && openpty(&child.terminal, &slave, nullptr, nullptr, nullptr) != 0) {
    return child;
  }
  child.pid = fork();
  if (child.pid == 0) {
    const int out = child.capture ? open(child.outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644)
                                  : open(child.outPath.c_str(),
                                         spawn.appendStdout ? O_WRONLY | O_APPEND : O_WRONLY);
    int err = slave;
    if (spawn.stderrIntoStdout) err = out;
    if (!spawn.stderrTerminal && !spawn.stderrIntoStdout)
      err = open(child.errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(127);
    if (spawn.stderrTerminal) close(child.terminal);
    if (spawn.fileSizeLimit != 0) {
      signal(SIGXFSZ, SIG_IGN);  // a write past the limit then fails with EFBIG
      const rlimit limit{spawn.fileSizeLimit, spawn.fileSizeLimit};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (spawn.addressSpaceLimit != 0) {
      const rlimit limit{spawn.addressSpaceLimit, spawn.addressSpaceLimit};
      setrlimit(RLIMIT_AS, &limit);
    }
    if (!spawn.workingDirectory.empty() && chdir(spawn.workingDirectory.c_str()) != 0) _exit(127);
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    if (spawn.ignoreInterrupt) signal(SIGINT, SIG_IGN);
    if (spawn.closedDescriptor >= 0) close(spawn.closedDescriptor);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  if (slave >= 0) close(slave);
  return child;
}

cRun Wait(cChild& child) {
  cRun run;
  if (child.terminal >= 0) {
    // Until the child's side closes (EIO), so the terminal never fills up.
    char buffer[4096];
    for (ssize_t n; (n = read(child.terminal, buffer, sizeof buffer)) > 0;)
      run.err.append(buffer, n);
    close(child.terminal);
  }
  int status = 0;
  if (child.pid < 0 || waitpid(child.pid, &status, 0) != child.pid) return run;
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if (child.terminal < 0) {
    if (fs::exists(child.errPath)) run.err = ReadAll(child.errPath);
    fs::remove(child.errPath);
  }
  if (child.capture) {
    run.out = ReadAll(child.outPath);
    fs::remove(child.outPath);
  }
  return run;
}

// Runs program with args; standard output and error are captured through files in dir.
cRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                const fs::path& dir, const cSpawn& spawn = {}) {
  cChild child = StartProgram(program, args, dir, spawn);
  return Wait(child);
}

// A small JSON reader: enough to check the tool's output by structure rather than by text.
// Numbers keep their text, so that the shortest form can be checked too.
struct cJson {
  enum class cKind { Null, Bool, Number, String, Array, Object } kind = cKind::Null;
  std::string text;  // number text or string value
  std::vector<cJson> items;
  std::vector<std::pair<std::string, cJson>> members;

  const cJson& operator[](std::size_t i) const {
    if (kind != cKind::Array || i >= items.size()) throw std::runtime_error("no item");
    return items[i];
  }
  const cJson& operator[](const std::string& key) const {
    for (const auto& [name, value] : members) {
      if (name == key) return value;
    }
    throw std::runtime_error("no member " + key);
  }
  std::size_t size() const { return kind == cKind::Object ? members.size() : items.size(); }
  double Number() const { return std::strtod(text.c_str(), nullptr); }
};

// Python's json module reads the document (tests/support/json_tree.py); its node lines become
// the tree above.
class cJsonTree {
 public:
  explicit cJsonTree(std::istream& lines) : in(lines) {}

  cJson Read() {
    std::string line;
    if (!std::getline(in, line) || line.empty()) throw std::runtime_error("JSON: cut tree");
    cJson v;
    const std::string rest = line.size() > 2 ? line.substr(2) : "";
    switch (line[0]) {
      case 'O':
        v.kind = cJson::cKind::Object;
        for (int n = std::stoi(rest); n > 0; --n) {
          std::string key;
          if (!std::getline(in, key) || key.rfind("K ", 0) != 0) throw std::runtime_error("key");
          std::string name = FromHex(key.substr(2));
          v.members.emplace_back(name, Read());
        }
        break;
      case 'A':
        v.kind = cJson::cKind::Array;
        for (int n = std::stoi(rest); n > 0; --n) v.items.push_back(Read());
        break;
      case 'S':
        v.kind = cJson::cKind::String;
        v.text = FromHex(rest);
        break;
      case 'N':
        v.kind = cJson::cKind::Number;
        v.text = rest;
        break;
      case 'T':
      case 'F':
        v.kind = cJson::cKind::Bool;
        v.text = line[0] == 'T' ? "true" : "false";
        break;
      default:
        break;  // null
    }
    return v;
  }

 private:
  static std::string FromHex(const std::string& hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
      out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    return out;
  }
  std::istream& in;
};

// Throws when the text is not strict JSON (or Python is missing).
cJson ParseJson(const std::string& text) {
  static int count = 0;
  const fs::path file = fs::temp_directory_path() /
                        ("cli_test_" + std::to_string(getpid()) + "_" + std::to_string(++count));
  std::ofstream(file, std::ios::binary) << text;
  const std::string command = "python3 '" CD_JSON_TREE "' '" + file.string() + "'";
  std::FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) throw std::runtime_error("cannot run python3");
  std::string out;
  char buffer[65536];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  const int status = pclose(pipe);
  fs::remove(file);
  if (status != 0) throw std::runtime_error("not valid JSON");
  std::istringstream lines(out);
  return cJsonTree(lines).Read();
}

// A coordinate as the tool wrote it: a number, or one of the strings for non-finite values.
float Coordinate(const cJson& v) {
  if (v.kind == cJson::cKind::String) {
    if (v.text == "nan") return NAN;
    if (v.text == "inf") return INFINITY;
    if (v.text == "-inf") return -INFINITY;
    throw std::runtime_error("bad coordinate string " + v.text);
  }
  if (v.kind != cJson::cKind::Number) throw std::runtime_error("coordinate is no number");
  return std::strtof(v.text.c_str(), nullptr);
}

cVec3 Point(const cJson& v) {
  if (v.size() != 3) throw std::runtime_error("point without three coordinates");
  return cVec3(Coordinate(v[0]), Coordinate(v[1]), Coordinate(v[2]));
}

cTriangleList Triangles(const cJson& list) {
  cTriangleList out;
  for (const cJson& t : list.items) out.emplace_back(Point(t[0]), Point(t[1]), Point(t[2]));
  return out;
}

cColor Color(const cJson& v) {
  cColor c;
  c.red = static_cast<unsigned char>(v[0].Number());
  c.green = static_cast<unsigned char>(v[1].Number());
  c.blue = static_cast<unsigned char>(v[2].Number());
  return c;
}

bool operator==(const cColor& a, const cColor& b) {
  return a.red == b.red && a.green == b.green && a.blue == b.blue;
}

// The colours a fresh process draws: rand() is never seeded, which the C library defines to be
// the sequence of srand(1).
struct cFreshColors {
  cFreshColors() { std::srand(1); }
  cColor Next(int range) {
    cColor c;
    c.red = static_cast<unsigned char>(std::rand() % range);
    c.green = static_cast<unsigned char>(std::rand() % range);
    c.blue = static_cast<unsigned char>(std::rand() % range);
    return c;
  }
};

// A run's own generator draws the numbers of rand() after srand(1), whatever rand() did before
// and however the draws of two generators interleave.
TEST(ColorDrawsTest, DrawTheSequenceOfAFreshRandWithoutTouchingIt) {
  std::srand(7);
  std::rand();
  const int next = std::rand();
  std::srand(7);
  std::rand();
  cColorDraws first, second;
  std::vector<int> a, b;
  for (int i = 0; i < 100000; ++i) {
    a.push_back(first.Next());
    if (i % 3 == 0) b.push_back(second.Next());
  }
  EXPECT_EQ(std::rand(), next);
  std::srand(1);
  for (std::size_t i = 0; i < a.size(); ++i) {
    const int expected = std::rand();
    ASSERT_EQ(a[i], expected) << i;
    if (i < b.size()) {
      ASSERT_EQ(b[i], a[i]) << i;
    }
  }
  cColorDraws third;
  cFreshColors fresh;
  for (int range : {225, 255, 255}) EXPECT_TRUE(third.Color(range) == fresh.Next(range));
}

// One OBJ object as read back: its vertices (position, colour) and its faces as 0-based
// indices into the file's vertex list.
struct cObjObject {
  std::string name;
  std::vector<std::size_t> vertices;
  std::vector<std::array<std::size_t, 3>> faces;
};
struct cObjFile {
  std::vector<cVec3> positions;
  std::vector<cVec3> colors;
  std::vector<cObjObject> objects;
};

cObjFile ParseObj(const std::string& text) {
  cObjFile file;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string tag;
    words >> tag;
    if (tag == "o") {
      file.objects.emplace_back();
      words >> file.objects.back().name;
    } else if (tag == "v") {
      std::string w[6];
      for (auto& x : w) words >> x;
      auto f = [](const std::string& s) { return std::strtof(s.c_str(), nullptr); };
      file.positions.emplace_back(f(w[0]), f(w[1]), f(w[2]));
      file.colors.emplace_back(f(w[3]), f(w[4]), f(w[5]));
      if (file.objects.empty()) throw std::runtime_error("vertex before the first object");
      file.objects.back().vertices.push_back(file.positions.size() - 1);
    } else if (tag == "f") {
      std::array<std::size_t, 3> face{};
      for (auto& index : face) {
        long number = 0;
        if (!(words >> number) || number < 1 ||
            static_cast<std::size_t>(number) > file.positions.size()) {
          throw std::runtime_error("bad face index in: " + line);
        }
        index = static_cast<std::size_t>(number - 1);
      }
      if (file.objects.empty()) throw std::runtime_error("face before the first object");
      file.objects.back().faces.push_back(face);
    } else if (!tag.empty()) {
      throw std::runtime_error("unexpected OBJ line: " + line);
    }
  }
  return file;
}

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/cli_test.XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    dir = name;
  }
  void TearDown() override { fs::remove_all(dir); }

  cRun Cli(const std::vector<std::string>& args, const cSpawn& spawn = {}) {
    return RunProgram(CD_CLI, args, dir, spawn);
  }
  std::string Fixture(const std::string& name) { return kFixtures + "/" + name; }
  std::string Sample(const std::string& name) { return std::string(CD_SAMPLES) + "/" + name; }
  std::string At(const std::string& name) { return (dir / name).string(); }
  std::set<std::string> Entries() {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
    return names;
  }
  void ExpectUsageError(const std::vector<std::string>& args) {
    SCOPED_TRACE(::testing::PrintToString(args));
    const cRun run = Cli(args);
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.out, "");
    // One line naming the problem, not the whole help text.
    EXPECT_EQ(run.err.rfind("convexdecomp-cli: ", 0), 0u) << run.err;
    EXPECT_TRUE(run.err.ends_with("; see --help\n")) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
  }

  fs::path dir;
};

const char* const kTetrahedronLines = "triangles: 4\nobjects: 1\nConvex hull completed...\n";

TEST_F(CliTest, TetrahedronGivesOnePieceAndItsSeedHullWithTheDesktopColours) {
  const cRun run = Cli({Fixture("cli_tetrahedron.stl"), "--json", At("out.json")});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out, kTetrahedronLines);
  EXPECT_EQ(run.err, "");
  const cJson json = ParseJson(ReadAll(At("out.json")));

  EXPECT_EQ(json["epsilon"].text, "0.1");
  EXPECT_EQ(json["smooth"].text, "0.1");
  ASSERT_EQ(json["messages"].size(), 3u);
  EXPECT_EQ(json["messages"][0].text, "triangles: 4");
  EXPECT_EQ(json["messages"][1].text, "objects: 1");
  EXPECT_EQ(json["messages"][2].text, "Convex hull completed...");

  const cVec3 o(0, 0, 0), x(1, 0, 0), y(0, 1, 0), z(0, 0, 1);
  EXPECT_EQ(json["mesh"]["triangles"].text, "4");
  EXPECT_EQ(Point(json["mesh"]["box"][0]), o);
  EXPECT_EQ(Point(json["mesh"]["box"][1]), cVec3(1, 1, 1));

  // The four faces, each behind its neighbours' planes, form one piece in file order.
  ASSERT_EQ(json["pieces"].size(), 1u);
  const cTriangleList piece = Triangles(json["pieces"][0]["triangles"]);
  const cTriangleList file = {{o, y, x}, {o, x, z}, {o, z, y}, {x, y, z}};
  EXPECT_EQ(piece, file);

  // Distinct points o, y, x, z: base (o, y, x) faces -z and z lies behind it (d < 0), so the
  // seed keeps the base winding: (p0, p1, p2), (p3, p1, p0), (p3, p0, p2), (p3, p2, p1).
  ASSERT_EQ(json["hulls"].size(), 1u);
  const cTriangleList faces = Triangles(json["hulls"][0]["faces"]);
  const cTriangleList seed = {{o, y, x}, {z, y, o}, {z, o, x}, {z, x, y}};
  EXPECT_EQ(faces, seed);

  // Mesh, then the one piece, then its hull, from an unseeded generator.
  cFreshColors fresh;
  EXPECT_TRUE(Color(json["mesh"]["color"]) == fresh.Next(225));
  EXPECT_TRUE(Color(json["pieces"][0]["color"]) == fresh.Next(255));
  EXPECT_TRUE(Color(json["hulls"][0]["color"]) == fresh.Next(255));
}

TEST_F(CliTest, JsonOnStandardOutputMovesTheMessagesToStandardError) {
  const cRun run = Cli({Fixture("cli_tetrahedron.stl"), "--json", "-"});
  ASSERT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.err, kTetrahedronLines);
  const cJson json = ParseJson(run.out);
  EXPECT_EQ(json["hulls"].size(), 1u);
  EXPECT_EQ(Entries(), std::set<std::string>{});
}

TEST_F(CliTest, NoHullsStopsAfterTheDecomposition) {
  const cRun run = Cli({Fixture("cli_tetrahedron.stl"), "--no-hulls", "--json=" + At("j")});
  ASSERT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, "triangles: 4\nobjects: 1\n");
  const cJson json = ParseJson(ReadAll(At("j")));
  EXPECT_EQ(json["pieces"].size(), 1u);
  EXPECT_EQ(json["hulls"].size(), 0u);
  EXPECT_EQ(json["messages"].size(), 2u);
}

TEST_F(CliTest, InputsWithoutTrianglesOrPiecesShowOnlyTheMessagesTheDesktopShows) {
  cRun run = Cli({Fixture("cli_no_triangles.stl"), "--json", At("j"), "--obj", At("o")});
  ASSERT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, "triangles: 0\n");
  cJson json = ParseJson(ReadAll(At("j")));
  EXPECT_EQ(json["mesh"]["triangles"].text, "0");
  EXPECT_EQ(Point(json["mesh"]["box"][1]), cVec3());
  EXPECT_EQ(json["pieces"].size(), 0u);
  EXPECT_EQ(json["hulls"].size(), 0u);
  EXPECT_EQ(ReadAll(At("o")), "");

  // Wound inward, every face stands alone: no piece, so no hull run and no completion line.
  run = Cli({Fixture("cli_tetrahedron_inward.stl")});
  ASSERT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, "triangles: 4\nobjects: 0\n");
}

TEST_F(CliTest, EpsilonAndSmoothReachTheComputations) {
  // A concave fold whose far corner lies 0.2 in front of the other triangle.
  EXPECT_EQ(Cli({Fixture("cli_concave_fold.stl")}).out, "triangles: 2\nobjects: 0\n");
  const cRun wide = Cli({Fixture("cli_concave_fold.stl"), "--epsilon=3e-1", "--json", "-"});
  ASSERT_EQ(wide.exitCode, 0);
  EXPECT_EQ(wide.err, "triangles: 2\nobjects: 1\nConvex hull completed...\n");
  EXPECT_EQ(ParseJson(wide.out)["epsilon"].text, "0.3");

  // Smooth 0 gives every hull its first four points: a tetrahedron.
  const cRun thin = Cli({Sample("torus.stl"), "--smooth", "0", "--json", "-"});
  const cRun full =
      Cli({Sample("torus.stl"), "--smooth", "-0.5e1", "--epsilon", "+0.1", "--json", "-"});
  const cRun usual = Cli({Sample("torus.stl"), "--json", "-"});
  ASSERT_EQ(thin.exitCode, 0);
  const cJson thinJson = ParseJson(thin.out);
  EXPECT_EQ(thinJson["smooth"].text, "0");
  ASSERT_GE(thinJson["hulls"].size(), 1u);
  for (const cJson& hull : thinJson["hulls"].items) EXPECT_EQ(hull["faces"].size(), 4u);
  EXPECT_EQ(ParseJson(full.out)["smooth"].text, "-5");
  EXPECT_EQ(full.out.substr(full.out.find("\"messages\"")),
            thin.out.substr(thin.out.find("\"messages\"")));
  EXPECT_GT(ParseJson(usual.out)["hulls"][0]["faces"].size(), 4u);
}

TEST_F(CliTest, CoordinatesAreShortestRoundTripAndNonFiniteAsStrings) {
  const cRun run = Cli({Fixture("cli_decimals.stl"), "--json", "-", "--no-hulls"});
  ASSERT_EQ(run.exitCode, 0);
  const cJson far = ParseJson(run.out)["pieces"][0]["triangles"][1][2];
  EXPECT_EQ(far[0].text, "16777216");  // 16777217 is no float
  EXPECT_EQ(far[1].text, "1e-07");
  EXPECT_EQ(ParseJson(run.out)["pieces"][0]["triangles"][0][1][0].text, "0.1");

  const cRun odd = Cli({Fixture("cli_non_finite.stl"), "--json", "-"});
  ASSERT_EQ(odd.exitCode, 0);
  const cJson json = ParseJson(odd.out);
  const cJson& corner = json["pieces"][0]["triangles"][1][2];
  EXPECT_EQ(corner[0].text, "nan");
  EXPECT_EQ(corner[1].text, "inf");
  EXPECT_EQ(corner[2].text, "-inf");
  EXPECT_EQ(corner[0].kind, cJson::cKind::String);
}

// Epsilon must come out finite: a huge R, or a box diagonal that overflows or is NaN, is refused
// after the read with status 2 and one line, before any output appears.
TEST_F(CliTest, SettingsThatGiveNoFiniteEpsilonAreRefused) {
  {
    std::ofstream out(At("big.stl"));
    out << "solid big\nfacet normal 0 0 1\nouter loop\nvertex -3e38 0 0\nvertex 3e38 0 0\n"
           "vertex 0 3e38 0\nendloop\nendfacet\nendsolid big\n";
  }
  const std::string odd = Fixture("cli_non_finite.stl");
  const struct {
    std::vector<std::string> args;
    std::string line;
  } cases[] = {
      {{Sample("gear.stl"), "--epsilon-relative", "1e308"},
       "--epsilon-relative 1e+308 times the box diagonal 3.5874630177084534 is no finite "
       "Epsilon; see --help"},
      {{At("big.stl"), "--epsilon-relative", "0.1"},
       "--epsilon-relative 0.1 times the box diagonal inf is no finite Epsilon; see --help"},
      {{odd, "--epsilon-relative=0"},
       "--epsilon-relative 0 times the box diagonal nan is no finite Epsilon; see --help"},
      {{odd, "--max-hulls", "2"},
       "--max-hulls takes Epsilon 0.002 times the box diagonal nan, which is not finite; give "
       "--epsilon"},
  };
  for (const auto& [args, line] : cases) {
    std::vector<std::string> all = args;
    all.insert(all.end(), {"--json", At("out.json"), "--verbose"});
    const cRun run = Cli(all);
    EXPECT_EQ(run.exitCode, 2) << line;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.substr(run.err.find('\n') + 1), "convexdecomp-cli: " + line + "\n");
  }
  EXPECT_EQ(Entries(), std::set<std::string>{"big.stl"});
  const cRun fit = Cli({odd, "--max-hulls", "2", "--epsilon", "0.1", "--json", "-"});
  EXPECT_EQ(fit.exitCode, 0);
  EXPECT_EQ(ParseJson(fit.out)["epsilon"].text, "0.1");
}

// The writer itself turns values that are not finite into strings wherever they stand.
TEST(CliExport, NonFiniteSettingsAreWrittenAsStrings) {
  cMesh mesh;
  cDecomposition decomposition;
  cRunResult run;
  run.mesh = &mesh;
  run.decomposition = &decomposition;
  run.epsilon = -std::numeric_limits<double>::quiet_NaN();
  run.smooth = -INFINITY;
  char* buffer = nullptr;
  std::size_t size = 0;
  std::FILE* out = open_memstream(&buffer, &size);
  WriteJson(out, run);
  std::fclose(out);
  const cJson json = ParseJson(std::string(buffer, size));
  std::free(buffer);
  EXPECT_EQ(json["epsilon"].kind, cJson::cKind::String);
  EXPECT_EQ(json["epsilon"].text, "nan");
  EXPECT_EQ(json["smooth"].text, "-inf");
  EXPECT_EQ(FormatDouble(-std::numeric_limits<double>::quiet_NaN()), "nan");
  EXPECT_EQ(FormatDouble(INFINITY), "inf");
}

TEST_F(CliTest, HullObjReadsBackAsOutwardFacingColouredObjects) {
  const cRun run = Cli({Sample("gear.stl"), "--json", At("j"), "--obj", At("hulls.obj")});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const cJson json = ParseJson(ReadAll(At("j")));
  const cObjFile obj = ParseObj(ReadAll(At("hulls.obj")));
  ASSERT_GE(json["hulls"].size(), 2u);
  ASSERT_EQ(obj.objects.size(), json["hulls"].size());
  for (std::size_t h = 0; h < obj.objects.size(); ++h) {
    SCOPED_TRACE(h);
    const cObjObject& object = obj.objects[h];
    EXPECT_EQ(object.name, "hull_" + std::to_string(h + 1));
    const cTriangleList faces = Triangles(json["hulls"][h]["faces"]);
    ASSERT_EQ(object.faces.size(), faces.size());

    // Corners once per object, carrying the hull's colour.
    const cColor color = Color(json["hulls"][h]["color"]);
    cVec3 centre;
    for (std::size_t a = 0; a < object.vertices.size(); ++a) {
      const cVec3& p = obj.positions[object.vertices[a]];
      for (std::size_t b = 0; b < a; ++b)
        EXPECT_FALSE(SamePoint(p, obj.positions[object.vertices[b]]));
      const cVec3& c = obj.colors[object.vertices[a]];
      EXPECT_NEAR(c.x, color.red / 255.0, 1e-6);
      EXPECT_NEAR(c.y, color.green / 255.0, 1e-6);
      EXPECT_NEAR(c.z, color.blue / 255.0, 1e-6);
      centre = cVec3(centre.x + p.x, centre.y + p.y, centre.z + p.z);
    }
    const float n = static_cast<float>(object.vertices.size());
    centre = cVec3(centre.x / n, centre.y / n, centre.z / n);

    for (std::size_t f = 0; f < faces.size(); ++f) {
      const auto& face = object.faces[f];
      const cTriangle t(obj.positions[face[0]], obj.positions[face[1]], obj.positions[face[2]]);
      for (std::size_t index : face) {
        EXPECT_TRUE(std::count(object.vertices.begin(), object.vertices.end(), index))
            << "foreign vertex";
      }
      EXPECT_TRUE(SameTriangle(t, faces[f])) << f;
      const cVec3 mid((t.vertex[0].x + t.vertex[1].x + t.vertex[2].x) / 3.0f - centre.x,
                      (t.vertex[0].y + t.vertex[1].y + t.vertex[2].y) / 3.0f - centre.y,
                      (t.vertex[0].z + t.vertex[1].z + t.vertex[2].z) / 3.0f - centre.z);
      EXPECT_GT(Dot(Normal(t), mid), 0.0) << "face " << f << " faces inward";
    }
  }
}

TEST_F(CliTest, PiecesObjHoldsEveryPieceTriangleInOrder) {
  const cRun run =
      Cli({Sample("gear.stl"), "--no-hulls", "--json", At("j"), "--pieces-obj", At("p.obj")});
  ASSERT_EQ(run.exitCode, 0);
  const cJson json = ParseJson(ReadAll(At("j")));
  const cObjFile obj = ParseObj(ReadAll(At("p.obj")));
  ASSERT_EQ(obj.objects.size(), json["pieces"].size());
  for (std::size_t p = 0; p < obj.objects.size(); ++p) {
    EXPECT_EQ(obj.objects[p].name, "piece_" + std::to_string(p + 1));
    const cTriangleList triangles = Triangles(json["pieces"][p]["triangles"]);
    ASSERT_EQ(obj.objects[p].faces.size(), triangles.size());
    std::size_t distinct = 0;
    cPointList seen;
    for (std::size_t t = 0; t < triangles.size(); ++t) {
      const auto& f = obj.objects[p].faces[t];
      EXPECT_TRUE(SameTriangle(
          cTriangle(obj.positions[f[0]], obj.positions[f[1]], obj.positions[f[2]]), triangles[t]));
      for (const cVec3& c : triangles[t].vertex) {
        if (!ContainsPoint(seen, c)) seen.push_back(c), ++distinct;
      }
    }
    EXPECT_EQ(obj.objects[p].vertices.size(), distinct);
  }
}

TEST_F(CliTest, SameInputGivesTheSameBytes) {
  std::vector<std::string> outputs[2];
  for (int i = 0; i < 2; ++i) {
    const std::string n = std::to_string(i);
    const cRun run = Cli({Sample("gear.stl"), "--json", At("j" + n), "--obj", At("o" + n),
                          "--pieces-obj", At("p" + n)});
    ASSERT_EQ(run.exitCode, 0);
    outputs[i] = {run.out, ReadAll(At("j" + n)), ReadAll(At("o" + n)), ReadAll(At("p" + n))};
  }
  EXPECT_EQ(outputs[0], outputs[1]);
  EXPECT_GT(outputs[0][1].size(), 1000u);
}

TEST_F(CliTest, UnreadableInputsFailWithThePathAndTheReason) {
  const std::string missing = At("missing.stl");
  cRun run = Cli({missing, "--json", At("out.json")});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err,
            "convexdecomp-cli: cannot read " + missing + ": " + std::strerror(ENOENT) + "\n");

  fs::create_directory(At("folder.stl"));
  run = Cli({At("folder.stl")});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "convexdecomp-cli: cannot read " + At("folder.stl") + ": " +
                         std::strerror(EISDIR) + "\n");
  EXPECT_EQ(Entries(), std::set<std::string>{"folder.stl"});  // out.json never appeared

  // An extension that names no format the tool reads, and a file its importer cannot read.
  { std::ofstream(At("part.step")) << "ISO-10303-21;\n"; }
  run = Cli({At("part.step"), "--json", At("out.json")});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.err, "convexdecomp-cli: cannot read " + At("part.step") +
                         ": unknown kind of mesh file '.step' (known: .stl .obj .ply .off .gltf "
                         ".glb .3mf)\n");
  { std::ofstream(At("cut.ply")) << "ply\nformat ascii 1.0\nelement vertex 3\n"; }
  run = Cli({At("cut.ply"), "--json", At("out.json")});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "convexdecomp-cli: cannot read " + At("cut.ply") +
                         ": not a readable .ply file: the PLY header has no end_header line\n");
  EXPECT_EQ(Entries(), (std::set<std::string>{"cut.ply", "folder.stl", "part.step"}));
}

TEST_F(CliTest, EveryMeshFormatIsReadByItsExtensionInAnyCase) {
  const std::pair<const char*, int> files[] = {
      {"formats_two_objects.obj", 3}, {"formats_ascii.ply", 3},  {"formats_binary.ply", 3},
      {"formats_pyramid.off", 6},     {"formats_nodes.gltf", 2}, {"formats_nodes.glb", 2},
      {"formats_tetrahedron.3mf", 4}};
  for (const auto& [name, triangles] : files) {
    const cRun run = Cli({Fixture(name), "--no-hulls"});
    EXPECT_EQ(run.exitCode, 0) << name << ": " << run.err;
    EXPECT_EQ(run.out.rfind("triangles: " + std::to_string(triangles) + "\nobjects: ", 0), 0u)
        << name << ": " << run.out;
  }
  fs::copy_file(Fixture("formats_pyramid.off"), At("PYRAMID.OFF"));
  EXPECT_EQ(Cli({At("PYRAMID.OFF"), "--no-hulls"}).out, "triangles: 6\nobjects: 1\n");
}

TEST_F(CliTest, InputsThatAreNotFilesOrDoNotFitFailWithStatusOne) {
  ASSERT_EQ(mkfifo(At("pipe.stl").c_str(), 0600), 0);
  // A binary header promising 0xffffffff facets, with the matching size but no disk space.
  std::string header(80, ' ');
  header += "\xff\xff\xff\xff";
  { std::ofstream(At("huge.stl"), std::ios::binary) << header; }
  fs::resize_file(At("huge.stl"), 84 + 50 * std::uintmax_t{0xffffffffu});
  std::vector<std::pair<std::string, int>> cases = {
      {At("pipe.stl"), EINVAL}, {"/dev/zero", EINVAL}, {"/proc/self/mem", EIO}};
  const std::uint64_t memory =
      static_cast<std::uint64_t>(sysconf(_SC_PHYS_PAGES)) * sysconf(_SC_PAGESIZE);
  if (memory / 2 / sizeof(cTriangle) < 0xffffffffu) cases.emplace_back(At("huge.stl"), ENOMEM);
  for (const auto& [input, error] : cases) {
    const cRun run = Cli({input, "--json", At("out.json")});
    EXPECT_EQ(run.exitCode, 1) << input;
    EXPECT_EQ(run.out, "") << input;
    EXPECT_EQ(run.err,
              "convexdecomp-cli: cannot read " + input + ": " + std::strerror(error) + "\n");
  }
  EXPECT_EQ(Entries(), (std::set<std::string>{"huge.stl", "pipe.stl"}));  // no output, no temporary
}

TEST_F(CliTest, InputWithoutReadPermissionFails) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads files without read permission";
  cRun run;
  fs::copy_file(Fixture("cli_tetrahedron.stl"), At("locked.stl"));
  fs::permissions(At("locked.stl"), fs::perms::none);
  run = Cli({At("locked.stl")});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find(std::strerror(EACCES)), std::string::npos);
}

TEST_F(CliTest, UnwritableOutputsFailBeforeTheRunAndLeaveNothing) {
  const std::string input = Fixture("cli_tetrahedron.stl");
  const std::string lost = At("no/such/dir/out.obj");
  cRun run = Cli({input, "--obj", lost});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err,
            "convexdecomp-cli: cannot write " + lost + ": " + std::strerror(ENOENT) + "\n");

  // One bad output writes none: an existing file keeps its old contents.
  { std::ofstream(At("keep.json")) << "old"; }
  fs::create_directory(At("target"));
  run = Cli({input, "--json", At("keep.json"), "--pieces-obj", At("target")});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find(At("target") + ": " + std::strerror(EISDIR)), std::string::npos);
  EXPECT_EQ(ReadAll(At("keep.json")), "old");
  EXPECT_EQ(Entries(), (std::set<std::string>{"keep.json", "target"}));
  EXPECT_TRUE(fs::is_empty(At("target")));
}

TEST_F(CliTest, WriteFailingHalfWayLeavesNoPartialFile) {
  // Files may not grow past 4000 bytes: the gear's JSON breaks off in the middle.
  { std::ofstream(At("out.json")) << "old"; }
  const cRun run = Cli({Sample("gear.stl"), "--json", At("out.json")}, FileSizeLimit(4000));
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.err, "convexdecomp-cli: cannot write " + At("out.json") + ": " +
                         std::strerror(EFBIG) + "\n");
  EXPECT_EQ(ReadAll(At("out.json")), "old");
  EXPECT_EQ(Entries(), std::set<std::string>{"out.json"});

  // Standard output that cannot take the JSON.
  if (!fs::is_character_file("/dev/full")) return;
  const cRun full = Cli({Fixture("cli_tetrahedron.stl"), "--json", "-"}, StdoutInto("/dev/full"));
  EXPECT_EQ(full.exitCode, 1);
  EXPECT_NE(full.err.find("cannot write standard output: " + std::string(std::strerror(ENOSPC))),
            std::string::npos);
}

TEST_F(CliTest, BadOptionsGiveTheUsageAndStatusTwo) {
  const std::string input = Fixture("cli_tetrahedron.stl");
  for (const char* number : {"abc", "", "1x", "nan", "inf", "-inf", " 1", "1 ", "0.1.2", "1e999",
                             "0x1p-3", "-0X10", "0x.8"}) {
    ExpectUsageError({input, "--epsilon", number});
    ExpectUsageError({input, std::string("--smooth=") + number});
  }
  EXPECT_EQ(Cli({input, "--smooth", "x"}).err,
            "convexdecomp-cli: --smooth needs a finite number, not 'x'; see --help\n");
  ExpectUsageError({input, "--bogus"});
  ExpectUsageError({input, "--json"});
  ExpectUsageError({input, "--epsilon"});
  ExpectUsageError({input, "--obj", "--no-hulls"});
  ExpectUsageError({input, "--obj", "-"});
  ExpectUsageError({input, "--json", At("same"), "--obj", At("same")});
  ExpectUsageError({input, "--no-hulls=yes"});
  ExpectUsageError({input, input});
  ExpectUsageError({});
  // Every option once; options that exclude each other.
  ExpectUsageError({input, "--json", At("a"), "--json", At("b")});
  ExpectUsageError({input, "--epsilon=1", "--epsilon", "1"});
  ExpectUsageError({input, "--no-hulls", "--no-hulls"});
  ExpectUsageError({input, "--quiet", "--quiet"});
  ExpectUsageError({input, "--epsilon", "1", "--epsilon-relative", "0.1"});
  ExpectUsageError({input, "--quiet", "--verbose"});
  ExpectUsageError({input, "--strict"});
  ExpectUsageError({input, "--strict=1", "--max-hull-vertices", "8"});
  ExpectUsageError({input, "--progress-after", "-1"});
  for (const char* count : {"0", "-1", "1.5", "", "x", "99999999999"}) {
    ExpectUsageError({input, std::string("--max-hull-vertices=") + count});
  }
  for (const char* sweep :
       {"1:2", "1:2:0", "a:1:2", "1:2:3:4", "1::2", "0:1:10001", "nan:1:2", "0x1:1:2"}) {
    ExpectUsageError({input, std::string("--sweep-epsilon=") + sweep});
  }
  ExpectUsageError({input, "--sweep-epsilon", "0:1:2", "--json", "-"});
  ExpectUsageError({input, "--sweep-epsilon", "0:1:2", "--epsilon", "1"});
  ExpectUsageError({input, "--sweep-epsilon", "0:1:2", "--no-hulls"});
  ExpectUsageError({input, "--sweep-epsilon", "0:1:2", "--max-hull-vertices", "9"});
  for (const char* option : {"--mjcf", "--urdf", "--glb", "--stl-dir"}) {
    ExpectUsageError({input, "--sweep-epsilon", "0:1:2", option, At("x")});
    ExpectUsageError({input, option, "-"});
    ExpectUsageError({input, option});
  }
  ExpectUsageError({input, "--mjcf", At("same"), "--urdf", At("same")});
  ExpectUsageError({input, "--glb", At("same"), "--json", At("same")});
  // The same file named twice, also in other spellings, or an output that is the input.
  ExpectUsageError({input, "--json", At("same"), "--obj", (dir / "." / "same").string()});
  ExpectUsageError({input, "--pieces-obj", dir.string() + "//same", "--obj", At("same")});
  ExpectUsageError({input, "--json", input});
  ExpectUsageError({input, "--obj", kFixtures + "/../fixtures/cli_tetrahedron.stl"});
  EXPECT_EQ(Entries(), std::set<std::string>{});

  const cRun help = Cli({"--help", "--bogus"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_EQ(help.err, "");
  EXPECT_EQ(help.out.rfind("usage: convexdecomp-cli INPUT [options]\n", 0), 0u);
}

TEST_F(CliTest, LinksAndHardLinksToOneFileAreOneFile) {
  const std::string input = Fixture("cli_tetrahedron.stl");
  { std::ofstream(At("a.json")) << "old"; }
  fs::create_hard_link(At("a.json"), At("hard.json"));
  fs::create_symlink("a.json", At("soft.json"));
  fs::create_symlink(input, At("input.stl"));
  ExpectUsageError({input, "--json", At("a.json"), "--obj", At("hard.json")});
  ExpectUsageError({input, "--json", At("soft.json"), "--pieces-obj", At("a.json")});
  ExpectUsageError({At("input.stl"), "--json", input});
  ExpectUsageError({input, "--obj", At("input.stl")});
  fs::create_directory(At("hd"));
  ExpectUsageError({input, "--hulls-dir", At("hd"), "--obj", At("hd/hull_002.obj")});
  EXPECT_EQ(ReadAll(At("a.json")), "old");
  // A character device may take two outputs: writing it twice loses nothing.
  if (fs::is_character_file("/dev/null")) {
    EXPECT_EQ(Cli({input, "--json", "/dev/null", "--obj", "/dev/null"}).exitCode, 0);
  }
}

const std::string kTetrahedronHullFacts =
    ", \"vertex_count\": 4, \"face_count\": 4, \"volume\": 0.16666666666666666, \"closed\": true, "
    "\"piece\": 0}";

// The hull facts follow the fields every hull had before, at the end of its object.
TEST_F(CliTest, HullFactsFollowTheFacesAndMatchTheFaces) {
  const cRun run = Cli({Fixture("cli_tetrahedron.stl"), "--json", "-"});
  ASSERT_EQ(run.exitCode, 0);
  const std::size_t faces = run.out.find("\"faces\": ");
  ASSERT_NE(faces, std::string::npos);
  const std::size_t end = run.out.find('\n', faces);
  EXPECT_EQ(run.out.substr(end - kTetrahedronHullFacts.size(), kTetrahedronHullFacts.size()),
            kTetrahedronHullFacts);

  const cRun gear = Cli({Sample("gear.stl"), "--json", "-"});
  const cJson json = ParseJson(gear.out);
  ASSERT_GE(json["hulls"].size(), 2u);
  for (const cJson& hull : json["hulls"].items) {
    const cTriangleList triangles = Triangles(hull["faces"]);
    cPointList corners;
    double volume = 0.0;
    const cVec3 o = triangles[0].vertex[0];
    for (const cTriangle& t : triangles) {
      for (const cVec3& c : t.vertex) {
        if (!ContainsPoint(corners, c)) corners.push_back(c);
      }
      volume += Dot(t.vertex[0] - o, Cross(t.vertex[1] - o, t.vertex[2] - o)) / 6.0;
    }
    EXPECT_EQ(hull["vertex_count"].Number(), static_cast<double>(corners.size()));
    EXPECT_EQ(hull["face_count"].Number(), static_cast<double>(triangles.size()));
    EXPECT_NEAR(hull["volume"].Number(), volume, 1e-6);
    EXPECT_EQ(hull["closed"].kind, cJson::cKind::Bool);
    EXPECT_EQ(hull["piece"].text, std::to_string(&hull - &json["hulls"][0]));
  }

  // A flat piece (a triangle and its reverse, three corners) before the tetrahedron gets no hull:
  // the one hull names piece 1, and the summary counts the piece without one.
  {
    const float corners[6][9] = {{5, 5, 5, 6, 5, 5, 5, 6, 5}, {5, 5, 5, 5, 6, 5, 6, 5, 5},
                                 {0, 0, 0, 0, 1, 0, 1, 0, 0}, {0, 0, 0, 1, 0, 0, 0, 0, 1},
                                 {0, 0, 0, 0, 0, 1, 0, 1, 0}, {1, 0, 0, 0, 1, 0, 0, 0, 1}};
    std::ofstream out(At("mixed.stl"));
    for (const auto& c : corners) {
      out << "facet normal 0 0 0\nouter loop\n";
      for (int k = 0; k < 9; k += 3)
        out << "vertex " << c[k] << " " << c[k + 1] << " " << c[k + 2] << "\n";
      out << "endloop\nendfacet\n";
    }
  }
  const cRun mixed = Cli({At("mixed.stl"), "--verbose", "--json", "-"});
  const cJson mixedJson = ParseJson(mixed.out);
  EXPECT_EQ(mixedJson["pieces"].size(), 2u);
  ASSERT_EQ(mixedJson["hulls"].size(), 1u);
  EXPECT_EQ(mixedJson["hulls"][0]["piece"].text, "1");
  EXPECT_TRUE(mixed.err.ends_with(", volume: 0.16666666666666666, pieces without a hull: 1\n"))
      << mixed.err;
}

// The facts of surfaces a run cannot make: "closed" holds only when every directed edge is used
// once and its reverse once, and never for a corner that is not finite or for no faces.
TEST(CliExport, HullFactsTellClosedSurfacesFromOpenOnes) {
  const cVec3 o(0, 0, 0), x(1, 0, 0), y(0, 1, 0), z(0, 0, 1);
  const cTriangle base(o, y, x), left(z, y, o), front(z, o, x), slope(z, x, y);
  const cVec3 minusZero(-0.0f, 0, 0), minusY(0, -1, 0), minusZ(0, 0, -1);
  struct cCase {
    const char* name;
    cTriangleList faces;
    std::size_t vertices;
    bool closed;
  };
  const cCase cases[] = {
      {"tetrahedron", {base, left, front, slope}, 4, true},
      {"-0 and 0 one corner", {cTriangle(minusZero, y, x), left, front, slope}, 4, true},
      {"a face missing", {base, left, front}, 4, false},
      {"a face listed twice", {base, left, front, slope, slope}, 4, false},
      {"a face turned over: its edges used twice in one direction",
       {base, left, front, cTriangle(z, y, x)},
       4,
       false},
      {"the tetrahedron turned half round the x axis",
       {cTriangle(o, minusY, x), cTriangle(minusZ, minusY, o), cTriangle(minusZ, o, x),
        cTriangle(minusZ, x, minusY)},
       4,
       true},
      {"two tetrahedra touching at an edge: it is used twice in each direction",
       {base, left, front, slope, cTriangle(o, minusY, x), cTriangle(minusZ, minusY, o),
        cTriangle(minusZ, o, x), cTriangle(minusZ, x, minusY)},
       6,
       false},
      {"a corner not finite",
       {cTriangle(o, y, x), cTriangle(z, y, o), cTriangle(z, o, x),
        cTriangle(cVec3(NAN, 0, 1), x, y)},
       5,
       false},
      {"no faces", {}, 0, false},
  };
  for (const cCase& c : cases) {
    SCOPED_TRACE(c.name);
    const cHullFacts facts = HullFacts(c.faces);
    EXPECT_EQ(facts.faces, c.faces.size());
    EXPECT_EQ(facts.vertices, c.vertices);
    EXPECT_EQ(facts.closed, c.closed);
  }
}

TEST_F(CliTest, FactsOnStandardErrorWhenAskedOrOnATerminal) {
  const cRun run = Cli({Fixture("cli_tetrahedron.stl"), "--verbose"});
  ASSERT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, kTetrahedronLines);
  EXPECT_EQ(run.err, "box diagonal: " + FormatDouble(std::sqrt(3.0)) +
                         "\nhulls: 1, vertices per hull: 4 to 4, faces: 4, closed: 1 of 1, "
                         "volume: 0.16666666666666666\n");

  // A terminal shows the facts and, with no delay, the progress bar; --quiet neither.
  cSpawn terminal;
  terminal.stderrTerminal = true;
  const cRun shown = Cli({Sample("gear.stl"), "--progress-after", "0"}, terminal);
  ASSERT_EQ(shown.exitCode, 0);
  EXPECT_EQ(shown.out, "triangles: 1024\nobjects: 2\nConvex hull completed...\n");
  for (const char* text : {"box diagonal: ", "\rreading      [", "\rdecomposing  [",
                           "\rhulls        [###############               ]  50%", "hulls: 2,"}) {
    EXPECT_NE(shown.err.find(text), std::string::npos) << text;
  }
  const cRun quiet = Cli({Sample("gear.stl"), "--progress-after", "0", "--quiet"}, terminal);
  ASSERT_EQ(quiet.exitCode, 0);
  EXPECT_EQ(quiet.err, "");
}

TEST(CliProgress, BarAppearsAfterTheDelayAndRedrawsOnlyOnChange) {
  cProgressBar bar(1.0);
  EXPECT_EQ(bar.Update("reading", 0.1, 10.0), "");  // the step's clock starts here
  EXPECT_EQ(bar.Update("reading", 0.5, 10.9), "");
  const std::string half = bar.Update("reading", 0.5, 11.0);
  EXPECT_EQ(half, "\rreading      [###############               ]  50%");
  EXPECT_EQ(bar.Update("reading", 0.505, 11.5), "");  // still 50 %
  EXPECT_EQ(bar.Update("reading", 7.0, 12.0),
            "\rreading      [##############################] 100%");
  const std::string clear = "\r" + std::string(50, ' ') + "\r";
  EXPECT_EQ(bar.Update("hulls", 0.0, 12.0), clear);  // a new step starts without a bar
  EXPECT_EQ(bar.Update("hulls", NAN, 14.0), "\rhulls        [                              ]   0%");
  EXPECT_EQ(bar.Clear(), clear);
  EXPECT_EQ(bar.Clear(), "");
}

TEST_F(CliTest, WarningsForFilesWithoutTrianglesAndSmoothOutsideItsRange) {
  cRun run = Cli({Fixture("cli_no_triangles.stl")});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.err, "convexdecomp-cli: warning: '" + Fixture("cli_no_triangles.stl") +
                         "' yields no triangles\n");
  for (const auto& [smooth, as] : {std::pair{"-5", "0"}, {"1.5", "1"}}) {
    run = Cli({Fixture("cli_tetrahedron.stl"), "--smooth", smooth});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err, std::string("convexdecomp-cli: warning: --smooth ") + smooth +
                           " is outside 0 to 1; the hulls are built as with " + as + "\n");
  }
  for (const char* smooth : {"0", "1", "0.5"}) {
    EXPECT_EQ(Cli({Fixture("cli_tetrahedron.stl"), "--smooth", smooth}).err, "");
  }
  // Epsilon below 0: every triangle stays alone.
  run = Cli({Sample("gear.stl"), "--epsilon", "-1"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, "triangles: 1024\nobjects: 0\n");
  EXPECT_EQ(run.err,
            "convexdecomp-cli: warning: --epsilon -1 is below 0: no triangle can join a piece\n");
  EXPECT_EQ(Cli({Fixture("cli_tetrahedron.stl"), "--epsilon-relative=-0.5"}).err,
            "convexdecomp-cli: warning: --epsilon-relative -0.5 gives Epsilon " +
                FormatDouble(-0.5 * std::sqrt(3.0)) +
                ", which is below 0: no triangle can join a piece\n");
  EXPECT_EQ(Cli({Fixture("cli_tetrahedron.stl"), "--epsilon", "0"}).err, "");
}

TEST_F(CliTest, MaxHullVerticesNamesTheHullsAboveAndStrictFails) {
  const cJson json = ParseJson(Cli({Sample("gear.stl"), "--json", "-"}).out);
  std::vector<double> counts;
  for (const cJson& hull : json["hulls"].items) counts.push_back(hull["vertex_count"].Number());
  ASSERT_EQ(counts.size(), 2u);
  ASSERT_NE(counts[0], counts[1]);
  const long limit = static_cast<long>(std::min(counts[0], counts[1]));
  const std::size_t above = counts[0] > counts[1] ? 1 : 2;
  const std::string report = "convexdecomp-cli: hull " + std::to_string(above) + " has " +
                             std::to_string(static_cast<long>(std::max(counts[0], counts[1]))) +
                             " vertices, more than " + std::to_string(limit) + "\n";
  cRun run = Cli({Sample("gear.stl"), "--max-hull-vertices", std::to_string(limit)});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.err, report);
  run = Cli({Sample("gear.stl"), "--max-hull-vertices", std::to_string(limit), "--strict", "--json",
             At("j")});
  EXPECT_EQ(run.exitCode, 3);
  EXPECT_EQ(run.err, report);
  EXPECT_TRUE(fs::exists(At("j")));  // the outputs are written all the same
  run = Cli({Sample("gear.stl"), "--max-hull-vertices", std::to_string(limit + 100), "--strict"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.err, "");
}

TEST_F(CliTest, HullsDirHoldsOneFilePerHullAsTheHullObjHasThem) {
  fs::create_directory(At("hd"));
  const cRun run = Cli({Sample("gear.stl"), "--obj", At("all.obj"), "--hulls-dir", At("hd")});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const cObjFile all = ParseObj(ReadAll(At("all.obj")));
  ASSERT_GE(all.objects.size(), 2u);
  std::set<std::string> expected;
  for (std::size_t h = 0; h < all.objects.size(); ++h) {
    char name[32];
    std::snprintf(name, sizeof name, "hull_%03zu.obj", h + 1);
    expected.insert(name);
    const cObjFile one = ParseObj(ReadAll(At("hd/" + std::string(name))));
    ASSERT_EQ(one.objects.size(), 1u);
    EXPECT_EQ(one.objects[0].name, all.objects[h].name);
    ASSERT_EQ(one.objects[0].faces.size(), all.objects[h].faces.size());
    for (std::size_t f = 0; f < one.objects[0].faces.size(); ++f) {
      for (int k = 0; k < 3; ++k) {
        EXPECT_TRUE(SamePoint(one.positions[one.objects[0].faces[f][k]],
                              all.positions[all.objects[h].faces[f][k]]));
      }
    }
  }
  std::set<std::string> written;
  for (const auto& e : fs::directory_iterator(At("hd"))) written.insert(e.path().filename());
  EXPECT_EQ(written, expected);

  // A folder that is made when missing; a file where the folder should be fails at once.
  EXPECT_EQ(Cli({Sample("gear.stl"), "--hulls-dir", At("new")}).exitCode, 0);
  EXPECT_TRUE(fs::exists(At("new/hull_002.obj")));
  const cRun bad = Cli({Sample("gear.stl"), "--hulls-dir", At("all.obj")});
  EXPECT_EQ(bad.exitCode, 1);
  EXPECT_EQ(bad.err, "convexdecomp-cli: cannot write " + At("all.obj") + ": " +
                         std::strerror(ENOTDIR) + "\n");
}

TEST_F(CliTest, RelativeEpsilonScalesWithTheBoxDiagonal) {
  // The fold's box diagonal is about 1.43; its far corner lies 0.2 in front.
  const std::string fold = Fixture("cli_concave_fold.stl");
  const cJson json = ParseJson(Cli({fold, "--epsilon-relative", "0.21", "--json", "-"}).out);
  const cVec3 size = Point(json["mesh"]["box"][1]) - Point(json["mesh"]["box"][0]);
  EXPECT_EQ(json["epsilon"].Number(), 0.21 * Length(size));
  EXPECT_EQ(json["pieces"].size(), 1u);
  EXPECT_EQ(Cli({fold, "--epsilon-relative=0.07"}).out, "triangles: 2\nobjects: 0\n");
  const cRun verbose = Cli({fold, "--epsilon-relative=0.07", "--verbose"});
  EXPECT_EQ(verbose.err, "box diagonal: " + FormatDouble(Length(size)) +
                             "\nepsilon: " + FormatDouble(0.07 * Length(size)) + "\n");
}

TEST_F(CliTest, SweepRowsAgreeWithSingleRuns) {
  const cRun sweep = Cli({Sample("gear.stl"), "--sweep-epsilon", "0.0625:0.5:3"});
  ASSERT_EQ(sweep.exitCode, 0) << sweep.err;
  std::istringstream lines(sweep.out);
  std::string line;
  std::getline(lines, line);
  EXPECT_EQ(line, "epsilon,pieces,hulls,max_hull_vertices");
  std::vector<std::string> epsilons;
  std::set<std::string> pieceCounts;
  while (std::getline(lines, line)) {
    const std::string epsilon = line.substr(0, line.find(','));
    epsilons.push_back(epsilon);
    const cJson json =
        ParseJson(Cli({Sample("gear.stl"), "--epsilon", epsilon, "--json", "-"}).out);
    double most = 0;
    for (const cJson& hull : json["hulls"].items)
      most = std::max(most, hull["vertex_count"].Number());
    EXPECT_EQ(line, epsilon + "," + std::to_string(json["pieces"].size()) + "," +
                        std::to_string(json["hulls"].size()) + "," +
                        std::to_string(static_cast<long>(most)));
    pieceCounts.insert(line.substr(line.find(',')));
  }
  EXPECT_EQ(epsilons, (std::vector<std::string>{"0.0625", "0.28125", "0.5"}));
  EXPECT_GE(pieceCounts.size(), 2u);  // the count falls within the range
}

TEST_F(CliTest, OutputsThroughLinksAndIntoDevicesAndFifos) {
  const std::string input = Fixture("cli_tetrahedron.stl");
  const std::string expected = Cli({input, "--json", "-"}).out;
  fs::create_symlink("real.json", At("link.json"));  // dangling: its target is made
  ASSERT_EQ(Cli({input, "--json", At("link.json")}).exitCode, 0);
  EXPECT_TRUE(fs::is_symlink(At("link.json")));
  EXPECT_EQ(ReadAll(At("real.json")), expected);
  { std::ofstream(At("real.json")) << "old"; }
  ASSERT_EQ(Cli({input, "--json", At("link.json")}).exitCode, 0);
  EXPECT_TRUE(fs::is_symlink(At("link.json")));
  EXPECT_EQ(ReadAll(At("real.json")), expected);

  ASSERT_EQ(mkfifo(At("fifo").c_str(), 0600), 0);
  std::string received;
  std::thread reader([&] { received = ReadAll(At("fifo")); });
  const cRun run = Cli({input, "--json", At("fifo")});
  reader.join();
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(received, expected);
  EXPECT_TRUE(fs::is_fifo(At("fifo")));
  if (fs::is_character_file("/dev/null")) {
    EXPECT_EQ(Cli({input, "--json", "/dev/null"}).exitCode, 0);
    EXPECT_TRUE(fs::is_character_file("/dev/null"));
  }
  EXPECT_EQ(Entries(), (std::set<std::string>{"fifo", "link.json", "real.json"}));
}

// A name of an open descriptor is written through it: appended where it appends, after the
// lines already printed, also when it is a pipe.
TEST_F(CliTest, OutputsNamingAnOpenDescriptorAreWrittenThroughIt) {
  const std::string input = Fixture("cli_tetrahedron.stl");
  const std::string json = Cli({input, "--json", "-"}).out;
  for (const char* name : {"/dev/stdout", "/dev/fd/1", "/proc/self/fd/1"}) {
    { std::ofstream(At("app.log")) << "old\n"; }
    EXPECT_EQ(Cli({input, "--quiet", "--json", name}, StdoutInto(At("app.log"), true)).exitCode, 0);
    EXPECT_EQ(ReadAll(At("app.log")), "old\n" + std::string(kTetrahedronLines) + json) << name;
  }
  const cRun warned = Cli({input, "--smooth", "2", "--obj", At("o"), "--json", "/dev/stderr"});
  EXPECT_EQ(warned.err.rfind("convexdecomp-cli: warning: --smooth 2 is outside", 0), 0u);
  EXPECT_EQ(ParseJson(warned.err.substr(warned.err.find('\n') + 1))["smooth"].text, "2");
  const cRun piped =
      RunProgram("/bin/sh", {"-c", "\"$0\" \"$1\" --json /dev/stdout | cat", CD_CLI, input}, dir);
  EXPECT_EQ(piped.out, kTetrahedronLines + json);
  EXPECT_EQ(Entries(), (std::set<std::string>{"app.log", "o"}));
}

// Devices and FIFOs are written as the output is made, not held to the end: the pieces OBJ
// reaches its FIFO's reader in full while the run still waits for the reader of a hull FIFO.
TEST_F(CliTest, FifoOutputsAreWrittenAsTheyAreMade) {
  ASSERT_EQ(Cli({Sample("gear.stl"), "--pieces-obj", At("p.obj")}).exitCode, 0);
  ASSERT_EQ(mkfifo(At("pieces").c_str(), 0600), 0);
  fs::create_directory(At("hd"));
  ASSERT_EQ(mkfifo(At("hd/hull_001.obj").c_str(), 0600), 0);
  cChild child = StartProgram(
      CD_CLI, {Sample("gear.stl"), "--pieces-obj", At("pieces"), "--hulls-dir", At("hd")}, dir);
  std::promise<std::string> received;
  std::future<std::string> pieces = received.get_future();
  std::thread reader([&] { received.set_value(ReadAll(At("pieces"))); });
  EXPECT_EQ(pieces.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  std::thread hull([&] { ReadAll(At("hd/hull_001.obj")); });
  EXPECT_EQ(Wait(child).exitCode, 0);
  reader.join();
  hull.join();
  EXPECT_EQ(pieces.get(), ReadAll(At("p.obj")));
}

TEST_F(CliTest, OneOutputFailingKeepsEveryOtherOutOfPlace) {
  // The hull OBJ fits in 20000 bytes, the pieces OBJ does not: neither appears.
  const cRun run = Cli(
      {Sample("gear.stl"), "--obj", At("o"), "--pieces-obj", At("p"), "--hulls-dir", At("hd"),
       "--mjcf", At("m.xml"), "--urdf", At("m.urdf"), "--glb", At("m.glb"), "--stl-dir", At("sd")},
      FileSizeLimit(20000));
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.err,
            "convexdecomp-cli: cannot write " + At("p") + ": " + std::strerror(EFBIG) + "\n");
  // The folders the run made go too: the hulls', the STL files' and the MJCF's and URDF's meshes.
  EXPECT_EQ(Entries(), std::set<std::string>{});
}

// The first entry of dir whose name starts with prefix, or "".
std::string EntryStartingWith(const fs::path& dir, const std::string& prefix) {
  for (const auto& e : fs::directory_iterator(dir)) {
    if (e.path().filename().string().rfind(prefix, 0) == 0) return e.path().string();
  }
  return "";
}

// Waits until a temporary file (of the output name, if given) shows in dir, up to ten seconds.
bool AwaitTemporary(const fs::path& dir, const std::string& name = "") {
  for (int i = 0; i < 1000; ++i) {
    if (!EntryStartingWith(dir, ".convexdecomp-" + name).empty()) return true;
    usleep(10000);
  }
  return false;
}

// A run writing hd/hull_001.obj, a FIFO, waits there for a reader with its other outputs written
// and closed, not yet in place. Meanwhile a folder takes the place of the pieces OBJ: its rename
// fails, and the JSON and the new files put in place before it are undone.
TEST_F(CliTest, ARenameFailingPutsBackWhatWasInPlace) {
  { std::ofstream(At("j")) << "old"; }
  { std::ofstream(At("bad")) << "old"; }
  fs::create_directory(At("hd"));
  ASSERT_EQ(mkfifo(At("hd/hull_001.obj").c_str(), 0600), 0);
  cChild child = StartProgram(CD_CLI,
                              {Sample("gear.stl"), "--json", At("j"), "--obj", At("new"),
                               "--pieces-obj", At("bad"), "--hulls-dir", At("hd")},
                              dir);
  ASSERT_TRUE(AwaitTemporary(dir, "bad."));
  fs::remove(At("bad"));
  fs::create_directories(At("bad/full"));
  std::thread reader([&] { ReadAll(At("hd/hull_001.obj")); });
  const cRun run = Wait(child);
  reader.join();
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.err,
            "convexdecomp-cli: cannot write " + At("bad") + ": " + std::strerror(EISDIR) + "\n");
  EXPECT_EQ(ReadAll(At("j")), "old");
  EXPECT_EQ(Entries(), (std::set<std::string>{"bad", "hd", "j"}));
  EXPECT_EQ(std::distance(fs::directory_iterator(At("hd")), fs::directory_iterator()), 1);
}

// The same wait, with the JSON complete: a second run writing the same JSON, or into the same
// hulls folder, fails until the first is done.
TEST_F(CliTest, ASecondRunOnTheSameOutputFailsUntilTheFirstIsDone) {
  fs::create_directory(At("hd"));
  ASSERT_EQ(mkfifo(At("hd/hull_001.obj").c_str(), 0600), 0);
  cChild first =
      StartProgram(CD_CLI, {Sample("gear.stl"), "--json", At("j"), "--hulls-dir", At("hd")}, dir);
  ASSERT_TRUE(AwaitTemporary(dir, "j."));
  const std::string temporary = EntryStartingWith(dir, ".convexdecomp-j.");
  for (int i = 0; i < 1000 && !ReadAll(temporary).ends_with("\n}\n"); ++i) usleep(10000);
  fs::create_directory(At("second"));
  for (const char* option : {"--json", "--hulls-dir"}) {
    const std::string target = At(option[2] == 'j' ? "j" : "hd");
    const cRun second = RunProgram(CD_CLI, {Sample("gear.stl"), option, target}, At("second"));
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_EQ(second.err,
              "convexdecomp-cli: cannot write " + target + ": " + std::strerror(EBUSY) + "\n");
  }
  std::thread reader([&] { ReadAll(At("hd/hull_001.obj")); });
  EXPECT_EQ(Wait(first).exitCode, 0);
  reader.join();
  EXPECT_EQ(ParseJson(ReadAll(At("j")))["hulls"].size(), 2u);
  EXPECT_EQ(RunProgram(CD_CLI, {Sample("gear.stl"), "--json", At("j")}, At("second")).exitCode, 0);
}

TEST_F(CliTest, InterruptedRunsRemoveTheirTemporaryFiles) {
  // A FIFO output nobody reads holds the run after its other outputs are open.
  ASSERT_EQ(mkfifo(At("fifo").c_str(), 0600), 0);
  const std::vector<std::string> args = {Sample("gear.stl"), "--json", At("out.json"), "--obj",
                                         At("fifo")};
  for (const auto& [signal, status] : {std::pair{SIGINT, 130},
                                       {SIGTERM, 143},
                                       {SIGHUP, 129},
                                       {SIGQUIT, 131},
                                       {SIGUSR1, 138},
                                       {SIGALRM, 142},
                                       {SIGRTMIN, 128 + SIGRTMIN},
                                       {SIGABRT, 128 + SIGABRT}}) {
    SCOPED_TRACE(signal);
    cChild child = StartProgram(CD_CLI, args, dir);
    ASSERT_TRUE(AwaitTemporary(dir));
    usleep(100000);
    kill(child.pid, signal);
    EXPECT_EQ(Wait(child).exitCode, status);
    EXPECT_EQ(Entries(), std::set<std::string>{"fifo"});
  }
  // The FIFO's reader goes away before the run writes to it: SIGPIPE.
  cChild piped = StartProgram(CD_CLI, args, dir);
  close(open(At("fifo").c_str(), O_RDONLY));
  EXPECT_EQ(Wait(piped).exitCode, 128 + SIGPIPE);
  EXPECT_EQ(Entries(), std::set<std::string>{"fifo"});
  // SIGINT ignored from the start stays ignored: the run goes on once the FIFO is read.
  cSpawn ignoring;
  ignoring.ignoreInterrupt = true;
  cChild ignored = StartProgram(CD_CLI, args, dir, ignoring);
  ASSERT_TRUE(AwaitTemporary(dir));
  kill(ignored.pid, SIGINT);
  usleep(100000);
  ASSERT_EQ(waitpid(ignored.pid, nullptr, WNOHANG), 0) << "SIGINT ended the run";
  ReadAll(At("fifo"));
  EXPECT_EQ(Wait(ignored).exitCode, 0);
  EXPECT_TRUE(fs::remove(At("out.json")));
  // SIGKILL leaves the temporary file; the next run to the same output makes its own and leaves
  // the old one alone.
  cChild child = StartProgram(CD_CLI, args, dir);
  ASSERT_TRUE(AwaitTemporary(dir));
  kill(child.pid, SIGKILL);
  EXPECT_EQ(Wait(child).exitCode, 128 + SIGKILL);
  std::set<std::string> left = Entries();
  ASSERT_EQ(left.size(), 2u);
  EXPECT_EQ(left.begin()->rfind(".convexdecomp-out.json.", 0), 0u) << *left.begin();
  EXPECT_EQ(Cli({Sample("gear.stl"), "--json", At("out.json")}).exitCode, 0);
  left.insert("out.json");
  EXPECT_EQ(Entries(), left);
}

// A replaced output keeps its mode, and for root its owner; one the user may not write stays.
TEST_F(CliTest, ReplacedOutputsKeepTheirModeAndOwner) {
  const std::string input = Fixture("cli_tetrahedron.stl");
  fs::create_directory(At("hd"));
  const bool root = geteuid() == 0;
  for (const fs::perms mode : {fs::perms(0600), fs::perms(0640), fs::perms(0604)}) {
    for (const char* name : {"out.json", "hd/hull_001.obj"}) {
      { std::ofstream(At(name)) << "old"; }
      fs::permissions(At(name), mode);
      if (root) {
        ASSERT_EQ(chown(At(name).c_str(), 65534, 65534), 0);
      }
    }
    ASSERT_EQ(Cli({input, "--json", At("out.json"), "--hulls-dir", At("hd")}).exitCode, 0);
    for (const char* name : {"out.json", "hd/hull_001.obj"}) {
      struct stat info;
      ASSERT_EQ(stat(At(name).c_str(), &info), 0);
      EXPECT_EQ(info.st_mode & 07777, static_cast<mode_t>(mode)) << name;
      if (root) {
        EXPECT_EQ(info.st_uid + info.st_gid, 2 * 65534u) << name;
      }
    }
  }
}

TEST_F(CliTest, OutputsTheUserMayNotWriteAreRefused) {
  if (geteuid() == 0) GTEST_SKIP() << "root may write any file";
  { std::ofstream(At("out.json")) << "old"; }
  fs::permissions(At("out.json"), fs::perms(0444));
  const cRun run = Cli({Fixture("cli_tetrahedron.stl"), "--json", At("out.json")});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.err, "convexdecomp-cli: cannot write " + At("out.json") + ": " +
                         std::strerror(EACCES) + "\n");
  EXPECT_EQ(ReadAll(At("out.json")), "old");
}

// With standard output or error closed at the start, no output takes its descriptor and the
// lines meant for it.
TEST_F(CliTest, ClosedStandardDescriptorsStayOutOfTheOutputs) {
  for (const int fd : {1, 2}) {
    cSpawn closed;
    closed.closedDescriptor = fd;
    EXPECT_EQ(Cli({Sample("gear.stl"), "--verbose", "--json", At("out.json")}, closed).exitCode, 0);
    EXPECT_EQ(ParseJson(ReadAll(At("out.json")))["hulls"].size(), 2u) << fd;
  }
}

// Files under the names older runs used for their temporary files are not the tool's: a hard
// link to another file or to the input, a FIFO or a device node stays as it was. Names alike in
// their first 200 characters get temporary files of their own.
TEST_F(CliTest, TemporaryFilesNeverTakeOverAnExistingName) {
  fs::copy_file(Fixture("cli_tetrahedron.stl"), At("in.stl"));
  { std::ofstream(At("other")) << "keep"; }
  fs::create_hard_link(At("other"), At(".convexdecomp-o.json"));
  fs::create_hard_link(At("in.stl"), At(".convexdecomp-p.obj"));
  ASSERT_EQ(mkfifo(At(".convexdecomp-h.obj").c_str(), 0600), 0);
  const bool device = mknod(At(".convexdecomp-d.obj").c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0;
  const std::string n(200, 'n');
  const cRun run = Cli(
      {At("in.stl"), "--json", At("o.json"), "--pieces-obj", At("p.obj"), "--obj", At("h.obj")});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(ReadAll(At("other")), "keep");
  EXPECT_EQ(fs::hard_link_count(At("other")), 2u);
  EXPECT_EQ(ReadAll(At(".convexdecomp-p.obj")), ReadAll(Fixture("cli_tetrahedron.stl")));
  EXPECT_TRUE(fs::is_fifo(At(".convexdecomp-h.obj")));
  EXPECT_EQ(
      Cli({At("in.stl"), "--obj", At("d.obj"), "--json", At(n + "a"), "--pieces-obj", At(n + "b")})
          .exitCode,
      0);
  EXPECT_EQ(fs::is_character_file(At(".convexdecomp-d.obj")), device);
  EXPECT_EQ(ParseJson(ReadAll(At(n + "a")))["hulls"].size(), 1u);
  EXPECT_EQ(ParseObj(ReadAll(At(n + "b"))).objects.size(), 1u);
  EXPECT_EQ(Entries().size(), device ? 12u : 11u);
}

TEST_F(CliTest, BinaryHeaderPromisingFourBillionTrianglesFailsWithTheErrorLine) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers' allocators end the process instead of throwing bad_alloc";
#endif
  // A sparse file of exactly 84 + 50 x 0xFFFFFFFF bytes.
  const std::string path = At("huge.stl");
  {
    std::ofstream out(path, std::ios::binary);
    const char header[84] = {};
    out.write(header, 80);
    out.write("\xff\xff\xff\xff", 4);
  }
  if (truncate(path.c_str(), 84 + 50 * 0xFFFFFFFFLL) != 0) GTEST_SKIP() << "no sparse file here";
  cSpawn bounded;
  bounded.addressSpaceLimit = rlim_t{4} << 30;
  const cRun run = Cli({path, "--json", At("out.json")}, bounded);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.err, "convexdecomp-cli: cannot read " + path + ": " + std::strerror(ENOMEM) + "\n");
  EXPECT_EQ(Entries(), std::set<std::string>{"huge.stl"});
}

// The README's recipe for a folder, run as written with the samples as the folder.
TEST_F(CliTest, ReadmeFolderRecipeConvertsEverySample) {
  const std::string readme = ReadAll(CD_README);
  const std::size_t use = readme.find("xargs -0 -P");
  ASSERT_NE(use, std::string::npos);
  const std::size_t begin = readme.rfind("```sh\n", use) + 6;
  const std::string recipe = readme.substr(begin, readme.find("```", use) - begin);
  fs::create_directory(At("build"));
  fs::create_symlink(CD_CLI, At("build/convexdecomp-cli"));
  fs::create_directory(At("samples"));
  for (const char* name : {"gear.stl", "torus.stl"})
    fs::copy_file(Sample(name), At("samples/") + name);
  cSpawn here;
  here.workingDirectory = dir.string();
  const cRun run = RunProgram("/bin/sh", {"-c", recipe}, dir, here);
  ASSERT_EQ(run.exitCode, 0) << recipe << run.err;
  for (const char* name : {"gear", "torus"}) {
    SCOPED_TRACE(name);
    const std::string sample = Sample(std::string(name) + ".stl");
    const cRun direct = Cli({sample, "--json", At("direct.json"), "--obj", At("direct.obj")});
    ASSERT_EQ(direct.exitCode, 0);
    EXPECT_EQ(ReadAll(At("out/" + std::string(name) + ".json")), ReadAll(At("direct.json")));
    EXPECT_EQ(ReadAll(At("out/" + std::string(name) + ".obj")), ReadAll(At("direct.obj")));
  }
}

// One example of the README: a comment naming the command, then a fenced block of what it prints.
struct cReadmeExample {
  std::string command;
  std::string expected;
  std::size_t line = 0;  // of the comment, 1-based
};

// Every line "<!-- example: COMMAND -->" of the text, followed on the next by a fenced block. A
// block whose first line starts with "$ " shows the command first: that line must be
// "$ COMMAND", and the output is what follows it.
std::vector<cReadmeExample> ReadmeExamples(const std::string& readme) {
  const std::string mark = "<!-- example: ";
  std::vector<cReadmeExample> examples;
  for (std::size_t at = readme.find(mark); at != std::string::npos;
       at = readme.find(mark, at + 1)) {
    if (at > 0 && readme[at - 1] != '\n') continue;  // a mark is a line of its own
    cReadmeExample example;
    example.line =
        1 + static_cast<std::size_t>(std::count(readme.begin(), readme.begin() + at, '\n'));
    const std::size_t end = readme.find(" -->\n", at);
    if (end == std::string::npos || readme.find('\n', at) < end)
      throw std::runtime_error("README line " + std::to_string(example.line) + ": unclosed mark");
    example.command = readme.substr(at + mark.size(), end - at - mark.size());
    const std::size_t open = end + 5;
    const std::size_t body = readme.find('\n', open) + 1;
    const std::size_t close = readme.find("\n```\n", body - 1);
    if (readme.compare(open, 3, "```") != 0 || close == std::string::npos)
      throw std::runtime_error("README line " + std::to_string(example.line) +
                               ": no fenced block after the mark");
    example.expected = readme.substr(body, close + 1 - body);
    if (example.expected.rfind("$ ", 0) == 0) {
      const std::size_t first = example.expected.find('\n');
      if (example.expected.substr(2, first - 2) != example.command)
        throw std::runtime_error("README line " + std::to_string(example.line) +
                                 ": the block shows another command than its mark");
      example.expected.erase(0, first + 1);
    }
    examples.push_back(example);
  }
  return examples;
}

// The README's examples, run one after another by /bin/sh in one folder laid out as the
// repository's root is (samples/ and tests/ as links, build/convexdecomp-cli the tool under
// test), so that an example may read what an earlier one wrote; standard error goes with
// standard output, as on a terminal. Each prints exactly its block.
TEST_F(CliTest, ReadmeExamplesPrintWhatTheReadmeShows) {
  const std::vector<cReadmeExample> examples = ReadmeExamples(ReadAll(CD_README));
  ASSERT_GE(examples.size(), 8u);
  const fs::path source = fs::path(CD_README).parent_path();
  const fs::path root = dir / "root";
  fs::create_directories(root / "build");
  fs::create_symlink(CD_CLI, root / "build/convexdecomp-cli");
  fs::create_directory_symlink(source / "samples", root / "samples");
  fs::create_directory_symlink(source / "tests", root / "tests");
  cSpawn here;
  here.workingDirectory = root.string();
  here.stderrIntoStdout = true;
  for (const cReadmeExample& example : examples) {
    SCOPED_TRACE("README.md:" + std::to_string(example.line) + ": " + example.command);
    const cRun run = RunProgram("/bin/sh", {"-c", example.command}, dir, here);
    EXPECT_EQ(run.out, example.expected);
  }
}

// Runs cannot make pieces with children; the writers treat them as their leaves.
TEST(CliExport, PieceWithChildrenStandsForItsLeaves) {
  cMesh mesh;
  cDecomposition decomposition;
  auto parent = std::make_unique<cConvexPiece>();
  parent->triangles.emplace_back(cVec3(9, 9, 9), cVec3(8, 8, 8), cVec3(7, 7, 7));
  for (float x : {1.0f, 2.0f}) {
    auto child = std::make_unique<cConvexPiece>();
    child->triangles.emplace_back(cVec3(x, 0, 0), cVec3(0, x, 0), cVec3(0, 0, x));
    child->triangles.emplace_back(cVec3(x, 0, 0), cVec3(0, 0, x), cVec3(-0.0f, -x, 0));
    child->triangles.emplace_back(cVec3(-0.0f, x, 0), cVec3(0, 0, x), cVec3(x, 0, 0));
    parent->children.push_back(std::move(child));
  }
  decomposition.pieces.push_back(std::move(parent));

  char* buffer = nullptr;
  std::size_t size = 0;
  std::FILE* out = open_memstream(&buffer, &size);
  WritePiecesObj(out, decomposition.pieces);
  std::fclose(out);
  const std::string text(buffer, size);
  std::free(buffer);
  const cObjFile obj = ParseObj(text);
  ASSERT_EQ(obj.objects.size(), 2u);
  EXPECT_EQ(obj.objects[1].name, "piece_2");
  EXPECT_EQ(obj.objects[0].vertices.size(), 4u);  // (-0, 1, 0) is the corner (0, 1, 0)
  EXPECT_EQ(obj.objects[0].faces[2], (std::array<std::size_t, 3>{1, 2, 0}));
  EXPECT_EQ(obj.objects[1].faces[1], (std::array<std::size_t, 3>{4, 6, 7}));
  EXPECT_EQ(text.find(" 9 "), std::string::npos);  // the parent's own triangles are not leaves
  // The export's shapes are the same leaves, written as the same bytes.
  out = open_memstream(&buffer, &size);
  WriteShapesObj(out, PieceShapes(decomposition.pieces));
  std::fclose(out);
  EXPECT_EQ(std::string(buffer, size), text);
  std::free(buffer);

  cRunResult run;
  run.mesh = &mesh;
  run.decomposition = &decomposition;
  out = open_memstream(&buffer, &size);
  WriteJson(out, run);
  std::fclose(out);
  const cJson json = ParseJson(std::string(buffer, size));
  std::free(buffer);
  ASSERT_EQ(json["pieces"][0]["children"].size(), 2u);
  EXPECT_EQ(json["pieces"][0]["children"][1]["triangles"][1][2][0].text, "-0");
}

TEST(CliExport, NamesGiveTheFormatTheMeshFolderAndTheModelName) {
  const struct {
    const char* path;
    cExportFormat format;
    const char* folder;
    const char* model;
  } rows[] = {
      {"gear.xml", cExportFormat::Mjcf, "gear_meshes", "gear"},
      {"out/a.b/Gear.XML", cExportFormat::Mjcf, "Gear_meshes", "Gear"},
      {"r.urdf", cExportFormat::Urdf, "r_meshes", "r"},
      {"x.GLB", cExportFormat::Glb, "x_meshes", "x"},
      {"hulls.Obj", cExportFormat::Obj, "hulls_meshes", "hulls"},
      {"a.b/stl", cExportFormat::StlFolder, "stl_meshes", "stl"},
      {"parts.stl", cExportFormat::StlFolder, "parts_meshes", "parts"},
      {".xml", cExportFormat::Mjcf, ".xml_meshes", ".xml"},
      {"dir/", cExportFormat::StlFolder, "_meshes", "robot"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(ExportFormatFor(row.path), row.format) << row.path;
    EXPECT_EQ(MeshFolderFor(row.path), row.folder) << row.path;
    EXPECT_EQ(ModelNameFor(row.path), row.model) << row.path;
  }
}

// The shipped samples are what the generator makes, closed and wound outward.
TEST_F(CliTest, SamplesAreRegeneratedExactlyAndAreClosedOutwardSurfaces) {
  const cRun run = RunProgram(CD_MAKE_SAMPLES, {dir.string()}, dir);
  ASSERT_EQ(run.exitCode, 0) << run.err;
  for (const char* name : {"torus.stl", "gear.stl"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(ReadAll(At(name)), ReadAll(Sample(name)));
    cMesh mesh;
    ASSERT_TRUE(LoadStlFile(Sample(name), mesh));
    EXPECT_GE(mesh.triangles.size(), 300u);
    EXPECT_LE(mesh.triangles.size(), 2000u);
    // Every directed edge once, and its reverse once; a positive enclosed volume.
    std::map<std::array<float, 6>, int> edges;
    double volume = 0.0;
    for (const cTriangle& t : mesh.triangles) {
      for (int k = 0; k < 3; ++k) {
        const cVec3& a = t.vertex[k];
        const cVec3& b = t.vertex[(k + 1) % 3];
        ++edges[{a.x, a.y, a.z, b.x, b.y, b.z}];
      }
      volume += Dot(t.vertex[0], Cross(t.vertex[1], t.vertex[2])) / 6.0;
    }
    for (const auto& [edge, count] : edges) {
      EXPECT_EQ(count, 1);
      const auto reverse = edges.find({edge[3], edge[4], edge[5], edge[0], edge[1], edge[2]});
      EXPECT_TRUE(reverse != edges.end() && reverse->second == 1);
    }
    EXPECT_GT(volume, 0.0);
  }
}

}  // namespace
