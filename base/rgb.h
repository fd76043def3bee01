// A colour, as the front ends paint it.
#pragma once

#include <cstdint>

namespace kv {

struct Rgb {
  std::uint8_t r = 0, g = 0, b = 0;
  friend bool operator==(const Rgb&, const Rgb&) = default;
};

}  // namespace kv
