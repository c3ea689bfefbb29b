// JSON value tree: null, boolean, three number forms, text, array, object.
//
// Numbers keep the form they were read in: unsigned 64-bit integer, negative
// 64-bit integer, or 64-bit float. Objects keep their members sorted by key
// in byte order, a repeated key keeping its last value.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <variant>
#include <vector>

namespace kiv::json {

struct Value;
using Array = std::vector<Value>;
using Object = std::map<std::string, Value, std::less<>>;

struct Value {
  using Storage = std::variant<std::nullptr_t, bool, std::uint64_t, std::int64_t, double, std::string, Array, Object>;
  Storage data = nullptr;

  Value() = default;
  template <typename T>
    requires std::constructible_from<Storage, T&&>
  Value(T&& value) : data(std::forward<T>(value)) {}

  bool operator==(const Value&) const = default;
};

}  // namespace kiv::json
