// Chunk protection of the secure policies: keys and protected chunks equal the golden
// vectors node-opcua's crypto computed (tests/interop/make_security_vectors.js); a chunk
// the client protects comes back to its body, and any change to it is refused; tokens
// live through a renewal, and what cannot be protected is never sent; chunks fill but
// never pass the negotiated buffer; the OpenSecureChannel padding works for client keys
// over 2048 bits.

#include <gtest/gtest.h>

#include <cstring>

#include "opctoolbox/ua/channel/ua_chunk_writer.h"
#include "opctoolbox/ua/channel/ua_channel_crypto.h"
#include "opctoolbox/ua/encoding/ua_messages.h"
#include "unit/ua/security_fixtures.h"

namespace {

using namespace OpcToolbox::ua;
using securitytest::hex;
using Bytes = std::vector<std::uint8_t>;

const Bytes kClientNonce(32, 0x11), kServerNonce(32, 0x22);
const Bytes kBody = {'h', 'e', 'l', 'l', 'o', ' ', 's', 'e', 'c', 'u', 'r', 'e', ' ', 'w', 'o', 'r', 'l', 'd'};

struct Golden {
  const char* policy;
  const char *signing, *encrypting, *iv, *signedChunk, *encryptedChunk;
};

const Golden kGolden[] = {
    {"Basic256Sha256", "968d3c4f5dcd202f5546ecac42c75ab99075ef4be718e39e81145df0cabacdd5",
     "9fe8bf2999347f572b16d4c507c8544375e06c25068ff17fa69a2fca967c56ac", "3f2521b112c7cbd85265b4452cd6a14e",
     "4d5347464a0000000700000001000000330000000900000068656c6c6f2073656375726520776f726c64125d03ecc7879be730c84d125de9"
     "41055e6afb9ebda6bdfb531351b0ef312e84",
     "4d5347465000000007000000010000006d52189d561a5ea34e3539a8bb405760fdd02505ba218c901de8744807e74c65e6604c0aec186f"
     "888ab4bac69533a64abb063eee9097fa329e03da162d8fab02"},
    {"Aes128_Sha256_RsaOaep", "968d3c4f5dcd202f5546ecac42c75ab99075ef4be718e39e81145df0cabacdd5",
     "9fe8bf2999347f572b16d4c507c85443", "75e06c25068ff17fa69a2fca967c56ac",
     "4d5347464a0000000700000001000000330000000900000068656c6c6f2073656375726520776f726c64125d03ecc7879be730c84d125de9"
     "41055e6afb9ebda6bdfb531351b0ef312e84",
     "4d5347465000000007000000010000004983509226cf6a1665cd1091aea50adaca3fbb2933df945b44cf76469d823773424d27927c19f3"
     "aab01c9a942014bb7b78b4f5cf17237779495f6d32cd2dc6b5"},
};

struct Keys {
  std::shared_ptr<ServerCredentials> server = securitytest::makeCredentials("urn:test:server");
  std::shared_ptr<ServerCredentials> client = securitytest::makeCredentials("urn:test:client");
};
const Keys& keys() {
  static const Keys k;
  return k;
}

std::unique_ptr<SecureChannel> channel(const SecurityPolicy& policy, std::uint32_t mode,
                                       const std::shared_ptr<ServerCredentials>& client = keys().client) {
  auto c = std::make_unique<SecureChannel>(
      policy, keys().server, std::vector<crypto::Certificate>{client->certificate}, client->certificate.der(),
      [](std::span<std::uint8_t> out) {
        std::memset(out.data(), 0x22, out.size());
        return true;
      });
  UaString nonce;
  EXPECT_EQ(c->startToken(1, mode, kClientNonce, nonce), kGood);
  EXPECT_EQ(nonce.value_or(""), std::string(32, '\x22'));
  return c;
}

// The MSG chunk of the vectors up to its body: header, channel 7, token 1, sequence 51, request 9.
Bytes plainChunk() {
  Bytes b = {'M', 'S', 'G', 'F', 0, 0, 0, 0};
  Encoder e(b);
  e.uint32(7);
  e.uint32(1);
  e.uint32(51);
  e.uint32(9);
  e.raw(kBody.data(), kBody.size());
  return b;
}

Chunk parsed(std::span<const std::uint8_t> message) {
  MessageHeader h;
  EXPECT_EQ(parseHeader(message, 1u << 20, h), kGood);
  Chunk c;
  EXPECT_EQ(parseChunk(message, h, c), kGood);
  return c;
}

TEST(ChannelCrypto, KeysAndChunksMatchTheGoldenVectors) {
  for (const Golden& g : kGolden) {
    SCOPED_TRACE(g.policy);
    const SecurityPolicy& policy = *findSecurePolicy(g.policy);
    const DerivedKeys k = deriveKeys(policy, kClientNonce, kServerNonce);  // a server's keys
    EXPECT_EQ(Bytes(k.signing.view().begin(), k.signing.view().end()), hex(g.signing));
    EXPECT_EQ(Bytes(k.encrypting.view().begin(), k.encrypting.view().end()), hex(g.encrypting));
    EXPECT_EQ(Bytes(k.iv.view().begin(), k.iv.view().end()), hex(g.iv));

    Bytes out = plainChunk();
    ASSERT_EQ(channel(policy, kModeSign)->protect(MessageType::Message, 1, out, 0, 16), kGood);
    EXPECT_EQ(out, hex(g.signedChunk));
    out = plainChunk();
    ASSERT_EQ(channel(policy, kModeSignAndEncrypt)->protect(MessageType::Message, 1, out, 0, 16), kGood);
    EXPECT_EQ(out, hex(g.encryptedChunk));
  }
}

// What a client sends: its own keys (the server nonce as secret), signed and maybe encrypted.
Bytes clientChunk(const SecurityPolicy& policy, bool encrypt, std::uint32_t token = 1) {
  const DerivedKeys k = deriveKeys(policy, kServerNonce, kClientNonce);
  Bytes b = plainChunk();
  b[12] = static_cast<std::uint8_t>(token);
  if (encrypt) {
    const std::size_t padding = (16 - (8 + kBody.size() + 1 + 32) % 16) % 16;
    b.insert(b.end(), padding + 1, static_cast<std::uint8_t>(padding));
  }
  const std::uint32_t size = static_cast<std::uint32_t>(b.size() + 32);
  std::memcpy(b.data() + 4, &size, 4);
  std::uint8_t mac[32];
  EXPECT_TRUE(crypto::hmacSha256(k.signing.view(), b, mac));
  b.insert(b.end(), mac, mac + 32);
  if (encrypt) {
    EXPECT_TRUE(crypto::aesCbc(true, k.encrypting.view(), k.iv.view(), std::span(b).subspan(16)));
  }
  return b;
}

TEST(ChannelCrypto, ReceivedChunksAreCheckedAndAnyChangeIsRefused) {
  for (const SecurityPolicy& policy : securePolicies()) {
    for (const bool encrypt : {false, true}) {
      SCOPED_TRACE(std::string(policy.name) + (encrypt ? " SignAndEncrypt" : " Sign"));
      auto c = channel(policy, encrypt ? kModeSignAndEncrypt : kModeSign);
      Bytes good = clientChunk(policy, encrypt);
      Chunk chunk = parsed(good);
      ASSERT_EQ(c->unprotect(good, chunk), kGood);
      EXPECT_EQ(Bytes(chunk.body.begin(), chunk.body.end()), kBody);
      EXPECT_EQ(chunk.sequence.sequenceNumber, 51u);
      EXPECT_EQ(chunk.sequence.requestId, 9u);

      const Bytes original = clientChunk(policy, encrypt);
      for (std::size_t at : {std::size_t{9}, std::size_t{20}, std::size_t{30}, original.size() - 1}) {
        Bytes bad = original;
        bad[at] ^= 0x01;
        Chunk badChunk = parsed(bad);
        EXPECT_NE(c->unprotect(bad, badChunk), kGood) << "byte " << at << " changed";
      }
      Bytes unknown = clientChunk(policy, encrypt, 5);
      Chunk unknownChunk = parsed(unknown);
      EXPECT_EQ(c->unprotect(unknown, unknownChunk), kBadSecureChannelTokenUnknown);
      Bytes truncated(original.begin(), original.begin() + 40);
      truncated[4] = 40;
      Chunk shortChunk = parsed(truncated);
      EXPECT_EQ(c->unprotect(truncated, shortChunk), kBadSecurityChecksFailed);
    }
  }
}

TEST(ChannelCrypto, RenewalKeepsTheOldTokenUntilRetiredAndHoldsTheMode) {
  const SecurityPolicy& policy = *findSecurePolicy("Basic256Sha256");
  auto c = channel(policy, kModeSignAndEncrypt);
  UaString nonce;
  EXPECT_EQ(c->startToken(2, kModeSign, kClientNonce, nonce), kBadSecurityModeRejected) << "the mode never changes";
  EXPECT_EQ(c->startToken(2, kModeSignAndEncrypt, Bytes(16, 1), nonce), kBadNonceInvalid);
  ASSERT_EQ(c->startToken(2, kModeSignAndEncrypt, kClientNonce, nonce), kGood);
  Bytes out = plainChunk();
  EXPECT_EQ(c->protect(MessageType::Message, 1, out, 0, 16), kGood) << "the old token still answers";
  out = plainChunk();
  EXPECT_EQ(c->protect(MessageType::Message, 2, out, 0, 16), kGood);
  c->retireTokensBefore(2);
  out = plainChunk();
  EXPECT_EQ(c->protect(MessageType::Message, 1, out, 0, 16), kBadSecureChannelTokenUnknown);
  Bytes old = clientChunk(policy, true, 1);
  Chunk oldChunk = parsed(old);
  EXPECT_EQ(c->unprotect(old, oldChunk), kBadSecureChannelTokenUnknown);
  // What cannot be protected is not written at all, not even its first chunks in clear.
  std::uint32_t sequence = 40;
  Bytes sent = {1, 2, 3};
  EXPECT_EQ(writeChunks(ChunkWriter{MessageType::Message, 7, 1, &sequence, 3, TransportLimits{}, c.get()}, kBody, sent),
            kBadSecureChannelTokenUnknown);
  EXPECT_EQ(sent, (Bytes{1, 2, 3}));
  EXPECT_EQ(sequence, 40u) << "no gap in the sequence numbers";
}

TEST(ChannelCrypto, ChunksFillButNeverPassTheSendBuffer) {
  for (const std::uint32_t mode : {kModeSign, kModeSignAndEncrypt}) {
    auto c = channel(*findSecurePolicy("Aes256_Sha256_RsaPss"), mode);
    std::uint32_t sequence = 0;
    TransportLimits limits;
    limits.sendBufferSize = 8192;
    const Bytes body(100000, 0x5A);
    Bytes out;
    ASSERT_EQ(writeChunks(ChunkWriter{MessageType::Message, 7, 1, &sequence, 3, limits, c.get()}, body, out), kGood);
    std::size_t at = 0, chunks = 0;
    while (at < out.size()) {
      MessageHeader h;
      ASSERT_EQ(parseHeader(std::span(out).subspan(at), 8192, h), kGood) << "chunk " << chunks;
      if (at + h.size < out.size()) {
        EXPECT_GT(h.size, 8192u - 16 - 32) << "an inner chunk is full";
      }
      at += h.size;
      ++chunks;
    }
    EXPECT_EQ(chunks, sequence);
    EXPECT_GE(chunks, 13u);
  }
}

TEST(ChannelCrypto, OpenSecureChannelChunksWorkWithKeysOver2048Bits) {
  // Over 2048 bits the padding carries an extra size byte (OPC UA Part 6, 6.7.2.4).
  const auto big = securitytest::makeCredentials("urn:test:bigclient", 3072);
  for (const SecurityPolicy& policy : securePolicies()) {
    SCOPED_TRACE(policy.name);
    auto c = channel(policy, kModeSignAndEncrypt, big);
    // The server's OpenSecureChannel response, as the client reads it.
    Bytes out = {'O', 'P', 'N', 'F', 0, 0, 0, 0};
    Encoder e(out);
    e.uint32(7);
    e.string(policy.uri);
    e.byteString(c->senderCertificate());
    e.byteString(c->receiverThumbprint());
    const std::size_t sequenceStart = out.size();
    e.uint32(1);
    e.uint32(4);
    e.raw(kBody.data(), kBody.size());
    ASSERT_EQ(c->protect(MessageType::Open, 1, out, 0, sequenceStart), kGood);
    MessageHeader h;
    ASSERT_EQ(parseHeader(out, 1u << 20, h), kGood);
    EXPECT_EQ(h.size, out.size());
    crypto::SecretBytes plain;
    ASSERT_TRUE(crypto::decrypt(big->privateKey.get(), policy.asymmetricEncryption,
                                std::span(out).subspan(sequenceStart), plain));
    Bytes whole(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(sequenceStart));
    whole.insert(whole.end(), plain.view().begin(), plain.view().end());
    const std::size_t signature = 256;  // the server's 2048-bit key
    EXPECT_TRUE(crypto::verify(keys().server->certificate.publicKey(), policy.asymmetricSignature,
                               std::span(whole).first(whole.size() - signature),
                               std::span(whole).last(signature)));
    const std::size_t padding = whole[whole.size() - signature - 2] | whole[whole.size() - signature - 1] << 8;
    EXPECT_EQ(whole.size() - signature - 2 - padding - sequenceStart - 8, kBody.size() + 0) << "body, padding, extra";
  }
}

}  // namespace

namespace {

// Chunks one side writes, as the other side reads them back.
Bytes across(const SecureChannel& from, const SecureChannel& to, MessageType type, const Bytes& body) {
  std::uint32_t sequence = 0;
  ChunkWriter w{type, 7, 1, &sequence, 3, TransportLimits{}, &from};
  Bytes out;
  EXPECT_EQ(writeChunks(w, body, out), kGood);
  Chunk c = parsed(out);
  EXPECT_EQ(to.unprotect(out, c), kGood);
  return Bytes(c.body.begin(), c.body.end());
}

}  // namespace

TEST(ChannelCrypto, TheClientsEndOfAChannelTalksToTheServersEnd) {
  for (const SecurityPolicy& policy : securePolicies()) {
    for (std::uint32_t mode : {kModeSign, kModeSignAndEncrypt}) {
      SCOPED_TRACE(std::string(policy.name) + " mode " + std::to_string(mode));
      SecureChannel client(policy, keys().client, {keys().server->certificate}, keys().server->certificate.der());
      SecureChannel server(policy, keys().server, {keys().client->certificate}, keys().client->certificate.der());
      EXPECT_EQ(across(client, server, MessageType::Open, kBody), kBody);
      UaString serverNonce;
      ASSERT_EQ(server.startToken(1, mode, kClientNonce, serverNonce), kGood);
      EXPECT_EQ(across(server, client, MessageType::Open, kBody), kBody);
      const std::string& n = *serverNonce;
      ASSERT_EQ(client.adoptToken(1, mode, kClientNonce, Bytes(n.begin(), n.end())), kGood);
      EXPECT_EQ(across(client, server, MessageType::Message, kBody), kBody);
      EXPECT_EQ(across(server, client, MessageType::Message, kBody), kBody);
      // Its own nonce given as the peer's makes keys the server does not have.
      SecureChannel confused(policy, keys().client, {keys().server->certificate}, keys().server->certificate.der());
      ASSERT_EQ(confused.adoptToken(1, mode, Bytes(n.begin(), n.end()), kClientNonce), kGood);
      std::uint32_t sequence = 0;
      ChunkWriter w{MessageType::Message, 7, 1, &sequence, 3, TransportLimits{}, &confused};
      Bytes out;
      ASSERT_EQ(writeChunks(w, kBody, out), kGood);
      Chunk c = parsed(out);
      EXPECT_EQ(server.unprotect(out, c), kBadSecurityChecksFailed);
    }
  }
}
