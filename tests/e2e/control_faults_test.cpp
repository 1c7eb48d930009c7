// SPDX-License-Identifier: Apache-2.0
// The control socket against what goes wrong around it: requests no client should send, clients
// that say nothing, a request meant for another configuration, and listeners that are no host
// of ours.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "Bench.h"
#include "RawSocket.h"
#include "Text.h"
#include "config/HostConfig.h"
#include "control/Identity.h"
#include "events/EventFormat.h"

namespace {

using namespace std::chrono_literals;

class SocketFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    bench.StartSensor({"--static"});
    config_ = bench.Config(Mode5Settings(), 50, 150);
    log_ = bench.dir.Path("host.log");
    host_ = std::make_unique<BackgroundProcess>(bench.HostCommand({"run", config_}), log_);
    ASSERT_TRUE(WaitForText(log_, "cycle ")) << ReadFile(log_);
  }
  std::string Socket() const { return bench.dir.Path("host.sock"); }

  Bench bench;
  std::string config_;
  std::string log_;
  std::unique_ptr<BackgroundProcess> host_;
};

TEST_F(SocketFaults, EveryAnswerIsJsonAndSilentClientsDelayNoOne) {
  const std::string range = "\"data_id\" must be a whole number from 0 to 4294967295";
  for (const char* number : {"1e19", "18446744073709551615", "-1e300"}) {
    const Json::Value answer = JsonValue(
        RawRequest(Socket(), std::string(R"({"command": "status", "data_id": )") + number + "}"));
    EXPECT_EQ(answer["exit_code"].asInt(), 2) << number;
    EXPECT_EQ(answer["error"].asString(), range) << number;
  }
  const std::string odd[] = {"{\"command\": \"st\xff\xfe\"}", "{\"command\": \"a\\u0000b\"}",
                             std::string("{\"command\": \"a\0b\"}", 18), "\xc3(\x80"};
  for (const std::string& request : odd) {
    const std::string text = RawRequest(Socket(), request);
    const Json::Value answer = JsonValue(text);
    EXPECT_TRUE(answer.isObject()) << text;
    EXPECT_EQ(answer["exit_code"].asInt(), 2) << text;
    EXPECT_EQ(CountOf(text, "\n"), 1) << text;
    // Valid UTF-8 with no raw control character: as it reads, escaped.
    EXPECT_EQ(QuotedText(text.substr(0, text.size() - 1)) + "\n", text);
  }
  EXPECT_EQ(JsonValue(RawRequest(Socket(), "{\"command\": \"a\\u0000b\"}"))["error"].asString(),
            "unknown command \"a\\x00b\"");

  // Each held two seconds before anyone else was served, they kept a status for minutes.
  std::vector<int> silent;
  for (int i = 0; i < 100; ++i) silent.push_back(SilentClient(Socket()));
  const auto status = bench.Host({"status", config_}, 20s);
  EXPECT_EQ(status.exitCode, 0) << status.err;
  EXPECT_TRUE(Contains(status.out, "status   12")) << status.out;
  for (const int fd : silent) close(fd);
  EXPECT_EQ(host_->Stop(5000ms), 0);
}

TEST_F(SocketFaults, ARequestForAnotherConfigurationSharingTheSocketChangesNothing) {
  // The same socket, another line: a.json's host must not act for b.json.
  std::string other = ReadFile(config_);
  other.replace(other.find(bench.dir.Path("tty")), bench.dir.Path("tty").size(),
                bench.dir.Path("tty-b"));
  bench.dir.Write("b.json", other);
  const std::string b = bench.dir.Path("b.json");

  const auto write = bench.Host({"write", b, "12", "80", "7"});
  EXPECT_EQ(write.exitCode, 2);
  EXPECT_TRUE(Contains(write.err, "runs configuration " + config_)) << write.err;
  EXPECT_TRUE(Contains(write.err, "not configuration " + b)) << write.err;
  const auto move = bench.Host({"readdress", b, "12", "9", "--update-config"});
  EXPECT_EQ(move.exitCode, 2) << move.err;
  EXPECT_EQ(ReadFile(b), other);

  const auto mine = bench.Host({"status", config_});
  EXPECT_EQ(mine.exitCode, 0) << mine.err;
  EXPECT_EQ(host_->Stop(5000ms), 0);
  EXPECT_FALSE(Contains(ReadFile(log_), "write 12")) << ReadFile(log_);
  EXPECT_FALSE(Contains(ReadFile(log_), "readdress")) << ReadFile(log_);
}

// ---- listeners that are no host of ours -------------------------------------------------------

constexpr uid_t kNobody = 65534;

// Listens at `path` as `uid` and answers one client with `answer`; the socket is there on
// return.
pid_t FakeHost(const std::string& path, const std::string& answer, uid_t uid) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (uid != geteuid() && (setgid(uid) != 0 || setuid(uid) != 0)) _exit(3);
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, 4) != 0) {
      _exit(4);
    }
    const int client = accept(fd, nullptr, nullptr);
    char buffer[4096];
    while (recv(client, buffer, sizeof buffer, 0) > 0) {
    }
    (void)!write(client, answer.data(), answer.size());
    _exit(0);
  }
  struct stat info {};
  for (int i = 0; i < 500 && lstat(path.c_str(), &info) != 0; ++i) usleep(10000);
  return pid;
}

class FakeHosts : public ::testing::Test {
 protected:
  void SetUp() override {
    // A folder anyone may write to, as /tmp is.
    char shared[] = "/tmp/devhost-shared-XXXXXX";
    ASSERT_NE(mkdtemp(shared), nullptr);
    shared_ = shared;
    ASSERT_EQ(chmod(shared_.c_str(), 01777), 0);
    std::string config = ReadFile(bench.Config(Mode5Settings()));
    config.insert(1, R"("controlSocket": ")" + Socket() + R"(", )");
    bench.dir.Write("host.json", config);
  }
  void TearDown() override {
    unlink(Socket().c_str());
    rmdir(shared_.c_str());
  }
  std::string Socket() const { return shared_ + "/devhost.sock"; }
  // A forged "confirmed" from a listener as `uid`, the socket file then given to `owner`.
  ProcessResult WriteThrough(uid_t uid, uid_t owner, const std::string& answer = kForged) {
    unlink(Socket().c_str());
    const pid_t fake = FakeHost(Socket(), answer, uid);
    if (lchown(Socket().c_str(), owner, owner) != 0) ADD_FAILURE() << "lchown";
    const auto result = bench.Host({"write", bench.dir.Path("host.json"), "12", "80", "5"});
    kill(fake, SIGKILL);
    waitpid(fake, nullptr, 0);
    return result;
  }

  static constexpr const char* kForged =
      R"({"command": "write", "exit_code": 0, "events": [], "text": "write 12: confirmed\n"})";
  Bench bench;
  std::string shared_;
};

TEST_F(FakeHosts, AnAnswerFromAnotherConfigurationIsNotTaken) {
  const auto result = WriteThrough(geteuid(), geteuid());
  EXPECT_EQ(result.exitCode, 2);
  EXPECT_FALSE(Contains(result.out, "confirmed")) << result.out;
  EXPECT_TRUE(Contains(result.err, "its answer is not taken")) << result.err;
}

TEST_F(FakeHosts, AnAnswerFromTheSameFileReadWithOtherLinesIsNotTaken) {
  // The file edited while its host runs: that host still runs the lines it read at its start.
  const std::string path = bench.dir.Path("host.json");
  Json::Value forged = JsonValue(kForged);
  forged["host"] = HostIdentity(LoadHostConfig(path, {}));
  forged["host"]["lines"][0] = "/dev/ttyUSB7";
  const auto result = WriteThrough(geteuid(), geteuid(), CompactJson(forged));
  EXPECT_EQ(result.exitCode, 2);
  EXPECT_FALSE(Contains(result.out, "confirmed")) << result.out;
  EXPECT_TRUE(Contains(result.err, "its answer is not taken")) << result.err;
}

// The socket's own refusals (busy, too many clients, too large, incomplete) come before the
// request is read and name no configuration: the client shows the refusal, not a foreign host.
TEST_F(FakeHosts, ARefusalBeforeTheRequestIsReadIsShownAsItIs) {
  unlink(Socket().c_str());
  const pid_t fake = FakeHost(
      Socket(),
      R"({"exit_code": 2, "error": "the host is busy with 8 requests; nothing done, try again"})"
      "\n",
      geteuid());
  const auto result = bench.Host({"alarms", bench.dir.Path("host.json")});
  kill(fake, SIGKILL);
  waitpid(fake, nullptr, 0);
  EXPECT_EQ(result.exitCode, 2);
  EXPECT_TRUE(Contains(result.err, "the host is busy with 8 requests")) << result.err;
  EXPECT_FALSE(Contains(result.err, "configuration")) << result.err;
}

// A host that takes the request and never answers: Ctrl-C ends the client's wait at once, not
// after its minute.
TEST_F(FakeHosts, CtrlCEndsTheWaitForAnAnswer) {
  unlink(Socket().c_str());
  const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, Socket().c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  const std::string log = bench.dir.Path("client.log");
  BackgroundProcess client(bench.HostCommand({"alarms", bench.dir.Path("host.json")}), log);
  pollfd incoming{listener, POLLIN, 0};
  ASSERT_EQ(poll(&incoming, 1, 20000), 1) << "waited 20 s for the client to connect";
  const int connection = accept(listener, nullptr, nullptr);
  char buffer[4096];
  // Until it has sent its whole request and waits for the answer.
  while (recv(connection, buffer, sizeof buffer, 0) > 0) {
  }
  kill(client.Pid(), SIGINT);
  const int status = WaitForExit(client.Pid(), std::chrono::milliseconds(30000));
  close(connection);
  close(listener);
  EXPECT_EQ(status, 2) << "waited 30 s for the client to end; " << ReadFile(log);
  EXPECT_TRUE(Contains(ReadFile(log), "stopped by signal while waiting")) << ReadFile(log);
}

TEST_F(FakeHosts, AListenerOfAnotherUserIsNotBelieved) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root: listens as another user";
  const auto listener = WriteThrough(kNobody, kNobody);
  EXPECT_EQ(listener.exitCode, 2);
  EXPECT_FALSE(Contains(listener.out, "confirmed")) << listener.out;
  EXPECT_TRUE(Contains(listener.err, "runs as user 65534, neither you nor root")) << listener.err;
  // Root listens, but the socket file is another user's: that user could have replaced it.
  const auto file = WriteThrough(0, kNobody);
  EXPECT_EQ(file.exitCode, 2);
  EXPECT_TRUE(Contains(file.err, "belongs to user 65534")) << file.err;
}

}  // namespace
