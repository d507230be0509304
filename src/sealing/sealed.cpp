#include "sealing/sealed.h"

#include <nlohmann/json.hpp>

#include "sealing/base64.h"

namespace sealing {
namespace {

// Ordered, so the writer keeps the record's member order. Of two members with the same name,
// the reader keeps the last.
using Json = nlohmann::ordered_json;

std::string* stringMember(Json& object, const char* name) {
  const auto it = object.find(name);
  return it == object.end() ? nullptr : it->get_ptr<std::string*>();
}

}  // namespace

std::string toJson(Sealed sealed) {
  // Moved, not copied: for a large key the box text is most of the record.
  Json object = Json::object();
  object["enclave"] = std::move(sealed.enclave);
  object["ephemeral"] = std::move(sealed.ephemeral);
  object["box"] = std::move(sealed.box);
  return object.dump();
}

std::optional<Sealed> fromJson(crypto::ByteView json) {
  Json value = Json::parse(json.data(), json.data() + json.size(), nullptr,
                           /*allow_exceptions=*/false, /*ignore_comments=*/false);
  if (value.is_discarded() || !value.is_object()) return std::nullopt;
  std::string* enclave = stringMember(value, "enclave");
  std::string* ephemeral = stringMember(value, "ephemeral");
  std::string* box = stringMember(value, "box");
  if (enclave == nullptr || ephemeral == nullptr || box == nullptr) return std::nullopt;
  return Sealed{std::move(*enclave), std::move(*ephemeral), std::move(*box)};
}

std::string writeSealedKeyText(Sealed sealed) {
  return base64Encode(crypto::bytesOf(toJson(std::move(sealed))));
}

std::optional<Sealed> readSealedKeyText(std::string_view text) {
  const std::optional<crypto::SecretBytes> json = base64Decode(text);
  if (!json) return std::nullopt;
  return fromJson(*json);
}

}  // namespace sealing
