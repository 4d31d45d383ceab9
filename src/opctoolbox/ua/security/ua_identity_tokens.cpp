#include "opctoolbox/ua/security/ua_identity_tokens.h"

#include "opctoolbox/ua/encoding/ua_messages.h"

namespace OpcToolbox::ua {

StatusCode decodeIdentityToken(const ExtensionObject& token, IdentityToken& out) {
  out = IdentityToken{};
  // An absent token is an anonymous user (OPC UA Part 4, 5.6.3).
  if (token.typeId.isNull()) return kGood;
  if (token.typeId.ns != 0 || token.typeId.kind != NodeId::Kind::Numeric || token.encoding != 1) {
    return kBadIdentityTokenInvalid;
  }
  const std::span<const std::uint8_t> body(reinterpret_cast<const std::uint8_t*>(token.body.data()), token.body.size());
  Decoder d(body, DecodeLimits{1024, 1u << 16, 0});
  switch (token.typeId.numeric) {
    case kAnonymousIdentityTokenBinary:
      out.kind = IdentityToken::Kind::Anonymous;
      out.policyId = d.string().value_or("");
      break;
    case kUserNameIdentityTokenBinary:
      out.kind = IdentityToken::Kind::UserName;
      out.policyId = d.string().value_or("");
      out.userName = d.string().value_or("");
      out.secret = d.byteString().value_or("");
      out.encryptionAlgorithm = d.string().value_or("");
      break;
    case kX509IdentityTokenBinary:
      out.kind = IdentityToken::Kind::Certificate;
      out.policyId = d.string().value_or("");
      out.secret = d.byteString().value_or("");
      break;
    default:
      return kBadIdentityTokenInvalid;
  }
  return d.ok() ? kGood : kBadIdentityTokenInvalid;
}

}  // namespace OpcToolbox::ua
