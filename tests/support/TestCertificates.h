#pragma once
// Certificates for TLS tests and benchmarks, made with the TLS library in a
// folder of the caller's: authorities, server and client certificates (valid,
// expired, from another authority), with ECDSA P-256 or RSA 2048 keys. Key
// files are written readable by their owner only. Uses no test framework, so
// fuzz targets and benchmarks may use it too. Failures throw.

#include <string>
#include <vector>

namespace testsupport {

enum class KeyType { kEcdsaP256, kRsa2048 };

// What a certificate is for.
enum class CertificateUse { kServer, kClient };

struct CertificateRequest {
  std::string common_name;
  CertificateUse use = CertificateUse::kServer;
  KeyType key = KeyType::kEcdsaP256;
  // Names a server certificate carries (DNS names and IP addresses).
  std::vector<std::string> names = {"localhost", "127.0.0.1"};
  // Validity, in days from now: expired is {-2, -1}.
  int valid_from_days = -1;
  int valid_until_days = 365;
};

// A certificate and its key, as files and as PEM text. The certificate file
// (and certificate_pem) holds the certificate, then the intermediate
// authorities between it and its root, if any.
struct IssuedCertificate {
  std::string certificate_file;
  std::string key_file;
  std::string certificate_pem;
  std::string key_pem;
};

// A self-signed authority that issues certificates.
class TestAuthority {
 public:
  // Writes <folder>/<stem>.pem and <stem>.key.
  TestAuthority(std::string folder, std::string stem, std::string common_name,
                KeyType key = KeyType::kEcdsaP256);
  ~TestAuthority();
  TestAuthority(const TestAuthority&) = delete;
  TestAuthority& operator=(const TestAuthority&) = delete;

  const IssuedCertificate& files() const { return own_; }

  // Issues a certificate; writes <folder>/<stem>.pem and <stem>.key.
  IssuedCertificate Issue(const std::string& stem, const CertificateRequest& request) const;
  // Issues a certificate below a chain of `intermediates` authorities, each
  // signed by the one before and the first by this one.
  IssuedCertificate IssueBelowChain(const std::string& stem, const CertificateRequest& request,
                                    int intermediates) const;

 private:
  struct Keys;

  std::string folder_;
  std::string common_name_;
  Keys* keys_;
  IssuedCertificate own_;
};

// The usual set: an authority, another that the agent does not trust, and
// certificates from them.
struct TestPki {
  explicit TestPki(const std::string& folder);

  TestAuthority ca;
  TestAuthority other_ca;
  IssuedCertificate server;           // ECDSA P-256, names localhost and 127.0.0.1
  IssuedCertificate server_rsa;       // RSA 2048, the same names
  IssuedCertificate client;           // ECDSA P-256, common name "tarvo-admin"
  IssuedCertificate client_expired;   // expired yesterday
  IssuedCertificate client_other_ca;  // signed by other_ca
};

}  // namespace testsupport
