#pragma once
// A value as history keeps it: its time (OPC UA DateTime: 100 ns ticks since 1601-01-01
// UTC), its OPC UA status code, and the value itself in one of the forms items have.
// Items' own data types (Int16, UInt32, Float, ...) are given back by whoever reads, from
// the item; the store keeps a number as an integer or a double, a text as text.

#include <cstdint>
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

}  // namespace vexahv::history
