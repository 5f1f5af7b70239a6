// convexdecomp-cli: the desktop tool's Open, Decompose and Convex Hull run on one file without a
// window, with the results written as JSON and OBJ.
//
// The run calls the very functions the desktop's menu commands call, in the same order:
// OpenMesh with the input as the chosen file (the mesh's colour drawn first), Decompose (whose
// first run attaches a decomposition and draws the piece colours) and StartConvexHull (which
// draws the hull colours). The console platform runs their worker threads at once on this
// thread, so each step is over when its call returns. The random generator is never seeded, so a
// run gives the colours the desktop shows after File > Open, Tools > Decompose and Tools > Convex
// Hull on the same file.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "cli/console_platform.h"
#include "cli/export.h"
#include "cli/options.h"
#include "cli/output.h"
#include "decomposition/decomposition.h"
#include "geometry/mesh.h"
#include "hull/hull.h"
#include "io/stl.h"
#include "platform/platform.h"
#include "state/state.h"

namespace {

constexpr const char* kProgram = "convexdecomp-cli";

void ReportFailure(const char* what, const std::string& path, int error) {
  std::fprintf(stderr, "%s: cannot %s %s: %s\n", kProgram, what, path.c_str(),
               std::strerror(error));
}

void Warn(const std::string& text) {
  std::fprintf(stderr, "%s: warning: %s\n", kProgram, text.c_str());
}

// The console platform installed for one run, and the current mesh destroyed when the run ends,
// whichever way it ends.
class cSession {
 public:
  cSession(std::FILE* stream, const std::string& input) : console(stream, input) {
    SetPlatform(&console);
  }
  ~cSession() {
    console.ClearProgress();
    DestroyCurrentMesh();
    SetPlatform(nullptr);
  }
  cSession(const cSession&) = delete;
  cSession& operator=(const cSession&) = delete;

  cConsolePlatform console;
};

// Where the informative lines and the progress bar go.
struct cDisplay {
  bool facts = false;     // box diagonal, Epsilon, hull summary on standard error
  bool progress = false;  // progress bar on standard error
};

std::vector<const cHullResult*> HullResults(const cDecomposition& decomposition) {
  std::vector<const cHullResult*> hulls;
  for (const auto& entry : decomposition.hulls) {
    if (const auto* hull = dynamic_cast<const cHullResult*>(entry.get())) hulls.push_back(hull);
  }
  return hulls;
}

std::string HullFileName(std::size_t number) {
  char name[32];
  std::snprintf(name, sizeof name, "hull_%03zu.obj", number);
  return name;
}

// One line after "Convex hull completed...": how many hulls, their sizes and volume.
void PrintHullSummary(const std::vector<const cHullResult*>& hulls) {
  std::size_t fewest = 0, most = 0, closed = 0, faces = 0;
  double volume = 0.0;
  for (std::size_t i = 0; i < hulls.size(); ++i) {
    const cHullFacts facts = HullFacts(hulls[i]->faces);
    fewest = i == 0 ? facts.vertices : std::min(fewest, facts.vertices);
    most = std::max(most, facts.vertices);
    faces += facts.faces;
    volume += facts.volume;
    if (facts.closed) ++closed;
  }
  std::fprintf(stderr,
               "hulls: %zu, vertices per hull: %zu to %zu, faces: %zu, closed: %zu of %zu, "
               "volume: %s\n",
               hulls.size(), fewest, most, faces, closed, hulls.size(),
               std::isfinite(volume) ? FormatDouble(volume).c_str() : "not finite");
}

// --sweep-epsilon: Decompose and Convex Hull again for every value, one CSV line each.
void RunSweep(const cSweep& sweep, cMesh& mesh, bool hulls) {
  std::printf("epsilon,pieces,hulls,max_hull_vertices\n");
  for (int i = 0; i < sweep.steps; ++i) {
    const double epsilon = sweep.Value(i);
    Epsilon.store(epsilon);
    Decompose(mesh);
    cDecomposition& decomposition = *mesh.decomposition;
    if (hulls) StartConvexHull(decomposition);
    std::size_t most = 0;
    const auto results = HullResults(decomposition);
    for (const cHullResult* hull : results) most = std::max(most, HullFacts(hull->faces).vertices);
    std::printf("%s,%zu,%zu,%zu\n", FormatDouble(epsilon).c_str(), decomposition.pieces.size(),
                results.size(), most);
  }
}

// Checks that DIR is a folder this run can write in, making it when it does not exist.
// 0 or the errno of the failure.
int PrepareHullsDir(const std::string& dir) {
  struct stat info;
  if (stat(dir.c_str(), &info) != 0) {
    if (errno != ENOENT || mkdir(dir.c_str(), 0777) != 0) return errno;
  } else if (!S_ISDIR(info.st_mode)) {
    return ENOTDIR;
  }
  return access(dir.c_str(), W_OK | X_OK) == 0 ? 0 : errno;
}

int Run(const cCliOptions& options, const cDisplay& display) {
  // The input must be a file: fopen opens a directory for reading without complaint.
  struct stat info;
  if (stat(options.input.c_str(), &info) != 0) {
    ReportFailure("read", options.input, errno);
    return 1;
  }
  if (S_ISDIR(info.st_mode)) {
    ReportFailure("read", options.input, EISDIR);
    return 1;
  }

  // Every output is opened before the work, so that an unwritable path fails at once.
  const mode_t mask = umask(0);
  umask(mask);
  std::unique_ptr<cOutputFile> json, obj, piecesObj;
  for (auto [path, slot] : {std::pair{&options.json, &json}, std::pair{&options.obj, &obj},
                            std::pair{&options.piecesObj, &piecesObj}}) {
    if (path->empty() || *path == "-") continue;
    auto file = std::make_unique<cOutputFile>(*path);
    if (const int error = file->Open(0666 & ~mask); error != 0) {
      ReportFailure("write", *path, error);
      return 1;
    }
    *slot = std::move(file);
  }
  if (!options.hullsDir.empty()) {
    if (const int error = PrepareHullsDir(options.hullsDir); error != 0) {
      ReportFailure("write", options.hullsDir, error);
      return 1;
    }
  }

  const bool jsonToStdout = options.json == "-";
  std::FILE* lines = options.sweep ? nullptr : jsonToStdout ? stderr : stdout;
  cSession session(lines, options.input);
  cConsolePlatform& console = session.console;
  if (display.progress) console.ShowProgressOn(stderr, options.progressAfter);

  // What the Options dialog would have set.
  double epsilon = options.epsilon;
  Epsilon.store(epsilon);
  Smooth.store(options.smooth);
  if (options.smooth < 0.0 || options.smooth > 1.0) {
    Warn("--smooth " + FormatDouble(options.smooth) +
         " is outside 0 to 1; the hulls are built as with " + (options.smooth < 0.0 ? "0" : "1"));
  }

  // File > Open, with the input chosen in its dialog.
  std::string lastName;
  bool opened = false;
  try {
    opened = OpenMesh(CurrentMesh, lastName);
  } catch (const std::bad_alloc&) {
    ReportFailure("read", options.input, ENOMEM);
    return 1;
  }
  if (!opened) {
    ReportFailure("read", options.input, errno);
    return 1;
  }
  cMesh& mesh = *CurrentMesh;
  console.ClearProgress();
  if (mesh.triangles.empty()) Warn("'" + options.input + "' yields no triangles");
  const double diagonal = Length(mesh.box.max - mesh.box.min);
  if (display.facts) std::fprintf(stderr, "box diagonal: %s\n", FormatDouble(diagonal).c_str());
  if (options.epsilonRelative) {
    epsilon = *options.epsilonRelative * diagonal;
    Epsilon.store(epsilon);
    if (display.facts) std::fprintf(stderr, "epsilon: %s\n", FormatDouble(epsilon).c_str());
  }

  if (options.sweep) {
    RunSweep(*options.sweep, mesh, options.hulls);
    return 0;
  }

  // Tools > Decompose, then Tools > Convex Hull.
  Decompose(mesh);
  assert(mesh.decomposition != nullptr);
  cDecomposition& decomposition = *mesh.decomposition;
  if (options.hulls) StartConvexHull(decomposition);
  console.ClearProgress();

  const std::vector<const cHullResult*> hulls = HullResults(decomposition);
  if (display.facts && options.hulls && !decomposition.pieces.empty()) PrintHullSummary(hulls);
  bool exceeded = false;
  if (options.maxHullVertices) {
    for (std::size_t i = 0; i < hulls.size(); ++i) {
      const std::size_t vertices = HullFacts(hulls[i]->faces).vertices;
      if (vertices <= static_cast<std::size_t>(*options.maxHullVertices)) continue;
      std::fprintf(stderr, "%s: hull %zu has %zu vertices, more than %ld\n", kProgram, i + 1,
                   vertices, *options.maxHullVertices);
      exceeded = true;
    }
  }

  cRunResult run;
  run.epsilon = epsilon;
  run.smooth = options.smooth;
  run.messages = console.messages;
  run.mesh = &mesh;
  run.decomposition = &decomposition;

  if (json) WriteJson(json->Stream(), run);
  if (obj) WriteHullsObj(obj->Stream(), decomposition.hulls);
  if (piecesObj) WritePiecesObj(piecesObj->Stream(), decomposition.pieces);

  int status = 0;
  // Every file is complete before the first one is put in place.
  std::vector<cOutputFile*> outputs;
  for (cOutputFile* file : {json.get(), obj.get(), piecesObj.get()}) {
    if (file != nullptr) outputs.push_back(file);
  }
  for (cOutputFile* file : outputs) {
    if (const int error = file->Finish(); error != 0) {
      ReportFailure("write", file->Path(), error);
      return 1;
    }
  }
  // One hull file at a time is open; each waits finished for the common commit.
  std::vector<std::unique_ptr<cOutputFile>> hullFiles;
  if (!options.hullsDir.empty()) {
    const std::string folder =
        options.hullsDir.back() == '/' ? options.hullsDir : options.hullsDir + "/";
    for (std::size_t i = 0; i < hulls.size(); ++i) {
      auto file = std::make_unique<cOutputFile>(folder + HullFileName(i + 1));
      int error = file->Open(0666 & ~mask);
      if (error == 0) {
        WriteHullObj(file->Stream(), *hulls[i], "hull_" + std::to_string(i + 1));
        error = file->Finish();
      }
      if (error != 0) {
        ReportFailure("write", file->Path(), error);
        return 1;
      }
      outputs.push_back(file.get());
      hullFiles.push_back(std::move(file));
    }
  }
  // Devices and FIFOs first: they are the ones a write can still fail on.
  for (const bool inPlace : {true, false}) {
    for (cOutputFile* file : outputs) {
      if (file->InPlace() != inPlace) continue;
      if (const int error = file->Commit(); error != 0) {
        ReportFailure("write", file->Path(), error);
        return 1;
      }
    }
  }
  if (jsonToStdout) WriteJson(stdout, run);
  if (exceeded && options.strict) status = 3;
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  cCliOptions options;
  std::string problem;
  cParseResult parsed =
      ParseOptions(std::vector<std::string>(argv + 1, argv + argc), options, problem);
  if (parsed == cParseResult::Run && !CheckDistinctFiles(options, problem)) {
    parsed = cParseResult::Error;
  }
  switch (parsed) {
    case cParseResult::Help:
      std::fputs(kUsage, stdout);
      return std::fflush(stdout) == 0 ? 0 : 1;
    case cParseResult::Error:
      std::fprintf(stderr, "%s: %s\n\n%s", kProgram, problem.c_str(), kUsage);
      return 2;
    case cParseResult::Run:
      break;
  }
  InstallInterruptCleanup();
  const bool terminal = isatty(STDERR_FILENO) == 1;
  cDisplay display;
  display.progress = terminal && !options.quiet;
  display.facts = !options.quiet && (terminal || options.verbose);
  int status = 1;
  try {
    status = Run(options, display);
  } catch (const std::bad_alloc&) {
    ReportFailure("process", options.input, ENOMEM);
    status = 1;
  }
  // The messages and a JSON on standard output count as output too.
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    if (status == 0) ReportFailure("write", "standard output", errno != 0 ? errno : EIO);
    status = 1;
  }
  return status;
}
