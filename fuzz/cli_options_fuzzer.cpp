// Fuzzes the batch tool's option parsing: the input is split at zero bytes into arguments.
// Whatever the arguments, parsing ends with one of its three outcomes, and a run's options hold
// what the parser promises.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/options.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> args(1);
  for (std::size_t i = 0; i < size && args.size() <= 64; ++i) {
    if (data[i] == 0) {
      args.emplace_back();
    } else {
      args.back() += static_cast<char>(data[i]);
    }
  }
  cCliOptions options;
  std::string problem;
  const cParseResult result = ParseOptions(args, options, problem);
  if (result == cParseResult::Error && problem.empty()) std::abort();
  if (result != cParseResult::Run) return 0;
  if (!problem.empty()) std::abort();
  if (!std::isfinite(options.epsilon) || !std::isfinite(options.smooth)) std::abort();
  if (options.epsilonRelative && !std::isfinite(*options.epsilonRelative)) std::abort();
  if (!(options.progressAfter >= 0.0) || !std::isfinite(options.progressAfter)) std::abort();
  if (options.maxHullVertices && *options.maxHullVertices < 1) std::abort();
  if (options.strict && !options.maxHullVertices) std::abort();
  if (options.quiet && options.verbose) std::abort();
  for (const std::string* path : {&options.obj, &options.piecesObj, &options.hullsDir}) {
    if (*path == "-") std::abort();
  }
  if (options.sweep) {
    const cSweep& sweep = *options.sweep;
    if (sweep.steps < 1 || sweep.steps > 10000) std::abort();
    if (!options.json.empty() || !options.obj.empty() || !options.hulls) std::abort();
    if (sweep.Value(0) != sweep.from ||
        sweep.Value(sweep.steps - 1) != (sweep.steps > 1 ? sweep.to : sweep.from)) {
      std::abort();
    }
    for (int i = 0; i < sweep.steps; ++i) {
      if (!std::isfinite(sweep.Value(i))) std::abort();
    }
  }
  // The same arguments read the same way again.
  cCliOptions again;
  std::string problemAgain;
  if (ParseOptions(args, again, problemAgain) != result || again.input != options.input ||
      again.json != options.json) {
    std::abort();
  }
  return 0;
}
