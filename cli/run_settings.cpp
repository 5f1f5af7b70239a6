#include "cli/run_settings.h"

#include <cmath>

#include "formats/export.h"
#include "hull/fit.h"

double RunEpsilon(const cCliOptions& options, double diagonal) {
  if (options.epsilonRelative) return *options.epsilonRelative * diagonal;
  if (options.maxHulls && !options.epsilonGiven) return kFitRelativeEpsilon * diagonal;
  return options.epsilon;
}

std::string EpsilonProblem(const cCliOptions& options, double diagonal) {
  if (std::isfinite(RunEpsilon(options, diagonal))) return "";
  const std::string box = "the box diagonal " + FormatDouble(diagonal);
  if (options.epsilonRelative) {
    return "--epsilon-relative " + FormatDouble(*options.epsilonRelative) + " times " + box +
           " is no finite Epsilon; see --help";
  }
  if (options.maxHulls && !options.epsilonGiven) {
    return "--max-hulls takes Epsilon " + FormatDouble(kFitRelativeEpsilon) + " times " + box +
           ", which is not finite; give --epsilon";
  }
  return "--epsilon " + FormatDouble(options.epsilon) + " is no finite Epsilon; see --help";
}

std::string EpsilonWarning(const cCliOptions& options, double diagonal) {
  const double epsilon = RunEpsilon(options, diagonal);
  if (!(epsilon < 0.0)) return "";
  const std::string what = options.epsilonRelative
                               ? "--epsilon-relative " + FormatDouble(*options.epsilonRelative) +
                                     " gives Epsilon " + FormatDouble(epsilon) + ", which is"
                               : "--epsilon " + FormatDouble(epsilon) + " is";
  return what + " below 0: no triangle can join a piece";
}
