#pragma once
// A value as history keeps it: its time (OPC UA DateTime: 100 ns ticks since 1601-01-01
// UTC), its OPC UA status code, and the value itself in one of the forms items have.
// Items' own data types (Int16, UInt32, Float, ...) are given back by whoever reads, from
// the item; the store keeps a number as an integer or a double, a text as text.

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

namespace vexahv::history {

using Value = std::variant<std::monostate, std::int64_t, double, std::string>;

struct Sample {
  std::int64_t time = 0;
  std::uint32_t status = 0;  // OPC UA: 0 Good, 0x80000000 and up Bad
  Value value;
  bool operator==(const Sample&) const = default;
};

// A number kept as an integer or a double, as a double; none for a text or no value.
inline std::optional<double> numberOf(const Value& v) {
  if (const auto* n = std::get_if<std::int64_t>(&v)) return static_cast<double>(*n);
  if (const auto* d = std::get_if<double>(&v)) return *d;
  return std::nullopt;
}

// An OPC UA status code's severity (its two top bits).
inline bool isGood(std::uint32_t status) noexcept { return (status & 0xC0000000u) == 0; }
inline bool isBad(std::uint32_t status) noexcept { return (status & 0xC0000000u) == 0x80000000u; }

// A sample of an item, by the key the store gave its name.
struct Row {
  std::uint32_t key = 0;
  Sample sample;
};

// A stored sample and where it lies: samples of one time are told apart, and a read
// resumed after one of them, by the order they were written in.
struct Stored {
  Sample sample;
  std::int64_t seq = 0;
};

// An event as history keeps it: its time, the branch it comes from (an item id; empty
// for the server's own), and its fields as whoever raised it encoded them (the store never
// reads them).
struct EventRecord {
  std::int64_t time = 0;
  std::string source;
  std::string body;
  bool operator==(const EventRecord&) const = default;
};

struct StoredEvent {
  EventRecord event;
  std::int64_t seq = 0;
};

}  // namespace vexahv::history
