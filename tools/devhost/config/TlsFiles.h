// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <ctime>
#include <optional>
#include <string>

// The TLS files of the MQTT bridge, checked at start as OpenSSL will read them at connect: a
// file it would refuse there makes the bridge retry for ever, so it is refused here instead.
// Each says what is wrong with the PEM text ("holds no certificate"), nothing when it would do.
// caFile and certFile: at least one certificate.
std::optional<std::string> CertificateProblem(const std::string& pem);
// The first certificate's validity against `now`: "expired on ..." or "is not valid before ...";
// nothing while it is valid.
std::optional<std::string> CertificateDatesProblem(const std::string& pem, std::time_t now);
// The key must be in clear PEM (nobody is there to type a passphrase) and match the certificate.
std::optional<std::string> KeyFileProblem(const std::string& keyPem, const std::string& certPem);
