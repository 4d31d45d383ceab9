// The whole message path of one OPC UA connection fed from bytes, no socket: framing,
// secure channel, sessions and the services over a small address space. Damage ends that
// connection with an Error message; nothing crashes, nothing grows past the limits. The
// read gate closes and opens as a throttled connection's does, and the deadline only ever
// moves forward while the connection is open.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "opctoolbox/application.h"
#include "opctoolbox/ua/endpoint/ua_connection.h"
#include "opctoolbox/ua/services/ua_server.h"

namespace {

OpcToolbox::Application& app() {
  static OpcToolbox::Application* a = [] {
    using namespace OpcToolbox;
    Application* p = getApp();
    p->setProgIdDa("Fuzz.Server.1");
    p->initialize(std::make_unique<Creator>());
    p->start();
    auto folder = std::make_shared<DaAddressSpaceElement>("", "Demo", kReadable, kIoNone, VT_EMPTY);
    folder->setHasChildren(true);
    p->getDaAddressSpaceRoot()->addChild(folder);
    for (const char* name : {"Float", "Int32"}) {
      auto e = std::make_shared<DaAddressSpaceElement>("", name, kReadWriteable, kIoReport,
                                                       name[0] == 'F' ? VT_R4 : VT_I4);
      folder->addChild(e);
    }
    p->ready();
    return p;
  }();
  return *a;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace OpcToolbox::ua;
  ServerLimits limits;
  limits.maxSessions = 4;
  UaServer server(app(), "opc.tcp://127.0.0.1:4840", limits);
  TransportLimits transport;
  transport.maxMessageSize = 1u << 16;
  transport.maxChunkCount = 8;
  std::size_t sent = 0;
  {
    UaConnection connection(server, transport, 1, [&](std::vector<std::uint8_t> bytes) { sent += bytes.size(); });
    // The first byte decides when the gate is shut: answers "pile up" past that many bytes.
    const std::size_t bound = size > 0 ? std::size_t{data[0]} * 64 : 0;
    bool gated = true;
    connection.setReadGate([&] { return !gated || sent < bound; });
    // In two pieces, as a stream may arrive; then the gate opens and the rest is processed.
    const std::size_t half = size / 2;
    const auto before = connection.deadline();
    bool open = connection.receive({data, half}) && connection.receive({data + half, size - half});
    if (open) {
      gated = false;
      open = connection.receive({});
    }
    if (open && connection.deadline() < before) std::abort();
  }
  if (server.sessionCount() > limits.maxSessions) std::abort();
  return 0;
}
