// SPDX-License-Identifier: Apache-2.0
#pragma once

enum EnumParity {
  PARITY_NONE = 0,
  PARITY_ODD = 1,
  PARITY_EVEN = 2,
  PARITY_MARK = 3,
  PARITY_SPACE = 4
};
