#pragma once
// A value with its OPC quality and timestamp.

#include <cstdint>

#include "opctoolbox/date_time.h"
#include "opctoolbox/variant.h"

namespace OpcToolbox {

// OPC DA qualities the server uses.
inline constexpr std::uint16_t kQualityGood = 0xC0;
inline constexpr std::uint16_t kQualityBad = 0x00;
inline constexpr std::uint16_t kQualityNotConnected = 0x08;
inline constexpr std::uint16_t kQualityDeviceFailure = 0x0C;
inline constexpr std::uint16_t kQualityCommFailure = 0x18;  // the device did not answer in time
inline constexpr std::uint16_t kQualityWaitingForInitialData = 0x20;

class ValueQT {
 public:
  ValueQT() = default;
  ValueQT(Variant data, std::uint16_t quality, DateTime timeStamp)
      : data_(std::move(data)), quality_(quality), timeStamp_(timeStamp) {}

  const Variant& getData() const noexcept { return data_; }
  Variant& data() noexcept { return data_; }
  std::uint16_t getQuality() const noexcept { return quality_; }
  const DateTime& getTimeStamp() const noexcept { return timeStamp_; }
  void setData(Variant v) { data_ = std::move(v); }
  void setQuality(std::uint16_t q) noexcept { quality_ = q; }
  void setTimeStamp(DateTime t) noexcept { timeStamp_ = t; }
  void setData(Variant v, std::uint16_t q, DateTime t) {
    data_ = std::move(v);
    quality_ = q;
    timeStamp_ = t;
  }
  bool operator==(const ValueQT& o) const noexcept {
    return data_ == o.data_ && quality_ == o.quality_ && timeStamp_ == o.timeStamp_;
  }

 private:
  Variant data_;
  std::uint16_t quality_ = kQualityWaitingForInitialData;
  DateTime timeStamp_;
};

}  // namespace OpcToolbox
