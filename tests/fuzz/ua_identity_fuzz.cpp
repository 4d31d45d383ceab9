// The decoders of who a user is, over any bytes: the identity token bodies of
// ActivateSession (anonymous, user name, X.509, and types not taken), and the users file.
// No crash; a refused input leaves the accounts as they were.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "opctoolbox/ua/security/ua_identity_tokens.h"
#include "opctoolbox/ua/encoding/ua_messages.h"
#include "opctoolbox/ua/security/ua_user_accounts.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace OpcToolbox::ua;
  if (size < 1) return 0;
  const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  static const std::uint32_t types[] = {kAnonymousIdentityTokenBinary, kUserNameIdentityTokenBinary,
                                        kX509IdentityTokenBinary, 940};
  if (data[0] < 0x80) {
    const ExtensionObject token{NodeId::numericId(0, types[data[0] % 4]), static_cast<std::uint8_t>(data[0] & 0x40 ? 2 : 1), rest};
    IdentityToken out;
    const StatusCode rc = decodeIdentityToken(token, out);
    if (rc != kGood && rc != kBadIdentityTokenInvalid) std::abort();
    if (rc == kGood && out.secret.size() > rest.size()) std::abort();
    return 0;
  }
  std::vector<UserAccount> accounts{{"kept", OpcToolbox::Role::Reader, UserAccount::Kind::Certificate, std::string(40, 'a')}};
  if (!parseUserAccounts(rest, accounts).empty()) {
    if (accounts.size() != 1 || accounts[0].name != "kept") std::abort();
    return 0;
  }
  for (const UserAccount& a : accounts) {
    if (!validUserName(a.name)) std::abort();
  }
  // What was read writes back to the same accounts.
  std::vector<UserAccount> again;
  if (!parseUserAccounts(formatUserAccounts(accounts), again).empty() || again.size() != accounts.size()) std::abort();
  return 0;
}
