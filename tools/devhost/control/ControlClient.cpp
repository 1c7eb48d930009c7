// SPDX-License-Identifier: Apache-2.0
#include "control/ControlClient.h"

#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <json/reader.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "control/SocketAccess.h"
#include "control/SocketIo.h"
#include "events/EventFormat.h"

namespace {

// "devhost (106)": the group by its name where it has one.
std::string GroupText(unsigned gid) {
  group entry{};
  group* found = nullptr;
  std::vector<char> buffer(16384);
  if (getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
    return std::string(found->gr_name) + " (" + std::to_string(gid) + ")";
  }
  return std::to_string(gid);
}

constexpr std::size_t kMaxAnswerBytes = 16 * 1024 * 1024;
constexpr std::chrono::seconds kConnectLimit{5};

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int Get() const { return fd_; }

 private:
  int fd_;
};

Json::Value ParseAnswer(const std::string& text, const std::string& path) {
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value answer;
  std::string errors;
  if (!reader->parse(text.data(), text.data() + text.size(), &answer, &errors) ||
      !answer.isObject() || !answer["exit_code"].isInt()) {
    throw ControlError("the host at " + path + " gave an answer that is not one");
  }
  return answer;
}

// In a folder others may write to, anyone could listen at the path.
void CheckTrusted(int fd, const std::string& path, std::optional<unsigned> group) {
  ListenerFacts facts;
  facts.me = geteuid();
  facts.group = group;
  ucred peer{};
  socklen_t length = sizeof peer;
  const std::string folder = path.substr(0, path.find_last_of('/') + 1);
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 ||
      lstat(path.c_str(), &facts.socket) != 0 || stat(folder.c_str(), &facts.folder) != 0) {
    throw ControlError("cannot tell who listens at control socket " + path + ": nothing sent");
  }
  facts.peer = peer.uid;
  if (const auto reason = DistrustReason(facts, path)) throw ControlError(*reason);
}

Json::Value Converse(int fd, const std::string& path, const Json::Value& request,
                     std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  if (!WriteAll(fd, CompactJson(request) + "\n", deadline)) {
    throw ControlError("the host at " + path + " did not take the request");
  }
  shutdown(fd, SHUT_WR);
  std::string answer;
  const ReadEnd end = ReadMessage(fd, answer, kMaxAnswerBytes, deadline);
  if (end != ReadEnd::kComplete || answer.empty()) {
    if (WaitBroken()) {
      throw ControlError("stopped by signal while waiting for the host at " + path +
                         "; the command may still be carried out (see its log)");
    }
    if (end == ReadEnd::kTimedOut) {
      throw ControlError("the host at " + path + " did not answer within " +
                         std::to_string(limit.count()) +
                         " s; the command may still be carried out (see its log)");
    }
    if (end == ReadEnd::kTooLarge) {
      throw ControlError("the host at " + path + " gave an answer larger than " +
                         std::to_string(kMaxAnswerBytes >> 20) + " MiB");
    }
    // The connection ended first: the host stopped or was killed while on the request.
    throw ControlError("the host at " + path +
                       " closed the connection without answering (it stopped or died?); the "
                       "command may or may not have been carried out (see its log)");
  }
  return ParseAnswer(answer, path);
}

}  // namespace

std::optional<Json::Value> AskRunningHost(const std::string& path, const Json::Value& request,
                                          std::chrono::seconds limit,
                                          std::optional<unsigned> group) {
  const sockaddr_un address = UnixAddress(path);
  const Descriptor socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (socket.Get() < 0) return std::nullopt;
  // A host with a full backlog blocks connect; the send timeout bounds it.
  const timeval patience{kConnectLimit.count(), 0};
  setsockopt(socket.Get(), SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
  if (connect(socket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    if (errno == EACCES) {
      const std::string denied = std::strerror(errno);  // before the group lookup sets errno
      throw ControlError("control socket " + path + ": " + denied +
                         " (run as the user that runs the host" +
                         (group ? " or as a member of group " + GroupText(*group) : "") + ")");
    }
    if (errno == EAGAIN || errno == EINPROGRESS || errno == EINTR) {
      throw ControlError("the host at " + path + " did not take the connection within " +
                         std::to_string(kConnectLimit.count()) + " s (too many clients?)");
    }
    return std::nullopt;  // nobody listens: no host runs
  }
  CheckTrusted(socket.Get(), path, group);
  return Converse(socket.Get(), path, request, limit);
}
