// Hash maps keyed by text that can be searched with a std::string_view,
// without building a std::string per lookup.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace kiv::common {

struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};

template <typename Value>
using TextMap = std::unordered_map<std::string, Value, TextHash, std::equal_to<>>;

}  // namespace kiv::common
