// The connection framing over any byte stream, as one connection reads it: headers,
// Hello, chunks and their reassembly under small limits. No crash, no message past the
// limits.
#include <cstdint>
#include <cstdlib>

#include "opctoolbox/ua/channel/ua_transport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace OpcToolbox::ua;
  TransportLimits limits;
  limits.maxMessageSize = 32768;
  limits.maxChunkCount = 8;
  ChunkAssembler assembler(limits);
  std::span<const std::uint8_t> rest(data, size);
  while (rest.size() >= kHeaderSize) {
    MessageHeader h;
    if (parseHeader(rest, 65536, h) != kGood || h.size > rest.size()) return 0;
    const auto message = rest.first(h.size);
    if (h.type == MessageType::Hello) {
      Hello hello;
      TransportLimits agreed;
      if (decodeHello(message.subspan(kHeaderSize), hello) == kGood) (void)negotiate(limits, hello, agreed);
    } else if (h.type == MessageType::Message || h.type == MessageType::Open || h.type == MessageType::Close) {
      Chunk c;
      if (parseChunk(message, h, c) != kGood) return 0;
      ChunkAssembler::Result r;
      if (assembler.add(c, r) != kGood) return 0;
      if (assembler.message().size() > limits.maxMessageSize) std::abort();
    }
    rest = rest.subspan(h.size);
  }
  return 0;
}
