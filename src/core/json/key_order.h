// Byte order of object keys, made cheap: keys almost always differ within
// their first sixteen bytes, so a Key carries those as two integers and most
// comparisons never touch the bytes themselves.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>
#include <vector>

namespace kiv::json {

namespace detail {
// Bytes [offset, offset + 8) of a key as a big-endian integer, zero-padded.
constexpr std::uint64_t key_chunk(std::string_view key, std::size_t offset) {
  if (!std::is_constant_evaluated() && key.size() >= offset + 8) {
    std::uint64_t chunk;
    std::memcpy(&chunk, key.data() + offset, 8);
    if constexpr (std::endian::native == std::endian::little) chunk = __builtin_bswap64(chunk);
    return chunk;
  }
  std::uint64_t chunk = 0;
  for (std::size_t i = offset; i < key.size() && i < offset + 8; ++i) {
    chunk |= std::uint64_t{static_cast<unsigned char>(key[i])} << (56 - 8 * (i - offset));
  }
  return chunk;
}
}  // namespace detail

// A key with its first sixteen bytes worked out once; for the literal names
// of a constexpr table, at compile time. The view must outlive the Key.
struct Key {
  std::string_view name;
  std::uint64_t head = 0;  // bytes 0..7
  std::uint64_t next = 0;  // bytes 8..15

  constexpr Key() = default;
  constexpr Key(std::string_view key) : name(key), head(detail::key_chunk(key, 0)), next(detail::key_chunk(key, 8)) {}
  constexpr Key(const char* key) : Key(std::string_view(key)) {}

  friend bool operator<(const Key& a, const Key& b) {
    if (a.head != b.head) return a.head < b.head;
    if (a.next != b.next) return a.next < b.next;
    // The first sixteen bytes agree (zero padding included): only keys
    // longer than that differ beyond them, otherwise the shorter is first.
    if (a.name.size() > 16 && b.name.size() > 16) {
      const int compared = std::memcmp(a.name.data() + 16, b.name.data() + 16, std::min(a.name.size(), b.name.size()) - 16);
      if (compared != 0) return compared < 0;
    }
    return a.name.size() < b.name.size();
  }
  friend bool operator==(const Key& a, const Key& b) {
    return a.head == b.head && a.next == b.next && a.name.size() == b.name.size() &&
           (a.name.size() <= 16 || std::memcmp(a.name.data() + 16, b.name.data() + 16, a.name.size() - 16) == 0);
  }
};

namespace detail {
// Fills `order` with the positions 0..count-1 sorted by `less` (a strict
// order over positions), equal ones in position order. Positions move, not
// the items; small counts, the common case, are sorted by insertion.
template <typename Less>
void order_positions(std::vector<std::uint32_t>& order, std::size_t count, Less less) {
  order.resize(count);
  if (count <= 32) {
    for (std::uint32_t i = 0; i < count; ++i) {
      std::uint32_t j = i;
      for (; j > 0 && less(i, order[j - 1]); --j) order[j] = order[j - 1];
      order[j] = i;
    }
    return;
  }
  for (std::uint32_t i = 0; i < count; ++i) order[i] = i;
  std::sort(order.begin(), order.end(),
            [&](std::uint32_t a, std::uint32_t b) { return less(a, b) || (!less(b, a) && a < b); });
}
}  // namespace detail

}  // namespace kiv::json
