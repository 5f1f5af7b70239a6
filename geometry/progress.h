// How a long computation tells its caller how far it has come, and learns that it should stop.
#pragma once

#include <functional>

// Called now and then by the thread doing the work, with the step's name ("reading",
// "decomposing", "hulls", "fitting") and how far it has come, from 0 to 1. Returning false asks
// the computation to stop: it returns soon after, with what it has and its cancelled flag set.
// An empty callback is never called. Reports never change what a computation computes.
using cProgress = std::function<bool(const char* step, double fraction)>;

// Reports to progress when there is one; false when the computation should stop.
inline bool KeepGoing(const cProgress& progress, const char* step, double fraction) {
  return !progress || progress(step, fraction);
}
