// The secure channel's receiving side fed from bytes: the first byte picks the policy, the
// mode, OpenSecureChannel (asymmetric) or MSG (symmetric) chunk, and whether the bytes are
// taken as a whole chunk or first signed and encrypted as a client would, so that the
// padding and length checks behind the signature see arbitrary plaintext too. Damage is
// refused with a status; a chunk that passes points its body inside itself.
#include <openssl/x509.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "opctoolbox/ua/channel/ua_channel_crypto.h"
#include "opctoolbox/ua/encoding/ua_binary.h"

namespace {

using namespace OpcToolbox::ua;

struct Parties {
  std::shared_ptr<ServerCredentials> server = make("urn:fuzz:server");
  std::shared_ptr<ServerCredentials> client = make("urn:fuzz:client");
  static std::shared_ptr<ServerCredentials> make(const std::string& uri) {
    auto c = std::make_shared<ServerCredentials>();
    c->privateKey = crypto::generateRsaKey(2048);
    c->certificate = crypto::makeSelfSignedCertificate(c->privateKey.get(), crypto::CertificateRequest{uri, uri, {}, 30});
    return c;
  }
};

const Parties& parties() {
  static const Parties p;
  return p;
}

const std::vector<std::uint8_t> kClientNonce(32, 0x11), kServerNonce(32, 0x22);

// Signs (and encrypts) payload as the client would, behind the headers of a chunk.
std::vector<std::uint8_t> wrap(const SecurityPolicy& policy, bool encrypt, bool open, std::span<const std::uint8_t> payload) {
  std::vector<std::uint8_t> m = {open ? std::uint8_t('O') : std::uint8_t('M'), open ? std::uint8_t('P') : std::uint8_t('S'),
                                 open ? std::uint8_t('N') : std::uint8_t('G'), 'F', 0, 0, 0, 0};
  Encoder e(m);
  e.uint32(1);
  if (open) {
    e.string(policy.uri);
    const crypto::Bytes& der = parties().client->certificate.der();
    e.byteString(UaString{std::string(der.begin(), der.end())});
    const crypto::Bytes thumb = parties().server->certificate.thumbprint();
    e.byteString(UaString{std::string(thumb.begin(), thumb.end())});
  } else {
    e.uint32(1);
  }
  const std::size_t from = m.size();
  m.insert(m.end(), payload.begin(), payload.end());
  if (open) {
    // Whole RSA blocks of plaintext after the signature.
    const std::size_t plain = crypto::plainBlockSize(parties().server->certificate.publicKey(), policy.asymmetricEncryption);
    while ((m.size() - from + 256) % plain != 0) m.push_back(0);
    const std::uint32_t size = static_cast<std::uint32_t>(from + (m.size() - from + 256) / plain * 256);
    std::memcpy(m.data() + 4, &size, 4);
    crypto::Bytes sig;
    if (!crypto::sign(parties().client->privateKey.get(), policy.asymmetricSignature, m, sig)) return {};
    m.insert(m.end(), sig.begin(), sig.end());
    crypto::Bytes cipher;
    if (!crypto::encrypt(parties().server->certificate.publicKey(), policy.asymmetricEncryption,
                         std::span(m).subspan(from), cipher)) {
      return {};
    }
    m.resize(from);
    m.insert(m.end(), cipher.begin(), cipher.end());
    return m;
  }
  const DerivedKeys k = deriveKeys(policy, kServerNonce, kClientNonce);
  while (encrypt && (m.size() - from + 32) % 16 != 0) m.push_back(0);
  const std::uint32_t size = static_cast<std::uint32_t>(m.size() + 32);
  std::memcpy(m.data() + 4, &size, 4);
  std::uint8_t mac[32];
  crypto::hmacSha256(k.signing.view(), m, mac);
  m.insert(m.end(), mac, mac + 32);
  if (encrypt) crypto::aesCbc(true, k.encrypting.view(), k.iv.view(), std::span(m).subspan(from));
  return m;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1 || size > 4096) return 0;
  const std::uint8_t pick = data[0];
  const SecurityPolicy& policy = securePolicies()[pick % 3];
  const bool encrypt = (pick & 0x04) != 0, open = (pick & 0x08) != 0, signFirst = (pick & 0x10) != 0;
  SecureChannel channel(policy, parties().server, {parties().client->certificate}, parties().client->certificate.der(),
                        [](std::span<std::uint8_t> out) {
                          std::memset(out.data(), 0x22, out.size());
                          return true;
                        });
  UaString nonce;
  if (channel.startToken(1, encrypt ? kModeSignAndEncrypt : kModeSign, kClientNonce, nonce) != kGood) std::abort();
  const std::span<const std::uint8_t> rest(data + 1, size - 1);
  std::vector<std::uint8_t> message =
      signFirst ? wrap(policy, encrypt, open, rest) : std::vector<std::uint8_t>(rest.begin(), rest.end());
  MessageHeader header;
  if (parseHeader(message, 1u << 16, header) != kGood || header.size != message.size()) return 0;
  if (open != (header.type == MessageType::Open)) return 0;
  Chunk chunk;
  if (parseChunk(message, header, chunk) != kGood) return 0;
  if (channel.unprotect(message, chunk) == kGood) {
    const auto* begin = message.data();
    const auto* end = begin + message.size();
    if (chunk.body.data() < begin + chunk.sequenceOffset + 8 || chunk.body.data() + chunk.body.size() > end) std::abort();
  }
  return 0;
}
