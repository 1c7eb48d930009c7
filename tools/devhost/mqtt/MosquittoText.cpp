// SPDX-License-Identifier: Apache-2.0
#include "mqtt/MosquittoText.h"

#include <mosquitto.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

std::string MosquittoDisconnectReason(int rc) {
  if (rc == MOSQ_ERR_CONN_LOST || rc == MOSQ_ERR_ERRNO) return "connection lost";
  if (rc == MOSQ_ERR_SUCCESS) return "disconnected";
  if (rc == MOSQ_ERR_KEEPALIVE) return "no answer within the keep-alive";
  return mosquitto_strerror(rc);
}

std::string MosquittoErrorText(int rc) {
  return rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc);
}

std::string MosquittoRefusalText(int rc) {
  std::string text = mosquitto_connack_string(rc);
  const std::string head = "Connection Refused: ";
  if (text.rfind(head, 0) == 0) text.erase(0, head.size());
  if (!text.empty() && text.back() == '.') text.pop_back();
  return text;
}

void CheckMosquitto(int rc, const std::string& what) {
  if (rc != MOSQ_ERR_SUCCESS) throw std::runtime_error(what + ": " + mosquitto_strerror(rc));
}

bool CertificateIssuerUnknown(long result) {
  return result == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY ||
         result == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT ||
         result == X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE ||
         result == X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT ||
         result == X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN;
}
