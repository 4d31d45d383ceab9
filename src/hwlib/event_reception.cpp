#include "hwlib/event_reception.h"

#include <cstdint>
#include <cstdlib>

#include "hwlib/event_wire.h"
#include "platform/socket_io.h"

namespace vexahv::hwlib {
namespace {

// Blocks until size bytes arrived; end of stream, shutdown or an error give non-zero.
int receiveAll(int socket, std::uint8_t* data, std::size_t size) {
  return vexahv::platform::receiveExactly(socket, data, size) ? VEXAHV_ERR_SOCKET : VEXAHV_OK;
}

}  // namespace

int receiveUdpEvents(int socket, std::vector<VEXAHVUdpEventRecord>& records) {
  records.clear();
  if (socket < 0) return VEXAHV_ERR_SOCKET;
  std::vector<std::uint8_t> datagram(65536);
  std::size_t n = 0;
  // 0 bytes: the socket was shut down (a UDP datagram is never empty on our wire).
  if (vexahv::platform::receiveDatagram(socket, datagram.data(), datagram.size(), n) || n == 0) return VEXAHV_ERR_SOCKET;
  datagram.resize(n);
  return decodeUdpDatagram(datagram, records);
}

int receiveTcpBatchList(int socket, VEXAHVSystemStatus& status, VEXAHVTcpEventRecord*& list, unsigned& count) {
  list = nullptr;
  count = 0;
  if (socket < 0) return VEXAHV_ERR_SOCKET;
  std::uint8_t header[kTcpHeaderSize];
  if (int rc = receiveAll(socket, header, sizeof header); rc != VEXAHV_OK) return rc;
  std::size_t restSize = 0;
  if (int rc = decodeTcpBatchHeader(header, restSize); rc != VEXAHV_OK) return rc;
  // Kept by the thread: a batch of megabytes every tick would otherwise be mapped, faulted
  // in and unmapped each time. Its size is bounded by the largest batch the header allows.
  thread_local std::vector<std::uint8_t> rest;
  rest.resize(restSize);
  if (int rc = receiveAll(socket, rest.data(), rest.size()); rc != VEXAHV_OK) return rc;
  const std::size_t n = tcpRecordCount(rest);
  auto* records = static_cast<VEXAHVTcpEventRecord*>(std::malloc(n == 0 ? 1 : n * sizeof(VEXAHVTcpEventRecord)));
  if (records == nullptr) return VEXAHV_ERR_NO_MEMORY;
  if (int rc = decodeTcpBatchInto(header, rest, status, records); rc != VEXAHV_OK) {
    std::free(records);
    return rc;
  }
  list = records;
  count = static_cast<unsigned>(n);
  return VEXAHV_OK;
}

}  // namespace vexahv::hwlib
