#include "enclave/secure_enclave.h"

#include <algorithm>

#include "enclave/enclave_error.h"
#include "enclave/key_templates.h"

namespace enclave::SecureEnclave {
namespace {

// Format-one codes carry a handle, session or parameter number above the error number.
bool isFormatOne(TSS2_RC rc, TSS2_RC error) {
  return (rc & TPM2_RC_FMT1) != 0 && (rc & (TPM2_RC_FMT1 | 0x3F)) == error;
}

// The TCG storage root key, made again on every use: the same seed and template give the same
// key, so nothing is stored in the TPM and nothing is left behind.
esys::Object createParent(Tpm& tpm) {
  const TPM2B_SENSITIVE_CREATE sensitive{};
  const TPM2B_PUBLIC inPublic = storageRootKeyTemplate();
  const TPM2B_DATA outsideInfo{};
  const TPML_PCR_SELECTION creationPcr{};
  ESYS_TR handle = ESYS_TR_NONE;
  TPM2B_PUBLIC* outPublic = nullptr;
  TPM2B_CREATION_DATA* creationData = nullptr;
  TPM2B_DIGEST* creationHash = nullptr;
  TPMT_TK_CREATION* creationTicket = nullptr;
  const TSS2_RC rc = tpm.call([&] {
    return Esys_CreatePrimary(tpm.esys(), ESYS_TR_RH_OWNER, ESYS_TR_PASSWORD, ESYS_TR_NONE,
                              ESYS_TR_NONE, &sensitive, &inPublic, &outsideInfo, &creationPcr,
                              &handle, &outPublic, &creationData, &creationHash, &creationTicket);
  });
  const esys::Owned<TPM2B_PUBLIC> ownedPublic(outPublic);
  const esys::Owned<TPM2B_CREATION_DATA> ownedData(creationData);
  const esys::Owned<TPM2B_DIGEST> ownedHash(creationHash);
  const esys::Owned<TPMT_TK_CREATION> ownedTicket(creationTicket);
  if (isFormatOne(rc, TPM2_RC_BAD_AUTH) || isFormatOne(rc, TPM2_RC_AUTH_FAIL)) {
    throw EnclaveError("the TPM's owner hierarchy has a password; this tool needs it empty");
  }
  if (rc != TSS2_RC_SUCCESS) throwTpmError("TPM2_CreatePrimary", rc);
  return esys::Object(tpm.esys(), handle);
}

}  // namespace

bool isAvailable() {
  try {
    return isAvailable(Tpm::system());
  } catch (const std::exception&) {
    return false;
  }
}

bool isAvailable(Tpm& tpm) {
  try {
    return tpm.supportsSealing();
  } catch (const std::exception&) {
    return false;
  }
}

namespace P256::KeyAgreement {

PrivateKey::PrivateKey(Tpm& tpm, const KeyFile& keyFile)
    : tpm_(&tpm), keyFile_(keyFile), publicKey_(enclavePublicKey(keyFile.publicArea.publicArea)) {}

PrivateKey PrivateKey::create(Tpm& tpm) {
  const esys::Object parent = createParent(tpm);
  const TPM2B_SENSITIVE_CREATE sensitive{};
  const TPM2B_PUBLIC inPublic = enclaveKeyTemplate();
  const TPM2B_DATA outsideInfo{};
  const TPML_PCR_SELECTION creationPcr{};
  TPM2B_PRIVATE* outPrivate = nullptr;
  TPM2B_PUBLIC* outPublic = nullptr;
  TPM2B_CREATION_DATA* creationData = nullptr;
  TPM2B_DIGEST* creationHash = nullptr;
  TPMT_TK_CREATION* creationTicket = nullptr;
  const TSS2_RC rc = tpm.call([&] {
    return Esys_Create(tpm.esys(), parent.get(), ESYS_TR_PASSWORD, ESYS_TR_NONE, ESYS_TR_NONE,
                       &sensitive, &inPublic, &outsideInfo, &creationPcr, &outPrivate, &outPublic,
                       &creationData, &creationHash, &creationTicket);
  });
  const esys::Owned<TPM2B_PRIVATE> ownedPrivate(outPrivate);
  const esys::Owned<TPM2B_PUBLIC> ownedPublic(outPublic);
  const esys::Owned<TPM2B_CREATION_DATA> ownedData(creationData);
  const esys::Owned<TPM2B_DIGEST> ownedHash(creationHash);
  const esys::Owned<TPMT_TK_CREATION> ownedTicket(creationTicket);
  if (rc != TSS2_RC_SUCCESS) throwTpmError("TPM2_Create", rc);
  return PrivateKey(tpm, KeyFile{*ownedPublic, *ownedPrivate});
}

PrivateKey::PrivateKey(crypto::ByteView dataRepresentation)
    : PrivateKey(restore(dataRepresentation, nullptr)) {}

PrivateKey::PrivateKey(crypto::ByteView dataRepresentation, Tpm& tpm)
    : PrivateKey(restore(dataRepresentation, &tpm)) {}

PrivateKey PrivateKey::restore(crypto::ByteView dataRepresentation, Tpm* tpm) {
  const KeyFile keyFile = decodeKeyFile(dataRepresentation);
  PrivateKey key(tpm != nullptr ? *tpm : Tpm::system(), keyFile);
  key.load();
  return key;
}

crypto::Bytes PrivateKey::dataRepresentation() const { return encodeKeyFile(keyFile_); }

void PrivateKey::load() {
  const esys::Object parent = createParent(*tpm_);
  ESYS_TR handle = ESYS_TR_NONE;
  const TSS2_RC rc = tpm_->call([&] {
    return Esys_Load(tpm_->esys(), parent.get(), ESYS_TR_PASSWORD, ESYS_TR_NONE, ESYS_TR_NONE,
                     &keyFile_.privateArea, &keyFile_.publicArea, &handle);
  });
  if (isFormatOne(rc, TPM2_RC_INTEGRITY)) throw EnclaveError(std::string(foreignKey));
  if (rc != TSS2_RC_SUCCESS) throwTpmError("TPM2_Load", rc);
  key_ = esys::Object(tpm_->esys(), handle);
}  // the parent goes here: a loaded key holds one of the chip's few object slots, not two

crypto::SharedSecret PrivateKey::sharedSecretFromKeyAgreement(
    const crypto::P256::KeyAgreement::PublicKey& peer) {
  if (!key_) load();
  ESYS_CONTEXT* esys = tpm_->esys();

  // Salted with the enclave key itself, so only this TPM and this process know the session key
  // that encrypts the response: the shared secret never crosses the bus in clear.
  TPMT_SYM_DEF aes128Cfb{};
  aes128Cfb.algorithm = TPM2_ALG_AES;
  aes128Cfb.keyBits.aes = 128;
  aes128Cfb.mode.aes = TPM2_ALG_CFB;
  ESYS_TR sessionHandle = ESYS_TR_NONE;
  TSS2_RC rc = tpm_->call([&] {
    return Esys_StartAuthSession(esys, key_.get(), ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE,
                                 ESYS_TR_NONE, nullptr, TPM2_SE_HMAC, &aes128Cfb, TPM2_ALG_SHA256,
                                 &sessionHandle);
  });
  if (rc != TSS2_RC_SUCCESS) throwTpmError("TPM2_StartAuthSession", rc);
  const esys::Object session(esys, sessionHandle);
  rc = Esys_TRSess_SetAttributes(esys, session.get(),
                                 TPMA_SESSION_ENCRYPT | TPMA_SESSION_CONTINUESESSION, 0xFF);
  if (rc != TSS2_RC_SUCCESS) throwTpmError("Esys_TRSess_SetAttributes", rc);

  TPM2B_ECC_POINT inPoint{};
  const auto& x963 = peer.x963Representation();
  inPoint.point.x.size = 32;
  inPoint.point.y.size = 32;
  std::copy_n(x963.begin() + 1, 32, inPoint.point.x.buffer);
  std::copy_n(x963.begin() + 33, 32, inPoint.point.y.buffer);

  TPM2B_ECC_POINT* rawOutPoint = nullptr;
  rc = tpm_->call([&] {
    return Esys_ECDH_ZGen(esys, key_.get(), session.get(), ESYS_TR_NONE, ESYS_TR_NONE, &inPoint,
                          &rawOutPoint);
  });
  const auto wipeAndFree = [](TPM2B_ECC_POINT* point) {
    if (point != nullptr) OPENSSL_cleanse(point, sizeof *point);
    Esys_Free(point);
  };
  const std::unique_ptr<TPM2B_ECC_POINT, decltype(wipeAndFree)> outPoint(rawOutPoint, wipeAndFree);
  if (rc != TSS2_RC_SUCCESS) throwTpmError("TPM2_ECDH_ZGen", rc);
  if (outPoint->point.x.size != crypto::SharedSecret::size) {
    throw EnclaveError("TPM2_ECDH_ZGen gave a shared secret of the wrong size");
  }
  const std::uint8_t* x = outPoint->point.x.buffer;
  return crypto::SharedSecret(crypto::SecretBytes(x, x + crypto::SharedSecret::size));
}

}  // namespace P256::KeyAgreement
}  // namespace enclave::SecureEnclave
