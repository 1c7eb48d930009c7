// SPDX-License-Identifier: Apache-2.0
#pragma once
// What libmosquitto's result codes and a failed certificate check mean, as the host says them.

#include <string>

// Why a connection ended: "connection lost", "no answer within the keep-alive", ...
std::string MosquittoDisconnectReason(int rc);
// MOSQ_ERR_ERRNO means "see errno", which says more (connection refused, no route to host).
std::string MosquittoErrorText(int rc);
// "Connection Refused: not authorised." -> "not authorised".
std::string MosquittoRefusalText(int rc);
// Throws std::runtime_error "WHAT: reason" unless `rc` is MOSQ_ERR_SUCCESS.
void CheckMosquitto(int rc, const std::string& what);
// Whether an X.509 verification result means "not signed by a CA we trust".
bool CertificateIssuerUnknown(long result);
