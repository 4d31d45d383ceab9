#pragma once
// The protection of a secure channel's chunks under a secure policy (OPC UA Part 6, 6.7):
// OpenSecureChannel chunks signed with the sender's private key and encrypted with the
// receiver's public key; every other chunk signed with HMAC-SHA256 and, in mode
// SignAndEncrypt, encrypted with AES-CBC, under keys derived from both nonces by P_SHA256.

#include <array>
#include <functional>
#include <memory>

#include "opctoolbox/ua/channel/ua_channel_security.h"

namespace OpcToolbox::ua {

// The keys one side uses for what it sends (Part 6, 6.7.5).
struct DerivedKeys {
  crypto::SecretBytes signing, encrypting, iv;
};
// secret and seed as Part 6 names them: a client's keys come from the server nonce (secret)
// and the client nonce (seed), a server's from the reverse.
DerivedKeys deriveKeys(const SecurityPolicy& policy, std::span<const std::uint8_t> secret,
                       std::span<const std::uint8_t> seed);

class SecureChannel final : public ChannelSecurity {
 public:
  using RandomSource = std::function<bool(std::span<std::uint8_t>)>;
  // server: this side's own credentials; clientChain: the other side's certificate and its
  // issuers as it sent them (leaf first). A server's channel takes its client's; a client's
  // the server's. random makes this side's nonces (tests give a fixed one for vectors).
  SecureChannel(const SecurityPolicy& policy, std::shared_ptr<const ServerCredentials> server,
                std::vector<crypto::Certificate> clientChain, crypto::Bytes clientChainDer,
                RandomSource random = crypto::randomFill);

  std::string_view policyUri() const override { return policy_.uri; }
  const SecurityPolicy* policy() const override { return &policy_; }
  std::uint32_t securityMode() const override { return mode_; }
  UaString senderCertificate() const override;
  UaString receiverThumbprint() const override;
  const crypto::Certificate* clientCertificate() const override { return &clientChain_.front(); }
  std::size_t maxBodySize(MessageType type, std::size_t headerSize, std::size_t bufferSize) const override;
  StatusCode protect(MessageType type, std::uint32_t tokenId, std::vector<std::uint8_t>& out, std::size_t chunkStart,
                     std::size_t sequenceStart) const override;
  StatusCode unprotect(std::span<std::uint8_t> message, Chunk& chunk) const override;
  StatusCode startToken(std::uint32_t tokenId, std::uint32_t mode, std::span<const std::uint8_t> clientNonce,
                        UaString& serverNonce) override;
  // The client's end: a token from the nonce it sent and the one the server answered with.
  StatusCode adoptToken(std::uint32_t tokenId, std::uint32_t mode, std::span<const std::uint8_t> ownNonce,
                        std::span<const std::uint8_t> peerNonce);
  void retireTokensBefore(std::uint32_t tokenId) override;
  bool sameClient(std::span<const std::uint8_t> senderCertificate) const override;

 private:
  struct Token {
    std::uint32_t id = 0;
    DerivedKeys peer, own;  // the keys of what each side sends
  };
  const Token* token(std::uint32_t id) const;
  StatusCode protectAsymmetric(std::vector<std::uint8_t>& out, std::size_t chunkStart, std::size_t sequenceStart) const;
  StatusCode unprotectAsymmetric(std::span<std::uint8_t> message, Chunk& chunk) const;
  StatusCode protectSymmetric(const Token& t, std::vector<std::uint8_t>& out, std::size_t chunkStart,
                              std::size_t sequenceStart) const;
  StatusCode unprotectSymmetric(std::span<std::uint8_t> message, Chunk& chunk) const;

  const SecurityPolicy& policy_;
  std::shared_ptr<const ServerCredentials> server_;
  std::vector<crypto::Certificate> clientChain_;
  crypto::Bytes clientChainDer_;
  RandomSource random_;
  std::uint32_t mode_ = 0;  // set by the first token
  std::array<Token, 2> tokens_{};  // the newest and the one before it
};

}  // namespace OpcToolbox::ua
