// The control socket's request size limit at its edge: a request of exactly the limit is
// carried out, one byte more is refused before it reaches a line.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include <json/writer.h>

#include "control/ControlServer.h"
#include "support/JsonText.h"
#include "support/ScratchDirectory.h"

namespace {

// Sends `request` whole, says it is done, and returns all the server answered.
std::string Ask(const std::string& path, const std::string& request) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return "(no connection)";
  }
  // Bounded: a server that never answers fails the test instead of hanging it.
  const timeval patience{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
  for (std::size_t sent = 0; sent < request.size();) {
    const ssize_t put = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (put <= 0) break;  // refused half-way: the answer says why
    sent += static_cast<std::size_t>(put);
  }
  shutdown(fd, SHUT_WR);
  std::string answer;
  char buffer[4096];
  for (ssize_t got; (got = recv(fd, buffer, sizeof buffer, 0)) > 0;) answer.append(buffer, got);
  close(fd);
  return answer;
}

// The answer as a document; its text under "unparsed" when it is not one.
Json::Value Answer(const std::string& text) {
  try {
    return ParseJson(text);
  } catch (const std::exception&) {
    Json::Value unparsed;
    unparsed["unparsed"] = text.substr(0, 200);
    return unparsed;
  }
}

// A valid request padded with spaces to `size` bytes.
std::string RequestOf(std::size_t size) {
  std::string request = R"({"command": "status"})";
  request.resize(size, ' ');
  return request;
}

class RequestSize : public ::testing::Test {
 protected:
  void SetUp() override { server.Start(); }

  ScratchDirectory dir;
  std::atomic<std::size_t> handled{0};
  ControlServer server{dir.Path("host.sock"), [this](const std::string& request) {
                         handled = request.size();
                         return std::string(R"({"exit_code": 0, "size": )") +
                                std::to_string(request.size()) + "}";
                       }};
};

TEST_F(RequestSize, ExactlyTheLimitIsAnsweredWithOrWithoutItsNewline) {
  const std::size_t limit = ControlServer::kMaxRequestBytes;
  ASSERT_EQ(limit, 65536u);
  const Json::Value atEof = Answer(Ask(server.Path(), RequestOf(limit)));
  EXPECT_EQ(atEof["size"].asUInt64(), limit) << Json::FastWriter().write(atEof);
  const Json::Value atNewline = Answer(Ask(server.Path(), RequestOf(limit) + "\n"));
  EXPECT_EQ(atNewline["size"].asUInt64(), limit) << Json::FastWriter().write(atNewline);
}

TEST_F(RequestSize, OneByteMoreOrAChunkMoreIsRefusedAndNeverHandled) {
  const std::size_t limit = ControlServer::kMaxRequestBytes;
  for (const std::size_t size : {limit + 1, limit + 99, limit + 4000, limit + 4096}) {
    const Json::Value answer = Answer(Ask(server.Path(), RequestOf(size)));
    EXPECT_EQ(answer["error"].asString(), "request larger than 65536 bytes")
        << size << " bytes: " << Json::FastWriter().write(answer);
    EXPECT_EQ(answer["exit_code"].asInt(), 2) << size << " bytes";
  }
  EXPECT_EQ(handled, 0u);
}

}  // namespace
