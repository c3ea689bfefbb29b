// Argument matching: positional and keyword arguments onto a parameter list,
// with CPython's own wording for every mismatch. Parameter lists are read at
// compile time from the text signature that starts each docstring, so the
// signature Python shows and the one enforced cannot drift apart.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

#include "kit/python.h"

namespace kiv::python {

struct Param {
  std::string_view name;
  bool optional = false;  // written "name=None" in the signature
};

struct Signature {
  std::string_view function;  // "read_window"; "__new__" for a class signature
  std::span<const Param> params;
  std::size_t required;
};

namespace detail {

constexpr bool is_space(char c) { return c == ' '; }

constexpr std::string_view trim(std::string_view text) {
  while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
  return text;
}

// "name($self, a, b=None)\n--\n\n..." or "Class(a, b)\n--\n\n...".
constexpr std::string_view signature_name(std::string_view doc) { return doc.substr(0, doc.find('(')); }

constexpr std::string_view signature_list(std::string_view doc) {
  auto open = doc.find('(');
  auto close = doc.find(')');
  if (open == std::string_view::npos || close == std::string_view::npos || close < open) {
    throw "docstring does not start with a text signature";
  }
  return doc.substr(open + 1, close - open - 1);
}

template <typename Visit>
constexpr void for_each_param(std::string_view doc, Visit visit) {
  std::string_view rest = signature_list(doc);
  while (!rest.empty()) {
    auto comma = rest.find(',');
    std::string_view item = trim(rest.substr(0, comma));
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    if (item.empty() || item == "$self") continue;
    auto equals = item.find('=');
    visit(Param{trim(item.substr(0, equals)), equals != std::string_view::npos});
  }
}

constexpr std::size_t count_params(std::string_view doc) {
  std::size_t count = 0;
  for_each_param(doc, [&](Param) { ++count; });
  return count;
}

}  // namespace detail

// Compile-time facts about one docstring (a constexpr char array).
template <const char* Doc>
struct DocSignature {
  static constexpr std::string_view doc{Doc};
  static constexpr std::string_view name = detail::signature_name(doc);
  static constexpr std::size_t arity = detail::count_params(doc);
  static constexpr std::array<Param, arity> params = [] {
    std::array<Param, arity> out{};
    std::size_t i = 0;
    detail::for_each_param(doc, [&](Param p) { out[i++] = p; });
    return out;
  }();
  static constexpr std::size_t required = [] {
    std::size_t n = 0;
    for (const Param& p : params) n += p.optional ? 0 : 1;
    return n;
  }();
  // NUL-terminated copy of the name, for PyMethodDef and the type name.
  static constexpr auto c_name = [] {
    std::array<char, name.size() + 1> out{};
    for (std::size_t i = 0; i < name.size(); ++i) out[i] = name[i];
    return out;
  }();
  static constexpr bool is_class = !name.empty() && name.front() >= 'A' && name.front() <= 'Z';

  static Signature signature() {
    return Signature{is_class ? std::string_view("__new__") : name, params, required};
  }
};

// What a call supplied: positional arguments either as a vector (fastcall)
// or a tuple, keywords either as names plus values (fastcall) or a dict.
struct CallArgs {
  PyObject* const* vector = nullptr;
  PyObject* tuple = nullptr;
  Py_ssize_t positional = 0;
  PyObject* kwnames = nullptr;  // fastcall: names tuple, values follow the positionals
  PyObject* kwdict = nullptr;   // tuple-and-dict calls

  static CallArgs fastcall(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return CallArgs{args, nullptr, nargs, kwnames, nullptr};
  }
  static CallArgs tuple_and_dict(PyObject* args, PyObject* kwargs) {
    return CallArgs{nullptr, args, args ? PyTuple_Size(args) : 0, nullptr, kwargs};
  }
};

// Fills slots[0..params.size()) with borrowed references, null for optional
// parameters left out. On a mismatch sets TypeError and throws PythonErrorSet.
// `owner` names the class in messages: "{Class}.{function}()".
void match_arguments(const Signature& signature, PyTypeObject* owner, const CallArgs& call,
                     PyObject** slots);

}  // namespace kiv::python
