#include "sim/event_publisher.h"

#include <algorithm>
#include <cstring>

#include "hwlib/event_wire.h"
#include "hwlib/wire_codec.h"

namespace vexahv::sim {
namespace {

constexpr std::size_t kRecordsPerDatagram = 8;  // small datagrams survive small receive buffers
constexpr auto kConnectTimeout = std::chrono::milliseconds(1000);
constexpr auto kSendTimeout = std::chrono::milliseconds(1000);

template <std::size_t N>
void copyField(char (&field)[N], std::string_view text) {
  const std::size_t n = text.size() < N ? text.size() : N - 1;
  std::memcpy(field, text.data(), n);
  field[n] = '\0';
}

VEXAHVUdpEventRecord udpRecord(std::uint8_t type, std::string_view id, const WireValue& v) {
  VEXAHVUdpEventRecord r{};
  r.type = type;
  copyField(r.id, id);
  hwlib::storeLe32(r.value, v.raw);
  copyField(r.text, v.text);
  return r;
}

}  // namespace

EventPublisher::EventPublisher(MainframeModel& model, std::uint32_t ownAddress)
    : model_(model), ownAddress_(ownAddress) {}

std::vector<std::uint8_t> EventPublisher::subscribeUdp(const platform::Ipv4Endpoint& subscriber,
                                                       const std::vector<std::string>& ids,
                                                       bool on) {
  std::vector<std::uint8_t> codes;
  std::lock_guard lock(mutex_);
  UdpSubscriber& s = udp_[{subscriber.address, subscriber.port}];
  for (const std::string& id : ids) {
    // The first piece is the subscriber's own name for this mainframe.
    const std::size_t dot = id.find('.');
    const std::string_view path = dot == std::string::npos ? std::string_view{} : std::string_view(id).substr(dot + 1);
    std::uint8_t code = 1;
    if (path == "KeepAlive") {
      s.keepAliveId = on ? id : "";
      code = 0;
    } else if (path == "LiveInsRem") {
      s.liveId = on ? id : "";
      code = 0;
    } else if (!on) {
      code = s.items.erase(id) != 0 ? 0 : 1;
    } else {
      ItemPath item;
      if (model_.resolve(path, item)) {
        s.items[id] = Item{std::move(item), std::nullopt};
        code = 0;
      }
    }
    codes.push_back(code);
  }
  if (s.items.empty() && s.keepAliveId.empty() && s.liveId.empty()) {
    udp_.erase({subscriber.address, subscriber.port});
  }
  return codes;
}

std::vector<std::uint8_t> EventPublisher::subscribeTcp(const platform::Ipv4Endpoint& subscriber,
                                                       int slot, int channel,
                                                       const std::vector<std::string>& names) {
  std::vector<std::uint8_t> codes;
  std::lock_guard lock(mutex_);
  TcpSubscriber& s = tcp_[{subscriber.address, subscriber.port}];
  for (const std::string& name : names) {
    ItemPath item{slot, channel, name};
    WireValue probe;
    const bool fits = name.size() < sizeof(VEXAHVTcpEventRecord::name);
    if (fits && model_.valueOf(item, probe)) {
      s.items.emplace(std::move(item), std::nullopt);
      codes.push_back(0);
    } else {
      codes.push_back(1);
    }
  }
  return codes;
}

void EventPublisher::boardChanged(std::uint16_t slot, bool inserted) {
  std::lock_guard lock(mutex_);
  boardChanges_.emplace_back(slot, inserted);
}

void EventPublisher::publish(bool keepAliveDue, double uptimeSeconds) {
  std::lock_guard lock(mutex_);
  if (!udpSocket_.isOpen() && !udp_.empty()) {
    if (!platform::Socket::open(platform::Socket::Kind::Udp, udpSocket_)) {
      (void)udpSocket_.bind({ownAddress_, 0});
    }
  }
  for (auto& [to, s] : udp_) publishUdp(to, s, keepAliveDue);
  boardChanges_.clear();
  for (auto it = tcp_.begin(); it != tcp_.end();) {
    publishTcp(it->first, it->second, keepAliveDue, uptimeSeconds);
    // A broken event connection forgets its subscriptions: the subscriber subscribes
    // again after it has reconnected, and that opens a new connection.
    it = it->second.failed ? tcp_.erase(it) : std::next(it);
  }
}

void EventPublisher::publishUdp(const Key& to, UdpSubscriber& s, bool keepAliveDue) {
  std::vector<VEXAHVUdpEventRecord> records;
  for (auto& [id, item] : s.items) {
    WireValue v;
    if (!model_.valueOf(item.path, v) || item.last == v) continue;
    item.last = v;
    records.push_back(udpRecord(VEXAHV_EVENT_PARAMETER, id, v));
  }
  recordsSent_.fetch_add(records.size(), std::memory_order_relaxed);
  if (!s.liveId.empty()) {
    for (auto [slot, inserted] : boardChanges_) {
      WireValue v{slot, "Board " + std::to_string(slot) + (inserted ? " inserted" : " removed"), true};
      records.push_back(udpRecord(VEXAHV_EVENT_SIGNAL, s.liveId, v));
    }
  }
  if (keepAliveDue && !s.keepAliveId.empty()) {
    records.push_back(udpRecord(VEXAHV_EVENT_KEEPALIVE, s.keepAliveId, WireValue{}));
  }
  sendDatagram(to, records);
}

void EventPublisher::sendDatagram(const Key& to, std::vector<VEXAHVUdpEventRecord>& records) {
  if (!udpSocket_.isOpen()) return;
  for (std::size_t at = 0; at < records.size(); at += kRecordsPerDatagram) {
    const std::size_t n = std::min(kRecordsPerDatagram, records.size() - at);
    auto datagram = hwlib::encodeUdpDatagram({records.data() + at, n});
    if (damagedUdp_.load() > 0 && damagedUdp_.fetch_sub(1) > 0) {
      datagram[datagram.size() / 2] ^= 0x5A;
    }
    // UDP: a lost datagram is the subscriber's problem, as on a real network.
    (void)udpSocket_.sendTo(datagram.data(), datagram.size(), {to.first, to.second});
  }
}

void EventPublisher::publishTcp(const Key& to, TcpSubscriber& s, bool keepAliveDue,
                                double uptime) {
  if (!s.socket.isOpen()) {
    platform::Socket socket;
    if (platform::Socket::open(platform::Socket::Kind::Tcp, socket) ||
        socket.bind({ownAddress_, 0}) || socket.connect({to.first, to.second}, kConnectTimeout)) {
      s.failed = true;
      return;
    }
    (void)socket.setSendTimeout(kSendTimeout);
    s.socket = std::move(socket);
  }
  std::vector<VEXAHVTcpEventRecord> records;
  auto add = [&](std::int32_t type, const ItemPath& path, const WireValue& v) {
    VEXAHVTcpEventRecord r{};
    r.type = type;
    r.sequence = ++s.sequence;
    r.slot = path.slot;
    r.channel = path.channel;
    copyField(r.name, path.name);
    if (v.isText) {
      copyField(r.data.text, v.text);
    } else {
      hwlib::storeLe32(r.data.value, v.raw);
    }
    records.push_back(r);
  };
  for (auto& [path, last] : s.items) {
    WireValue v;
    if (!model_.valueOf(path, v) || last == v) continue;
    last = v;
    add(VEXAHV_EVENT_PARAMETER, path, v);
  }
  recordsSent_.fetch_add(records.size(), std::memory_order_relaxed);
  if (keepAliveDue) add(VEXAHV_EVENT_KEEPALIVE, ItemPath{-1, -1, "KeepAlive"}, WireValue{});
  const CrateSummary sum = model_.summary();
  for (std::size_t at = 0; at < records.size(); at += hwlib::kMaxTcpRecords) {
    const std::size_t n = std::min(hwlib::kMaxTcpRecords, records.size() - at);
    VEXAHVSystemStatus status{};
    copyField(status.name, model_.spec().name);
    status.uptimeSeconds = static_cast<std::uint32_t>(uptime);
    status.batchNumber = ++s.batches;
    status.subscriptions = static_cast<std::uint32_t>(s.items.size());
    status.channelsOn = sum.channelsOn;
    status.channelsTripped = sum.channelsTripped;
    status.alarm = sum.alarm ? 1 : 0;
    auto batch = hwlib::encodeTcpBatch(status, {records.data() + at, n});
    if (damagedTcp_.load() > 0 && damagedTcp_.fetch_sub(1) > 0) batch[batch.size() - 1] ^= 0x5A;
    if (s.socket.sendAll(batch.data(), batch.size())) {
      s.failed = true;
      return;
    }
  }
}

void EventPublisher::breakTcpConnections() {
  std::lock_guard lock(mutex_);
  tcp_.clear();  // closes every event connection
}

void EventPublisher::clear() {
  std::lock_guard lock(mutex_);
  udp_.clear();
  tcp_.clear();
  boardChanges_.clear();
}

std::size_t EventPublisher::tcpConnectionCount() const {
  std::lock_guard lock(mutex_);
  std::size_t n = 0;
  for (const auto& [key, s] : tcp_) n += s.socket.isOpen() ? 1 : 0;
  return n;
}

}  // namespace vexahv::sim
