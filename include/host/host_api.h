// SPDX-License-Identifier: Apache-2.0
#pragma once

// Host framework classes are exported from the host library with default visibility; a plug-in
// built with hidden visibility still resolves them (vtables, typeinfo, non-inline members) from
// the process that loads it.
#define HOST_API __attribute__((visibility("default")))
