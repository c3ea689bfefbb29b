#include "kit/args.h"

#include <string>
#include <vector>

#include "common/format.h"
#include "kit/errors.h"
#include "kit/ref.h"

namespace kiv::python {
namespace {

std::string function_label(const Signature& signature, PyTypeObject* owner) {
  std::string label;
  Ref name = Ref::steal(PyType_GetName(owner));
  Py_ssize_t size = 0;
  const char* utf8 = name ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
  } else {
    label.assign(utf8, static_cast<std::size_t>(size)).push_back('.');
  }
  label.append(signature.function).append("()");
  return label;
}

[[noreturn]] void mismatch(std::string message) { raise(PyExc_TypeError, message); }

std::string quoted_list(const Signature& signature, PyObject* const* slots) {
  std::vector<std::string_view> missing;
  for (std::size_t i = 0; i < signature.params.size(); ++i) {
    if (slots[i] == nullptr && !signature.params[i].optional) missing.push_back(signature.params[i].name);
  }
  std::string out;
  for (std::size_t i = 0; i < missing.size(); ++i) {
    out.append("'").append(missing[i]).append("'");
    if (missing.size() > 2 && i + 1 < missing.size()) out.append(",");
    if (i + 2 == missing.size()) out.append(" and ");
    else if (i + 1 < missing.size()) out.append(" ");
  }
  return out;
}

std::size_t count_missing(const Signature& signature, PyObject* const* slots) {
  std::size_t missing = 0;
  for (std::size_t i = 0; i < signature.params.size(); ++i) {
    missing += (slots[i] == nullptr && !signature.params[i].optional) ? 1 : 0;
  }
  return missing;
}

std::string_view utf8_of(PyObject* text) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_Check(text) ? PyUnicode_AsUTF8AndSize(text, &size) : nullptr;
  if (utf8 == nullptr) raise_current();
  return {utf8, static_cast<std::size_t>(size)};
}

// Places one keyword argument; keywords are examined in the order given.
void place_keyword(const Signature& signature, PyTypeObject* owner, PyObject* name, PyObject* value,
                   std::size_t positional, PyObject** slots) {
  std::string_view key = utf8_of(name);
  for (std::size_t i = 0; i < signature.params.size(); ++i) {
    if (signature.params[i].name != key) continue;
    if (i < positional || slots[i] != nullptr) {
      mismatch(common::format("{} got multiple values for argument '{}'", function_label(signature, owner), key));
    }
    slots[i] = value;
    return;
  }
  mismatch(common::format("{} got an unexpected keyword argument '{}'", function_label(signature, owner), key));
}

}  // namespace

void match_arguments(const Signature& signature, PyTypeObject* owner, const CallArgs& call, PyObject** slots) {
  const std::size_t count = signature.params.size();
  const auto given = static_cast<std::size_t>(call.positional);
  if (given > count) {
    const char* verb = given == 1 ? "was" : "were";
    std::string label = function_label(signature, owner);
    if (signature.required == count) {
      mismatch(common::format("{} takes {} positional arguments but {} {} given", label, count, given, verb));
    }
    mismatch(common::format("{} takes from {} to {} positional arguments but {} {} given", label,
                            signature.required, count, given, verb));
  }
  for (std::size_t i = 0; i < count; ++i) {
    slots[i] = i >= given ? nullptr
               : call.vector ? call.vector[i]
                             : PyTuple_GetItem(call.tuple, static_cast<Py_ssize_t>(i));
  }
  if (call.kwnames != nullptr) {
    const Py_ssize_t keywords = PyTuple_Size(call.kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
      place_keyword(signature, owner, PyTuple_GetItem(call.kwnames, k), call.vector[call.positional + k],
                    given, slots);
    }
  } else if (call.kwdict != nullptr) {
    Py_ssize_t position = 0;
    PyObject *name = nullptr, *value = nullptr;
    while (PyDict_Next(call.kwdict, &position, &name, &value)) {
      place_keyword(signature, owner, name, value, given, slots);
    }
  }
  if (given >= signature.required && call.kwnames == nullptr && call.kwdict == nullptr) return;
  if (std::size_t missing = count_missing(signature, slots); missing > 0) {
    mismatch(common::format("{} missing {} required positional {}: {}", function_label(signature, owner), missing,
                            missing == 1 ? "argument" : "arguments", quoted_list(signature, slots)));
  }
}

}  // namespace kiv::python
