// Reading and writing numbers with the C library's rules whatever locale the program runs in: a
// desktop toolkit may have set the user's locale, where the decimal separator can be a comma.
#pragma once

#include <locale.h>

// While it lives, the calling thread uses the "C" locale (other threads are not affected). When
// that locale cannot be made, the thread's locale is left as it is.
class cClassicNumbers {
 public:
  cClassicNumbers();
  ~cClassicNumbers();
  cClassicNumbers(const cClassicNumbers&) = delete;
  cClassicNumbers& operator=(const cClassicNumbers&) = delete;

 private:
  locale_t classic;
  locale_t previous = static_cast<locale_t>(0);
};
