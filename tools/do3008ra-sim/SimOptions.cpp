// SPDX-License-Identifier: Apache-2.0
#include "SimOptions.h"

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <map>

namespace {

constexpr long kHighestCode = do3008ra::kBaudCodeCount - 1;

long ParseLong(const std::string& option, const std::string& text, long low, long high) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || value < low || value > high) {
    throw SimUsageError(option + ": expected a whole number from " + std::to_string(low) + " to " +
                        std::to_string(high) + ", got '" + text + "'");
  }
  return value;
}

double ParseDouble(const std::string& option, const std::string& text) {
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || errno != 0 || value != value) {
    throw SimUsageError(option + ": expected a number, got '" + text + "'");
  }
  return value;
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string::size_type start = 0;
  for (;;) {
    const auto end = text.find(separator, start);
    parts.push_back(text.substr(start, end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

SensorRegisters::Wave ParseWave(const std::string& text) {
  const auto parts = Split(text, ':');
  if (parts.size() > 3) throw SimUsageError("--temperature: expected LOW[:HIGH[:PERIOD]]");
  SensorRegisters::Wave wave;
  wave.low = ParseDouble("--temperature", parts[0]);
  wave.high = parts.size() > 1 ? ParseDouble("--temperature", parts[1]) : wave.low;
  if (parts.size() > 2) wave.periodSeconds = ParseDouble("--temperature", parts[2]);
  if (wave.periodSeconds <= 0) throw SimUsageError("--temperature: the period must be positive");
  return wave;
}

SensorRegisters::Pin ParsePin(const std::string& text) {
  const auto equals = text.find('=');
  if (text.size() < 4 || (text[0] != 'h' && text[0] != 'i') || text[1] != ':' ||
      equals == std::string::npos) {
    throw SimUsageError("--set: expected h:ADDRESS=VALUE or i:ADDRESS=VALUE, got '" + text + "'");
  }
  SensorRegisters::Pin pin;
  pin.input = text[0] == 'i';
  pin.address = static_cast<uint16_t>(
      ParseLong("--set", text.substr(2, equals - 2), 0, SensorRegisters::kMapSize - 1));
  // Negative values are two's complement, as the sensor sends a sub-zero temperature.
  pin.value =
      static_cast<uint16_t>(ParseLong("--set", text.substr(equals + 1), -32768, 0xFFFF) & 0xFFFF);
  return pin;
}

int Percent(const std::string& option, const std::string& text) {
  return static_cast<int>(ParseLong(option, text, 0, 100));
}

}  // namespace

SimOptions ParseSimOptions(const std::vector<std::string>& args) {
  SimOptions options;
  auto& sensor = options.sensor;
  auto& faults = options.faults;
  using Setter = std::function<void(const std::string&)>;
  const std::map<std::string, Setter> valued = {
      {"--device", [&](const std::string& v) { options.device = v; }},
      {"--link", [&](const std::string& v) { options.link = v; }},
      {"--pty-group", [&](const std::string& v) { options.ptyGroup = v; }},
      {"--control", [&](const std::string& v) { options.control = v; }},
      {"--slave",
       [&](const std::string& v) {
         sensor.slave = static_cast<uint16_t>(
             ParseLong("--slave", v, do3008ra::kLowestAddress, do3008ra::kHighestAddress));
       }},
      {"--baud-code",
       [&](const std::string& v) {
         sensor.baudCode = static_cast<uint16_t>(ParseLong("--baud-code", v, 0, kHighestCode));
       }},
      {"--highest-baud-code",
       [&](const std::string& v) {
         sensor.highestBaudCode =
             static_cast<uint16_t>(ParseLong("--highest-baud-code", v, 0, kHighestCode));
       }},
      {"--temperature", [&](const std::string& v) { sensor.temperature = ParseWave(v); }},
      {"--humidity", [&](const std::string& v) { sensor.humidity = ParseDouble("--humidity", v); }},
      {"--pressure", [&](const std::string& v) { sensor.pressure = ParseDouble("--pressure", v); }},
      {"--set", [&](const std::string& v) { sensor.pins.push_back(ParsePin(v)); }},
      {"--drop", [&](const std::string& v) { faults.dropPercent = Percent("--drop", v); }},
      {"--corrupt", [&](const std::string& v) { faults.corruptPercent = Percent("--corrupt", v); }},
      {"--exception",
       [&](const std::string& v) { faults.exceptionPercent = Percent("--exception", v); }},
      {"--late", [&](const std::string& v) { faults.latePercent = Percent("--late", v); }},
      {"--late-ms",
       [&](const std::string& v) {
         faults.lateMs = static_cast<int>(ParseLong("--late-ms", v, 0, 60000));
       }},
      {"--sensors",
       [&](const std::string& v) {
         options.sensors =
             static_cast<int>(ParseLong("--sensors", v, 1, do3008ra::kHighestAddress));
       }},
      {"--turnaround-ms",
       [&](const std::string& v) {
         options.wire.turnaroundMs = ParseDouble("--turnaround-ms", v);
         if (options.wire.turnaroundMs < 0 || options.wire.turnaroundMs > 10000) {
           throw SimUsageError("--turnaround-ms: expected 0 to 10000, got '" + v + "'");
         }
       }},
      {"--seed",
       [&](const std::string& v) {
         faults.seed = static_cast<uint32_t>(ParseLong("--seed", v, 0, 0x7FFFFFFF));
       }},
  };
  const std::map<std::string, std::function<void()>> flags = {
      {"--static", [&] { sensor.drift = false; }},
      {"--no-input", [&] { faults.neverAnswerInput = true; }},
      {"--wrong-echo", [&] { faults.wrongEcho = true; }},
      {"--change-on-restart", [&] { sensor.lineChangeOnRestart = true; }},
      {"--wire", [&] { options.wire.paced = true; }},
      {"--verbose", [&] { options.verbose = true; }},
      {"--help", [&] { options.help = true; }},
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (auto flag = flags.find(args[i]); flag != flags.end()) {
      flag->second();
    } else if (auto option = valued.find(args[i]); option != valued.end()) {
      if (i + 1 >= args.size()) throw SimUsageError(args[i] + ": a value is missing");
      option->second(args[++i]);
    } else {
      throw SimUsageError("unknown argument '" + args[i] + "'");
    }
  }
  if (sensor.slave + options.sensors - 1 > do3008ra::kHighestAddress) {
    throw SimUsageError("--sensors: the addresses from --slave on end above " +
                        std::to_string(do3008ra::kHighestAddress));
  }
  if (faults.dropPercent + faults.corruptPercent + faults.exceptionPercent + faults.latePercent >
      100) {
    throw SimUsageError("the fault shares add up to more than 100 percent");
  }
  return options;
}

SensorRegisters::Settings SensorAt(const SimOptions& options, int index) {
  SensorRegisters::Settings settings = options.sensor;
  settings.slave = static_cast<uint16_t>(settings.slave + index);
  settings.humidity += index;
  settings.pressure += index;
  return settings;
}

FaultSettings FaultsAt(const SimOptions& options, int index) {
  FaultSettings faults = options.faults;
  faults.seed += static_cast<uint32_t>(index);
  return faults;
}

const char* SimUsage() {
  return R"(usage: do3008ra-sim [options]
Serves the DO3008RA register map as a Modbus-RTU slave, on a new pseudo-terminal (its path is
printed) or on a serial device. Stops on SIGINT or SIGTERM.

  --device PATH         serve on this serial device instead of a pseudo-terminal
  --link PATH           also make PATH a symbolic link to the pseudo-terminal
  --pty-group GROUP     give the pseudo-terminal to GROUP (a name or number), mode 0660, so
                        that a host running as another user in that group (the packaged
                        service: dialout) may open it
  --slave N             Modbus address, 1-247 (default 1)
  --sensors N           N sensors on the line, at addresses N, N+1, ... from --slave on, each
                        with its own registers: humidity and pressure one unit higher than the
                        sensor before, its own fault draws (seed + 1); every sensor hears every
                        frame (default 1)
  --wire                behave like a wire: requests take their characters' time on the line,
                        answers go out byte by byte, each when its last bit would arrive, at the
                        speed and framing the host set (a pseudo-terminal has no wire time), and
                        frames are found strictly by silence (below)
  --turnaround-ms X     wait X milliseconds (0-10000, fractions allowed) after a request's
                        silence before answering, as a sensor's processing does (default 0)
  --baud-code N         baud-rate code 0-7 (default 2 = 9600)
  --highest-baud-code N refuse baud codes above N (exception 03), as a model without the fast
                        speeds does (default 7)
  --change-on-restart   keep answering at the old address and speed after a write to
                        2000/2001, as a sensor that takes them only at its next start
  --temperature L[:H[:P]]  temperature rising from L to H and back every P seconds
                        (default 22:32:20)
  --humidity X          humidity around X (default 45.0)
  --pressure X          air pressure around X (default 1013.2)
  --static              no drift: the values stay where they start
  --set h:ADDR=V        pin holding register ADDR to the raw value V (i:ADDR=V for the input copy);
                        a negative V is two's complement (i:1=-50 reads -5.0)
  --control FILE        hold the registers FILE names, one a line: `input 1 = 315`,
                        `holding 80 = -5`, `i1=315`, or `1 = 315` for both copies (raw values,
                        two's complement below zero; `#` starts a comment). FILE is read again
                        whenever it changes (looked at every 0.2 s); a held value stays until
                        FILE changes it, and a register whose line goes returns to its wave
                        (or --set value). Bad lines are logged and ignored.
  --drop P              leave P percent of the requests unanswered
  --corrupt P           answer P percent with a broken CRC
  --exception P         answer P percent with a Modbus exception
  --late P              answer P percent after --late-ms milliseconds (default 1000)
  --no-input            never answer function 04
  --wrong-echo          echo writes with a value (06) or count (16) off by one
  --seed N              seed of the fault draws (default 1)
  --verbose             log every request

Frames are found by silence, as a sensor does: a frame ends after 3.5 characters of quiet
(1.75 ms above 19200 baud); without --wire a request of a known function is answered as soon
as it is whole. With --wire, a request that begins sooner after the frame before
it is read together with that frame and goes unanswered ("frame merged with the one before" in
the log), and one with a gap of over 1.5 characters inside is dropped; without it, such
requests are only counted. At the stop, one line counts the frames heard, answered and sent
too soon.
)";
}
