// SPDX-License-Identifier: Apache-2.0
#include "SimServer.h"

#include <poll.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <stdexcept>
#include <thread>

#include "RtuFrame.h"

namespace {

constexpr int kIdlePollMs = 100;
// A host that keeps writing cannot hold a stopping simulator for long.
constexpr int kServedAtStop = 16;
constexpr std::chrono::milliseconds kControlEvery{200};
// Bits a character takes on a serial device: 8N1, as the simulator sets it.
constexpr int kDeviceBits = 10;

timespec Timespec(std::chrono::nanoseconds span) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(span);
  return {static_cast<time_t>(seconds.count()),
          static_cast<long>(std::chrono::nanoseconds(span - seconds).count())};
}

void SleepUntil(SimServer::Clock::time_point when) {
  // steady_clock is CLOCK_MONOTONIC: an absolute sleep never drifts over a frame's bytes.
  const timespec until = Timespec(when.time_since_epoch());
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
  }
}

double Ms(std::chrono::nanoseconds span) {
  return std::chrono::duration<double, std::milli>(span).count();
}

}  // namespace

SimServer::SimServer(PtyLink& pty, std::vector<SimSensor>& sensors, const WireSettings& wire)
    : pty_(&pty), sensors_(sensors), wire_(wire) {
  Retime();
}

SimServer::SimServer(const std::string& device, std::vector<SimSensor>& sensors,
                     const WireSettings& wire)
    : device_(device), sensors_(sensors), wire_(wire) {
  OpenDevice();
  Retime();
}

SimServer::~SimServer() { CloseDevice(); }

void SimServer::OpenDevice() {
  deviceBaud_ = BaudOfCode(sensors_.front().BaudCode());
  context_ = modbus_new_rtu(device_.c_str(), deviceBaud_, 'N', 8, 1);
  if (context_ == nullptr) throw std::runtime_error("cannot make a Modbus-RTU context");
  if (modbus_connect(context_) != 0) {
    const std::string reason = modbus_strerror(errno);
    modbus_free(context_);
    context_ = nullptr;
    throw std::runtime_error("cannot open " + device_ + ": " + reason);
  }
}

void SimServer::CloseDevice() {
  if (context_ == nullptr) return;
  modbus_close(context_);
  modbus_free(context_);
  context_ = nullptr;
}

int SimServer::Fd() const {
  return pty_ != nullptr ? pty_->MasterFd() : modbus_get_socket(context_);
}

void SimServer::Retime() {
  // On a pseudo-terminal the speed and framing the host set on its side stand in for the line's.
  const int baud = pty_ != nullptr && pty_->LineBaud() != 0
                       ? pty_->LineBaud()
                       : BaudOfCode(sensors_.front().BaudCode());
  const int bits = pty_ != nullptr ? pty_->LineBits() : kDeviceBits;
  finder_.Retime(FrameFinder::TimingOf(baud, bits, wire_.paced));
}

void SimServer::Run(const volatile std::sig_atomic_t& stop) {
  stop_ = &stop;
  // A sleeping thread wakes up to 50 us late by default: a third of a silence at 115200 baud.
  prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
  while (!stop) {
    CheckControl();
    const auto due = finder_.Due();
    const auto wait = due ? std::max(*due - Clock::now(), Clock::duration::zero())
                          : std::chrono::milliseconds(kIdlePollMs);
    const timespec timeout = Timespec(wait);
    pollfd readable{Fd(), POLLIN, 0};
    const int ready = ppoll(&readable, 1, &timeout, nullptr);
    if (ready > 0 && (readable.revents & POLLIN)) ReadLine();
    if (auto frame = finder_.Complete(Clock::now())) Hear(*frame);
  }
  ServeWhatIsOnTheLine();
}

void SimServer::ServeWhatIsOnTheLine() {
  // Requests that reached the line before the stop are still served, as a sensor on a wire
  // would have heard them: the log then holds every request a host sent, even one sent by a
  // host that stopped just before this simulator.
  for (int left = kServedAtStop; left > 0; --left) {
    pollfd readable{Fd(), POLLIN, 0};
    if (poll(&readable, 1, 0) > 0 && (readable.revents & POLLIN)) ReadLine();
    const auto due = finder_.Due();
    if (!due) return;
    SleepUntil(*due);
    if (auto frame = finder_.Complete(Clock::now())) Hear(*frame);
  }
}

void SimServer::ReadLine() {
  uint8_t bytes[MODBUS_RTU_MAX_ADU_LENGTH];
  // The bytes were there when the wait returned: stamped before the read, a pause of this
  // process cannot make them look later than they came.
  const Clock::time_point when = Clock::now();
  const ssize_t count = read(Fd(), bytes, sizeof bytes);
  if (count <= 0) return;
  // A frame's first bytes: the host may have set another speed or framing since the last one.
  if (!finder_.Due()) Retime();
  finder_.Received(bytes, static_cast<std::size_t>(count), when);
}

void SimServer::Hear(const FrameFinder::Frame& frame) {
  if (counts_.frames++ == 0) counts_.firstFrame = frame.start;
  if (!Readable(frame)) return;
  bool heard = false;
  for (SimSensor& sensor : sensors_) {
    if (!sensor.Hears(frame.bytes[0])) continue;
    heard = true;
    if (!LineSpeedMatches(sensor)) {
      if (verbose_) std::printf("request at the wrong line speed ignored\n");
      continue;
    }
    Serve(sensor, frame);
  }
  if (!heard && verbose_) std::printf("request for another address ignored\n");
}

bool SimServer::Readable(const FrameFinder::Frame& frame) {
  if (frame.merged) ++counts_.merged;
  if (counts_.answered > 0) {
    ++counts_.silences;
    counts_.silenceSum += frame.gapBefore;
  }
  // On a wire no device could tell such a request from the frame before it. Unpaced, requests
  // sent too soon are only counted: a pseudo-terminal keeps them apart.
  if (frame.merged && wire_.paced) {
    std::printf(
        "frame merged with the one before: it began %.3f ms after it, %.3f ms needed; "
        "unanswered\n",
        Ms(frame.gapBefore), Ms(finder_.Times().silence));
    return false;
  }
  if (frame.broken && (wire_.paced || frame.bytes.size() >= FrameFinder::kLongestFrame)) {
    ++counts_.broken;
    std::printf("frame broken by a gap inside it; unanswered\n");
    return false;
  }
  const std::size_t length = frame.bytes.size();
  const bool crcGood =
      length >= 4 && rtu::Crc16(frame.bytes.data(), length - 2) ==
                         (frame.bytes[length - 2] | (frame.bytes[length - 1] << 8));
  if (!crcGood) {
    ++counts_.badCrc;
    if (verbose_) std::printf("unreadable request: %zu byte(s), bad CRC\n", length);
  }
  return crcGood;
}

void SimServer::Serve(SimSensor& sensor, const FrameFinder::Frame& frame) {
  // A sensor answers after the request's silence and its turnaround, counted on the line: a
  // late wake-up of this process does not move the answer on the wire. Unpaced, a whole
  // request is answered after the turnaround alone.
  const auto heardAt = wire_.paced ? frame.end + finder_.Times().silence : Clock::now();
  auto notBefore = heardAt + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double, std::milli>(wire_.turnaroundMs));
  const SimSensor::Reply reply = sensor.Respond(frame.bytes, SecondsRunning());
  if (reply.delayMs > 0) {
    Wait(reply.delayMs);
    notBefore = Clock::now();
  }
  if (!reply.frame.empty()) {
    Send(reply.frame, notBefore);
    ++counts_.answered;
    counts_.lastAnswer = Clock::now();
  }
  // A new address or line speed takes effect once the answer is out, as on the sensor.
  const uint16_t baudCode = sensor.BaudCode();
  sensor.Take(reply.change);
  if (pty_ == nullptr && &sensor == &sensors_.front() && sensor.BaudCode() != baudCode) {
    CloseDevice();
    OpenDevice();
  }
}

void SimServer::Send(const std::vector<uint8_t>& frame, Clock::time_point notBefore) {
  // Each byte is handed over when its last bit would arrive on a real line (at once, unpaced).
  const auto character = finder_.Times().character;
  const std::size_t pieces = character.count() == 0 ? 1 : frame.size();
  const std::size_t size = frame.size() / pieces;
  const Clock::time_point start = std::max(notBefore, finder_.LineFreeAt());
  for (std::size_t i = 0; i < pieces; ++i) {
    SleepUntil(start + character * static_cast<long long>(i + 1));
    // The line is busy from the hand-over: stamped before the write, a pause of this process
    // after it cannot shorten the silence it sees before the next request.
    finder_.Sent(Clock::now());
    if (write(Fd(), &frame[i * size], size) < 0 && verbose_) {
      std::printf("write failed: %s\n", modbus_strerror(errno));
    }
  }
}

bool SimServer::LineSpeedMatches(const SimSensor& sensor) const {
  // On a pseudo-terminal there is no real line speed; the speed the host set on its side
  // stands in for it, so a host at the wrong speed hears nothing, as on a real line.
  if (pty_ == nullptr) return true;
  const int lineBaud = pty_->LineBaud();
  return lineBaud == 0 || lineBaud == BaudOfCode(sensor.BaudCode());
}

std::string SimServer::Summary() const {
  char text[512];
  std::snprintf(text, sizeof text,
                "%lu frame(s) heard, %lu answered, %lu merged with the frame before (sent too "
                "soon), %lu broken by a gap, %lu with a bad CRC; first request to last answer "
                "%.3f ms; silence before a request %.3f ms on average (%.3f ms needed)",
                counts_.frames, counts_.answered, counts_.merged, counts_.broken, counts_.badCrc,
                counts_.answered ? Ms(counts_.lastAnswer - counts_.firstFrame) : 0.0,
                counts_.silences ? Ms(counts_.silenceSum) / counts_.silences : 0.0,
                Ms(finder_.Times().silence));
  return text;
}

void SimServer::Wait(int milliseconds) const {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (!*stop_ && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void SimServer::CheckControl() {
  const auto now = std::chrono::steady_clock::now();
  if (control_ == nullptr || now - controlChecked_ < kControlEvery) return;
  controlChecked_ = now;
  const auto text = control_->Check();
  if (!text) return;
  for (const std::string& error : text->errors) {
    std::printf("control %s: %s, ignored\n", control_->Path().c_str(), error.c_str());
  }
  for (SimSensor& sensor : sensors_) sensor.Registers().Control(text->pins);
  std::printf("control %s: %zu register(s) held\n", control_->Path().c_str(), text->pins.size());
  for (const SensorRegisters::Pin& pin : text->pins) {
    std::printf("control: %s %u = %u\n", pin.input ? "input" : "holding", pin.address, pin.value);
  }
}

double SimServer::SecondsRunning() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}
