#include "opctoolbox/ua/channel/ua_chunk_writer.h"

#include <algorithm>

namespace OpcToolbox::ua {

StatusCode writeChunks(const ChunkWriter& w, std::span<const std::uint8_t> body, std::vector<std::uint8_t>& out) {
  const ChannelSecurity& policy = w.security != nullptr ? *w.security : plainChannel();
  std::vector<std::uint8_t> security;
  Encoder e(security);
  e.uint32(w.secureChannelId);
  if (w.type == MessageType::Open) {
    e.string(policy.policyUri());
    e.byteString(policy.senderCertificate());
    e.byteString(policy.receiverThumbprint());
  } else {
    e.uint32(w.tokenId);
  }
  const std::size_t headers = kHeaderSize + security.size();
  // What fits a chunk once the policy's signature and padding have their room.
  const std::size_t perChunk = policy.maxBodySize(w.type, headers, w.limits.sendBufferSize);
  if (perChunk == 0) return kBadTcpInternalError;
  const std::size_t chunks = body.empty() ? 1 : (body.size() + perChunk - 1) / perChunk;
  if ((w.limits.maxMessageSize != 0 && body.size() > w.limits.maxMessageSize) ||
      (w.limits.maxChunkCount != 0 && chunks > w.limits.maxChunkCount) ||
      (w.type != MessageType::Message && chunks > 1)) {
    return kBadResponseTooLarge;
  }
  const std::size_t start = out.size();
  const std::uint32_t firstSequence = *w.sequenceNumber;
  for (std::size_t i = 0; i < chunks; ++i) {
    const std::size_t at = out.size();
    out.resize(at + kHeaderSize);
    out.insert(out.end(), security.begin(), security.end());
    const std::size_t sequenceStart = out.size();
    Encoder s(out);
    s.uint32(++*w.sequenceNumber);
    s.uint32(w.requestId);
    const std::size_t from = i * perChunk;
    const std::size_t n = std::min(perChunk, body.size() - from);
    s.raw(body.data() + from, n);
    putMessageHeader(out, w.type, i + 1 == chunks ? 'F' : 'C', at);
    // The policy pads, signs and encrypts the finished chunk (and corrects its size field).
    // A chunk it could not protect is never left to be sent in clear.
    if (const StatusCode rc = policy.protect(w.type, w.tokenId, out, at, sequenceStart); rc != kGood) {
      out.resize(start);
      *w.sequenceNumber = firstSequence;  // nothing of it is sent: no gap in the numbers
      return rc;
    }
  }
  return kGood;
}

}  // namespace OpcToolbox::ua
