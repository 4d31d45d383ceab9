#pragma once
// Event delivery of one simulated mainframe: UDP datagrams to every UDP subscriber and
// one TCP event connection, opened from the mainframe's own address, per TCP subscriber.
// Subscriptions are recorded by request threads; publish() runs on the tick thread and
// is the only place that touches the network, so a subscription never waits on it.

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "hwlib/VEXAHVWrapper.h"
#include "platform/socket.h"
#include "sim/mainframe_model.h"

namespace vexahv::sim {

class EventPublisher {
 public:
  EventPublisher(MainframeModel& model, std::uint32_t ownAddress);

  // One result byte per id: 0 accepted, 1 unknown item.
  std::vector<std::uint8_t> subscribeUdp(const platform::Ipv4Endpoint& subscriber,
                                         const std::vector<std::string>& ids, bool on);
  // slot/channel < 0 for system or board level.
  std::vector<std::uint8_t> subscribeTcp(const platform::Ipv4Endpoint& subscriber, int slot,
                                         int channel, const std::vector<std::string>& names);
  void boardChanged(std::uint16_t slot, bool inserted);

  // Sends what changed since the last call; keep-alive records when keepAliveDue.
  void publish(bool keepAliveDue, double uptimeSeconds);

  void breakTcpConnections();
  void clear();
  void damageUdp(int datagrams) { damagedUdp_ += datagrams; }
  void damageTcp(int batches) { damagedTcp_ += batches; }
  std::size_t tcpConnectionCount() const;
  // Parameter records sent so far, over both channels (benchmarks compare it with what
  // the subscriber applied).
  std::uint64_t recordsSent() const noexcept { return recordsSent_.load(); }

 private:
  std::atomic<std::uint64_t> recordsSent_{0};
  using Key = std::pair<std::uint32_t, std::uint16_t>;
  struct Item {
    ItemPath path;
    std::optional<WireValue> last;
  };
  struct UdpSubscriber {
    std::map<std::string, Item> items;
    std::string keepAliveId;  // empty when not subscribed
    std::string liveId;
  };
  struct TcpSubscriber {
    std::map<ItemPath, std::optional<WireValue>> items;
    platform::Socket socket;
    bool failed = false;
    std::uint32_t batches = 0;
    std::int32_t sequence = 0;
  };

  void publishUdp(const Key& to, UdpSubscriber& s, bool keepAliveDue);
  void publishTcp(const Key& to, TcpSubscriber& s, bool keepAliveDue, double uptime);
  void sendDatagram(const Key& to, std::vector<VEXAHVUdpEventRecord>& records);

  MainframeModel& model_;
  const std::uint32_t ownAddress_;
  mutable std::mutex mutex_;
  std::map<Key, UdpSubscriber> udp_;
  std::map<Key, TcpSubscriber> tcp_;
  std::vector<std::pair<std::uint16_t, bool>> boardChanges_;
  platform::Socket udpSocket_;
  std::atomic<int> damagedUdp_{0};
  std::atomic<int> damagedTcp_{0};
};

}  // namespace vexahv::sim
