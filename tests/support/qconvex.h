// Runs qconvex (package qhull-bin), the independent convex hull program that the hull property
// tests take as their oracle and the hull benchmark as its yardstick. Header only, so that the
// benchmarks can use it without the test build.
#pragma once

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "geometry/vec3.h"

struct cQconvexRun {
  bool started = false;  // the points were written and the program started
  int status = -1;       // as pclose gives it: 0 when it exited with status 0
  std::string output;    // what it printed on its standard output (and error output, if merged)
  double seconds = 0.0;  // wall time from its start to its end, reading what it printed included
};

// Writes points to a temporary file in qconvex's input format (the dimension 3, the count, then
// one point a line at nine significant digits, enough to give back every float), runs
// "qconvex OPTIONS < file" with its error output merged into output or thrown away, and removes
// the file.
inline cQconvexRun RunQconvex(const cPointList& points, const std::string& options,
                              bool mergeErrors) {
  cQconvexRun run;
  char path[] = "/tmp/cd_qconvex_XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return run;
  std::FILE* out = fdopen(fd, "w");
  if (out == nullptr) {
    close(fd);
    std::remove(path);
    return run;
  }
  std::fprintf(out, "3\n%zu\n", points.size());
  for (const cVec3& p : points) std::fprintf(out, "%.9g %.9g %.9g\n", p.x, p.y, p.z);
  std::fclose(out);
  const std::string command =
      "qconvex " + options + " < " + path + (mergeErrors ? " 2>&1" : " 2>/dev/null");
  const auto start = std::chrono::steady_clock::now();
  std::FILE* in = popen(command.c_str(), "r");
  if (in != nullptr) {
    run.started = true;
    char block[4096];
    for (std::size_t n; (n = std::fread(block, 1, sizeof block, in)) > 0;)
      run.output.append(block, n);
    run.status = pclose(in);
  }
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::remove(path);
  return run;
}
