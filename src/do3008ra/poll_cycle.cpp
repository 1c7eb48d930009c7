#include "do3008ra/DO3008RA.h"

int DO3008RA::RefreshStatus() {
  SMDSPDevice::RefreshStatus();
  return 1;  // TODO(poll cycle): six-request cycle
}

int DO3008RA::process_payload(tab_type table, unsigned int count) {
  (void)table;
  (void)count;
  return 1;  // TODO(poll cycle)
}
