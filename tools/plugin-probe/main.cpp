// SPDX-License-Identifier: Apache-2.0
// Loads a device plug-in as the controller does, creates one device per provider, configures it
// and prints what it is.
#include <cstdio>
#include <exception>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>

#include <json/reader.h>

#include "host/PluginLibrary.h"
#include "host/RecordingController.h"
#include "host/SMDVDevice.h"

namespace {

Json::Value ReadSettings(const char* path) {
  Json::Value settings(Json::objectValue);
  if (path == nullptr) return settings;
  std::ifstream file(path);
  if (!file) throw std::runtime_error(std::string("cannot open settings file ") + path);
  Json::CharReaderBuilder builder;
  std::string errors;
  if (!Json::parseFromStream(builder, file, &settings, &errors)) {
    throw std::runtime_error(std::string("settings file ") + path + ": " + errors);
  }
  return settings;
}

void Probe(const Provider& provider, const Json::Value& settings, unsigned int dataId) {
  std::unique_ptr<VDeviceInterface> device(provider.create());
  auto* configurable = dynamic_cast<SMDVDevice*>(device.get());
  if (configurable == nullptr) throw std::runtime_error("device is not an SMDVDevice");
  auto controller = std::make_shared<RecordingController>();
  configurable->Init(controller, dataId, settings);
  const int result = configurable->InitSetting(settings);
  std::cout << "device type: " << device->DeviceType() << "\n"
            << "data id: " << device->DataId() << "\n"
            << "InitSetting result: " << result << "\n";
  try {
    device->Get_Value(0, "");
  } catch (const std::out_of_range& reason) {
    std::cout << "value query: " << reason.what() << "\n";
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: plugin-probe PLUGIN.so [SETTINGS.json] [DATA_ID]\n";
    return 2;
  }
  try {
    PluginLibrary library(argv[1]);
    const Json::Value settings = ReadSettings(argc > 2 ? argv[2] : nullptr);
    const unsigned int dataId = argc > 3 ? static_cast<unsigned int>(std::stoul(argv[3])) : 12;
    auto providers = library.Providers();
    std::cout << "plug-in: " << library.Path() << " (" << providers.size() << " provider)\n";
    for (const auto& provider : providers) Probe(*provider, settings, dataId);
    return 0;
  } catch (const std::exception& error) {
    std::cerr << "plugin-probe: " << error.what() << "\n";
    return 1;
  }
}
