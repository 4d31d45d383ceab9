#include "hwlib/event_reception.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstdint>

#include "hwlib/event_wire.h"

namespace vexahv::hwlib {
namespace {

// Blocks until size bytes arrived; end of stream, shutdown or an error give non-zero.
int receiveAll(int socket, std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::recv(socket, data, size, 0);
    if (n == 0) return VEXAHV_ERR_SOCKET;
    if (n < 0) {
      if (errno == EINTR) continue;
      return VEXAHV_ERR_SOCKET;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return VEXAHV_OK;
}

}  // namespace

int receiveUdpEvents(int socket, std::vector<VEXAHVUdpEventRecord>& records) {
  records.clear();
  if (socket < 0) return VEXAHV_ERR_SOCKET;
  std::vector<std::uint8_t> datagram(65536);
  ssize_t n = 0;
  do {
    n = ::recv(socket, datagram.data(), datagram.size(), 0);
  } while (n < 0 && errno == EINTR);
  // 0 bytes: the socket was shut down (a UDP datagram is never empty on our wire).
  if (n <= 0) return VEXAHV_ERR_SOCKET;
  datagram.resize(static_cast<std::size_t>(n));
  return decodeUdpDatagram(datagram, records);
}

int receiveTcpBatch(int socket, VEXAHVSystemStatus& status,
                    std::vector<VEXAHVTcpEventRecord>& records) {
  records.clear();
  if (socket < 0) return VEXAHV_ERR_SOCKET;
  std::uint8_t header[kTcpHeaderSize];
  if (int rc = receiveAll(socket, header, sizeof header); rc != VEXAHV_OK) return rc;
  std::size_t restSize = 0;
  if (int rc = decodeTcpBatchHeader(header, restSize); rc != VEXAHV_OK) return rc;
  std::vector<std::uint8_t> rest(restSize);
  if (int rc = receiveAll(socket, rest.data(), rest.size()); rc != VEXAHV_OK) return rc;
  return decodeTcpBatchRest(header, rest, status, records);
}

}  // namespace vexahv::hwlib
