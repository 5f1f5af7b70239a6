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

#include <cassert>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cli/console_platform.h"
#include "cli/export.h"
#include "decomposition/decomposition.h"
#include "geometry/mesh.h"
#include "hull/hull.h"
#include "io/stl.h"
#include "platform/platform.h"
#include "state/state.h"

namespace {

constexpr const char* kProgram = "convexdecomp-cli";

constexpr const char* kUsage =
    "usage: convexdecomp-cli INPUT [options]\n"
    "\n"
    "Reads the STL file INPUT, splits its surface into nearly convex pieces and wraps every\n"
    "piece in a convex hull, as the desktop tool's Decompose and Convex Hull do. Its messages\n"
    "are printed one per line.\n"
    "\n"
    "options:\n"
    "  --epsilon E        plane tolerance of the decomposition, model units (default 0.1)\n"
    "  --smooth S         share of a piece's points its hull is built from (default 0.1)\n"
    "  --no-hulls         stop after the decomposition\n"
    "  --json FILE        write the results as JSON to FILE; '-' writes them to standard\n"
    "                     output and the messages to standard error\n"
    "  --obj FILE         write the hulls as OBJ with vertex colours\n"
    "  --pieces-obj FILE  write the pieces as OBJ with vertex colours\n"
    "  --help             print this text and exit\n"
    "\n"
    "E and S are finite decimal numbers (nan and inf are refused).\n"
    "Exit status: 0 done, 1 a file could not be read or written, 2 bad options.\n";

struct cOptions {
  std::string input;
  double epsilon = 0.1;
  double smooth = 0.1;
  bool hulls = true;
  std::string json;  // empty: none; "-": standard output
  std::string obj;
  std::string piecesObj;
};

// The whole text must be one finite number. strtod reads it with the C locale's rules: the
// program never calls setlocale, so LC_NUMERIC keeps its start value "C" and the decimal
// separator is always a point. strtod itself would skip leading white space and accept "nan"
// and "inf"; both are refused here (NaN would make every plane comparison pass).
bool ParseNumber(const std::string& text, double& value) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return false;
  char* end = nullptr;
  const double parsed = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size()) return false;
  if (!std::isfinite(parsed)) return false;
  value = parsed;
  return true;
}

enum class cParseResult { Run, Help, Error };

cParseResult ParseOptions(int argc, char** argv, cOptions& options, std::string& problem) {
  std::vector<std::string> args(argv + 1, argv + argc);
  for (const std::string& arg : args) {
    if (arg == "--") break;
    if (arg == "--help") return cParseResult::Help;
  }
  bool haveInput = false;
  bool optionsEnded = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      if (haveInput) {
        problem = "more than one INPUT: '" + options.input + "' and '" + arg + "'";
        return cParseResult::Error;
      }
      options.input = arg;
      haveInput = true;
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    // "--name value" or "--name=value".
    const std::size_t equals = arg.find('=');
    const std::string name = arg.substr(0, equals);
    const bool inlineValue = equals != std::string::npos;
    const bool takesValue = name == "--epsilon" || name == "--smooth" || name == "--json" ||
                            name == "--obj" || name == "--pieces-obj";
    if (!takesValue) {
      if (name == "--no-hulls" && !inlineValue) {
        options.hulls = false;
        continue;
      }
      problem = name == "--no-hulls" ? "--no-hulls takes no value" : "unknown option '" + arg + "'";
      return cParseResult::Error;
    }
    std::string value;
    if (inlineValue) {
      value = arg.substr(equals + 1);
    } else if (i + 1 < args.size() && args[i + 1].rfind("--", 0) != 0) {
      value = args[++i];
    } else {
      problem = name + " needs a value";
      return cParseResult::Error;
    }
    if (name == "--epsilon" || name == "--smooth") {
      double& target = name == "--epsilon" ? options.epsilon : options.smooth;
      if (!ParseNumber(value, target)) {
        problem = name + " needs a finite number, not '" + value + "'";
        return cParseResult::Error;
      }
      continue;
    }
    if (value.empty()) {
      problem = name + " needs a file name";
      return cParseResult::Error;
    }
    if (value == "-" && name != "--json") {
      problem = name + " needs a file name; only --json writes to standard output";
      return cParseResult::Error;
    }
    (name == "--json" ? options.json : name == "--obj" ? options.obj : options.piecesObj) = value;
  }
  if (!haveInput) {
    problem = "no INPUT given";
    return cParseResult::Error;
  }
  const std::string* outputs[] = {&options.json, &options.obj, &options.piecesObj};
  for (std::size_t a = 0; a < 3; ++a) {
    for (std::size_t b = a + 1; b < 3; ++b) {
      if (!outputs[a]->empty() && *outputs[a] == *outputs[b]) {
        problem = "'" + *outputs[a] + "' is given for two outputs";
        return cParseResult::Error;
      }
    }
  }
  return cParseResult::Run;
}

void ReportFailure(const char* what, const std::string& path, int error) {
  std::fprintf(stderr, "%s: cannot %s %s: %s\n", kProgram, what, path.c_str(),
               std::strerror(error));
}

// An output file that appears complete or not at all: written to a temporary file in the
// target's directory and renamed over the target once everything is written and closed.
class cOutputFile {
 public:
  explicit cOutputFile(std::string path) : path(std::move(path)) {}
  ~cOutputFile() { Abandon(); }
  cOutputFile(const cOutputFile&) = delete;
  cOutputFile& operator=(const cOutputFile&) = delete;

  const std::string& Path() const { return path; }
  std::FILE* Stream() { return stream; }

  // Creates the temporary file. Returns 0 or the errno of the failure.
  int Open(mode_t mode) {
    // rename() would refuse a directory only after all the work; tell at once.
    struct stat info;
    if (path.back() == '/' || (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode))) {
      return EISDIR;
    }
    const std::size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    std::string name = directory + (slash == std::string::npos ? "/" : "") + ".convexdecomp-XXXXXX";
    const int fd = mkstemp(name.data());
    if (fd < 0) return errno;
    temporary = name;
    // mkstemp creates the file for the owner only; give it the permissions a new file gets.
    if (fchmod(fd, mode) != 0 || (stream = fdopen(fd, "w")) == nullptr) {
      const int error = errno;
      close(fd);
      Abandon();
      return error;
    }
    return 0;
  }

  // Flushes, syncs and closes the temporary file. Returns 0 or the errno of the failure.
  int Finish() {
    const bool failed = std::fflush(stream) != 0 || std::ferror(stream) != 0;
    int error = failed ? (errno != 0 ? errno : EIO) : 0;
    if (error == 0 && fsync(fileno(stream)) != 0) error = errno;
    if (std::fclose(stream) != 0 && error == 0) error = errno;
    stream = nullptr;
    return error;
  }

  // Puts the finished file in place. Returns 0 or the errno of the failure.
  int Commit() {
    if (std::rename(temporary.c_str(), path.c_str()) != 0) return errno;
    temporary.clear();
    return 0;
  }

  void Abandon() {
    if (stream != nullptr) std::fclose(stream);
    stream = nullptr;
    if (!temporary.empty()) unlink(temporary.c_str());
    temporary.clear();
  }

 private:
  std::string path;
  std::string temporary;
  std::FILE* stream = nullptr;
};

int Run(const cOptions& options) {
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

  // Outputs are set up before the work, so that an unwritable path fails at once.
  const mode_t mask = umask(0);
  umask(mask);
  std::vector<std::unique_ptr<cOutputFile>> files;
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

  const bool jsonToStdout = options.json == "-";
  cConsolePlatform console(jsonToStdout ? stderr : stdout, options.input);
  SetPlatform(&console);
  // What the Options dialog would have set.
  Epsilon.store(options.epsilon);
  Smooth.store(options.smooth);

  // File > Open, with the input chosen in its dialog.
  std::string lastName;
  if (!OpenMesh(CurrentMesh, lastName)) {
    ReportFailure("read", options.input, errno);
    DestroyCurrentMesh();
    SetPlatform(nullptr);
    return 1;
  }
  cMesh& mesh = *CurrentMesh;

  // Tools > Decompose, then Tools > Convex Hull.
  Decompose(mesh);
  assert(mesh.decomposition != nullptr);
  cDecomposition& decomposition = *mesh.decomposition;
  if (options.hulls) StartConvexHull(decomposition);

  cRunResult run;
  run.epsilon = options.epsilon;
  run.smooth = options.smooth;
  run.messages = console.messages;
  run.mesh = &mesh;
  run.decomposition = &decomposition;

  if (json) WriteJson(json->Stream(), run);
  if (obj) WriteHullsObj(obj->Stream(), decomposition.hulls);
  if (piecesObj) WritePiecesObj(piecesObj->Stream(), decomposition.pieces);

  int status = 0;
  // Every file is complete before the first one is put in place.
  for (cOutputFile* file : {json.get(), obj.get(), piecesObj.get()}) {
    if (file == nullptr || status != 0) continue;
    if (const int error = file->Finish(); error != 0) {
      ReportFailure("write", file->Path(), error);
      status = 1;
    }
  }
  for (cOutputFile* file : {json.get(), obj.get(), piecesObj.get()}) {
    if (file == nullptr || status != 0) continue;
    if (const int error = file->Commit(); error != 0) {
      ReportFailure("write", file->Path(), error);
      status = 1;
    }
  }
  if (status == 0 && jsonToStdout) WriteJson(stdout, run);

  DestroyCurrentMesh();
  SetPlatform(nullptr);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  cOptions options;
  std::string problem;
  switch (ParseOptions(argc, argv, options, problem)) {
    case cParseResult::Help:
      std::fputs(kUsage, stdout);
      return std::fflush(stdout) == 0 ? 0 : 1;
    case cParseResult::Error:
      std::fprintf(stderr, "%s: %s\n\n%s", kProgram, problem.c_str(), kUsage);
      return 2;
    case cParseResult::Run:
      break;
  }
  int status = Run(options);
  // The messages and a JSON on standard output count as output too.
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    if (status == 0) ReportFailure("write", "standard output", errno != 0 ? errno : EIO);
    status = 1;
  }
  return status;
}
