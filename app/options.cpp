#include "app/options.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "io/classic_numbers.h"

namespace {

// "5e-02" -> "5e-002": the exponent gets at least three digits.
std::string WidenExponent(const std::string& text) {
  const std::size_t e = text.find('e');
  if (e == std::string::npos || e + 1 >= text.size()) return text;
  std::string digits = text.substr(e + 2);
  while (digits.size() < 3) digits.insert(digits.begin(), '0');
  return text.substr(0, e + 2) + digits;
}

}  // namespace

std::string FormatSetting(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  cClassicNumbers numbers;
  char text[64];
  int m = 0;
  if (value != 0.0) {
    // 17 significant digits tell every double apart, so this exponent is the leading digit's
    // before any rounding to one digit.
    std::snprintf(text, sizeof text, "%.16e", value);
    m = std::atoi(std::strchr(text, 'e') + 1);
  }
  if (m == -1 || m == 0) {
    std::snprintf(text, sizeof text, "%.*f", -m, value);
    std::string fixed = text;
    if (fixed.find('.') != std::string::npos) {
      while (fixed.back() == '0') fixed.pop_back();
    }
    return fixed;
  }
  std::snprintf(text, sizeof text, "%.0e", value);
  return WidenExponent(text);
}

double ReadSetting(const std::string& text) {
  const std::string limited = text.substr(0, 127);
  cClassicNumbers numbers;
  return std::atof(limited.c_str());
}
