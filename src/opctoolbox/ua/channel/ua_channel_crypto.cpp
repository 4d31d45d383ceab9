#include "opctoolbox/ua/channel/ua_channel_crypto.h"

#include <algorithm>
#include <cstring>

namespace OpcToolbox::ua {
namespace {

std::uint32_t readUint32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void writeSize(std::vector<std::uint8_t>& out, std::size_t chunkStart, std::size_t size) {
  for (int i = 0; i < 4; ++i) out[chunkStart + 4 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(size >> (8 * i));
}

// Points the chunk at its plaintext sequence header and body.
void locate(std::span<const std::uint8_t> message, std::size_t bodyEnd, Chunk& chunk) {
  const std::uint8_t* seq = message.data() + chunk.sequenceOffset;
  chunk.sequence.sequenceNumber = readUint32(seq);
  chunk.sequence.requestId = readUint32(seq + 4);
  chunk.body = message.subspan(chunk.sequenceOffset + 8, bodyEnd - chunk.sequenceOffset - 8);
}

}  // namespace

DerivedKeys deriveKeys(const SecurityPolicy& policy, std::span<const std::uint8_t> secret,
                       std::span<const std::uint8_t> seed) {
  const std::size_t s = policy.signingKeyLength, e = policy.encryptingKeyLength;
  const crypto::SecretBytes all = crypto::pSha256(secret, seed, s + e + kBlockSize);
  DerivedKeys k;
  if (all.size() != s + e + kBlockSize) return k;
  k.signing = crypto::SecretBytes(all.view().subspan(0, s));
  k.encrypting = crypto::SecretBytes(all.view().subspan(s, e));
  k.iv = crypto::SecretBytes(all.view().subspan(s + e, kBlockSize));
  return k;
}

SecureChannel::SecureChannel(const SecurityPolicy& policy, std::shared_ptr<const ServerCredentials> server,
                             std::vector<crypto::Certificate> clientChain, crypto::Bytes clientChainDer,
                             RandomSource random)
    : policy_(policy), server_(std::move(server)), clientChain_(std::move(clientChain)),
      clientChainDer_(std::move(clientChainDer)), random_(std::move(random)) {}

UaString SecureChannel::senderCertificate() const {
  const crypto::Bytes& der = server_->certificate.der();
  return UaString{std::string(der.begin(), der.end())};
}

UaString SecureChannel::receiverThumbprint() const {
  const crypto::Bytes t = clientChain_.front().thumbprint();
  return UaString{std::string(t.begin(), t.end())};
}

bool SecureChannel::sameClient(std::span<const std::uint8_t> senderCertificate) const {
  return std::equal(senderCertificate.begin(), senderCertificate.end(), clientChainDer_.begin(), clientChainDer_.end());
}

std::size_t SecureChannel::maxBodySize(MessageType type, std::size_t headerSize, std::size_t bufferSize) const {
  if (bufferSize <= headerSize) return 0;
  const std::size_t room = bufferSize - headerSize;
  std::size_t fixed = 0, usable = 0;
  if (type == MessageType::Open) {
    EVP_PKEY* client = clientChain_.front().publicKey();
    const std::size_t cipher = crypto::keySize(client), plain = crypto::plainBlockSize(client, policy_.asymmetricEncryption);
    if (cipher == 0 || plain == 0) return 0;
    usable = room / cipher * plain;
    fixed = 8 + crypto::keySize(server_->privateKey.get()) + 1 + (cipher > 256 ? 1 : 0);
  } else if (mode_ == kModeSignAndEncrypt) {
    usable = room / kBlockSize * kBlockSize;
    fixed = 8 + kSymmetricSignature + 1;
  } else {
    usable = room;
    fixed = 8 + kSymmetricSignature;
  }
  return usable > fixed ? usable - fixed : 0;
}

StatusCode SecureChannel::protect(MessageType type, std::uint32_t tokenId, std::vector<std::uint8_t>& out,
                                  std::size_t chunkStart, std::size_t sequenceStart) const {
  if (type == MessageType::Open) return protectAsymmetric(out, chunkStart, sequenceStart);
  const Token* t = token(tokenId);
  if (t == nullptr) return kBadSecureChannelTokenUnknown;
  return protectSymmetric(*t, out, chunkStart, sequenceStart);
}

StatusCode SecureChannel::unprotect(std::span<std::uint8_t> message, Chunk& chunk) const {
  if (chunk.header.type == MessageType::Open) return unprotectAsymmetric(message, chunk);
  return unprotectSymmetric(message, chunk);
}

StatusCode SecureChannel::protectAsymmetric(std::vector<std::uint8_t>& out, std::size_t chunkStart,
                                            std::size_t sequenceStart) const {
  EVP_PKEY* client = clientChain_.front().publicKey();
  EVP_PKEY* own = server_->privateKey.get();
  const std::size_t cipher = crypto::keySize(client), plain = crypto::plainBlockSize(client, policy_.asymmetricEncryption);
  const std::size_t signature = crypto::keySize(own);
  if (cipher == 0 || plain == 0 || signature == 0) return kBadSecurityChecksFailed;
  const bool extra = cipher > 256;  // ExtraPaddingSize follows the padding for keys over 2048 bits
  const std::size_t used = out.size() - sequenceStart + 1 + (extra ? 1 : 0) + signature;
  const std::size_t padding = (plain - used % plain) % plain;
  out.push_back(static_cast<std::uint8_t>(padding));
  out.insert(out.end(), padding, static_cast<std::uint8_t>(padding));
  if (extra) out.push_back(static_cast<std::uint8_t>(padding >> 8));
  const std::size_t plainLength = out.size() - sequenceStart + signature;
  writeSize(out, chunkStart, sequenceStart - chunkStart + plainLength / plain * cipher);
  crypto::Bytes sig;
  if (!crypto::sign(own, policy_.asymmetricSignature, std::span(out).subspan(chunkStart), sig) ||
      sig.size() != signature) {
    return kBadSecurityChecksFailed;
  }
  out.insert(out.end(), sig.begin(), sig.end());
  crypto::Bytes encrypted;
  if (!crypto::encrypt(client, policy_.asymmetricEncryption, std::span(out).subspan(sequenceStart), encrypted)) {
    return kBadSecurityChecksFailed;
  }
  out.resize(sequenceStart);
  out.insert(out.end(), encrypted.begin(), encrypted.end());
  return kGood;
}

StatusCode SecureChannel::unprotectAsymmetric(std::span<std::uint8_t> message, Chunk& chunk) const {
  EVP_PKEY* client = clientChain_.front().publicKey();
  EVP_PKEY* own = server_->privateKey.get();
  const std::size_t signature = crypto::keySize(client);
  const bool extra = crypto::keySize(own) > 256;
  crypto::SecretBytes plain;
  if (!crypto::decrypt(own, policy_.asymmetricEncryption, message.subspan(chunk.sequenceOffset), plain)) {
    return kBadSecurityChecksFailed;
  }
  // The plaintext replaces the ciphertext; the header keeps the size it was sent with,
  // which the signature covers.
  std::memcpy(message.data() + chunk.sequenceOffset, plain.data(), plain.size());
  const std::size_t end = chunk.sequenceOffset + plain.size();
  const std::size_t trailer = signature + 1 + (extra ? 1 : 0);
  if (plain.size() < 8 + trailer) return kBadSecurityChecksFailed;
  const std::size_t signedEnd = end - signature;
  if (!crypto::verify(client, policy_.asymmetricSignature, message.first(signedEnd),
                      message.subspan(signedEnd, signature))) {
    return kBadSecurityChecksFailed;
  }
  std::size_t padding = message[signedEnd - 1];
  std::size_t paddingEnd = signedEnd;
  if (extra) {
    paddingEnd = signedEnd - 1;
    padding = static_cast<std::size_t>(message[signedEnd - 1]) << 8 | message[signedEnd - 2];
  }
  if (paddingEnd < chunk.sequenceOffset + 8 + padding + 1) return kBadSecurityChecksFailed;
  const std::size_t bodyEnd = paddingEnd - padding - 1;
  for (std::size_t i = bodyEnd; i < paddingEnd; ++i) {
    if (message[i] != static_cast<std::uint8_t>(padding)) return kBadSecurityChecksFailed;
  }
  locate(message, bodyEnd, chunk);
  return kGood;
}

StatusCode SecureChannel::protectSymmetric(const Token& t, std::vector<std::uint8_t>& out, std::size_t chunkStart,
                                           std::size_t sequenceStart) const {
  const bool encrypt = mode_ == kModeSignAndEncrypt;
  if (encrypt) {
    const std::size_t used = out.size() - sequenceStart + 1 + kSymmetricSignature;
    const std::size_t padding = (kBlockSize - used % kBlockSize) % kBlockSize;
    out.insert(out.end(), padding + 1, static_cast<std::uint8_t>(padding));
  }
  writeSize(out, chunkStart, out.size() - chunkStart + kSymmetricSignature);
  std::uint8_t mac[kSymmetricSignature];
  if (!crypto::hmacSha256(t.own.signing.view(), std::span(out).subspan(chunkStart), mac)) {
    return kBadSecurityChecksFailed;
  }
  out.insert(out.end(), mac, mac + kSymmetricSignature);
  if (encrypt && !crypto::aesCbc(true, t.own.encrypting.view(), t.own.iv.view(),
                                 std::span(out).subspan(sequenceStart))) {
    return kBadSecurityChecksFailed;
  }
  return kGood;
}

StatusCode SecureChannel::unprotectSymmetric(std::span<std::uint8_t> message, Chunk& chunk) const {
  const Token* t = token(chunk.tokenId);
  if (t == nullptr) return kBadSecureChannelTokenUnknown;
  const std::size_t size = message.size(), from = chunk.sequenceOffset;
  const bool encrypted = mode_ == kModeSignAndEncrypt;
  if (size < from + 8 + kSymmetricSignature + (encrypted ? 1 : 0)) return kBadSecurityChecksFailed;
  if (encrypted) {
    if ((size - from) % kBlockSize != 0 ||
        !crypto::aesCbc(false, t->peer.encrypting.view(), t->peer.iv.view(), message.subspan(from))) {
      return kBadSecurityChecksFailed;
    }
  }
  const std::size_t signedEnd = size - kSymmetricSignature;
  std::uint8_t mac[kSymmetricSignature];
  if (!crypto::hmacSha256(t->peer.signing.view(), message.first(signedEnd), mac) ||
      !crypto::equalConstantTime(std::span<const std::uint8_t>(mac, kSymmetricSignature),
                                 message.subspan(signedEnd, kSymmetricSignature))) {
    return kBadSecurityChecksFailed;
  }
  std::size_t bodyEnd = signedEnd;
  if (encrypted) {
    const std::size_t padding = message[signedEnd - 1];
    if (signedEnd < from + 8 + padding + 1) return kBadSecurityChecksFailed;
    bodyEnd = signedEnd - padding - 1;
    for (std::size_t i = bodyEnd; i < signedEnd; ++i) {
      if (message[i] != padding) return kBadSecurityChecksFailed;
    }
  }
  locate(message, bodyEnd, chunk);
  return kGood;
}

StatusCode SecureChannel::startToken(std::uint32_t tokenId, std::uint32_t mode,
                                     std::span<const std::uint8_t> clientNonce, UaString& serverNonce) {
  if (clientNonce.size() != kNonceLength) return kBadNonceInvalid;
  crypto::Bytes nonce(kNonceLength);
  if (!random_(nonce)) return kBadSecurityChecksFailed;
  if (const StatusCode rc = adoptToken(tokenId, mode, nonce, clientNonce); rc != kGood) return rc;
  serverNonce = UaString{std::string(nonce.begin(), nonce.end())};
  return kGood;
}

StatusCode SecureChannel::adoptToken(std::uint32_t tokenId, std::uint32_t mode, std::span<const std::uint8_t> ownNonce,
                                     std::span<const std::uint8_t> peerNonce) {
  if (mode_ == 0 && mode != kModeSign && mode != kModeSignAndEncrypt) return kBadSecurityModeRejected;
  if (mode_ != 0 && mode != mode_) return kBadSecurityModeRejected;
  if (ownNonce.size() != kNonceLength || peerNonce.size() != kNonceLength) return kBadNonceInvalid;
  // Each side's keys have the other's nonce as secret and its own as seed (Part 6, 6.7.5),
  // so one rule serves either end of the channel.
  Token t;
  t.id = tokenId;
  t.peer = deriveKeys(policy_, ownNonce, peerNonce);
  t.own = deriveKeys(policy_, peerNonce, ownNonce);
  if (t.peer.signing.empty() || t.own.signing.empty()) return kBadSecurityChecksFailed;
  mode_ = mode;
  tokens_[1] = std::move(tokens_[0]);
  tokens_[0] = std::move(t);
  return kGood;
}

void SecureChannel::retireTokensBefore(std::uint32_t tokenId) {
  if (tokens_[0].id == tokenId && tokens_[1].id != 0) tokens_[1] = Token{};
}

const SecureChannel::Token* SecureChannel::token(std::uint32_t id) const {
  for (const Token& t : tokens_) {
    if (t.id != 0 && t.id == id) return &t;
  }
  return nullptr;
}

}  // namespace OpcToolbox::ua
