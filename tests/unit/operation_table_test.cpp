// SPDX-License-Identifier: Apache-2.0
// The device's table of virtual operations: every operation at its slot, each slot holding the
// implementation the host expects. The host calls through this table, so the order is binding.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "support/DeviceProbe.h"

namespace {

// Slot index encoded in a pointer to a virtual member function under the Itanium C++ ABI
// (x86-64: ptr = 1 + byte offset) and the ARM C++ ABI (ptr = byte offset, adj odd).
template <class Pmf>
long SlotOf(Pmf pmf) {
  struct Representation {
    std::intptr_t ptr;
    std::ptrdiff_t adj;
  };
  static_assert(sizeof(Pmf) == sizeof(Representation), "two-word member pointers");
  Representation rep;
  std::memcpy(&rep, &pmf, sizeof rep);
#if defined(__arm__) || defined(__aarch64__)
  if ((rep.adj & 1) == 0) return -1;
  return static_cast<long>(rep.ptr / static_cast<std::intptr_t>(sizeof(void*)));
#else
  if ((rep.ptr & 1) == 0) return -1;
  return static_cast<long>((rep.ptr - 1) / static_cast<std::intptr_t>(sizeof(void*)));
#endif
}

void* const* TableOf(const void* object) { return *static_cast<void* const* const*>(object); }

// A Modbus device with nothing of its own: its table holds the host's implementations.
struct BareModbus : SPModbus {
  int process_payload(tab_type, unsigned int) override { return 0; }
};

// UniDataDevice with nothing of its own beyond the pure operation it must fill.
struct BareUniData : UniDataDevice<DO3008RA_Data_t, SPModbus, DO3008RA::kDataCode> {
  int process_payload(tab_type, unsigned int) override { return 0; }
};

enum class Impl { kHost, kUniData, kDevice, kSkip };

struct Row {
  const char* name;
  long slot;
  Impl device;   // what DO3008RA's table holds
  Impl uniData;  // what UniDataDevice's own table holds
};

using Device = DO3008RA;

std::vector<Row> Rows() {
  using H = Impl;
  return {
      {"Get_Value", SlotOf(&Device::Get_Value), H::kDevice, H::kHost},
      {"LoadFromCache(string)",
       SlotOf(static_cast<int (VDeviceInterface::*)(const std::string&)>(
           &VDeviceInterface::LoadFromCache)),
       H::kHost, H::kHost},
      {"LoadFromCache(bytes)",
       SlotOf(static_cast<int (VDeviceInterface::*)(const unsigned char*, int)>(
           &VDeviceInterface::LoadFromCache)),
       H::kUniData, H::kUniData},
      {"DataId", SlotOf(&Device::DataId), H::kHost, H::kHost},
      {"DeviceType", SlotOf(&Device::DeviceType), H::kHost, H::kHost},
      {"DeviceIoControl", SlotOf(&Device::DeviceIoControl), H::kDevice, H::kHost},
      {"RoundDone", SlotOf(&Device::RoundDone), H::kUniData, H::kUniData},
      {"UseControllerDb", SlotOf(&Device::UseControllerDb), H::kHost, H::kHost},
      {"~destructor (complete)", 8, H::kSkip, H::kSkip},
      {"~destructor (deleting)", 9, H::kSkip, H::kSkip},
      {"Reset", SlotOf(&Device::Reset), H::kHost, H::kHost},
      {"InitV", SlotOf(&Device::InitV), H::kHost, H::kHost},
      {"Init", SlotOf(&Device::Init), H::kHost, H::kHost},
      {"InitSetting", SlotOf(&Device::InitSetting), H::kDevice, H::kUniData},
      {"IsSupportDevice", SlotOf(&Device::IsSupportDevice), H::kHost, H::kHost},
      {"GetChildVDevice", SlotOf(&Device::GetChildVDevice), H::kHost, H::kHost},
      {"GetAllChildVDevices", SlotOf(&Device::GetAllChildVDevices), H::kHost, H::kHost},
      {"SendSP", SlotOf(&Device::SendSP), H::kHost, H::kHost},
      {"SendDelayData", SlotOf(&Device::SendDelayData), H::kHost, H::kHost},
      {"SendDoData", SlotOf(&Device::SendDoData), H::kHost, H::kHost},
      {"ReadDi", SlotOf(&Device::ReadDi), H::kHost, H::kHost},
      {"ReadAi", SlotOf(&Device::ReadAi), H::kHost, H::kHost},
      {"Get_SP_Value", SlotOf(&Device::Get_SP_Value), H::kHost, H::kHost},
      {"RefreshStatus", SlotOf(&Device::RefreshStatus), H::kDevice, H::kHost},
      {"process", SlotOf(&Device::process), H::kHost, H::kHost},
      {"IsProcessing", SlotOf(&Device::IsProcessing), H::kHost, H::kHost},
      {"IsStalled", SlotOf(&Device::IsStalled), H::kHost, H::kHost},
      {"SendData", SlotOf(&Device::SendData), H::kHost, H::kHost},
      {"SendParityData", SlotOf(&Device::SendParityData), H::kHost, H::kHost},
      {"OpenPort", SlotOf(&Device::OpenPort), H::kHost, H::kHost},
      {"ClosePort", SlotOf(&Device::ClosePort), H::kHost, H::kHost},
      {"process_payload", SlotOf(&Device::process_payload), H::kDevice, H::kSkip},
      {"on_error", SlotOf(&Device::on_error), H::kHost, H::kHost},
      {"RunCheckThreshold", SlotOf(&Device::RunCheckThreshold), H::kDevice, H::kUniData},
      {"GenJsonData", SlotOf(&Device::GenJsonData), H::kDevice, H::kUniData},
  };
}

TEST(OperationTable, EveryOperationSitsAtItsSlot) {
  const auto rows = Rows();
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i].slot, static_cast<long>(i)) << rows[i].name;
  }
}

Impl Classify(void* entry, void* hostEntry, void* uniEntry) {
  if (entry == hostEntry) return Impl::kHost;
  if (entry == uniEntry) return Impl::kUniData;
  return Impl::kDevice;
}

TEST(OperationTable, SlotsHoldTheExpectedImplementations) {
  DeviceProbe device;
  BareModbus host;
  BareUniData uni;
  void* const* deviceTable = TableOf(static_cast<DO3008RA*>(&device));
  DO3008RA plain;
  void* const* plainTable = TableOf(&plain);
  void* const* hostTable = TableOf(&host);
  void* const* uniTable = TableOf(&uni);
  // The host's table ends with on_error; the two operations UniDataDevice adds lie past its end,
  // where it must not be read.
  const long hostSlots = SlotOf(&SPModbus::on_error) + 1;
  for (const auto& row : Rows()) {
    const long slot = row.slot;
    void* const hostEntry = slot < hostSlots ? hostTable[slot] : nullptr;
    if (row.device != Impl::kSkip) {
      EXPECT_EQ(Classify(plainTable[slot], hostEntry, uniTable[slot]), row.device)
          << row.name << " in DO3008RA's table";
      // A test subclass that overrides nothing keeps every entry.
      EXPECT_EQ(deviceTable[slot], plainTable[slot]) << row.name;
    }
    if (row.uniData != Impl::kSkip) {
      const Impl uniImpl = uniTable[slot] == hostEntry ? Impl::kHost : Impl::kUniData;
      EXPECT_EQ(uniImpl, row.uniData) << row.name << " in UniDataDevice's table";
    }
  }
}

TEST(OperationTable, BasesShareTheObjectAddress) {
  DO3008RA device;
  const void* address = &device;
  EXPECT_EQ(static_cast<const void*>(static_cast<SPModbus*>(&device)), address);
  EXPECT_EQ(static_cast<const void*>(static_cast<SMDSPDevice*>(&device)), address);
  EXPECT_EQ(static_cast<const void*>(static_cast<SMDVDevice*>(&device)), address);
  EXPECT_EQ(static_cast<const void*>(static_cast<VDeviceInterface*>(&device)), address);
}

}  // namespace
