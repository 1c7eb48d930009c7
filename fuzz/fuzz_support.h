// SPDX-License-Identifier: Apache-2.0
#pragma once
// Shared pieces of the fuzz targets: a quiet device on a recording controller, a private working
// directory for the rule-file lookup, the one place that says which exceptions may leave which
// operation, and the invariants every target checks after each operation.

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <typeinfo>

#include <json/json.h>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/property_tree/exceptions.hpp>
#include <boost/property_tree/ini_parser.hpp>

#include "support/DeviceProbe.h"

namespace fuzz {

constexpr unsigned kDataId = 12;
constexpr std::size_t kRecordSize = sizeof(DO3008RA_Data_t);

// The plug-in logs one line per event on standard output; at a million executions that is
// pure cost. A stream without a buffer drops every write at once. libFuzzer reports on stderr.
inline void SilenceStdout() { std::cout.rdbuf(nullptr); }

[[noreturn]] inline void Fail(const std::string& what) {
  std::fprintf(stderr, "INVARIANT BROKEN: %s\n", what.c_str());
  std::fflush(stderr);
  std::abort();
}

inline void Require(bool condition, const std::string& what) {
  if (!condition) Fail(what);
}

// A private, initially empty directory. The rule-file lookup searches ./ini/ relative to the
// working directory, so operations that may look there run inside this directory (and return
// to the previous one afterwards, so libFuzzer's own relative paths keep working).
class WorkDir {
 public:
  static WorkDir& Instance() {
    // Never destroyed, so that the removal at exit still finds its path.
    static WorkDir* const dir = [] {
      auto* created = new WorkDir;
      std::atexit([] { Instance().Remove(); });
      return created;
    }();
    return *dir;
  }
  const std::string& Path() const { return path_; }
  // Writes `text` to the given path below the directory, creating ./ini and ./ini/vizova.
  void WriteFile(const std::string& relative, const std::string& text) const {
    const std::string ini = path_ + "/ini";
    mkdir(ini.c_str(), 0700);
    mkdir((ini + "/vizova").c_str(), 0700);
    std::FILE* file = std::fopen((path_ + "/" + relative).c_str(), "wb");
    Require(file != nullptr, "cannot write " + relative);
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
  }
  void RemoveFile(const std::string& relative) const { unlink((path_ + "/" + relative).c_str()); }

 private:
  WorkDir() {
    char pattern[] = "/tmp/do3008ra-fuzz-XXXXXX";
    Require(mkdtemp(pattern) != nullptr, "mkdtemp failed");
    path_ = pattern;
  }
  void Remove() const {
    const std::string command = "rm -rf '" + path_ + "'";
    if (std::system(command.c_str()) != 0)
      std::fprintf(stderr, "cannot remove %s\n", path_.c_str());
  }
  std::string path_;
};

class InWorkDir {
 public:
  InWorkDir() : previous_(open(".", O_RDONLY | O_DIRECTORY)) {
    Require(previous_ >= 0 && chdir(WorkDir::Instance().Path().c_str()) == 0, "chdir failed");
  }
  ~InWorkDir() {
    if (fchdir(previous_) != 0) std::fprintf(stderr, "cannot return from the work dir\n");
    close(previous_);
  }
  InWorkDir(const InWorkDir&) = delete;
  InWorkDir& operator=(const InWorkDir&) = delete;

 private:
  int previous_;
};

// Which exceptions may leave an operation. Everything else is a finding.
struct Allowed {
  bool completion = false;     // RoundDone: local-time conversion errors
  bool stringSignal = false;   // RoundDone in mode 1 with a rule naming a text member
  bool configuration = false;  // InitSetting: rule-file errors, text fields given as containers
};

inline Allowed Completion(bool stringSignal) { return {true, stringSignal, false}; }
inline Allowed Configuration() { return {false, false, true}; }

inline bool IsLocalTimeError(const std::runtime_error& error) {
  return std::strstr(error.what(), "local time") != nullptr;
}

[[noreturn]] inline void Unexpected(const char* operation, const std::exception& error) {
  Fail(std::string(operation) + " let out " + typeid(error).name() + ": " + error.what());
}

// Runs `op`; returns true when it completed, false when an allowed exception left it.
template <class Op>
bool Run(const char* operation, Allowed allowed, Op&& op) {
  try {
    op();
    return true;
  } catch (const boost::property_tree::ini_parser_error& error) {
    if (!allowed.configuration) Unexpected(operation, error);
  } catch (const boost::property_tree::ptree_bad_path& error) {
    if (!allowed.configuration) Unexpected(operation, error);
  } catch (const Json::LogicError& error) {
    const bool textField = std::strstr(error.what(), "not convertible to string") != nullptr;
    const bool numberOfText = std::strstr(error.what(), "not convertible to float") != nullptr ||
                              std::strstr(error.what(), "not convertible to double") != nullptr;
    if (!(allowed.configuration && textField) && !(allowed.stringSignal && numberOfText)) {
      Unexpected(operation, error);
    }
  } catch (const std::runtime_error& error) {
    if (!(allowed.completion && IsLocalTimeError(error))) Unexpected(operation, error);
  } catch (const std::exception& error) {
    Unexpected(operation, error);
  } catch (...) {
    Fail(std::string(operation) + " let out a non-standard exception");
  }
  return false;
}

// A device attached to a controller, as a host sets it up.
inline std::unique_ptr<DeviceProbe> NewDevice(const std::shared_ptr<RecordingController>& bus) {
  auto device = std::make_unique<DeviceProbe>();
  device->Init(bus, kDataId, Json::Value(Json::objectValue));
  return device;
}

// Answers every pending request with a failure, so that a controller kept across executions
// holds no request of a device that is about to go.
inline void Drain(RecordingController& bus) {
  while (bus.FailNext()) {
  }
}

// A heap buffer of exactly `size` bytes (a real, non-null pointer also for 0), so that the
// address sanitizer sees any access past the size a caller stated.
class Buffer {
 public:
  explicit Buffer(std::size_t size, unsigned char fill = 0)
      : size_(size), bytes_(new unsigned char[size]) {
    std::memset(bytes_.get(), fill, size);
  }
  unsigned char* data() const { return bytes_.get(); }
  std::size_t size() const { return size_; }

 private:
  std::size_t size_;
  std::unique_ptr<unsigned char[]> bytes_;
};

using RecordBytes = std::array<unsigned char, kRecordSize>;

inline RecordBytes Bytes(const DeviceProbe& device) {
  RecordBytes bytes;
  std::memcpy(bytes.data(), device.RecordBytes(), kRecordSize);
  return bytes;
}

inline RecordBytes StampOf(const DeviceProbe& device, RecordBytes bytes) {
  const TTime stamp = get_ttime(device.dataTime_.load());
  std::memcpy(bytes.data() + 40, &stamp, sizeof stamp);
  return bytes;
}

// Does the mode-1 rule table name a text member of the status document? Completing a cycle
// then fails in the JSON library's number conversion.
inline bool NamesTextMember(const DeviceProbe& device) {
  return device.b_mode_ == 1 &&
         (device.aiSignalMap_.count("波特率") != 0 || device.aiSignalMap_.count("更新时间") != 0);
}

// What Get_Value must say for the device's state now.
inline const char* ExpectedValueAnswer(const DeviceProbe& device) {
  using boost::posix_time::ptime;
  if (!device.dataReady_.load()) return "数据未就绪";
  const ptime time = device.dataTime_.load();
  if (time.is_not_a_date_time() || time.is_neg_infinity()) return "数据已超时";
  if (time.is_pos_infinity()) return "不支持变量";
  const ptime now = boost::posix_time::second_clock::local_time();
  return now - time > boost::posix_time::microseconds(60999999) ? "数据已超时" : "不支持变量";
}

inline void CheckValueQuery(const DeviceProbe& device, unsigned int signalId,
                            const std::string& name) {
  const std::string expected = ExpectedValueAnswer(device);
  try {
    device.Get_Value(signalId, name);
    Fail("Get_Value returned a value");
  } catch (const std::out_of_range& error) {
    Require(expected == error.what(),
            std::string("Get_Value said ") + error.what() + ", expected " + expected);
  } catch (const std::runtime_error& error) {
    if (!IsLocalTimeError(error)) Unexpected("Get_Value", error);
  } catch (const std::exception& error) {
    Unexpected("Get_Value", error);
  }
}

// Invariants that hold between any two operations.
inline void CheckDevice(DeviceProbe& device) {
  const int result = device.writeResult_;
  Require(result == -1 || result == 1 || result == 3, "writeResult_ is " + std::to_string(result));
  Require(device.jsonMutex_.try_lock(), "jsonMutex_ left locked");
  device.jsonMutex_.unlock();
  CheckValueQuery(device, 0, "");
}

}  // namespace fuzz
