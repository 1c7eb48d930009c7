// SPDX-License-Identifier: Apache-2.0
#include "config/TlsFiles.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <memory>

namespace {

struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
struct X509Free {
  void operator()(X509* cert) const { X509_free(cert); }
};
struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using Bio = std::unique_ptr<BIO, BioFree>;
using Certificate = std::unique_ptr<X509, X509Free>;
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;

Bio Memory(const std::string& pem) {
  return Bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
}

// An encrypted key would make OpenSSL ask for its passphrase on the terminal.
int NoPassphrase(char*, int, int, void*) { return 0; }

Certificate FirstCertificate(const std::string& pem) {
  const Bio bio = Memory(pem);
  Certificate cert(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  ERR_clear_error();
  return cert;
}

}  // namespace

std::optional<std::string> CertificateProblem(const std::string& pem) {
  if (!FirstCertificate(pem)) return std::string("holds no PEM certificate");
  return std::nullopt;
}

namespace {

std::string TlsTimeText(const ASN1_TIME* time) {
  const Bio bio(BIO_new(BIO_s_mem()));
  if (!bio || ASN1_TIME_print(bio.get(), time) != 1) return "?";
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(size));
}

}  // namespace

std::optional<std::string> CertificateDatesProblem(const std::string& pem, std::time_t now) {
  const Certificate cert = FirstCertificate(pem);
  if (!cert) return std::string("holds no PEM certificate");
  if (X509_cmp_time(X509_get0_notBefore(cert.get()), &now) > 0) {
    return "is not valid before " + TlsTimeText(X509_get0_notBefore(cert.get())) +
           " (the broker will drop the connection; is the clock right?)";
  }
  if (X509_cmp_time(X509_get0_notAfter(cert.get()), &now) < 0) {
    return "expired on " + TlsTimeText(X509_get0_notAfter(cert.get())) +
           " (the broker will drop the connection)";
  }
  return std::nullopt;
}

std::optional<std::string> KeyFileProblem(const std::string& keyPem, const std::string& certPem) {
  const Bio bio = Memory(keyPem);
  const Key key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, &NoPassphrase, nullptr)
                    : nullptr);
  ERR_clear_error();
  if (!key) {
    return std::string(
        "holds no private key in clear PEM (an encrypted key is not taken: nobody is there to "
        "type its passphrase)");
  }
  const Certificate cert = FirstCertificate(certPem);
  const bool matches = cert && X509_check_private_key(cert.get(), key.get()) == 1;
  ERR_clear_error();
  if (!matches) return std::string("is not the key of certFile's certificate");
  return std::nullopt;
}
