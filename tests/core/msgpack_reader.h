// Test helper: a small MessagePack decoder written apart from the writer,
// so that encoded records are checked by structure and not by the code that
// wrote them. Maps keep their entries in the order written; keys must be
// strings (all of this system's maps have text keys).
#pragma once

#include <bit>
#include <concepts>
#include <type_traits>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "common/bytes.h"

namespace kiv::testing {

struct Item;
using ItemList = std::vector<Item>;
// A struct rather than an alias, so that the pairs need Item only once it
// is complete.
struct ItemMap {
  std::vector<std::pair<std::string, Item>> entries;
};

struct Item {
  using Storage =
      std::variant<std::nullptr_t, bool, std::uint64_t, std::int64_t, double, std::string, common::Bytes, ItemList, ItemMap>;
  Storage value;

  // Declared, not implicit: otherwise asking whether Item can be built or
  // destroyed would need pair<string, Item>, itself waiting on Item.
  Item();
  ~Item();
  Item(const Item&);
  Item(Item&&) noexcept;
  Item& operator=(const Item&);
  Item& operator=(Item&&) noexcept;
  template <typename T>
    requires(!std::same_as<std::remove_cvref_t<T>, Item>)
  Item(T&& held) : value(std::forward<T>(held)) {}

  template <typename T>
  const T& as() const;
  bool is_nil() const { return std::holds_alternative<std::nullptr_t>(value); }
  // The value under `key` of a map item.
  const Item& at(std::string_view key) const;
  std::vector<std::string> keys() const;
};

inline Item::Item() = default;
inline Item::~Item() = default;
inline Item::Item(const Item&) = default;
inline Item::Item(Item&&) noexcept = default;
inline Item& Item::operator=(const Item&) = default;
inline Item& Item::operator=(Item&&) noexcept = default;

template <typename T>
const T& Item::as() const {
  if (const T* held = std::get_if<T>(&value)) return *held;
  throw std::runtime_error("MessagePack item of another kind");
}

inline const Item& Item::at(std::string_view key) const {
  for (const auto& [name, item] : as<ItemMap>().entries) {
    if (name == key) return item;
  }
  throw std::runtime_error("no such key: " + std::string(key));
}

inline std::vector<std::string> Item::keys() const {
  std::vector<std::string> out;
  for (const auto& entry : as<ItemMap>().entries) out.push_back(entry.first);
  return out;
}

class MsgpackReader {
 public:
  // Decodes exactly one item that fills all of `bytes`.
  static Item decode(common::ByteView bytes) {
    MsgpackReader reader(bytes);
    Item item = reader.item();
    if (reader.at_ != bytes.size()) throw std::runtime_error("bytes after the item");
    return item;
  }

 private:
  explicit MsgpackReader(common::ByteView bytes) : bytes_(bytes) {}

  std::uint64_t big_endian(std::size_t width) {
    if (bytes_.size() - at_ < width) throw std::runtime_error("truncated");
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) value = value << 8 | bytes_[at_++];
    return value;
  }
  std::size_t length(std::size_t width) { return static_cast<std::size_t>(big_endian(width)); }

  common::Bytes raw(std::size_t size) {
    if (bytes_.size() - at_ < size) throw std::runtime_error("truncated");
    common::Bytes out(bytes_.begin() + static_cast<std::ptrdiff_t>(at_),
                      bytes_.begin() + static_cast<std::ptrdiff_t>(at_ + size));
    at_ += size;
    return out;
  }
  Item text(std::size_t size) {
    common::Bytes bytes = raw(size);
    return {std::string(bytes.begin(), bytes.end())};
  }
  Item list(std::size_t size) {
    ItemList items;
    for (std::size_t i = 0; i < size; ++i) items.push_back(item());
    return {std::move(items)};
  }
  Item map(std::size_t size) {
    ItemMap map;
    for (std::size_t i = 0; i < size; ++i) {
      Item key = item();
      map.entries.emplace_back(key.as<std::string>(), item());
    }
    return {std::move(map)};
  }

  Item item() {
    const std::uint8_t tag = static_cast<std::uint8_t>(big_endian(1));
    if (tag <= 0x7f) return {std::uint64_t{tag}};
    if (tag >= 0xe0) return {std::int64_t{static_cast<std::int8_t>(tag)}};
    if ((tag & 0xf0) == 0x80) return map(tag & 0x0f);
    if ((tag & 0xf0) == 0x90) return list(tag & 0x0f);
    if ((tag & 0xe0) == 0xa0) return text(tag & 0x1f);
    switch (tag) {
      case 0xc0: return {nullptr};
      case 0xc2: return {false};
      case 0xc3: return {true};
      case 0xc4: return {raw(length(1))};
      case 0xc5: return {raw(length(2))};
      case 0xc6: return {raw(length(4))};
      case 0xcb: return {std::bit_cast<double>(big_endian(8))};
      case 0xcc: return {big_endian(1)};
      case 0xcd: return {big_endian(2)};
      case 0xce: return {big_endian(4)};
      case 0xcf: return {big_endian(8)};
      case 0xd0: return {std::int64_t{static_cast<std::int8_t>(big_endian(1))}};
      case 0xd1: return {std::int64_t{static_cast<std::int16_t>(big_endian(2))}};
      case 0xd2: return {std::int64_t{static_cast<std::int32_t>(big_endian(4))}};
      case 0xd3: return {static_cast<std::int64_t>(big_endian(8))};
      case 0xd9: return text(length(1));
      case 0xda: return text(length(2));
      case 0xdb: return text(length(4));
      case 0xdc: return list(length(2));
      case 0xdd: return list(length(4));
      case 0xde: return map(length(2));
      case 0xdf: return map(length(4));
      default: throw std::runtime_error("unexpected MessagePack tag " + std::to_string(tag));
    }
  }

  common::ByteView bytes_;
  std::size_t at_ = 0;
};

}  // namespace kiv::testing
