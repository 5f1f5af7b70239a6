// The settings of a run that can only be checked once the mesh is read: the Epsilon that follows
// from the options and the mesh's box diagonal.
#pragma once

#include <string>

#include "cli/options.h"

// The Epsilon the run uses: R times the box diagonal with --epsilon-relative R, the fitting
// mode's share of the diagonal with --max-hulls and no Epsilon given, else --epsilon (or its
// default).
double RunEpsilon(const cCliOptions& options, double diagonal);

// Empty when RunEpsilon is a finite number; else the line that refuses the settings (a run then
// ends with status 2): a NaN or infinite Epsilon would let every triangle join or none, and could
// not be written as a JSON number.
std::string EpsilonProblem(const cCliOptions& options, double diagonal);

// Empty, or the warning for an Epsilon below 0 (RunEpsilon): the plane test then fails for every
// triangle, so none can join a piece.
std::string EpsilonWarning(const cCliOptions& options, double diagonal);
