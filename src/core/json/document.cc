#include "json/document.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <span>
#include <stdexcept>

#include "json/reader.h"
#include "json/text_copy.h"
#include "json/value.h"
#include "json/writer.h"

namespace kiv::json {

char* detail::TextArena::reserve(std::size_t size) {
  if (size > capacity_ - used_) {
    const std::size_t block = std::max(kBlockSize, size);
    blocks_.push_back(std::make_unique_for_overwrite<char[]>(block));
    used_ = 0;
    capacity_ = block;
  }
  return blocks_.back().get() + used_;
}

std::string_view detail::TextArena::commit(char* begin, const char* end) {
  const auto size = static_cast<std::size_t>(end - begin);
  used_ += size;
  return {begin, size};
}

std::string_view detail::TextArena::store(std::string_view text) {
  char* at = reserve(text.size());
  std::memcpy(at, text.data(), text.size());
  return commit(at, at + text.size());
}

// Walks the reader's values into the document's flat tables. Elements and
// members of the containers still open wait on stacks of their own, so that
// each container's range in the tables is contiguous.
class DocumentBuilder {
 public:
  DocumentBuilder(Document& document, Reader& reader) : document_(document), reader_(reader) {}

  std::uint32_t value(Reader::Next next) {
    switch (next) {
      case Reader::Next::Null: reader_.read_null(); return scalar(Document::Kind::Null, "null");
      case Reader::Next::True:
      case Reader::Next::False: {
        const bool value = reader_.read_bool();
        return scalar(Document::Kind::Bool, value ? "true" : "false");
      }
      case Reader::Next::Number: return number(reader_.read_number());
      case Reader::Next::String: return string();
      case Reader::Next::Array: return array();
      case Reader::Next::Object: return object();
    }
    throw std::logic_error("unreachable value kind");
  }

 private:
  using Entry = Document::Entry;
  using Member = Document::Member;

  // Entries and members are built where they are stored: a temporary
  // struct copied in would cost a store-forwarding stall per value.
  Entry& add_entry(Document::Kind kind) {
    if (document_.entries_.size() >= std::numeric_limits<std::uint32_t>::max()) throw std::length_error("JSON text too large");
    Entry& entry = document_.entries_.emplace_back();
    entry.kind = kind;
    return entry;
  }
  std::uint32_t last_entry() const { return static_cast<std::uint32_t>(document_.entries_.size() - 1); }

  std::uint32_t scalar(Document::Kind kind, std::string_view json) {
    Entry& entry = add_entry(kind);
    entry.json = json;
    entry.json_size = json.size();
    return last_entry();
  }

  std::uint32_t number(const Number& number) {
    switch (number.form) {
      case Number::Form::Unsigned: scalar(Document::Kind::Unsigned, number.literal); break;
      case Number::Form::Negative: scalar(Document::Kind::Negative, number.literal); break;
      case Number::Form::Float: {
        char* text = document_.arena_.reserve(kFloatTextCapacity);
        return scalar(Document::Kind::Float, document_.arena_.commit(text, number.write_json(text)));
      }
    }
    document_.entries_.back().integer = number.form == Number::Form::Unsigned
                                            ? number.unsigned_value
                                            : static_cast<std::uint64_t>(number.negative_value);
    return last_entry();
  }

  // A string's compact JSON is its source span unless it held escapes.
  void set_texts(std::string_view read, std::string_view& text, std::string_view& json) {
    if (!reader_.last_string_escaped()) {
      text = read;
      json = {read.data() - 1, read.size() + 2};
      return;
    }
    text = document_.arena_.store(read);
    std::string escaped;
    append_string(escaped, text);
    json = document_.arena_.store(escaped);
  }

  std::uint32_t string() {
    const std::string_view read = reader_.read_string();
    Entry& entry = add_entry(Document::Kind::String);
    set_texts(read, entry.text, entry.json);
    entry.json_size = entry.json.size();
    return last_entry();
  }

  std::uint32_t container(Document::Kind kind, std::uint32_t size, std::uint32_t first, std::size_t json_size) {
    Entry& entry = add_entry(kind);
    entry.size = size;
    entry.first = first;
    entry.json_size = json_size;
    return last_entry();
  }

  std::uint32_t array() {
    const std::size_t base = pending_elements_.size();
    for (auto items = reader_.begin_array(); items.next();) {
      const std::uint32_t element = value(reader_.peek());
      pending_elements_.push_back(element);
    }
    auto& elements = document_.elements_;
    const auto first = static_cast<std::uint32_t>(elements.size());
    elements.insert(elements.end(), pending_elements_.begin() + static_cast<std::ptrdiff_t>(base),
                    pending_elements_.end());
    const auto size = static_cast<std::uint32_t>(pending_elements_.size() - base);
    pending_elements_.resize(base);
    std::size_t json_size = size > 0 ? 1 + size : 2;  // brackets and commas
    for (std::uint32_t i = 0; i < size; ++i) json_size += document_.entries_[elements[first + i]].json_size;
    return container(Document::Kind::Array, size, first, json_size);
  }

  std::uint32_t object() {
    const std::size_t base = pending_members_.size();
    auto members = reader_.begin_object();
    while (auto key = members.next()) {
      const std::size_t slot = pending_members_.size();
      Member& member = pending_members_.emplace_back();
      std::string_view name;
      set_texts(*key, name, member.key_json);  // before the value reuses the reader's scratch
      member.key = Key(name);
      const std::uint32_t value_index = value(reader_.peek());
      pending_members_[slot].value = value_index;  // the stack may have moved meanwhile
    }
    const std::span<const Member> read(pending_members_.data() + base, pending_members_.size() - base);
    sort_positions(read);
    auto& sorted = document_.members_;
    const auto first = static_cast<std::uint32_t>(sorted.size());
    for (std::size_t i = 0; i < order_.size(); ++i) {
      const Member& member = read[order_[i]];
      // Of equal keys the one read last comes last, and it alone is kept.
      if (i + 1 < order_.size() && !less(member, read[order_[i + 1]])) continue;
      sorted.push_back(member);
    }
    const auto size = static_cast<std::uint32_t>(sorted.size() - first);
    pending_members_.resize(base);
    std::size_t json_size = size > 0 ? 1 + size : 2;  // braces and commas
    for (std::uint32_t i = 0; i < size; ++i) {
      const Member& member = sorted[first + i];
      json_size += member.key_json.size() + 1 + document_.entries_[member.value].json_size;
    }
    return container(Document::Kind::Object, size, first, json_size);
  }

  static bool less(const Member& a, const Member& b) { return a.key < b.key; }

  // Fills order_ with the positions of `members` in key order, ties in
  // reading order.
  void sort_positions(std::span<const Member> members) {
    detail::order_positions(order_, members.size(),
                            [&](std::uint32_t a, std::uint32_t b) { return less(members[a], members[b]); });
  }

  Document& document_;
  Reader& reader_;
  std::vector<std::uint32_t> pending_elements_;
  std::vector<Member> pending_members_;
  std::vector<std::uint32_t> order_;

 public:
  // Room for the containers records usually nest, so the stacks rarely grow.
  void reserve_stacks() {
    pending_elements_.reserve(64);
    pending_members_.reserve(64);
    order_.reserve(64);
  }
};

common::Result<Document> Document::read(std::string_view text) {
  Document document;
  // Rough sizes from the text, so the tables rarely grow while reading.
  document.entries_.reserve(text.size() / 8 + 1);
  document.members_.reserve(text.size() / 24 + 1);
  document.elements_.reserve(text.size() / 24 + 1);
  auto root = read_text(text, [&](Reader& reader) {
    DocumentBuilder builder(document, reader);
    builder.reserve_stacks();
    return builder.value(reader.peek());
  });
  if (!root.ok()) return common::fail(std::move(root).take_error());
  document.root_ = *root;
  return document;
}

// ---- Nodes ----------------------------------------------------------------------

std::optional<std::uint64_t> Document::Node::unsigned_value() const {
  if (kind() != Kind::Unsigned) return std::nullopt;
  return entry().integer;
}

std::optional<std::int64_t> Document::Node::signed_value() const {
  if (kind() == Kind::Negative) return static_cast<std::int64_t>(entry().integer);
  if (kind() == Kind::Unsigned && entry().integer <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    return static_cast<std::int64_t>(entry().integer);
  }
  return std::nullopt;
}

Document::Node Document::Node::element(std::size_t index) const {
  if (!is_array() || index >= entry().size) throw std::out_of_range("no such array element");
  return Node(document_, document_->elements_[entry().first + index]);
}

std::string_view Document::Node::member_key(std::size_t index) const {
  if (!is_object() || index >= entry().size) throw std::out_of_range("no such object member");
  return document_->members_[entry().first + index].key.name;
}

std::string_view Document::Node::member_key_json(std::size_t index) const {
  if (!is_object() || index >= entry().size) throw std::out_of_range("no such object member");
  return document_->members_[entry().first + index].key_json;
}

Document::Node Document::Node::member_value(std::size_t index) const {
  if (!is_object() || index >= entry().size) throw std::out_of_range("no such object member");
  return Node(document_, document_->members_[entry().first + index].value);
}

std::optional<Document::Node> Document::Node::find(Key key, std::uint32_t& cursor) const {
  if (!is_object()) return std::nullopt;
  const Member* const begin = document_->members_.data() + entry().first;
  const Member* const end = begin + entry().size;
  const Member* found = begin + std::min<std::uint32_t>(cursor, entry().size);
  if (found != begin && !(found[-1].key < key)) found = begin;  // the key lies before the cursor
  if (end - found <= 32) {
    // Few members, the usual case: a scan branches predictably, where a
    // binary search would not.
    while (found != end && found->key < key) ++found;
  } else {
    found = std::lower_bound(found, end, key, [](const Member& member, const Key& k) { return member.key < k; });
  }
  const bool hit = found != end && found->key == key;
  cursor = static_cast<std::uint32_t>(found - begin) + (hit ? 1 : 0);
  if (!hit) return std::nullopt;
  return Node(document_, found->value);
}

void Document::Node::append_json(std::string& out) const {
  const std::size_t size = out.size();
  out.resize(size + json_size());
  write_json(out.data() + size);
}

char* Document::write_json(char* out, std::uint32_t index) const {
  const Entry& entry = entries_[index];
  auto copy = [&out](std::string_view text) { detail::copy_text(out, text); };
  switch (entry.kind) {
    case Kind::Array:
      *out++ = '[';
      for (std::uint32_t i = 0; i < entry.size; ++i) {
        if (i) *out++ = ',';
        out = write_json(out, elements_[entry.first + i]);
      }
      *out++ = ']';
      return out;
    case Kind::Object:
      *out++ = '{';
      for (std::uint32_t i = 0; i < entry.size; ++i) {
        const Member& member = members_[entry.first + i];
        if (i) *out++ = ',';
        copy(member.key_json);
        *out++ = ':';
        out = write_json(out, member.value);
      }
      *out++ = '}';
      return out;
    default: copy(entry.json); return out;
  }
}

}  // namespace kiv::json
