// SPDX-License-Identifier: Apache-2.0
#include "enclave/secure_enclave.h"

#include "crypto/blinding.h"
#include "crypto/crypto_error.h"
#include "enclave/enclave_error.h"
#include "enclave/key_templates.h"

namespace enclave::SecureEnclave {
namespace {

bool refusesOurAuthorisation(TSS2_RC rc) {
  return isFormatOne(rc, TPM2_RC_BAD_AUTH) || isFormatOne(rc, TPM2_RC_AUTH_FAIL);
}

// The TCG storage root key, made again from the owner seed: the same seed and template give the
// same key, so the TPM keeps nothing of ours between runs.
Object createStorageRootKey(Tpm& tpm) {
  const Ownership ours{std::nullopt, newMarkingPassword()};
  TPM2B_SENSITIVE_CREATE sensitive{};
  sensitive.sensitive.userAuth = ours.password;  // ESYS keeps it for the children's commands
  const TPM2B_PUBLIC inPublic = storageRootKeyTemplate();
  const TPM2B_DATA outsideInfo{};
  const TPML_PCR_SELECTION creationPcr{};
  Object parent;
  const TSS2_RC rc = tpm.callLoading(
      parent,
      [&](ESYS_TR& handle) {
        return Esys_CreatePrimary(tpm.esys(), ESYS_TR_RH_OWNER, ESYS_TR_PASSWORD, ESYS_TR_NONE,
                                  ESYS_TR_NONE, &sensitive, &inPublic, &outsideInfo, &creationPcr,
                                  &handle, nullptr, nullptr, nullptr, nullptr);
      },
      ours);
  if (refusesOurAuthorisation(rc)) throw EnclaveError(std::string(ownerPassword));
  if (rc != TSS2_RC_SUCCESS) throwTpmError("TPM2_CreatePrimary", rc);
  return parent;
}

// The parent for one use: the platform's storage root key when it has one (no key derivation at
// all), else a transient re-creation of the same key that `made` owns until the caller is done.
ESYS_TR parentFor(Tpm& tpm, Object& made, bool platformAllowed) {
  const ESYS_TR platform = platformAllowed ? tpm.platformStorageRootKey() : ESYS_TR_NONE;
  if (platform != ESYS_TR_NONE) return platform;
  made = createStorageRootKey(tpm);
  return made.get();
}

TSS2_RC createUnder(Tpm& tpm, ESYS_TR parent, esys::Owned<TPM2B_PUBLIC>& outPublic,
                    esys::Owned<TPM2B_PRIVATE>& outPrivate) {
  const TPM2B_SENSITIVE_CREATE sensitive{};
  const TPM2B_PUBLIC inPublic = enclaveKeyTemplate();
  const TPM2B_DATA outsideInfo{};
  const TPML_PCR_SELECTION creationPcr{};
  TPM2B_PRIVATE* rawPrivate = nullptr;
  TPM2B_PUBLIC* rawPublic = nullptr;
  const TSS2_RC rc = tpm.call([&] {
    return Esys_Create(tpm.esys(), parent, ESYS_TR_PASSWORD, ESYS_TR_NONE, ESYS_TR_NONE, &sensitive,
                       &inPublic, &outsideInfo, &creationPcr, &rawPrivate, &rawPublic, nullptr,
                       nullptr, nullptr);
  });
  outPrivate.reset(rawPrivate);
  outPublic.reset(rawPublic);
  return rc;
}

TSS2_RC loadUnder(Tpm& tpm, ESYS_TR parent, const KeyFile& keyFile, Object& key) {
  return tpm.callLoading(
      key,
      [&](ESYS_TR& handle) {
        return Esys_Load(tpm.esys(), parent, ESYS_TR_PASSWORD, ESYS_TR_NONE, ESYS_TR_NONE,
                         &keyFile.privateArea, &keyFile.publicArea, &handle);
      },
      Ownership{keyFile.publicArea.publicArea});
}

}  // namespace

bool isAvailable() {
  try {
    return canSeal();
  } catch (const std::exception&) {
    return false;
  }
}

bool canSeal() {
  try {
    return Tpm::system().canSeal();
  } catch (const EnclaveError& error) {
    if (error.what() == noTpmFound) return false;
    throw;
  }
}

namespace P256::KeyAgreement {

PrivateKey::PrivateKey(Tpm& tpm, const KeyFile& keyFile)
    : tpm_(&tpm), keyFile_(keyFile), publicKey_(enclavePublicKey(keyFile.publicArea.publicArea)) {}

PrivateKey PrivateKey::create() {
  Tpm& tpm = Tpm::system();
  Object made;
  ESYS_TR parent = parentFor(tpm, made, true);
  esys::Owned<TPM2B_PUBLIC> ownedPublic;
  esys::Owned<TPM2B_PRIVATE> ownedPrivate;
  TSS2_RC rc = createUnder(tpm, parent, ownedPublic, ownedPrivate);
  // A platform key with a password of its own refuses us; the re-created key serves instead.
  if (!made && refusesOurAuthorisation(rc)) {
    parent = parentFor(tpm, made, false);
    rc = createUnder(tpm, parent, ownedPublic, ownedPrivate);
  }
  if (rc != TSS2_RC_SUCCESS) throwTpmError("TPM2_Create", rc);

  // The record will carry this blob and nothing else of the key: prove that it parses as an
  // enclave key, and that this TPM loads it (the TPM checks the private part's integrity against
  // the public part, and ESYS the loaded key's name against that public part).
  const crypto::Bytes blob = encodeKeyFile(KeyFile{*ownedPublic, *ownedPrivate});
  PrivateKey key(tpm, decodeKeyFile(blob));
  Object loaded;
  const TSS2_RC loadRc = loadUnder(tpm, parent, key.keyFile_, loaded);
  if (loadRc != TSS2_RC_SUCCESS) throwTpmError("TPM2_Load of the new key", loadRc);
  return key;
}

PrivateKey::PrivateKey(crypto::ByteView dataRepresentation)
    : PrivateKey(Tpm::system(), decodeKeyFile(dataRepresentation)) {
  loaded_ = load();
}

crypto::Bytes PrivateKey::dataRepresentation() const { return encodeKeyFile(keyFile_); }

Object PrivateKey::load() {
  // A platform key that matches the template but was made from other unique bytes is another
  // key, and one with a password of its own refuses us: the re-created key may still load.
  TSS2_RC rc = TSS2_RC_SUCCESS;
  for (const bool platformAllowed : {true, false}) {
    Object made;
    ESYS_TR parent = ESYS_TR_NONE;
    try {
      parent = parentFor(*tpm_, made, platformAllowed);
    } catch (const EnclaveError& error) {
      // The platform key's refusal of the blob tells the user more than the owner's password,
      // which only stops the second try.
      if (isFormatOne(rc, TPM2_RC_INTEGRITY) && error.what() == ownerPassword) break;
      throw;
    }
    Object key;
    rc = loadUnder(*tpm_, parent, keyFile_, key);
    if (rc == TSS2_RC_SUCCESS) return key;
    if (made || !(isFormatOne(rc, TPM2_RC_INTEGRITY) || refusesOurAuthorisation(rc))) break;
  }  // the parent goes here: a loaded key holds one of the chip's few object slots, not two
  if (isFormatOne(rc, TPM2_RC_INTEGRITY)) throw EnclaveError(std::string(foreignKey));
  throwTpmError("TPM2_Load", rc);
}

crypto::SharedSecret PrivateKey::sharedSecretFromKeyAgreement(
    const crypto::P256::KeyAgreement::PublicKey& peer) {
  const crypto::Blinding blinding(peer);
  Object key = loaded_ ? std::move(loaded_) : load();
  TPM2B_ECC_POINT inPoint{};
  inPoint.point = fromX963(blinding.blindedPoint().x963Representation());
  TPM2B_ECC_POINT* rawOutPoint = nullptr;
  const TSS2_RC rc = tpm_->call([&] {
    return Esys_ECDH_ZGen(tpm_->esys(), key.get(), ESYS_TR_PASSWORD, ESYS_TR_NONE, ESYS_TR_NONE,
                          &inPoint, &rawOutPoint);
  });
  const esys::Owned<TPM2B_ECC_POINT> outPoint(rawOutPoint);
  key.reset();
  if (rc != TSS2_RC_SUCCESS) throwTpmError("TPM2_ECDH_ZGen", rc);
  std::array<std::uint8_t, crypto::P256::KeyAgreement::PublicKey::x963Size> answer{};
  if (!toX963(outPoint->point, answer)) {
    throw EnclaveError("TPM2_ECDH_ZGen gave a point of the wrong size");
  }
  try {
    return blinding.unblind(answer);
  } catch (const crypto::CryptoError&) {
    throw EnclaveError("TPM2_ECDH_ZGen gave a point that is not on the curve");
  }
}

}  // namespace P256::KeyAgreement
}  // namespace enclave::SecureEnclave
