// The texts of the Options dialog's boxes: a setting shown with one significant digit, and a
// box's text read back with the C library's atof rules.
#pragma once

#include <string>

// One significant digit. Fixed notation when the leading digit's decimal exponent m (taken
// before rounding) is -1 or 0, with -m decimals; otherwise one digit, 'e', the exponent's sign
// and three exponent digits. Trailing zeros of a fraction go, its decimal point stays:
// 0.1 -> "0.1", 3 -> "3", 0.96 -> "1.", 9.6 -> "10", 0.05 -> "5e-002", 30 -> "3e+001".
std::string FormatSetting(double value);

// atof of the first 127 characters, in the C locale whatever the program's locale: leading white
// space skipped, the longest numeric prefix converted, 0.0 when there is none.
double ReadSetting(const std::string& text);
