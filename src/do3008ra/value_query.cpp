#include "do3008ra/DO3008RA.h"

#include <stdexcept>

float DO3008RA::Get_Value(unsigned int signalId, const std::string& name) const {
  (void)signalId;
  (void)name;
  throw std::out_of_range("数据未就绪");  // TODO(value query): staleness
}
