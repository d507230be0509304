#include "sealing/sealed.h"

#include <nlohmann/json.hpp>

#include "sealing/base64.h"

namespace sealing {
namespace {

// Ordered, so the writer keeps the record's member order. Of two members with the same name,
// the reader keeps the last.
using Json = nlohmann::ordered_json;

const std::string* stringMember(const Json& object, const char* name) {
  const auto it = object.find(name);
  return it == object.end() ? nullptr : it->get_ptr<const std::string*>();
}

}  // namespace

std::string toJson(const Sealed& sealed) {
  Json object = Json::object();
  object["enclave"] = sealed.enclave;
  object["ephemeral"] = sealed.ephemeral;
  object["box"] = sealed.box;
  return object.dump();
}

std::optional<Sealed> fromJson(crypto::ByteView json) {
  const Json value = Json::parse(json.data(), json.data() + json.size(), nullptr,
                                 /*allow_exceptions=*/false, /*ignore_comments=*/false);
  if (value.is_discarded() || !value.is_object()) return std::nullopt;
  const std::string* enclave = stringMember(value, "enclave");
  const std::string* ephemeral = stringMember(value, "ephemeral");
  const std::string* box = stringMember(value, "box");
  if (enclave == nullptr || ephemeral == nullptr || box == nullptr) return std::nullopt;
  return Sealed{*enclave, *ephemeral, *box};
}

std::string writeSealedKeyText(const Sealed& sealed) {
  return base64Encode(crypto::bytesOf(toJson(sealed)));
}

std::optional<Sealed> readSealedKeyText(std::string_view text) {
  const std::optional<crypto::SecretBytes> json = base64Decode(text);
  if (!json) return std::nullopt;
  return fromJson(*json);
}

}  // namespace sealing
