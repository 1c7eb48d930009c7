#include "do3008ra/DO3008RA.h"

void DO3008RA::GenJsonData() {
  // TODO(status document)
}
