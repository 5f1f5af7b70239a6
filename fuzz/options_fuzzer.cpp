// Fuzzes the texts of the Options boxes. The input is a box's text for ReadSetting; its first
// eight bytes are also taken as a double for FormatSetting, so every bit pattern is formatted.
//
// Checked, beyond the sanitizers, for the value read and for the double:
// - ReadSetting reads at most 127 characters: whatever follows them changes nothing;
// - a finite value's text has one significant digit and the shape "-0.5", "1.", "10" or
//   "5e-002"; read back, it has the value's sign and lies within half a unit of the digit it
//   keeps, or is an infinity exactly when that rounded digit lies beyond the largest double;
// - NaN and the infinities read back as themselves;
// - what is read back is a fixed point: formatting and reading it again gives the same bits (the
//   dialog rounds a setting once, when it opens, and never again).

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/options.h"

namespace {

void Check(bool condition, const char* what, double value, const std::string& text) {
  if (condition) return;
  std::fprintf(stderr, "options_fuzzer: %s: %.17g -> \"%s\"\n", what, value, text.c_str());
  std::abort();
}

bool SameBits(double a, double b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// The text of a finite value: "-"?, then digits and at most one point, or one digit 1 to 9, 'e',
// a sign and three digits. Returns the exponent of its significant digit and how many digits
// other than zero it has.
bool Shape(const std::string& text, int& exponent, int& nonzero) {
  const std::size_t at = !text.empty() && text[0] == '-' ? 1 : 0;
  const std::size_t e = text.find('e');
  nonzero = 0;
  exponent = 0;
  if (e != std::string::npos) {
    if (e != at + 1 || text.size() != e + 5 || text[at] < '1' || text[at] > '9') return false;
    if (text[e + 1] != '+' && text[e + 1] != '-') return false;
    for (std::size_t i = e + 2; i < text.size(); ++i) {
      if (text[i] < '0' || text[i] > '9') return false;
    }
    nonzero = 1;
    exponent = std::atoi(text.c_str() + e + 1);
    return true;
  }
  const std::string body = text.substr(at);
  if (body.empty() || body.find_first_not_of("0123456789.") != std::string::npos) return false;
  const std::size_t point = body.find('.');
  if (point != std::string::npos && body.find('.', point + 1) != std::string::npos) return false;
  const std::size_t digit = body.find_first_of("123456789");
  nonzero = 0;
  for (char c : body) nonzero += c >= '1' && c <= '9';
  const std::size_t integerEnd = point == std::string::npos ? body.size() : point;
  if (digit != std::string::npos) {
    exponent = digit < integerEnd ? static_cast<int>(integerEnd - digit - 1)
                                  : -static_cast<int>(digit - integerEnd);
  }
  return true;
}

void CheckFormatting(double value) {
  const std::string text = FormatSetting(value);
  const double back = ReadSetting(text);
  if (std::isnan(value)) {
    Check(text == "nan" && std::isnan(back), "NaN", value, text);
    return;
  }
  if (std::isinf(value)) {
    Check(SameBits(back, value), "infinity", value, text);
    return;
  }
  int exponent = 0, nonzero = 0;
  Check(Shape(text, exponent, nonzero), "shape", value, text);
  Check(nonzero == (value == 0.0 ? 0 : 1), "one significant digit", value, text);
  Check(std::signbit(back) == std::signbit(value), "sign", value, text);
  // The text's own value, held more exactly than a double can (64-bit mantissa, wider range).
  const long double exact = std::strtold(text.c_str(), nullptr);
  Check(std::isinf(back) == (std::fabs(exact) > DBL_MAX), "infinity when beyond the range", value,
        text);
  // Rounding to one digit moves the value by at most half a unit of the digit before rounding,
  // whose exponent is the text's or one below (9.6 -> 10).
  const long double halfUnit = std::strtold(("5e" + std::to_string(exponent - 1)).c_str(), nullptr);
  const long double error = std::fabs(exact - static_cast<long double>(value));
  Check(error <= halfUnit * (1 + 0x1p-60L), "more than half a unit away", value, text);
  Check(SameBits(ReadSetting(FormatSetting(back)), back), "not a fixed point", value, text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const double read = ReadSetting(text);
  if (text.size() >= 127) {
    Check(SameBits(ReadSetting(text.substr(0, 127) + "5e9"), read), "more than 127 characters",
          read, text);
  }
  CheckFormatting(read);
  if (size >= sizeof(double)) {
    double value;
    std::memcpy(&value, data, sizeof value);
    CheckFormatting(value);
  }
  return 0;
}
