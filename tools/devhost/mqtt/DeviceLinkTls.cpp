// SPDX-License-Identifier: Apache-2.0
// The link's TLS: the files and checks it connects with, and what TLS refused, told in words.
#include <mosquitto.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <string>

#include "config/MqttConfig.h"
#include "mqtt/DeviceLink.h"
#include "mqtt/MosquittoText.h"

namespace {

// The key file was checked at start: nobody is there to type a passphrase.
int RefusePassphrase(char*, int, int, void*) { return 0; }

}  // namespace

void DeviceLink::SetUpTls() {
  CheckMosquitto(mosquitto_tls_set(client_, config_.caFile.c_str(), nullptr,
                                   config_.certFile.empty() ? nullptr : config_.certFile.c_str(),
                                   config_.keyFile.empty() ? nullptr : config_.keyFile.c_str(),
                                   &RefusePassphrase),
                 "mqtt TLS files");
  // Said, not assumed: the broker's certificate must chain to caFile (SSL_VERIFY_PEER) and name
  // the configured host (libmosquitto checks the name, or the address, unless told insecure).
  CheckMosquitto(mosquitto_tls_opts_set(client_, 1, nullptr, nullptr), "mqtt TLS options");
  CheckMosquitto(mosquitto_tls_insecure_set(client_, false), "mqtt TLS host name check");
}

// libmosquitto says what TLS refused only in its log.
void DeviceLink::OnLog(mosquitto*, void* self, int level, const char* text) {
  if (level == MOSQ_LOG_ERR && text != nullptr) static_cast<DeviceLink*>(self)->NoteTlsError(text);
}

void DeviceLink::NoteTlsError(const std::string& text) {
  std::string problem;
  if (text.find("host name verification failed") != std::string::npos) {
    problem =
        "the broker's certificate is not for " + config_.host + " (host name verification failed)";
  } else if (text.find("certificate verify failed") != std::string::npos) {
    // Still the connection's own: the log comes before the socket is closed.
    const auto* ssl = static_cast<const SSL*>(mosquitto_ssl_get(client_));
    const long result = ssl != nullptr ? SSL_get_verify_result(ssl) : X509_V_OK;
    const std::string why =
        result != X509_V_OK ? X509_verify_cert_error_string(result) : "certificate verify failed";
    problem = CertificateIssuerUnknown(result)
                  ? "the broker's certificate is not signed by the CA of " + config_.caFile + " (" +
                        why + ")"
                  : "the broker's certificate was refused: " + why;
  } else if (text.rfind("OpenSSL Error", 0) == 0) {
    // "OpenSSL Error[0]: error:0A00045C:SSL routines::tlsv13 alert certificate required"
    const auto routine = text.rfind("::");
    problem = "TLS: " + (routine != std::string::npos ? text.substr(routine + 2) : text);
  } else {
    return;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (tlsProblem_.empty()) tlsProblem_ = problem;  // the first says why; the rest follows from it
}
