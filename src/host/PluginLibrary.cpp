// SPDX-License-Identifier: Apache-2.0
#include "host/PluginLibrary.h"

#include <dlfcn.h>

#include <stdexcept>

PluginLibrary::PluginLibrary(const std::string& path) : path_(path) {
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* error = dlerror();
    throw std::runtime_error("cannot load plug-in " + path + ": " + (error ? error : "unknown"));
  }
  void* symbol = dlsym(handle_, "get_providers");
  if (symbol == nullptr) {
    dlclose(handle_);
    throw std::runtime_error("plug-in " + path + " does not export get_providers");
  }
  getProviders_ = reinterpret_cast<GetProvidersFn>(symbol);
}

PluginLibrary::~PluginLibrary() { dlclose(handle_); }
