#include "control/ControlClient.h"

#include <sys/socket.h>
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
      !answer.isObject() || !answer["exit_code"].isIntegral()) {
    throw ControlError("the host at " + path + " gave an answer that is not one");
  }
  return answer;
}

}  // namespace

std::optional<Json::Value> AskRunningHost(const std::string& path, const Json::Value& request,
                                          std::chrono::seconds limit) {
  const sockaddr_un address = UnixAddress(path);
  const Descriptor socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (socket.Get() < 0) return std::nullopt;
  if (connect(socket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    if (errno == EACCES) {
      throw ControlError("control socket " + path + ": " + std::strerror(errno) +
                         " (run as the user that runs the host)");
    }
    return std::nullopt;  // nobody listens: no host runs
  }
  const auto deadline = std::chrono::steady_clock::now() + limit;
  if (!WriteAll(socket.Get(), CompactJson(request) + "\n", deadline)) {
    throw ControlError("the host at " + path + " did not take the request");
  }
  shutdown(socket.Get(), SHUT_WR);
  std::string answer;
  if (ReadMessage(socket.Get(), answer, kMaxAnswerBytes, deadline) != ReadEnd::kComplete ||
      answer.empty()) {
    throw ControlError("the host at " + path + " did not answer within " +
                       std::to_string(limit.count()) + " s");
  }
  return ParseAnswer(answer, path);
}
