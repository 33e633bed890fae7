#include "common/TlsContext.h"

#include <openssl/pem.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <functional>

#include "tests/support/TempFolder.h"
#include "tests/support/TestCertificates.h"

namespace common {
namespace {

using File = TlsFileProblem::File;
using testsupport::TempFolder;
using testsupport::TestPki;
using testsupport::WriteAll;

// The key, encrypted under a passphrase.
std::string LockedKeyPem(const std::string& key_pem, const std::string& passphrase) {
  BIO* in = BIO_new_mem_buf(key_pem.data(), static_cast<int>(key_pem.size()));
  EVP_PKEY* key = PEM_read_bio_PrivateKey(in, nullptr, nullptr, nullptr);
  BIO* out = BIO_new(BIO_s_mem());
  PEM_write_bio_PKCS8PrivateKey(out, key, EVP_aes_256_cbc(), passphrase.data(),
                                static_cast<int>(passphrase.size()), nullptr, nullptr);
  char* data = nullptr;
  const long length = BIO_get_mem_data(out, &data);
  std::string pem(data, static_cast<size_t>(length));
  BIO_free(out);
  EVP_PKEY_free(key);
  BIO_free(in);
  return pem;
}

class TlsContextTest : public ::testing::Test {
 protected:
  TempFolder folder_;
  TestPki pki_{folder_.path()};
  TlsFiles server_files_{pki_.server.certificate_file, pki_.server.key_file,
                         pki_.ca.files().certificate_file};
};

TEST_F(TlsContextTest, ServerLoadsItsIdentityWithOrWithoutAnAuthority) {
  TlsFileProblem problem;
  const auto with_ca = TlsContext::ForServer(server_files_, &problem);
  ASSERT_NE(with_ca, nullptr) << problem.Path << " " << problem.Problem;
  EXPECT_TRUE(with_ca->is_server());

  const auto rsa = TlsContext::ForServer(
      {pki_.server_rsa.certificate_file, pki_.server_rsa.key_file, ""}, &problem);
  EXPECT_NE(rsa, nullptr) << problem.Path << " " << problem.Problem;

  const auto client = TlsContext::ForClient({"", "", pki_.ca.files().certificate_file}, &problem);
  ASSERT_NE(client, nullptr) << problem.Problem;
  EXPECT_FALSE(client->is_server());
}

TEST_F(TlsContextTest, ServerRefusesEachUnusableFileNamingIt) {
  const std::string text_file = folder_.Path("notes.txt");
  WriteAll(text_file, "PING\n");
  const std::string open_key = folder_.Path("open.key");
  WriteAll(open_key, pki_.server.key_pem);
  chmod(open_key.c_str(), 0644);
  const std::string locked_key = folder_.Path("locked.key");
  WriteAll(locked_key, LockedKeyPem(pki_.server.key_pem, "secret"));
  chmod(locked_key.c_str(), 0600);
  chmod(text_file.c_str(), 0600);

  struct Case {
    const char* what;
    std::function<void(TlsFiles&)> change;
    File which;
    std::string path;
    std::string problem;
  };
  const Case cases[] = {
      {"missing certificate", [&](TlsFiles& f) { f.Certificate = folder_.Path("none.pem"); },
       File::kCertificate, folder_.Path("none.pem"), "is missing"},
      {"folder as key", [&](TlsFiles& f) { f.Key = folder_.path(); }, File::kKey, folder_.path(),
       "is not a regular file"},
      {"key readable by others", [&](TlsFiles& f) { f.Key = open_key; }, File::kKey, open_key,
       "is readable by others than its owner"},
      {"certificate not PEM", [&](TlsFiles& f) { f.Certificate = text_file; }, File::kCertificate,
       text_file, "holds no PEM certificate"},
      {"key not PEM", [&](TlsFiles& f) { f.Key = text_file; }, File::kKey, text_file,
       "holds no PEM private key without a passphrase"},
      {"key behind a passphrase", [&](TlsFiles& f) { f.Key = locked_key; }, File::kKey, locked_key,
       "holds no PEM private key without a passphrase"},
      {"key of another certificate", [&](TlsFiles& f) { f.Key = pki_.client.key_file; }, File::kKey,
       pki_.client.key_file, "does not match the certificate of " + pki_.server.certificate_file},
      {"authority not PEM", [&](TlsFiles& f) { f.Authority = text_file; }, File::kAuthority,
       text_file, "holds no PEM certificate"},
  };
  for (const Case& c : cases) {
    TlsFiles files = server_files_;
    c.change(files);
    TlsFileProblem problem;
    EXPECT_EQ(TlsContext::ForServer(files, &problem), nullptr) << c.what;
    EXPECT_EQ(problem.Which, c.which) << c.what;
    EXPECT_EQ(problem.Path, c.path) << c.what;
    EXPECT_EQ(problem.Problem, c.problem) << c.what;
  }
}

TEST_F(TlsContextTest, AClientKeyNeedsNoOwnerOnlyMode) {
  // Only the agent's own key is held to its owner; a person's client key
  // follows their own habits.
  chmod(pki_.client.key_file.c_str(), 0644);
  TlsFileProblem problem;
  EXPECT_NE(TlsContext::ForClient({pki_.client.certificate_file, pki_.client.key_file,
                                   pki_.ca.files().certificate_file},
                                  &problem),
            nullptr)
      << problem.Problem;
}

}  // namespace
}  // namespace common
