#include "cli/options.h"

#include <sys/stat.h>

#include <cctype>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <set>

#include "cli/output.h"

const char* const kUsage =
    "usage: convexdecomp-cli INPUT [options]\n"
    "\n"
    "Reads the mesh file INPUT (.stl, .obj, .ply, .off, .gltf, .glb or .3mf, by its extension;\n"
    "STL without one), splits its surface into nearly convex pieces and wraps every piece in a\n"
    "convex hull, as the desktop tool's Decompose and Convex Hull do. Its messages are printed\n"
    "one per line.\n"
    "\n"
    "options:\n"
    "  --epsilon E        plane tolerance of the decomposition, model units (default 0.1)\n"
    "  --epsilon-relative R  Epsilon is R times the mesh's box diagonal\n"
    "  --smooth S         share of a piece's points its hull is built from (default 0.1)\n"
    "  --no-hulls         stop after the decomposition\n"
    "  --json FILE        write the results as JSON to FILE; '-' writes them to standard\n"
    "                     output and the messages to standard error\n"
    "  --obj FILE         write the hulls as OBJ with vertex colours\n"
    "  --pieces-obj FILE  write the pieces as OBJ with vertex colours\n"
    "  --hulls-dir DIR    write every hull to a file of its own, DIR/hull_001.obj, ...\n"
    "  --mjcf FILE.xml    write a MuJoCo model: a mesh and a geom per hull, the hulls as\n"
    "                     binary STL files in FILE_meshes/ beside it\n"
    "  --urdf FILE.urdf   write a URDF: one link, the mesh as its visual and a collision per\n"
    "                     hull, the meshes as binary STL files in FILE_meshes/ beside it\n"
    "  --glb FILE.glb     write binary glTF: a mesh per hull, each hull's node an\n"
    "                     OMI_physics_shape hull, and the mesh itself\n"
    "  --stl-dir DIR      write every hull as binary STL, DIR/hull_1.stl, ...\n"
    "  --max-hull-vertices N  name the hulls with more than N vertices on standard error\n"
    "  --strict           ... and exit with status 3 when there are any\n"
    "  --max-hulls N      instead of Decompose and Convex Hull: at most N hulls (N >= 1) of\n"
    "                     at most --max-hull-vertices vertices (default 64, at least 4) that\n"
    "                     hold every point of the mesh; the pieces start at Epsilon (default\n"
    "                     0.002 times the box diagonal)\n"
    "  --report           how well the hulls stand for the mesh, on standard error\n"
    "  --sweep-epsilon FROM:TO:STEPS  run STEPS Epsilon values from FROM to TO and print\n"
    "                     epsilon,pieces,hulls,max_hull_vertices as CSV on standard output\n"
    "  --quiet            no progress bar and no facts on standard error\n"
    "  --verbose          the facts (box diagonal, hull summary) also when standard error\n"
    "                     is no terminal\n"
    "  --progress-after T seconds a step runs before its progress bar shows (default 1)\n"
    "  --help             print this text and exit\n"
    "\n"
    "E, R, S and T are finite decimal numbers (nan and inf are refused). Each option may be\n"
    "given once.\n"
    "Exit status: 0 done, 1 a file could not be read or written, 2 bad options, 3 hulls\n"
    "above --max-hull-vertices with --strict.\n";

const long kDefaultFitVertices = 64;

double cSweep::Value(int i) const {
  if (steps <= 1 || i <= 0) return from;
  if (i >= steps - 1) return to;
  const double value = from + (to - from) * i / (steps - 1);
  if (std::isfinite(value)) return value;
  // Ends too far apart for their difference: a weighted mean, which stays finite.
  const double t = static_cast<double>(i) / static_cast<double>(steps - 1);
  return from * (1.0 - t) + to * t;
}

bool ParseNumber(const std::string& text, double& value) {
  // strtod reads with the C locale's rules: the program never calls setlocale, so the decimal
  // separator is always a point. It would skip leading white space and accept "nan" and "inf";
  // both are refused (NaN would make every plane comparison pass).
  if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return false;
  // Decimal notation only: strtod would also take hexadecimal ("0x1p-3").
  if (text.find_first_not_of("0123456789+-.eE") != std::string::npos) return false;
  char* end = nullptr;
  const double parsed = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size()) return false;
  if (!std::isfinite(parsed)) return false;
  value = parsed;
  return true;
}

namespace {

// Decimal digits only, from low to high inclusive.
bool ParseCount(const std::string& text, long low, long high, long& value) {
  if (text.empty() || text.size() > 10) return false;
  long parsed = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    parsed = parsed * 10 + (c - '0');
  }
  if (parsed < low || parsed > high) return false;
  value = parsed;
  return true;
}

bool ParseSweep(const std::string& text, cSweep& sweep) {
  const std::size_t first = text.find(':');
  if (first == std::string::npos) return false;
  const std::size_t second = text.find(':', first + 1);
  if (second == std::string::npos) return false;
  long steps = 0;
  if (!ParseNumber(text.substr(0, first), sweep.from) ||
      !ParseNumber(text.substr(first + 1, second - first - 1), sweep.to) ||
      !ParseCount(text.substr(second + 1), 1, 10000, steps)) {
    return false;
  }
  sweep.steps = static_cast<int>(steps);
  return true;
}

bool IsFileOption(const std::string& name) {
  return name == "--json" || name == "--obj" || name == "--pieces-obj" || name == "--hulls-dir" ||
         name == "--mjcf" || name == "--urdf" || name == "--glb" || name == "--stl-dir";
}

std::string& FileOption(cCliOptions& options, const std::string& name) {
  if (name == "--json") return options.json;
  if (name == "--obj") return options.obj;
  if (name == "--pieces-obj") return options.piecesObj;
  if (name == "--mjcf") return options.mjcf;
  if (name == "--urdf") return options.urdf;
  if (name == "--glb") return options.glb;
  if (name == "--stl-dir") return options.stlDir;
  return options.hullsDir;
}

// Options after they were read: which may not go together.
bool CheckCombinations(const cCliOptions& o, std::string& problem) {
  if (o.quiet && o.verbose) {
    problem = "--quiet and --verbose exclude each other";
    return false;
  }
  if (o.strict && !o.maxHullVertices) {
    problem = "--strict needs --max-hull-vertices";
    return false;
  }
  if (o.maxHulls) {
    if (o.maxHullVertices && *o.maxHullVertices < 4) {
      problem = "--max-hulls needs --max-hull-vertices of at least 4";
      return false;
    }
    if (o.sweep || !o.hulls || o.smoothGiven || o.strict) {
      problem =
          "--max-hulls builds every hull from all its points: no --sweep-epsilon, "
          "--no-hulls, --smooth or --strict";
      return false;
    }
  }
  if (o.sweep) {
    if (!o.json.empty() || !o.obj.empty() || !o.piecesObj.empty() || !o.hullsDir.empty() ||
        !o.mjcf.empty() || !o.urdf.empty() || !o.glb.empty() || !o.stlDir.empty() || !o.hulls ||
        o.epsilonRelative || o.maxHullVertices) {
      problem =
          "--sweep-epsilon writes only its table: no outputs, --no-hulls, --max-hull-vertices or "
          "Epsilon";
      return false;
    }
  }
  return true;
}

}  // namespace

cParseResult ParseOptions(const std::vector<std::string>& args, cCliOptions& options,
                          std::string& problem) {
  for (const std::string& arg : args) {
    if (arg == "--") break;
    if (arg == "--help") return cParseResult::Help;
  }
  bool haveInput = false;
  bool optionsEnded = false;
  std::set<std::string> given;
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
    const bool isFlag = name == "--no-hulls" || name == "--quiet" || name == "--verbose" ||
                        name == "--strict" || name == "--report";
    const bool takesValue = name == "--epsilon" || name == "--epsilon-relative" ||
                            name == "--smooth" || name == "--max-hull-vertices" ||
                            name == "--max-hulls" || name == "--sweep-epsilon" ||
                            name == "--progress-after" || IsFileOption(name);
    if (!isFlag && !takesValue) {
      problem = "unknown option '" + arg + "'";
      return cParseResult::Error;
    }
    if (!given.insert(name).second) {
      problem = name + " is given more than once";
      return cParseResult::Error;
    }
    if (isFlag) {
      if (inlineValue) {
        problem = name + " takes no value";
        return cParseResult::Error;
      }
      if (name == "--no-hulls") options.hulls = false;
      if (name == "--quiet") options.quiet = true;
      if (name == "--verbose") options.verbose = true;
      if (name == "--strict") options.strict = true;
      if (name == "--report") options.report = true;
      continue;
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
    if (name == "--epsilon" || name == "--smooth" || name == "--epsilon-relative" ||
        name == "--progress-after") {
      double number = 0.0;
      if (!ParseNumber(value, number) || (name == "--progress-after" && number < 0.0)) {
        problem = name + " needs a finite number, not '" + value + "'";
        return cParseResult::Error;
      }
      if (name == "--epsilon") options.epsilon = number;
      if (name == "--smooth") options.smooth = number;
      if (name == "--epsilon-relative") options.epsilonRelative = number;
      if (name == "--progress-after") options.progressAfter = number;
      continue;
    }
    if (name == "--max-hull-vertices" || name == "--max-hulls") {
      long count = 0;
      if (!ParseCount(value, 1, INT_MAX, count)) {
        problem = name + " needs a whole number from 1, not '" + value + "'";
        return cParseResult::Error;
      }
      (name == "--max-hulls" ? options.maxHulls : options.maxHullVertices) = count;
      continue;
    }
    if (name == "--sweep-epsilon") {
      cSweep sweep;
      if (!ParseSweep(value, sweep)) {
        problem = name + " needs FROM:TO:STEPS (numbers, STEPS 1 to 10000), not '" + value + "'";
        return cParseResult::Error;
      }
      options.sweep = sweep;
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
    FileOption(options, name) = value;
  }
  if (!haveInput) {
    problem = "no INPUT given";
    return cParseResult::Error;
  }
  if (given.count("--epsilon") != 0 && given.count("--epsilon-relative") != 0) {
    problem = "--epsilon and --epsilon-relative exclude each other";
    return cParseResult::Error;
  }
  if (options.sweep && given.count("--epsilon") != 0) {
    problem = "--sweep-epsilon takes no --epsilon";
    return cParseResult::Error;
  }
  options.epsilonGiven = given.count("--epsilon") != 0;
  options.smoothGiven = given.count("--smooth") != 0;
  if (!CheckCombinations(options, problem)) return cParseResult::Error;
  return cParseResult::Run;
}

namespace {

// The folder of path, "." when it names none.
std::string Folder(const std::string& path) {
  const std::string folder = FolderOf(path);
  return folder.empty() ? "." : folder;
}

// What a file name stands for: the file when it exists, else the name in its real folder.
struct cIdentity {
  bool exists = false;
  bool device = false;
  dev_t dev = 0;
  ino_t ino = 0;
  std::string name;
};

cIdentity Identify(const std::string& path) {
  cIdentity id;
  std::string target = ResolveLinks(path);
  if (target.empty()) target = path;
  struct stat info;
  if (stat(target.c_str(), &info) == 0) {
    id.exists = true;
    id.device = S_ISCHR(info.st_mode);
    id.dev = info.st_dev;
    id.ino = info.st_ino;
    return id;
  }
  char* folder = realpath(Folder(target).c_str(), nullptr);
  id.name = folder != nullptr ? std::string(folder) + "/" + BaseNameOf(target) : target;
  std::free(folder);
  return id;
}

bool Same(const cIdentity& a, const cIdentity& b) {
  if (a.exists != b.exists) return false;
  if (a.exists) return a.dev == b.dev && a.ino == b.ino && !(a.device && b.device);
  return a.name == b.name;
}

// "hull_" digits ".obj": a name --hulls-dir may write.
bool IsHullFileName(const std::string& name) {
  if (name.size() < 9 || name.rfind("hull_", 0) != 0) return false;
  if (name.compare(name.size() - 4, 4, ".obj") != 0) return false;
  for (std::size_t i = 5; i + 4 < name.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(name[i]))) return false;
  }
  return true;
}

}  // namespace

bool CheckDistinctFiles(const cCliOptions& options, std::string& problem) {
  struct cNamed {
    std::string what;
    std::string path;
  };
  std::vector<cNamed> files = {{"the input", options.input}};
  for (const auto& [what, path] : {std::pair{"--json", &options.json},
                                   {"--obj", &options.obj},
                                   {"--pieces-obj", &options.piecesObj},
                                   {"--mjcf", &options.mjcf},
                                   {"--urdf", &options.urdf},
                                   {"--glb", &options.glb}}) {
    if (!path->empty() && *path != "-") files.push_back({what, *path});
  }
  std::vector<cIdentity> ids;
  for (const cNamed& file : files) ids.push_back(Identify(file.path));
  for (std::size_t a = 0; a < files.size(); ++a) {
    for (std::size_t b = a + 1; b < files.size(); ++b) {
      if (!Same(ids[a], ids[b])) continue;
      problem = files[a].what + " '" + files[a].path + "' and " + files[b].what + " '" +
                files[b].path + "' name the same file";
      return false;
    }
  }
  if (options.hullsDir.empty()) return true;
  const cIdentity dir = Identify(options.hullsDir);
  if (!dir.exists) return true;
  for (const cNamed& file : files) {
    std::string target = ResolveLinks(file.path);
    if (target.empty()) target = file.path;
    if (!IsHullFileName(BaseNameOf(target))) continue;
    if (Same(Identify(Folder(target)), dir)) {
      problem = file.what + " '" + file.path + "' is a file --hulls-dir '" + options.hullsDir +
                "' writes";
      return false;
    }
  }
  return true;
}
