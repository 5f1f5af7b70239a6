#include "io/classic_numbers.h"

cClassicNumbers::cClassicNumbers()
    : classic(newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0))) {
  if (classic != static_cast<locale_t>(0)) previous = uselocale(classic);
}

cClassicNumbers::~cClassicNumbers() {
  if (classic != static_cast<locale_t>(0)) {
    uselocale(previous);
    freelocale(classic);
  }
}
