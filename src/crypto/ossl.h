// SPDX-License-Identifier: Apache-2.0
// Owners for OpenSSL handles: every handle this tool takes from OpenSSL is held by one of these.
#pragma once

#include <openssl/bn.h>
#include <openssl/core.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/param_build.h>

#include <memory>

namespace crypto::ossl {

template <auto Free>
struct Deleter {
  template <class T>
  void operator()(T* p) const noexcept {
    Free(p);
  }
};

using Pkey = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX_free>>;
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, Deleter<EVP_CIPHER_CTX_free>>;
using Cipher = std::unique_ptr<EVP_CIPHER, Deleter<EVP_CIPHER_free>>;
using Kdf = std::unique_ptr<EVP_KDF, Deleter<EVP_KDF_free>>;
using KdfCtx = std::unique_ptr<EVP_KDF_CTX, Deleter<EVP_KDF_CTX_free>>;
using ParamBld = std::unique_ptr<OSSL_PARAM_BLD, Deleter<OSSL_PARAM_BLD_free>>;
using Params = std::unique_ptr<OSSL_PARAM, Deleter<OSSL_PARAM_free>>;
using Bignum = std::unique_ptr<BIGNUM, Deleter<BN_free>>;
using SecretBignum = std::unique_ptr<BIGNUM, Deleter<BN_clear_free>>;
using BnCtx = std::unique_ptr<BN_CTX, Deleter<BN_CTX_free>>;
using EcGroup = std::unique_ptr<EC_GROUP, Deleter<EC_GROUP_free>>;
using EcPoint = std::unique_ptr<EC_POINT, Deleter<EC_POINT_free>>;
using SecretEcPoint = std::unique_ptr<EC_POINT, Deleter<EC_POINT_clear_free>>;

}  // namespace crypto::ossl
