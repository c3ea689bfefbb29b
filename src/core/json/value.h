// JSON value tree: null, boolean, three number forms, text, array, object.
//
// Numbers keep the form they were read in: unsigned 64-bit integer, negative
// 64-bit integer, or 64-bit float. Objects keep their members sorted by key
// in byte order, a repeated key keeping its last value.
//
// Objects are flat sorted vectors rather than node-based maps: a record's
// objects are small, built once and then only looked up and walked in order,
// and one allocation per object keeps reading and copying cheap.
#pragma once

#include <algorithm>
#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "json/key_order.h"

namespace kiv::json {

namespace detail {
template <typename T>
concept plain_integer = std::integral<T> && !std::same_as<T, bool> && !std::same_as<T, char>;
}  // namespace detail

struct Value;
using Array = std::vector<Value>;

class Object {
 public:
  using Member = std::pair<std::string, Value>;
  using const_iterator = std::vector<Member>::const_iterator;
  using iterator = std::vector<Member>::iterator;

  Object() = default;
  // Members in any order; a repeated key keeps its last value.
  Object(std::initializer_list<Member> members);
  static Object from_members(std::vector<Member> members);
  // The same for members moved out of [first, last).
  template <typename MemberIterator>
  static Object from_member_range(MemberIterator first, MemberIterator last);

  std::size_t size() const;
  bool empty() const;
  const_iterator begin() const;
  const_iterator end() const;
  iterator begin();
  iterator end();

  // The member's value, or null when the key is absent.
  const Value* find(std::string_view key) const;
  Value* find(std::string_view key);
  bool contains(std::string_view key) const;

  // Inserts a null member when the key is absent.
  Value& operator[](std::string_view key);
  void insert_or_assign(std::string key, Value value);

  friend bool operator==(const Object& a, const Object& b);

 private:
  iterator lower_bound(std::string_view key);
  const_iterator lower_bound(std::string_view key) const;

  std::vector<Member> members_;  // sorted by key, keys unique
};

struct Value {
  using Storage = std::variant<std::nullptr_t, bool, std::uint64_t, std::int64_t, double, std::string, Array, Object>;
  Storage data;  // null (the first alternative) by default

  Value() = default;
  template <typename T>
    requires(std::constructible_from<Storage, T &&> && !detail::plain_integer<std::remove_cvref_t<T>>)
  Value(T&& value) : data(std::forward<T>(value)) {}
  // Integers take the unsigned form unless negative, as if read from text.
  template <detail::plain_integer I>
  Value(I number) {
    if constexpr (std::signed_integral<I>) {
      if (number < 0) {
        data = static_cast<std::int64_t>(number);
        return;
      }
    }
    data = static_cast<std::uint64_t>(number);
  }

  bool is_null() const { return std::holds_alternative<std::nullptr_t>(data); }
  const std::string* as_string() const { return std::get_if<std::string>(&data); }
  const Array* as_array() const { return std::get_if<Array>(&data); }
  const Object* as_object() const { return std::get_if<Object>(&data); }

  // The member `key` of an object value; null for absent keys and non-objects.
  const Value* find(std::string_view key) const {
    const Object* object = as_object();
    return object ? object->find(key) : nullptr;
  }

  bool operator==(const Value&) const = default;
};

// ---- Object, inline now that Value is complete ----------------------------

inline bool operator==(const Object& a, const Object& b) { return a.members_ == b.members_; }

inline std::size_t Object::size() const { return members_.size(); }
inline bool Object::empty() const { return members_.empty(); }
inline Object::const_iterator Object::begin() const { return members_.begin(); }
inline Object::const_iterator Object::end() const { return members_.end(); }
inline Object::iterator Object::begin() { return members_.begin(); }
inline Object::iterator Object::end() { return members_.end(); }
inline bool Object::contains(std::string_view key) const { return find(key) != nullptr; }

inline Object::Object(std::initializer_list<Member> members)
    : Object(from_members(std::vector<Member>(members))) {}

inline Object Object::from_members(std::vector<Member> members) {
  return from_member_range(members.begin(), members.end());
}

template <typename MemberIterator>
Object Object::from_member_range(MemberIterator first, MemberIterator last) {
  const auto count = static_cast<std::size_t>(last - first);
  std::vector<Key> keys(count);
  for (std::size_t i = 0; i < count; ++i) keys[i] = Key(first[i].first);
  std::vector<std::uint32_t> order;
  detail::order_positions(order, count, [&](std::uint32_t a, std::uint32_t b) { return keys[a] < keys[b]; });
  Object object;
  object.members_.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    // Of equal keys the one read last comes last, and it alone is kept.
    if (i + 1 < count && first[order[i + 1]].first == first[order[i]].first) continue;
    object.members_.push_back(std::move(first[order[i]]));
  }
  return object;
}

inline Object::iterator Object::lower_bound(std::string_view key) {
  const auto found = std::as_const(*this).lower_bound(key);
  return members_.begin() + (found - members_.cbegin());
}

inline Object::const_iterator Object::lower_bound(std::string_view key) const {
  const Key wanted(key);
  return std::lower_bound(members_.begin(), members_.end(), wanted,
                          [](const Member& member, const Key& k) { return Key(member.first) < k; });
}

inline const Value* Object::find(std::string_view key) const {
  auto it = lower_bound(key);
  return it != members_.end() && it->first == key ? &it->second : nullptr;
}

inline Value* Object::find(std::string_view key) {
  auto it = lower_bound(key);
  return it != members_.end() && it->first == key ? &it->second : nullptr;
}

inline Value& Object::operator[](std::string_view key) {
  auto it = lower_bound(key);
  if (it == members_.end() || it->first != key) it = members_.emplace(it, std::string(key), Value());
  return it->second;
}

inline void Object::insert_or_assign(std::string key, Value value) {
  auto it = lower_bound(key);
  if (it != members_.end() && it->first == key) {
    it->second = std::move(value);
  } else {
    members_.emplace(it, std::move(key), std::move(value));
  }
}

}  // namespace kiv::json
