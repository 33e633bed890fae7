#pragma once
// Owning pointers to the TLS library's objects, each freed by its own routine.

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>

namespace common {

struct TlsFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
  void operator()(X509* certificate) const { X509_free(certificate); }
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};

using TlsBio = std::unique_ptr<BIO, TlsFree>;
using TlsCertificate = std::unique_ptr<X509, TlsFree>;
using TlsKey = std::unique_ptr<EVP_PKEY, TlsFree>;

}  // namespace common
