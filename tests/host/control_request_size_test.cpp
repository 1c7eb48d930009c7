// SPDX-License-Identifier: Apache-2.0
// The control socket's request size limit at its edge: a request of exactly the limit is
// carried out, one byte more is refused before it reaches a line; and what a client says when
// the host goes away in the middle of a request.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>

#include <json/writer.h>

#include "control/ControlClient.h"
#include "control/ControlServer.h"
#include "e2e/support/RawSocket.h"
#include "support/JsonText.h"
#include "support/ScratchDirectory.h"

namespace {

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
  const Json::Value atEof = Answer(RawRequest(server.Path(), RequestOf(limit)));
  EXPECT_EQ(atEof["size"].asUInt64(), limit) << Json::FastWriter().write(atEof);
  const Json::Value atNewline = Answer(RawRequest(server.Path(), RequestOf(limit) + "\n"));
  EXPECT_EQ(atNewline["size"].asUInt64(), limit) << Json::FastWriter().write(atNewline);
}

TEST_F(RequestSize, OneByteMoreOrAChunkMoreIsRefusedAndNeverHandled) {
  const std::size_t limit = ControlServer::kMaxRequestBytes;
  for (const std::size_t size : {limit + 1, limit + 99, limit + 4000, limit + 4096}) {
    const Json::Value answer = Answer(RawRequest(server.Path(), RequestOf(size)));
    EXPECT_EQ(answer["error"].asString(), "request larger than 65536 bytes")
        << size << " bytes: " << Json::FastWriter().write(answer);
    EXPECT_EQ(answer["exit_code"].asInt(), 2) << size << " bytes";
  }
  EXPECT_EQ(handled, 0u);
}

// Fault caught: a host killed while on a request (its end of the connection closed at once) told
// as one that "did not answer within 60 s", a second after the request.
TEST(ControlClient, AHostThatClosesWithoutAnsweringIsToldAsSuchNotAsATimeout) {
  ScratchDirectory dir;
  ControlServer server{dir.Path("host.sock"), [](const std::string&) { return std::string(); }};
  server.Start();
  EXPECT_THAT([&] { AskRunningHost(server.Path(), Json::Value(), std::chrono::seconds(60), {}); },
              testing::ThrowsMessage<ControlError>(
                  testing::HasSubstr("closed the connection without answering")));
}

}  // namespace
