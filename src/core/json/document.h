// Read-only JSON value tree over the text it was read from, for copying
// values into new JSON texts.
//
// It reads by the same rules as parse(), with the same refusals and
// positions, and holds the same model: null, booleans, the three number
// forms, text, arrays, and objects whose members are sorted by key in byte
// order, a repeated key keeping its last value. What it adds is every
// scalar's compact JSON as the writer spells it, settled once when read:
// integers, and strings without escapes, are spans of the source text
// (already in that spelling), floats are spelled by the writer's rule. So
// writing a subtree is mostly copying, and nothing is allocated per value.
//
// The source text must outlive the document, and a Node its document.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "json/key_order.h"

namespace kiv::json {

namespace detail {
// Stable storage for the few texts that are not spans of the source:
// decoded strings with escapes, spelled floats.
class TextArena {
 public:
  std::string_view store(std::string_view text);
  // Room for `size` bytes, to be written at once and kept with commit().
  char* reserve(std::size_t size);
  std::string_view commit(char* begin, const char* end);

 private:
  static constexpr std::size_t kBlockSize = 4096;
  std::vector<std::unique_ptr<char[]>> blocks_;
  std::size_t used_ = 0;
  std::size_t capacity_ = 0;
};
}  // namespace detail

class Document {
  struct Entry;

 public:
  enum class Kind : std::uint8_t { Null, Bool, Unsigned, Negative, Float, String, Array, Object };

  class Node {
   public:
    Kind kind() const { return entry().kind; }
    bool is_null() const { return kind() == Kind::Null; }
    bool is_number() const { return kind() == Kind::Unsigned || kind() == Kind::Negative || kind() == Kind::Float; }
    bool is_array() const { return kind() == Kind::Array; }
    bool is_object() const { return kind() == Kind::Object; }
    bool is_string() const { return kind() == Kind::String; }

    // The number of an Unsigned node.
    std::optional<std::uint64_t> unsigned_value() const;
    // The number of an integer node that fits a signed 64-bit integer.
    std::optional<std::int64_t> signed_value() const;
    // The decoded text of a String node (empty for other kinds).
    std::string_view text() const { return entry().text; }

    // Elements of an array, members of an object; 0 for scalars.
    std::size_t size() const { return is_array() || is_object() ? entry().size : 0; }
    Node element(std::size_t index) const;
    // Members in key order: the key, its compact JSON (quoted) and the value.
    std::string_view member_key(std::size_t index) const;
    std::string_view member_key_json(std::size_t index) const;
    Node member_value(std::size_t index) const;
    // The member of an object under `key`; none for absent keys and for
    // nodes that are not objects.
    std::optional<Node> find(Key key) const {
      std::uint32_t from = 0;
      return find(key, from);
    }
    // The same, for lookups that mostly come in ascending key order: the
    // search starts at `cursor` when the key lies beyond it, and leaves it
    // just past the key (or where the key would be).
    std::optional<Node> find(Key key, std::uint32_t& cursor) const;

    // Compact JSON of the subtree, members in key order; its length is
    // known up front, so callers can size their buffer once.
    std::size_t json_size() const { return entry().json_size; }
    void append_json(std::string& out) const;
    // Writes json_size() bytes at `out` and gives the end.
    char* write_json(char* out) const { return document_->write_json(out, index_); }

   private:
    friend class Document;
    Node(const Document* document, std::uint32_t index) : document_(document), index_(index) {}
    const Entry& entry() const { return document_->entries_[index_]; }

    const Document* document_;
    std::uint32_t index_;
  };

  // One JSON value filling the whole text, or the reader's error message
  // with its position.
  static common::Result<Document> read(std::string_view text);

  Node root() const { return Node(this, root_); }

 private:
  friend class DocumentBuilder;

  struct Entry {
    Kind kind = Kind::Null;
    std::uint32_t size = 0;   // arrays and objects: elements or members
    std::uint32_t first = 0;  // their first index in elements_ or members_
    std::string_view json;    // scalars: compact JSON
    std::string_view text;    // strings: decoded text
    std::uint64_t integer = 0;  // Unsigned: the value; Negative: its two's complement
    std::size_t json_size = 0;  // length of the subtree's compact JSON
  };
  struct Member {
    Key key;                    // decoded
    std::string_view key_json;  // compact JSON, quotes included
    std::uint32_t value = 0;
  };

  Document() = default;
  char* write_json(char* out, std::uint32_t index) const;

  std::vector<Entry> entries_;
  std::vector<std::uint32_t> elements_;  // each array's elements, in order
  std::vector<Member> members_;          // each object's members, sorted by key
  detail::TextArena arena_;
  std::uint32_t root_ = 0;
};

}  // namespace kiv::json
