// SPDX-License-Identifier: Apache-2.0
// The plug-in's version as text in its read-only data, to be read on a board with `strings`
// ("do3008ra version 1.1.0"). It has no exported symbol and is kept although nothing refers
// to it.
namespace {
[[gnu::used]] const char kVersionText[] = "do3008ra version " DO3008RA_VERSION;
}  // namespace
