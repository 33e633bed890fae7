#include "tests/support/TestCertificates.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <stdexcept>

#include "common/TlsPointers.h"

namespace testsupport {
namespace {

using Key = common::TlsKey;
using Certificate = common::TlsCertificate;

void Check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("test certificates: ") + what);
}

Key NewKey(KeyType type) {
  Key key(type == KeyType::kRsa2048 ? EVP_RSA_gen(2048) : EVP_EC_gen("P-256"));
  Check(key != nullptr, "key generation");
  return key;
}

void AddExtension(X509* certificate, X509V3_CTX* context, int nid, const std::string& value) {
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, context, nid, value.c_str());
  Check(extension != nullptr, "extension");
  X509_add_ext(certificate, extension, -1);
  X509_EXTENSION_free(extension);
}

std::string AltNames(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) {
    unsigned char address[16];
    const bool ip = inet_pton(AF_INET, name.c_str(), address) == 1 ||
                    inet_pton(AF_INET6, name.c_str(), address) == 1;
    if (!text.empty()) text += ",";
    text += (ip ? "IP:" : "DNS:") + name;
  }
  return text;
}

// A certificate for subject_key, signed by issuer_key; self-signed when issuer
// is null. Authorities get CA:TRUE and may sign certificates.
Certificate MakeCertificate(const std::string& common_name, EVP_PKEY* subject_key, X509* issuer,
                            EVP_PKEY* issuer_key, bool authority,
                            const CertificateRequest& request) {
  Certificate certificate(X509_new());
  Check(certificate != nullptr, "X509_new");
  X509* x = certificate.get();
  X509_set_version(x, 2);
  unsigned char serial_bytes[8];
  RAND_bytes(serial_bytes, sizeof(serial_bytes));
  serial_bytes[0] &= 0x7f;  // positive
  BIGNUM* serial = BN_bin2bn(serial_bytes, sizeof(serial_bytes), nullptr);
  BN_to_ASN1_INTEGER(serial, X509_get_serialNumber(x));
  BN_free(serial);
  X509_gmtime_adj(X509_getm_notBefore(x), static_cast<long>(request.valid_from_days) * 86400);
  X509_gmtime_adj(X509_getm_notAfter(x), static_cast<long>(request.valid_until_days) * 86400);
  X509_set_pubkey(x, subject_key);
  X509_NAME* name = X509_get_subject_name(x);
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>("Tarvo Tests"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>(common_name.c_str()), -1, -1,
                             0);
  X509_set_issuer_name(x, issuer != nullptr ? X509_get_subject_name(issuer) : name);

  X509V3_CTX context;
  X509V3_set_ctx(&context, issuer != nullptr ? issuer : x, x, nullptr, nullptr, 0);
  AddExtension(x, &context, NID_subject_key_identifier, "hash");
  AddExtension(x, &context, NID_authority_key_identifier, "keyid");
  if (authority) {
    AddExtension(x, &context, NID_basic_constraints, "critical,CA:TRUE");
    AddExtension(x, &context, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    AddExtension(x, &context, NID_basic_constraints, "critical,CA:FALSE");
    AddExtension(x, &context, NID_key_usage, "critical,digitalSignature,keyEncipherment");
    const bool server = request.use == CertificateUse::kServer;
    AddExtension(x, &context, NID_ext_key_usage, server ? "serverAuth" : "clientAuth");
    if (server && !request.names.empty()) {
      AddExtension(x, &context, NID_subject_alt_name, AltNames(request.names));
    }
  }
  Check(X509_sign(x, issuer_key, EVP_sha256()) > 0, "X509_sign");
  return certificate;
}

std::string CertificatePem(X509* certificate) {
  const common::TlsBio bio(BIO_new(BIO_s_mem()));
  Check(PEM_write_bio_X509(bio.get(), certificate) == 1, "PEM_write_bio_X509");
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(length));
}

std::string KeyPem(EVP_PKEY* key) {
  const common::TlsBio bio(BIO_new(BIO_s_mem()));
  Check(PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1,
        "PEM_write_bio_PrivateKey");
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(length));
}

void WriteFile(const std::string& path, const std::string& bytes, mode_t mode) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  Check(fd >= 0, "open");
  fchmod(fd, mode);
  const bool written = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  close(fd);
  Check(written, "write");
}

// An authority's own validity: ten years.
CertificateRequest AuthorityRequest() {
  CertificateRequest request;
  request.valid_until_days = 3650;
  return request;
}

IssuedCertificate Store(const std::string& folder, const std::string& stem,
                        const std::string& certificate_pem, EVP_PKEY* key) {
  IssuedCertificate issued{folder + "/" + stem + ".pem", folder + "/" + stem + ".key",
                           certificate_pem, KeyPem(key)};
  WriteFile(issued.certificate_file, issued.certificate_pem, 0644);
  WriteFile(issued.key_file, issued.key_pem, 0600);
  return issued;
}

}  // namespace

struct TestAuthority::Keys {
  Key key;
  Certificate certificate;
};

TestAuthority::TestAuthority(std::string folder, std::string stem, std::string common_name,
                             KeyType key)
    : folder_(std::move(folder)), common_name_(std::move(common_name)), keys_(new Keys) {
  keys_->key = NewKey(key);
  keys_->certificate = MakeCertificate(common_name_, keys_->key.get(), nullptr, keys_->key.get(),
                                       true, AuthorityRequest());
  own_ = Store(folder_, stem, CertificatePem(keys_->certificate.get()), keys_->key.get());
}

TestAuthority::~TestAuthority() {
  delete keys_;
}

IssuedCertificate TestAuthority::Issue(const std::string& stem,
                                       const CertificateRequest& request) const {
  return IssueBelowChain(stem, request, 0);
}

IssuedCertificate TestAuthority::IssueBelowChain(const std::string& stem,
                                                 const CertificateRequest& request,
                                                 int intermediates) const {
  // Each authority of the chain signs the next; the file lists the leaf first,
  // then the intermediates from the leaf's issuer upwards.
  std::vector<std::pair<Key, Certificate>> chain;
  EVP_PKEY* signer_key = keys_->key.get();
  X509* signer = keys_->certificate.get();
  for (int k = 0; k < intermediates; ++k) {
    Key key = NewKey(KeyType::kEcdsaP256);
    Certificate certificate =
        MakeCertificate(common_name_ + " intermediate " + std::to_string(k + 1), key.get(), signer,
                        signer_key, true, AuthorityRequest());
    signer_key = key.get();
    signer = certificate.get();
    chain.emplace_back(std::move(key), std::move(certificate));
  }
  const Key key = NewKey(request.key);
  const Certificate leaf =
      MakeCertificate(request.common_name, key.get(), signer, signer_key, false, request);
  std::string pem = CertificatePem(leaf.get());
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) pem += CertificatePem(it->second.get());
  return Store(folder_, stem, pem, key.get());
}

TestPki::TestPki(const std::string& folder)
    : ca(folder, "ca", "Tarvo Test CA"),
      other_ca(folder, "other-ca", "Other Test CA"),
      server(ca.Issue("server", {.common_name = "localhost"})),
      server_rsa(ca.Issue("server-rsa", {.common_name = "localhost", .key = KeyType::kRsa2048})),
      client(ca.Issue("client", {.common_name = "tarvo-admin", .use = CertificateUse::kClient})),
      client_expired(ca.Issue("client-expired", {.common_name = "tarvo-expired",
                                                 .use = CertificateUse::kClient,
                                                 .valid_from_days = -2,
                                                 .valid_until_days = -1})),
      client_other_ca(other_ca.Issue(
          "client-other-ca", {.common_name = "tarvo-other", .use = CertificateUse::kClient})) {}

}  // namespace testsupport
