#include "cli/progress.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr int kBarWidth = 30;
constexpr std::size_t kNameWidth = 12;

}  // namespace

std::string cProgressBar::Update(const std::string& name, double fraction, double now) {
  std::string text;
  if (name != step) {
    text = Clear();
    step = name;
    stepStart = now;
  }
  if (now - stepStart < delay) return text;
  if (!(fraction >= 0.0)) fraction = 0.0;  // also NaN
  if (fraction > 1.0) fraction = 1.0;
  const int percent = static_cast<int>(std::floor(fraction * 100.0));
  if (percent == shownPercent) return text;
  shownPercent = percent;
  const int filled = static_cast<int>(std::floor(fraction * kBarWidth));
  std::string label = step;
  if (label.size() < kNameWidth) label.resize(kNameWidth, ' ');
  text += "\r" + label + " [" + std::string(static_cast<std::size_t>(filled), '#') +
          std::string(static_cast<std::size_t>(kBarWidth - filled), ' ') + "] " +
          (percent < 10    ? "  "
           : percent < 100 ? " "
                           : "") +
          std::to_string(percent) + "%";
  return text;
}

std::string cProgressBar::Clear() {
  if (shownPercent < 0) return "";
  shownPercent = -1;
  const std::size_t width = std::max(step.size(), kNameWidth) + kBarWidth + 8;
  return "\r" + std::string(width, ' ') + "\r";
}
