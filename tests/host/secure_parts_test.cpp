// SPDX-License-Identifier: Apache-2.0
// What keeps the readings and the host's controls to those meant to have them, in-process: the
// MQTT files the running host reads at start, the control socket's group, and whom a client
// believes at a socket.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <vector>

#include "config/HostConfig.h"
#include "config/MqttConfig.h"
#include "control/ControlServer.h"
#include "control/SocketAccess.h"
#include "e2e/support/TempDir.h"

namespace {

// A key and a self-signed certificate for it, in PEM; the key encrypted when `passphrase` is.
struct Identity {
  std::string key;
  std::string cert;
};

std::string BioText(BIO* bio) {
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  std::string text(data, static_cast<std::size_t>(size));
  BIO_free(bio);
  return text;
}

// Valid from `from` to `until` seconds from now.
Identity MakeIdentity(const char* passphrase = nullptr, long from = 0, long until = 3600) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  X509_gmtime_adj(X509_getm_notBefore(cert), from);
  X509_gmtime_adj(X509_getm_notAfter(cert), until);
  X509_set_pubkey(cert, key);
  X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("hall1"), -1, -1, 0);
  X509_set_issuer_name(cert, X509_get_subject_name(cert));
  X509_sign(cert, key, EVP_sha256());
  Identity identity;
  BIO* keyText = BIO_new(BIO_s_mem());
  PEM_write_bio_PrivateKey(keyText, key, passphrase ? EVP_aes_128_cbc() : nullptr,
                           reinterpret_cast<const unsigned char*>(passphrase),
                           passphrase ? static_cast<int>(strlen(passphrase)) : 0, nullptr, nullptr);
  identity.key = BioText(keyText);
  BIO* certText = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(certText, cert);
  identity.cert = BioText(certText);
  X509_free(cert);
  EVP_PKEY_free(key);
  return identity;
}

class MqttFiles : public ::testing::Test {
 protected:
  void Save(const std::string& name, const std::string& text, mode_t mode) {
    dir.Write(name, text);
    chmod(dir.Path(name).c_str(), mode);
  }
  // What the running host says of the "mqtt" member before it starts: "loaded" when it takes it.
  std::string Loaded(const std::string& mqtt, std::string* password = nullptr) {
    try {
      HostConfig config = ParseHostConfig(R"({"mqtt": )" + mqtt + R"(, "lines": [{"device":
          "/dev/null", "devices": [{"plugin": "p.so", "dataId": 1}]}]})",
                                          dir.Path("host.json"), {});
      LoadMqttFiles(config);
      if (password != nullptr) *password = config.mqtt->password;
    } catch (const ConfigError& error) {
      return error.what();
    }
    return "loaded";
  }
  std::string Head() const { return "configuration " + dir.Path("host.json") + ": mqtt."; }

  TempDir dir;
};

TEST_F(MqttFiles, SecretsAndTlsFilesAreTakenOnlyAsTheLibraryWouldReadThemAndKeptFromOthers) {
  const Identity hall1 = MakeIdentity();
  Save("ca.pem", MakeIdentity().cert, 0644);
  Save("hall1.pem", hall1.cert, 0644);
  Save("hall1.key", hall1.key, 0600);
  Save("group.key", hall1.key, 0640);  // root:devhost 0640, the way a service is given a key
  Save("open.key", hall1.key, 0644);
  Save("other.key", MakeIdentity().key, 0600);
  Save("locked.key", MakeIdentity("passphrase").key, 0600);
  Save("garbage.pem", "not a certificate\n", 0644);
  Save("secret", "s3cret\r\nsecond line\n", 0600);
  Save("open.secret", "s3cret\n", 0604);
  const auto tls = [](const std::string& ca, const std::string& key) {
    return R"({"caFile": ")" + ca + R"(", "certFile": "hall1.pem", "keyFile": ")" + key + "\"}";
  };

  std::string password;
  EXPECT_EQ(Loaded(R"({"username": "u", "passwordFile": "secret"})", &password), "loaded");
  EXPECT_EQ(password, "s3cret");  // the first line, without its line end
  EXPECT_EQ(Loaded(tls("ca.pem", "hall1.key")), "loaded");
  EXPECT_EQ(Loaded(tls("ca.pem", "group.key")), "loaded");
  // Given to the control socket's group, its operators': said at start.
  HostConfig shared = ParseHostConfig("{\"controlSocketGroup\": " + std::to_string(getegid()) +
                                          ", \"mqtt\": " + tls("ca.pem", "group.key") +
                                          R"(, "lines": [{"device": "/dev/null", "devices": [
          {"plugin": "p.so", "dataId": 1}]}]})",
                                      dir.Path("host.json"), {});
  LoadMqttFiles(shared);
  ASSERT_EQ(shared.warnings.size(), 1u);
  EXPECT_NE(shared.warnings[0].find("operators can read this secret"), std::string::npos);

  EXPECT_EQ(Loaded(tls("ca.pem", "absent.key")), Head() + "keyFile: " + dir.Path("absent.key") +
                                                     " cannot be read: No such file or directory");
  EXPECT_EQ(Loaded(tls("ca.pem", "open.key")),
            Head() + "keyFile: " + dir.Path("open.key") +
                " is open to every user (mode 0644): a secret others may read is not used; "
                "chmod o-rw it");
  EXPECT_EQ(
      Loaded(R"({"username": "u", "passwordFile": "open.secret"})")
          .rfind(Head() + "passwordFile: " + dir.Path("open.secret") + " is open to every user", 0),
      0u);
  EXPECT_EQ(Loaded(tls("ca.pem", "other.key")), Head() + "keyFile: " + dir.Path("other.key") +
                                                    " is not the key of certFile's certificate");
  EXPECT_EQ(Loaded(tls("ca.pem", "locked.key"))
                .rfind(Head() + "keyFile: " + dir.Path("locked.key") +
                           " holds no private key in clear PEM",
                       0),
            0u);
  EXPECT_EQ(Loaded(tls("garbage.pem", "hall1.key")),
            Head() + "caFile: " + dir.Path("garbage.pem") + " holds no PEM certificate");
  // Only named when the configuration is read: commands that do not publish never read them.
  EXPECT_NO_THROW(ParseHostConfig(R"({"mqtt": )" + tls("ca.pem", "absent.key") + R"(,
      "lines": [{"device": "/dev/null", "devices": [{"plugin": "p.so", "dataId": 1}]}]})",
                                  dir.Path("host.json"), {}));
}

// libmosquitto reads the TLS files again at each reconnect: the bridge checks them again first
// (a key replaced by one every user may read, or by a FIFO, is not used), and a client
// certificate outside its dates is named at start (a warning: the clock may be what is wrong)
// and before a reconnect.
TEST_F(MqttFiles, TlsFilesAreCheckedAgainBeforeAReconnectAndCertificateDatesAreNamed) {
  const Identity hall1 = MakeIdentity();
  const Identity expired = MakeIdentity(nullptr, -7200, -3600);
  const Identity early = MakeIdentity(nullptr, 3600, 7200);
  Save("ca.pem", MakeIdentity().cert, 0644);
  Save("hall1.pem", hall1.cert, 0644);
  Save("hall1.key", hall1.key, 0600);
  HostConfig config = ParseHostConfig(R"({"mqtt": {"caFile": "ca.pem", "certFile": "hall1.pem",
      "keyFile": "hall1.key"}, "lines": [{"device": "/dev/null", "devices": [{"plugin": "p.so",
      "dataId": 1}]}]})",
                                      dir.Path("host.json"), {});
  LoadMqttFiles(config);
  EXPECT_TRUE(config.warnings.empty());
  EXPECT_EQ(TlsFilesProblem(*config.mqtt), std::nullopt);

  chmod(dir.Path("hall1.key").c_str(), 0666);
  const auto open = TlsFilesProblem(*config.mqtt);
  ASSERT_TRUE(open);
  EXPECT_NE(open->find("is open to every user (mode 0666)"), std::string::npos) << *open;
  unlink(dir.Path("hall1.key").c_str());
  ASSERT_EQ(mkfifo(dir.Path("hall1.key").c_str(), 0600), 0);
  EXPECT_TRUE(TlsFilesProblem(*config.mqtt));

  for (const auto& [identity, said] :
       {std::make_pair(expired, "expired on "), std::make_pair(early, "is not valid before ")}) {
    Save("hall1.pem", identity.cert, 0644);
    unlink(dir.Path("hall1.key").c_str());
    Save("hall1.key", identity.key, 0600);
    HostConfig dated = config;
    dated.warnings.clear();
    LoadMqttFiles(dated);
    ASSERT_EQ(dated.warnings.size(), 1u);
    EXPECT_NE(dated.warnings[0].find(said), std::string::npos) << dated.warnings[0];
    const auto problem = TlsFilesProblem(*config.mqtt);
    ASSERT_TRUE(problem);
    EXPECT_NE(problem->find(said), std::string::npos) << *problem;
  }
}

HostConfig WithGroup(const std::string& value) {
  return ParseHostConfig(R"({"controlSocketGroup": )" + value + R"(, "lines": [{"device":
      "/dev/null", "devices": [{"plugin": "p.so", "dataId": 1}]}]})",
                         "/etc/devhost/host.json", {});
}

TEST(ControlSocketGroup, ANameOrANumberAndTheSocketIsMadeWithItsModeAndGroupBeforeItListens) {
  EXPECT_EQ(WithGroup("\"root\"").controlSocketGroup, 0u);
  EXPECT_EQ(WithGroup("4321").controlSocketGroup, 4321u);
  EXPECT_EQ(WithGroup("\"4321\"").controlSocketGroup, 4321u);
  // A number no group has is said: a mistyped one would leave the socket to nobody.
  EXPECT_THAT(WithGroup("99999").warnings,
              testing::ElementsAre(testing::HasSubstr("no group has the number 99999")));
  EXPECT_TRUE(WithGroup("0").warnings.empty());
  EXPECT_FALSE(ParseHostConfig(R"({"lines": [{"device": "/dev/null", "devices": [
      {"plugin": "p.so", "dataId": 1}]}]})",
                               "/etc/devhost/host.json", {})
                   .controlSocketGroup);
  EXPECT_THROW(WithGroup("\"no-such-group-here\""), ConfigError);
  EXPECT_THROW(WithGroup("-1"), ConfigError);

  TempDir dir;
  // Root may give any group; another user one of its own.
  const unsigned group = geteuid() == 0 ? 4321 : getegid();
  ControlServer shared(
      dir.Path("shared.sock"), [](const std::string&) { return ""; }, group);
  ControlServer own(dir.Path("own.sock"), [](const std::string&) { return ""; });
  shared.Start();
  own.Start();
  struct stat info {};
  ASSERT_EQ(lstat(dir.Path("shared.sock").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0660u);
  EXPECT_EQ(info.st_gid, group);
  ASSERT_EQ(lstat(dir.Path("own.sock").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  if (geteuid() != 0) {
    // A group the host's user is not in: refused, and nothing left at the path.
    ControlServer foreign(
        dir.Path("foreign.sock"), [](const std::string&) { return ""; }, 0);
    EXPECT_THROW(foreign.Start(), ControlError);
    EXPECT_NE(lstat(dir.Path("foreign.sock").c_str(), &info), 0);
  }
}

TEST(ControlSocketTrust, AnotherUsersHostIsBelievedOnlyAtAGroupSocketNoOneElseCouldHavePutThere) {
  ListenerFacts service;  // me 1000, the service 998 in group 997, as systemd lays it out
  service.me = 1000;
  service.peer = service.socket.st_uid = service.folder.st_uid = 998;
  service.group = service.socket.st_gid = 997;
  service.socket.st_mode = S_IFSOCK | 0660;
  service.folder.st_mode = S_IFDIR | 0750;
  const std::string path = "/var/lib/devhost/devhost.sock";
  EXPECT_FALSE(DistrustReason(service, path));
  const std::vector<std::function<void(ListenerFacts&)>> believed = {
      [](ListenerFacts& f) { f.folder.st_uid = 0; },              // a folder of root's
      [](ListenerFacts& f) { f.peer = f.socket.st_uid = 1000; },  // my own host
      [](ListenerFacts& f) { f.peer = f.socket.st_uid = 0; }};    // root's
  const std::vector<std::function<void(ListenerFacts&)>> refused = {
      [](ListenerFacts& f) { f.folder.st_mode = S_IFDIR | 0770; },  // a member could put it there
      [](ListenerFacts& f) { f.folder.st_uid = 1001; },
      [](ListenerFacts& f) { f.socket.st_gid = 100; },
      [](ListenerFacts& f) { f.socket.st_mode = S_IFSOCK | 0666; },
      [](ListenerFacts& f) { f.socket.st_uid = 1001; }};  // the service behind another's socket
  for (const auto& change : believed) {
    ListenerFacts facts = service;
    change(facts);
    EXPECT_FALSE(DistrustReason(facts, path));
  }
  for (const auto& change : refused) {
    ListenerFacts facts = service;
    change(facts);
    EXPECT_TRUE(DistrustReason(facts, path));
  }
  service.group.reset();  // without a socket group: only mine or root's
  EXPECT_EQ(*DistrustReason(service, path),
            "the process listening at " + path +
                " runs as user 998, neither you nor root: not a host of yours, nothing sent (put "
                "controlSocket in a folder only you can write)");
}

}  // namespace
