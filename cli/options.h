// The batch tool's command line: what it asks for, read from the arguments without touching any
// file, and the check that no file is named for two purposes, which looks at the file system.
#pragma once

#include <optional>
#include <string>
#include <vector>

// --sweep-epsilon FROM:TO:STEPS: STEPS values evenly spaced from FROM to TO, both included.
struct cSweep {
  double from = 0.0;
  double to = 0.0;
  int steps = 1;

  // The value of step i, 0 <= i < steps.
  double Value(int i) const;
};

struct cCliOptions {
  std::string input;
  double epsilon = 0.1;
  std::optional<double> epsilonRelative;  // Epsilon = this times the mesh's box diagonal
  double smooth = 0.1;
  bool hulls = true;
  std::string json;  // empty: none; "-": standard output
  std::string obj;
  std::string piecesObj;
  std::string hullsDir;
  std::string mjcf;            // MuJoCo's XML; its hulls' STL files in a folder beside it
  std::string urdf;            // URDF; its hulls' STL files and the mesh in a folder beside it
  std::string glb;             // binary glTF
  std::string stlDir;          // one binary STL per hull
  bool quiet = false;          // no progress, no facts on standard error
  bool verbose = false;        // facts on standard error also when it is no terminal
  double progressAfter = 1.0;  // seconds a step runs before its progress shows
  std::optional<long> maxHullVertices;  // report hulls with more vertices
  bool strict = false;                  // ... and exit 3 when there are any
  std::optional<cSweep> sweep;
  std::optional<long> maxHulls;  // the fitting mode: at most this many hulls
  bool report = false;           // the fidelity of the hulls on standard error
  bool epsilonGiven = false;     // --epsilon was given (not only its default)
  bool smoothGiven = false;
};

// The vertex budget of --max-hulls when --max-hull-vertices is not given.
extern const long kDefaultFitVertices;

enum class cParseResult { Run, Help, Error };

// Reads args (the arguments after the program name). On Error, problem says what is wrong.
// Every option may be given once.
cParseResult ParseOptions(const std::vector<std::string>& args, cCliOptions& options,
                          std::string& problem);

// The whole text must be one finite decimal number in the C locale's notation; leading white
// space, hexadecimal, "nan" and "inf" are refused.
bool ParseNumber(const std::string& text, double& value);

// Refuses a file named twice (also by another spelling, a link or a hard link) among the input
// and the outputs, and an output that is the input. Character devices may be named more than
// once (writing /dev/null twice loses nothing). Returns false with problem set.
bool CheckDistinctFiles(const cCliOptions& options, std::string& problem);

// The help text, ending in a newline.
extern const char* const kUsage;
