// The progress bar the batch tool shows on a terminal while a step takes long: the step's name,
// a bar and a percentage, redrawn in place on one line.
#pragma once

#include <string>

class cProgressBar {
 public:
  // A step's bar appears once the step has run delay seconds.
  explicit cProgressBar(double delay) : delay(delay) {}

  // A report of step at fraction (clamped to 0..1) at time now (seconds, any fixed origin).
  // Returns the text to write: "" when nothing changes on the screen. The first report of a
  // step starts its clock and clears the previous step's bar.
  std::string Update(const std::string& step, double fraction, double now);

  // The text that removes a bar on the screen; "" when none is shown.
  std::string Clear();

 private:
  double delay;
  std::string step;
  double stepStart = 0.0;
  int shownPercent = -1;  // -1: no bar on the screen
};
