#include "control/ControlClient.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <json/reader.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "control/SocketIo.h"
#include "events/EventFormat.h"

namespace {

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

// Only a host run by this user or by root is believed: in a folder others may write to,
// anyone could listen at the path.
void CheckTrusted(int fd, const std::string& path) {
  const uid_t me = geteuid();
  const auto trusted = [me](uid_t uid) { return uid == me || uid == 0; };
  ucred peer{};
  socklen_t length = sizeof peer;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || !trusted(peer.uid)) {
    throw ControlError("the process listening at " + path + " runs as user " +
                       std::to_string(peer.uid) + ", neither you nor root: not a host of yours, " +
                       "nothing sent (put controlSocket in a folder only you can write)");
  }
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0 || !trusted(info.st_uid)) {
    throw ControlError("control socket " + path + " belongs to user " +
                       std::to_string(info.st_uid) + ", neither you nor root: nothing sent " +
                       "(put controlSocket in a folder only you can write)");
  }
}

Json::Value Converse(int fd, const std::string& path, const Json::Value& request,
                     std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  if (!WriteAll(fd, CompactJson(request) + "\n", deadline)) {
    throw ControlError("the host at " + path + " did not take the request");
  }
  shutdown(fd, SHUT_WR);
  std::string answer;
  if (ReadMessage(fd, answer, kMaxAnswerBytes, deadline) != ReadEnd::kComplete || answer.empty()) {
    throw ControlError("the host at " + path + " did not answer within " +
                       std::to_string(limit.count()) +
                       " s; the command may still be carried out (see its log)");
  }
  return ParseAnswer(answer, path);
}

}  // namespace

std::optional<Json::Value> AskRunningHost(const std::string& path, const Json::Value& request,
                                          std::chrono::seconds limit) {
  const sockaddr_un address = UnixAddress(path);
  const Descriptor socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (socket.Get() < 0) return std::nullopt;
  // A host with a full backlog blocks connect; the send timeout bounds it.
  const timeval patience{kConnectLimit.count(), 0};
  setsockopt(socket.Get(), SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
  if (connect(socket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    if (errno == EACCES) {
      throw ControlError("control socket " + path + ": " + std::strerror(errno) +
                         " (run as the user that runs the host)");
    }
    if (errno == EAGAIN || errno == EINPROGRESS || errno == EINTR) {
      throw ControlError("the host at " + path + " did not take the connection within " +
                         std::to_string(kConnectLimit.count()) + " s (too many clients?)");
    }
    return std::nullopt;  // nobody listens: no host runs
  }
  CheckTrusted(socket.Get(), path);
  return Converse(socket.Get(), path, request, limit);
}
