// SPDX-License-Identifier: Apache-2.0
#include "commission/ScanReport.h"

#include <unistd.h>

#include <cmath>

#include <json/writer.h>

#include "commission/BusRegisters.h"

namespace {

std::string Padded(const std::string& text, std::size_t width) {
  return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

std::string RegistersText(const ScanHit& hit) {
  BusReading reading;
  reading.address = hit.registerAddress;
  reading.baudCode = hit.registerBaudCode;
  reading.baud = hit.registerBaud;
  return reading.Text();
}

// "agrees", or what does not: a sensor that answers where its registers say it is not has a
// change pending (it applies it after a power cycle) or answers for another address.
std::string Agreement(const ScanHit& hit) {
  if (hit.AddressAgrees() && hit.BaudAgrees()) return "agrees";
  std::string text;
  if (!hit.AddressAgrees()) text = "address differs";
  if (!hit.BaudAgrees()) text += std::string(text.empty() ? "" : ", ") + "speed differs";
  return text;
}

}  // namespace

ScanProgressPrinter::ScanProgressPrinter(std::FILE* out)
    : out_(out), terminal_(isatty(fileno(out)) == 1) {}

ScanProgressPrinter::~ScanProgressPrinter() { Finish(); }

void ScanProgressPrinter::Line(const std::string& text) {
  Finish();
  std::fprintf(out_, "%s\n", text.c_str());
  std::fflush(out_);
}

void ScanProgressPrinter::Finish() {
  if (!lineOpen_) return;
  // The progress line makes way for what follows.
  std::fputs("\r\033[K", out_);
  std::fflush(out_);
  lineOpen_ = false;
}

void ScanProgressPrinter::Show(const ScanProgress& progress, const ScanHit* hit) {
  if (hit != nullptr) Line(HitText(*hit));
  if (progress.stopsHere) {
    Line("scan stopped at the first sensor found (--first), " + std::to_string(progress.done) +
         " of " + std::to_string(progress.total) + " addresses asked");
    return;
  }
  if (!terminal_) {
    if (progress.baud != baud_ || progress.parity != parity_) {
      Line("scanning at " + std::to_string(progress.baud) + " baud, parity " +
           ParityName(progress.parity) + " (" + std::to_string(progress.done - 1) + " of " +
           std::to_string(progress.total) + " addresses asked)");
    }
  } else {
    const long left = std::lround(progress.secondsLeft);
    std::fprintf(
        out_, "\r\033[Kscanning address %d at %d baud, parity %s: %ld/%ld, found %zu, %ld s left",
        progress.address, progress.baud, ParityName(progress.parity).c_str(), progress.done,
        progress.total, progress.found, left);
    std::fflush(out_);
    lineOpen_ = true;
  }
  baud_ = progress.baud;
  parity_ = progress.parity;
}

std::string HitText(const ScanHit& hit) {
  return "found at " + PlaceText(hit.address, hit.baud) + ", parity " + ParityName(hit.parity) +
         ": registers say " + RegistersText(hit) + " (" + Agreement(hit) + ")";
}

std::string HostMembersText(const std::string& port, const ScanHit& hit) {
  return "\"device\": " + Json::valueToQuotedString(port.c_str()) +
         ", \"baudRate\": " + std::to_string(hit.baud) +
         ", \"slaveAddress\": " + std::to_string(hit.address) +
         (hit.parity == 'N' ? "" : ", \"parity\": \"" + ParityName(hit.parity) + "\"");
}

Json::Value HostMembers(const std::string& port, const ScanHit& hit) {
  Json::Value members(Json::objectValue);
  members["device"] = port;
  members["baudRate"] = hit.baud;
  members["slaveAddress"] = hit.address;
  if (hit.parity != 'N') members["parity"] = ParityName(hit.parity);
  return members;
}

std::string ScanTable(const ScanResult& result) {
  std::string text = "scan of " + result.port + ": " + std::to_string(result.probes) + " of " +
                     std::to_string(result.total) + " addresses asked in " +
                     std::to_string(std::lround(result.seconds)) + " s" +
                     (result.stopped ? ", stopped early" : "") +
                     (result.stoppedAtHit ? ", stopped at the first sensor found (--first)" : "") +
                     "\n";
  if (result.hits.empty()) {
    text += "no DO3008RA answered\n";
  } else {
    text += "address  baud    parity  registers say            agreement\n";
    for (const ScanHit& hit : result.hits) {
      text += Padded(std::to_string(hit.address), 9) + Padded(std::to_string(hit.baud), 8) +
              Padded(ParityName(hit.parity), 8) + Padded(RegistersText(hit), 25) + Agreement(hit) +
              "\n";
    }
    text += "for the host configuration (slaveAddress on the device, the rest on its line):\n";
    for (const ScanHit& hit : result.hits) text += "  " + HostMembersText(result.port, hit) + "\n";
  }
  for (const ScanOther& other : result.others) {
    text += "also answered: " + PlaceText(other.address, other.baud) + ", parity " +
            ParityName(other.parity) + ": " + other.what + "\n";
  }
  return text;
}

Json::Value ScanDocument(const ScanResult& result, int exitCode) {
  Json::Value document(Json::objectValue);
  document["command"] = "scan";
  document["exit_code"] = exitCode;
  document["port"] = result.port;
  document["complete"] = result.Complete();
  document["stopped_at_first"] = result.stoppedAtHit;
  document["probes"] = static_cast<Json::Int64>(result.probes);
  document["total"] = static_cast<Json::Int64>(result.total);
  document["milliseconds"] = static_cast<Json::Int64>(std::llround(result.seconds * 1000));
  document["found"] = Json::Value(Json::arrayValue);
  for (const ScanHit& hit : result.hits) {
    Json::Value found(Json::objectValue);
    found["address"] = hit.address;
    found["baud"] = hit.baud;
    found["parity"] = ParityName(hit.parity);
    found["register_address"] = hit.registerAddress;
    found["register_baud_code"] = hit.registerBaudCode;
    found["register_baud"] = hit.registerBaud;
    found["address_agrees"] = hit.AddressAgrees();
    found["baud_agrees"] = hit.BaudAgrees();
    found["host_config"] = HostMembers(result.port, hit);
    document["found"].append(found);
  }
  document["others"] = Json::Value(Json::arrayValue);
  for (const ScanOther& other : result.others) {
    Json::Value answered(Json::objectValue);
    answered["address"] = other.address;
    answered["baud"] = other.baud;
    answered["parity"] = ParityName(other.parity);
    answered["what"] = other.what;
    document["others"].append(answered);
  }
  return document;
}
