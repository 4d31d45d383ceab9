#pragma once
// The sending side of the Secure Conversation (OPC UA Part 6, 6.7.2): a response body cut
// into chunks, each with its headers and sequence number and protected by the channel.

#include <cstdint>
#include <span>
#include <vector>

#include "opctoolbox/ua/channel/ua_channel_security.h"
#include "opctoolbox/ua/channel/ua_transport.h"

namespace OpcToolbox::ua {

// Splits a response body into MSG/OPN/CLO chunks no larger than the send buffer, each with
// its headers and the next sequence number. Fails with BadResponseTooLarge past the limits;
// on any failure out is as it was.
struct ChunkWriter {
  MessageType type = MessageType::Message;
  std::uint32_t secureChannelId = 0;
  std::uint32_t tokenId = 0;
  std::uint32_t* sequenceNumber = nullptr;  // the channel's counter, advanced per chunk
  std::uint32_t requestId = 0;
  TransportLimits limits;
  const ChannelSecurity* security = nullptr;  // null: SecurityPolicy None
};
StatusCode writeChunks(const ChunkWriter& w, std::span<const std::uint8_t> body,
                       std::vector<std::uint8_t>& out);

}  // namespace OpcToolbox::ua
