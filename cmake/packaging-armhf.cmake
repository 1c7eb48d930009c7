# SPDX-License-Identifier: Apache-2.0
# Read by cpack for an armhf package: dpkg-shlibdeps resolves the plug-in's libraries in the
# armhf multiarch directories and takes their versions from the :armhf packages.
set(ENV{DEB_HOST_ARCH} armhf)
set(ENV{DEB_HOST_MULTIARCH} arm-linux-gnueabihf)
