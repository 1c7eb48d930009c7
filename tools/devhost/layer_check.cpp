// SPDX-License-Identifier: Apache-2.0
// Linked with the whole of one folder's library and the libraries below it (CMakeLists.txt): the
// link fails when the folder calls into a folder above it.
int main() { return 0; }
