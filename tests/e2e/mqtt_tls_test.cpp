// SPDX-License-Identifier: Apache-2.0
// The MQTT bridge over TLS against a real mosquitto that wants client certificates and keeps each
// host to its own prefix with an ACL (the lines of docs/mqtt.md): one broker, two listeners (a
// certificate for 127.0.0.1, one for another name), a CA and certificates made with openssl; the
// files checked again before each reconnect.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "Bench.h"
#include "Broker.h"
#include "Subscriber.h"
#include "Text.h"

namespace {

using namespace std::chrono_literals;

// Certificates made with the openssl program in the test's folder: NAME.pem and NAME.key.
class Pki {
 public:
  explicit Pki(const TempDir& dir) : dir_(dir) {}

  void Authority(const std::string& name) { Make(name, {}); }
  void Signed(const std::string& name, const std::string& ca, const std::string& altName) {
    Make(name, {"-addext", "subjectAltName=" + altName, "-addext",
                "basicConstraints=critical,CA:FALSE", "-CA", Pem(ca), "-CAkey", Key(ca)});
  }
  std::string Pem(const std::string& name) const { return dir_.Path(name + ".pem"); }
  std::string Key(const std::string& name) const { return dir_.Path(name + ".key"); }
  ClientTls Client(const std::string& name) const { return {Pem("ca"), Pem(name), Key(name)}; }

 private:
  void Make(const std::string& name, const std::vector<std::string>& more) {
    std::vector<std::string> argv{"/usr/bin/openssl",
                                  "req",
                                  "-x509",
                                  "-newkey",
                                  "ec",
                                  "-pkeyopt",
                                  "ec_paramgen_curve:P-256",
                                  "-nodes",
                                  "-keyout",
                                  Key(name),
                                  "-out",
                                  Pem(name),
                                  "-days",
                                  "2",
                                  "-subj",
                                  "/CN=" + name};
    argv.insert(argv.end(), more.begin(), more.end());
    const ProcessResult made = RunProgram(argv, 10s);
    if (made.exitCode != 0) throw std::runtime_error("openssl: " + made.err);
  }
  const TempDir& dir_;
};

// The listener's TLS lines: the CA that signs the clients, the broker's own certificate, and
// the client's certificate (its CN) as its user name for the ACL.
std::string TlsListener(const Pki& pki, const std::string& server) {
  return "cafile " + pki.Pem("ca") + "\ncertfile " + pki.Pem(server) + "\nkeyfile " +
         pki.Key(server) + "\nrequire_certificate true\nuse_identity_as_username true\n";
}

class MqttTls : public ::testing::Test {
 protected:
  // The bench's configuration with this host's "mqtt" member.
  std::string Config(int port, const std::string& ca, const std::string& key = "") {
    const std::string text = ReadFile(bench.Config(Mode5Settings(), 100));
    bench.dir.Write("host.json", R"({"mqtt": {"host": "127.0.0.1", "port": )" +
                                     std::to_string(port) + R"(, "clientId": "hall1", "prefix":
        "site/hall1", "qos": 1, "homeAssistant": true, "caFile": ")" +
                                     pki.Pem(ca) + R"(", "certFile": ")" + pki.Pem("hall1") +
                                     R"(", "keyFile": ")" + (key.empty() ? pki.Key("hall1") : key) +
                                     "\"}, " + text.substr(1));
    return bench.dir.Path("host.json");
  }
  // mosquitto_pub as `who`, MQTT 5 so that the broker says what it refused.
  ProcessResult Publish(const std::string& who, const std::string& topic,
                        const std::string& payload) {
    const ClientTls tls = pki.Client(who);
    return RunProgram({"/usr/bin/mosquitto_pub", "-h", "127.0.0.1", "-p",
                       std::to_string(broker->Port()), "--cafile", tls.ca, "--cert", tls.cert,
                       "--key", tls.key, "-V", "mqttv5", "-q", "1", "-t", topic, "-m", payload},
                      10s);
  }

  Bench bench;
  Pki pki{bench.dir};
  std::unique_ptr<Broker> broker;
};

TEST_F(MqttTls, ClientCertificatesAndTheAclLetTheHostPublishOnlyItsOwnAndAWrongBrokerIsRefused) {
  // A key that cannot be read is a configuration error before anything starts.
  pki.Authority("ca");
  pki.Signed("hall1", "ca", "DNS:hall1");
  bench.StartSensor({"--static", "--temperature", "23.4"});
  const auto missing =
      bench.Host({"run", "--cycles", "1", Config(1, "ca", bench.dir.Path("absent.key"))});
  EXPECT_EQ(missing.exitCode, 2) << missing.out << missing.err;
  EXPECT_NE(missing.err.find("mqtt.keyFile: " + bench.dir.Path("absent.key") +
                             " cannot be read: No such file or directory"),
            std::string::npos)
      << missing.err;
  EXPECT_FALSE(std::filesystem::exists(bench.Database()));

  pki.Authority("other");
  pki.Signed("server", "ca", "IP:127.0.0.1");
  pki.Signed("elsewhere", "ca", "DNS:broker.example");
  pki.Signed("reader", "ca", "DNS:reader");
  // The ACL of docs/mqtt.md for host hall1, and Home Assistant reading everything.
  bench.dir.Write("acl",
                  "user hall1\ntopic write site/hall1/#\ntopic write homeassistant/+/site_hall1/#\n"
                  "topic read homeassistant/status\n\nuser reader\ntopic read #\n"
                  "topic write homeassistant/status\n");
  const int otherName = FreePort();
  broker = std::make_unique<Broker>(
      bench.dir, "allow_anonymous false\nacl_file " + bench.dir.Path("acl") + "\n" +
                     TlsListener(pki, "server") + "listener " + std::to_string(otherName) +
                     " 127.0.0.1\n" + TlsListener(pki, "elsewhere"));
  auto reader = std::make_unique<Subscriber>(broker->Port(), pki.Client("reader"));

  // With its certificate the host publishes under its prefix and hears Home Assistant's status.
  const std::string out = bench.dir.Path("host.out");
  auto host = std::make_unique<BackgroundProcess>(
      bench.HostCommand({"run", Config(broker->Port(), "ca")}), out);
  const auto state = reader->WaitFor("site/hall1/12/state", 15s);
  ASSERT_TRUE(state) << ReadFile(out) << broker->Log();
  EXPECT_DOUBLE_EQ(JsonValue(state->payload)["temperature"].asDouble(), 23.4);
  const std::size_t mark = reader->Messages().size();
  ASSERT_EQ(Publish("reader", "homeassistant/status", "online").exitCode, 0);
  EXPECT_TRUE(reader->WaitFor("homeassistant/sensor/site_hall1/12_temperature/config", 10s, mark))
      << ReadFile(out);
  ASSERT_EQ(host->Stop(5000ms), 0) << ReadFile(out);
  EXPECT_NE(ReadFile(out).find("mqtt     12    connected to 127.0.0.1:"), std::string::npos);

  // The same identity outside its prefix: the broker refuses it. The marker after it comes in
  // order on the same connection, so once it is here the refused one would have been too.
  const ProcessResult refused = Publish("hall1", "site/hall2/12/state", "forged");
  EXPECT_NE(refused.err.find("Not authorized"), std::string::npos) << refused.err;
  ASSERT_EQ(Publish("hall1", "site/hall1/marker", "after").exitCode, 0);
  ASSERT_TRUE(reader->WaitFor("site/hall1/marker", 10s));
  for (const Received& message : reader->Messages()) {
    EXPECT_EQ(message.topic.rfind("site/hall2/", 0), std::string::npos) << message.topic;
  }

  // A broker whose certificate another CA signed, then one whose certificate names another
  // host: one line each, polling and storing go on, and the host tries again, waiting longer.
  const long long stored = QueryCount(bench.Database(), "SELECT COUNT(*) FROM history");
  const auto wrongCa = bench.Host({"run", "--cycles", "40", Config(broker->Port(), "other")});
  ASSERT_EQ(wrongCa.exitCode, 0) << wrongCa.out << wrongCa.err;
  EXPECT_EQ(CountOf(wrongCa.out, "mqtt     12    "), 2u) << wrongCa.out;  // and the summary
  EXPECT_EQ(CountOf(wrongCa.out,
                    "mqtt     12    disconnected (cannot connect: the broker's "
                    "certificate is not signed by the CA of " +
                        pki.Pem("other")),
            1u)
      << wrongCa.out;
  // 4 s of polling: tries at 0, 1 and 3 s, not one every cycle.
  const std::size_t tries = CountOf(broker->Log(), "alert unknown ca");
  EXPECT_GE(tries, 2u) << broker->Log();
  EXPECT_LE(tries, 4u) << broker->Log();
  const auto wrongName = bench.Host({"run", "--cycles", "20", Config(otherName, "ca")});
  ASSERT_EQ(wrongName.exitCode, 0) << wrongName.out << wrongName.err;
  EXPECT_EQ(CountOf(wrongName.out,
                    "mqtt     12    disconnected (cannot connect: the broker's "
                    "certificate is not for 127.0.0.1 (host name verification "
                    "failed))"),
            1u)
      << wrongName.out;
  // Every cycle of the refused runs is stored.
  EXPECT_EQ(QueryCount(bench.Database(), "SELECT COUNT(*) FROM history"), stored + 60);

  // A broker that is away when the host starts: refused, then taken as soon as it is back
  // (libmosquitto alone loops on a refused TLS connect until its keep-alive ends it).
  reader.reset();
  broker->Stop();
  const std::string late = bench.dir.Path("late.out");
  host = std::make_unique<BackgroundProcess>(
      bench.HostCommand({"run", Config(broker->Port(), "ca")}), late);
  ASSERT_TRUE(WaitForText(late, "mqtt     12    disconnected (cannot connect: Connection refused)"))
      << ReadFile(late);
  broker->Start();
  Subscriber back(broker->Port(), pki.Client("reader"));
  EXPECT_TRUE(back.WaitFor("site/hall1/12/state", 20s)) << ReadFile(late);

  // The key opened to everyone while the host runs: the broker drops the connection, and the
  // reconnect does not hand the key to libmosquitto again.
  ASSERT_EQ(chmod(pki.Key("hall1").c_str(), 0644), 0);
  broker->Stop();
  broker->Start();
  EXPECT_TRUE(WaitForText(late, "mqtt     12    disconnected (cannot connect: mqtt.keyFile: " +
                                    pki.Key("hall1") + " is open to every user (mode 0644)"))
      << ReadFile(late);
  ASSERT_EQ(host->Stop(5000ms), 0) << ReadFile(late);
}

}  // namespace
