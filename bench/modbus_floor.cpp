// SPDX-License-Identifier: Apache-2.0
// The floor of what Modbus costs: a bare libmodbus loop that reads the sensor's six blocks
// (holding and input registers 0/4, 80/3 and 2000/2) and does nothing else with them. Prints
// the exchanges made and the CPU time this process used for them. PERIOD_MS, when given, is a
// pause after every cycle of six, as a host polling at that interval makes.
//   modbus_floor DEVICE CYCLES [BAUD [SLAVE [PERIOD_MS]]]
#include <modbus/modbus.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct Block {
  bool input;
  int address;
  int count;
};
constexpr Block kBlocks[] = {{false, 0, 4}, {true, 0, 4},     {false, 80, 3},
                             {true, 80, 3}, {false, 2000, 2}, {true, 2000, 2}};

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long Arg(int argc, char** argv, int index, long fallback) {
  return argc > index ? std::strtol(argv[index], nullptr, 10) : fallback;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: modbus_floor DEVICE CYCLES [BAUD [SLAVE [PERIOD_MS]]]\n");
    return 2;
  }
  const long cycles = Arg(argc, argv, 2, 0);
  const int baud = static_cast<int>(Arg(argc, argv, 3, 9600));
  const int slave = static_cast<int>(Arg(argc, argv, 4, 1));
  const long periodMs = Arg(argc, argv, 5, 0);
  modbus_t* bus = modbus_new_rtu(argv[1], baud, 'N', 8, 1);
  if (bus == nullptr || modbus_set_slave(bus, slave) != 0 || modbus_connect(bus) != 0) {
    std::fprintf(stderr, "modbus_floor: %s: %s\n", argv[1], modbus_strerror(errno));
    return 1;
  }
  uint16_t registers[8];
  long exchanges = 0;
  long failures = 0;
  const double cpuBefore = CpuSeconds();
  for (long cycle = 0; cycle < cycles; ++cycle) {
    for (const Block& block : kBlocks) {
      const int got = block.input
                          ? modbus_read_input_registers(bus, block.address, block.count, registers)
                          : modbus_read_registers(bus, block.address, block.count, registers);
      ++exchanges;
      if (got != block.count) ++failures;
    }
    if (periodMs > 0) usleep(static_cast<useconds_t>(periodMs * 1000));
  }
  const double cpu = CpuSeconds() - cpuBefore;
  std::printf("exchanges %ld failures %ld cpu_us %.0f cpu_us_per_exchange %.2f\n", exchanges,
              failures, cpu * 1e6, exchanges ? cpu * 1e6 / double(exchanges) : 0.0);
  modbus_close(bus);
  modbus_free(bus);
  return failures == 0 ? 0 : 1;
}
