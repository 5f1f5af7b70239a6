// convexdecomp-cli: the desktop tool's Open, Decompose and Convex Hull run on one file without a
// window, with the results written as JSON and OBJ.
//
// The run takes the steps the desktop's menu commands take, through the library's functions
// (cBatchRun, formats/batch_run.h), and shows their messages at the same moments: the mesh read
// from the file, "triangles: %i", the pieces grown, "objects: %i", every piece's hull,
// "Convex hull completed...". The colours are the numbers rand() gives unseeded, drawn in the
// desktop's order (the mesh, every grown region, every hull), so a run gives the colours the
// desktop shows after File > Open, Tools > Decompose and Tools > Convex Hull on the same file.

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
#include <functional>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "cli/console.h"
#include "cli/options.h"
#include "cli/output.h"
#include "cli/run_settings.h"
#include "core/convexdecomp.h"
#include "decomposition/decomposition.h"
#include "formats/batch_run.h"
#include "formats/engines.h"
#include "formats/export.h"
#include "geometry/mesh.h"
#include "geometry/surface.h"
#include "hull/fidelity.h"
#include "hull/fit.h"
#include "hull/hull.h"

namespace {

constexpr const char* kProgram = "convexdecomp-cli";

void ReportFailure(const char* what, const std::string& path, int error) {
  std::fprintf(stderr, "%s: cannot %s %s: %s\n", kProgram, what, path.c_str(),
               std::strerror(error));
}

void Warn(const std::string& text) {
  std::fprintf(stderr, "%s: warning: %s\n", kProgram, text.c_str());
}

// Where the informative lines and the progress bar go.
struct cDisplay {
  bool facts = false;     // box diagonal, Epsilon, hull summary on standard error
  bool progress = false;  // progress bar on standard error
};

std::string HullFileName(std::size_t number) {
  char name[32];
  std::snprintf(name, sizeof name, "hull_%03zu.obj", number);
  return name;
}

// One line after "Convex hull completed...": how many hulls, their sizes and volume, and how many
// of the pieces got none (fewer than four distinct corners), when any.
void PrintHullSummary(const cHullList& hulls, std::size_t pieces) {
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
               "volume: %s",
               hulls.size(), fewest, most, faces, closed, hulls.size(),
               std::isfinite(volume) ? FormatDouble(volume).c_str() : "not finite");
  if (pieces > hulls.size())
    std::fprintf(stderr, ", pieces without a hull: %zu", pieces - hulls.size());
  std::fputc('\n', stderr);
}

// --sweep-epsilon: Decompose and Convex Hull again for every value, one CSV line each.
void RunSweep(const cSweep& sweep, const cTriangleList& triangles, const cCliOptions& options,
              const cProgress& progress) {
  std::printf("epsilon,pieces,hulls,max_hull_vertices\n");
  for (int i = 0; i < sweep.steps; ++i) {
    cDecomposeSettings settings;
    settings.epsilon = sweep.Value(i);
    settings.smooth = options.smooth;
    settings.hulls = options.hulls;
    const cDecomposeResult result = DecomposeMesh(triangles, settings, progress);
    std::size_t most = 0;
    for (const cBuiltHull& hull : result.hulls) {
      most = std::max(most, DistinctCorners(hull.shape.faces));
    }
    std::printf("%s,%zu,%zu,%zu\n", FormatDouble(settings.epsilon).c_str(), result.pieces.size(),
                result.hulls.size(), most);
  }
}

// Checks that DIR is a folder this run can write in, making it when it does not exist (made
// says so). 0 or the errno of the failure.
int PrepareHullsDir(const std::string& dir, bool& made) {
  made = false;
  struct stat info;
  if (stat(dir.c_str(), &info) != 0) {
    if (errno != ENOENT || mkdir(dir.c_str(), 0777) != 0) return errno;
    made = true;
  } else if (!S_ISDIR(info.st_mode)) {
    return ENOTDIR;
  }
  return access(dir.c_str(), W_OK | X_OK) == 0 ? 0 : errno;
}

// The folders a run writes files into (--hulls-dir, --stl-dir, the mesh folders of --mjcf and
// --urdf), each prepared and locked once however many outputs share it. A folder the run made is
// removed again when the run ends without putting its files in place, so that a failed run
// leaves no folder behind either.
class cOutputFolders {
 public:
  ~cOutputFolders() {
    locks.clear();
    if (committed) return;
    for (auto it = made.rbegin(); it != made.rend(); ++it) rmdir(it->c_str());
  }

  // The folder path ends in '/'. 0 or the errno of the failure.
  int Add(const std::string& folder) {
    bool madeNow = false;
    if (const int error = PrepareHullsDir(folder, madeNow); error != 0) return error;
    if (madeNow) made.push_back(folder);
    struct stat info;
    if (stat(folder.c_str(), &info) != 0) return errno;
    if (!known.emplace(std::pair{info.st_dev, info.st_ino}, folder).second) return 0;
    locks.push_back(std::make_unique<cFolderLock>());
    return locks.back()->Take(folder);
  }

  // The path a file NAME of folder is written to: the same for every folder that is the same
  // folder, so that a file two outputs share is written once.
  std::string FileIn(const std::string& folder, const std::string& name) const {
    struct stat info;
    if (stat(folder.c_str(), &info) != 0) return folder + name;
    const auto found = known.find(std::pair{info.st_dev, info.st_ino});
    return (found != known.end() ? found->second : folder) + name;
  }

  void Committed() { committed = true; }

 private:
  std::map<std::pair<dev_t, ino_t>, std::string> known;
  std::vector<std::unique_ptr<cFolderLock>> locks;
  std::vector<std::string> made;
  bool committed = false;
};

// A folder path with its closing slash.
std::string WithSlash(const std::string& folder) {
  return folder.back() == '/' ? folder : folder + "/";
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
  std::unique_ptr<cOutputFile> mjcf, urdf, glb;
  for (auto [path, slot] : {std::pair{&options.mjcf, &mjcf}, std::pair{&options.urdf, &urdf},
                            std::pair{&options.glb, &glb}}) {
    if (path->empty()) continue;
    auto file = std::make_unique<cOutputFile>(*path);
    if (const int error = file->Open(0666 & ~mask); error != 0) {
      ReportFailure("write", *path, error);
      return 1;
    }
    *slot = std::move(file);
  }
  // One run at a time writes into each folder.
  cOutputFolders folders;
  const auto meshFolder = [](const std::string& scene) {
    return FolderOf(scene) + MeshFolderFor(scene) + "/";
  };
  std::vector<std::string> folderPaths;  // as given; the mesh folders with their slash
  if (!options.hullsDir.empty()) folderPaths.push_back(options.hullsDir);
  if (!options.stlDir.empty()) folderPaths.push_back(options.stlDir);
  if (mjcf) folderPaths.push_back(meshFolder(options.mjcf));
  if (urdf) folderPaths.push_back(meshFolder(options.urdf));
  for (const std::string& folder : folderPaths) {
    if (const int error = folders.Add(WithSlash(folder)); error != 0) {
      ReportFailure("write", folder, error);
      return 1;
    }
  }

  const bool jsonToStdout = options.json == "-";
  std::FILE* lines = options.sweep ? nullptr : jsonToStdout ? stderr : stdout;
  cConsole console(lines);
  if (display.progress) console.ShowProgressOn(stderr, options.progressAfter);
  const cProgress progress = console.Receiver();

  // What the Options dialog would have set.
  double epsilon = options.epsilon;
  const float smooth = static_cast<float>(options.smooth);  // the hulls use it as a float
  if (options.smooth < 0.0 || options.smooth > 1.0) {
    Warn("--smooth " + FormatDouble(options.smooth) +
         " is outside 0 to 1; the hulls are built as with " + (options.smooth < 0.0 ? "0" : "1"));
  }

  // File > Open: a new mesh, then the file read into it.
  cBatchRun batch;
  cMesh& mesh = batch.mesh;
  cMeshData read = ReadMeshFile(options.input, progress);
  if (read.error != 0) {
    if (read.message.empty()) {
      ReportFailure("read", options.input, read.error);
    } else {
      std::fprintf(stderr, "%s: cannot read %s: %s\n", kProgram, options.input.c_str(),
                   read.message.c_str());
    }
    return 1;
  }
  mesh.triangles = std::move(read.triangles);
  mesh.box = read.box;
  console.ClearProgress();
  if (mesh.triangles.empty()) Warn("'" + options.input + "' yields no triangles");
  const double diagonal = Length(mesh.box.max - mesh.box.min);
  if (display.facts) std::fprintf(stderr, "box diagonal: %s\n", FormatDouble(diagonal).c_str());
  if (const std::string problem = EpsilonProblem(options, diagonal); !problem.empty()) {
    std::fprintf(stderr, "%s: %s\n", kProgram, problem.c_str());
    return 2;
  }
  if (const std::string warning = EpsilonWarning(options, diagonal); !warning.empty())
    Warn(warning);
  if (options.epsilonRelative) {
    epsilon = *options.epsilonRelative * diagonal;
    if (display.facts) std::fprintf(stderr, "epsilon: %s\n", FormatDouble(epsilon).c_str());
  }

  if (options.sweep) {
    RunSweep(*options.sweep, mesh.triangles, options, progress);
    return 0;
  }

  cBatchSettings settings;
  settings.smooth = smooth;
  settings.hulls = options.hulls;
  settings.fidelity = options.report;
  if (options.maxHulls) {
    // The fitting mode instead of Decompose and Convex Hull.
    cFitSettings fit;
    fit.maxHulls = static_cast<std::size_t>(*options.maxHulls);
    fit.maxHullVertices =
        static_cast<std::size_t>(options.maxHullVertices.value_or(kDefaultFitVertices));
    if (!options.epsilonGiven && !options.epsilonRelative) epsilon = kFitRelativeEpsilon * diagonal;
    fit.epsilon = epsilon;
    settings.fit = fit;
  }
  settings.epsilon = epsilon;
  batch.smooth = options.smooth;
  batch.Run(settings, progress, [&console](const std::string& text) { console.Message(text); });
  console.ClearProgress();
  const cDecomposition& decomposition = batch.decomposition;

  const cHullList& hulls = decomposition.hulls;
  if (display.facts && options.hulls && !decomposition.pieces.empty())
    PrintHullSummary(hulls, decomposition.pieces.size());
  bool exceeded = false;
  if (options.maxHullVertices) {
    for (std::size_t i = 0; i < hulls.size(); ++i) {
      const std::size_t vertices = DistinctCorners(hulls[i]->faces);
      if (vertices <= static_cast<std::size_t>(*options.maxHullVertices)) continue;
      std::fprintf(stderr, "%s: hull %zu has %zu vertices, more than %ld\n", kProgram, i + 1,
                   vertices, *options.maxHullVertices);
      exceeded = true;
    }
  }

  // How well the hulls stand for the mesh.
  if (batch.fidelity) std::fprintf(stderr, "%s\n", FidelityReport(*batch.fidelity).c_str());

  const cRunResult run = batch.Written();
  if (json) WriteJson(json->Stream(), run);
  if (obj) WriteHullsObj(obj->Stream(), decomposition.hulls);
  if (piecesObj) WritePiecesObj(piecesObj->Stream(), decomposition.pieces);
  const cExportShapes shapes = HullShapes(decomposition.hulls);
  if (mjcf) {
    const std::vector<std::size_t> leftOut =
        WriteMjcf(mjcf->Stream(), shapes, ModelNameFor(options.mjcf), MeshFolderFor(options.mjcf));
    for (const std::size_t i : leftOut) {
      Warn("hull " + std::to_string(i + 1) + " has no volume; MuJoCo takes no such mesh, so " +
           options.mjcf + " leaves it out");
    }
  }
  if (urdf) {
    WriteUrdf(urdf->Stream(), shapes, ModelNameFor(options.urdf), MeshFolderFor(options.urdf),
              true);
  }
  if (glb && !WriteGlb(glb->Stream(), shapes, &mesh.triangles, mesh.color)) {
    ReportFailure("write", options.glb, EIO);
    return 1;
  }

  int status = 0;
  // Every file is complete before the first one is put in place.
  std::vector<cOutputFile*> outputs;
  for (cOutputFile* file :
       {json.get(), obj.get(), piecesObj.get(), mjcf.get(), urdf.get(), glb.get()}) {
    if (file != nullptr) outputs.push_back(file);
  }
  for (cOutputFile* file : outputs) {
    if (const int error = file->Finish(); error != 0) {
      ReportFailure("write", file->Path(), error);
      return 1;
    }
  }
  // The files of the folders, each once: a hull's STL file serves --stl-dir and the mesh
  // folders alike when they are the same folder.
  std::map<std::string, std::function<void(std::FILE*)>> folderFiles;
  if (!options.hullsDir.empty()) {
    for (std::size_t i = 0; i < hulls.size(); ++i) {
      folderFiles[folders.FileIn(WithSlash(options.hullsDir), HullFileName(i + 1))] =
          [&hulls, i](std::FILE* out) {
            WriteHullObj(out, *hulls[i], "hull_" + std::to_string(i + 1));
          };
    }
  }
  std::vector<std::string> stlFolders;
  if (!options.stlDir.empty()) stlFolders.push_back(WithSlash(options.stlDir));
  if (mjcf) stlFolders.push_back(meshFolder(options.mjcf));
  if (urdf) {
    stlFolders.push_back(meshFolder(options.urdf));
    folderFiles[folders.FileIn(meshFolder(options.urdf), kSourceFileName)] =
        [&mesh](std::FILE* out) { WriteBinaryStl(out, mesh.triangles); };
  }
  for (const std::string& folder : stlFolders) {
    for (std::size_t i = 0; i < hulls.size(); ++i) {
      folderFiles[folders.FileIn(folder, ShapeFileName(shapes, i))] = [&hulls, i](std::FILE* out) {
        WriteBinaryStl(out, hulls[i]->faces);
      };
    }
  }
  // One folder file at a time is open; each waits finished for the common commit.
  std::vector<std::unique_ptr<cOutputFile>> hullFiles;
  for (const auto& [path, write] : folderFiles) {
    auto file = std::make_unique<cOutputFile>(path, false);
    int error = file->Open(0666 & ~mask);
    if (error == 0) {
      write(file->Stream());
      error = file->Finish();
    }
    if (error != 0) {
      ReportFailure("write", file->Path(), error);
      return 1;
    }
    outputs.push_back(file.get());
    hullFiles.push_back(std::move(file));
  }
  cOutputFile* failed = nullptr;
  if (const int error = CommitOutputs(outputs, failed); error != 0) {
    ReportFailure("write", failed->Path(), error);
    return 1;
  }
  folders.Committed();
  if (jsonToStdout) WriteJson(stdout, run);
  if (exceeded && options.strict) status = 3;
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  KeepStandardDescriptors();
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
      std::fprintf(stderr, "%s: %s; see --help\n", kProgram, problem.c_str());
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
