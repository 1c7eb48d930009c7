// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/Provider.h"
#include "host/host_api.h"

// A device plug-in loaded the way the controller loads it: dlopen with RTLD_NOW, then the
// exported get_providers. Unloaded when the object goes; every provider and device made from it
// must be gone by then.
class HOST_API PluginLibrary {
 public:
  // Throws std::runtime_error with the loader's message when the file does not load or does not
  // export get_providers.
  explicit PluginLibrary(const std::string& path);
  ~PluginLibrary();
  PluginLibrary(const PluginLibrary&) = delete;
  PluginLibrary& operator=(const PluginLibrary&) = delete;

  std::vector<std::shared_ptr<Provider>> Providers() const { return getProviders_(); }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
  void* handle_ = nullptr;
  GetProvidersFn getProviders_ = nullptr;
};
