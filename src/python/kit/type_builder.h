// Builds the Python class of one core type from a short table.
//
//   constexpr char kClassDoc[] = "ActionBus(capacity)\n--\n\nSPSC queue ...";
//   constexpr char kReadDoc[] = "read($self)\n--\n\n";
//   ClassBuilder<ActionBus, kClassDoc>()
//       .constructor<&make>()
//       .method<&read, kReadDoc>()
//       .repr<&repr>()
//       .build();
//
// Bound functions are plain C++: `R fn(Core&, Args...)`. Their parameters
// pick the conversion (see convert.h) and their names come from the text
// signature in the docstring; the return value is converted by to_python.
// Every class gets the same shape: "builtins.X", final, no instance dict, no
// weak references, not GC-tracked, `__new__` only.
#pragma once

#include <memory>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "kit/args.h"
#include "kit/convert.h"
#include "kit/errors.h"

namespace kiv::python {

template <typename Core>
struct Instance {
  PyObject_HEAD
  Core* core;  // owned; built before the Python object, destroyed with it
};

// The Python type of each bound core type, set once at module creation.
template <typename Core>
inline PyTypeObject* g_type_of = nullptr;

template <typename Core>
Core& core_of(PyObject* self) {
  return *reinterpret_cast<Instance<Core>*>(self)->core;
}

// Parameter kind "instance of one of the module's classes".
template <typename Core>
struct InstanceOf {
  Core& core;
};

template <typename Core>
struct Arg<InstanceOf<Core>> {
  static InstanceOf<Core> from(PyObject* object) {
    if (Py_TYPE(object) != g_type_of<Core>) raise_cannot_convert(object, qualified_name(g_type_of<Core>));
    return {core_of<Core>(object)};
  }
};

namespace detail {

template <typename F>
struct Bound;

template <typename R, typename C, typename... A>
struct Bound<R (*)(C&, A...)> {
  using Core = C;
  using Result = R;
  using Args = std::tuple<std::decay_t<A>...>;
};

template <typename R, typename... A>
struct Bound<R (*)(A...)> {
  using Result = R;
  using Args = std::tuple<std::decay_t<A>...>;
};

// Converts argument I, naming its parameter in a TypeError.
template <typename T>
T convert_argument(PyObject* object, std::string_view name) {
  try {
    return Arg<T>::from(object);
  } catch (const PythonErrorSet&) {
    prefix_argument_error(name);
    throw;
  }
}

// Matches and converts the arguments in parameter order, then calls `invoke`
// with them.
template <typename Args, typename Signature, typename Invoke, std::size_t... I>
decltype(auto) with_arguments(PyTypeObject* owner, const CallArgs& call, Invoke&& invoke,
                              std::index_sequence<I...>) {
  static_assert(sizeof...(I) == Signature::arity, "the text signature and the bound function disagree");
  PyObject* slots[sizeof...(I) + 1];
  match_arguments(Signature::signature(), owner, call, slots);
  // Braced initialisation converts strictly left to right.
  Args converted{convert_argument<std::tuple_element_t<I, Args>>(slots[I], Signature::params[I].name)...};
  return std::apply(std::forward<Invoke>(invoke), std::move(converted));
}

template <typename R, typename Fn>
PyObject* call_to_python(Fn&& fn) {
  if constexpr (std::is_void_v<R>) {
    fn();
    return none();
  } else {
    return to_python(fn());
  }
}

template <auto Fn, const char* Doc>
PyObject* method_fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  using B = Bound<decltype(Fn)>;
  return guarded([&]() -> PyObject* {
    auto& core = core_of<typename B::Core>(self);
    return call_to_python<typename B::Result>([&]() -> decltype(auto) {
      return with_arguments<typename B::Args, DocSignature<Doc>>(
          Py_TYPE(self), CallArgs::fastcall(args, nargs, kwnames),
          [&](auto&&... converted) -> decltype(auto) { return Fn(core, std::forward<decltype(converted)>(converted)...); },
          std::make_index_sequence<std::tuple_size_v<typename B::Args>>{});
    });
  });
}

template <auto Fn>
PyObject* method_noargs(PyObject* self, PyObject*) {
  using B = Bound<decltype(Fn)>;
  return guarded([&]() -> PyObject* {
    return call_to_python<typename B::Result>([&]() -> decltype(auto) { return Fn(core_of<typename B::Core>(self)); });
  });
}

template <auto Fn>
PyObject* getter(PyObject* self, void*) {
  return method_noargs<Fn>(self, nullptr);
}

template <auto Fn>
PyObject* repr_slot(PyObject* self) {
  return guarded([&]() -> PyObject* { return to_python(Fn(core_of<typename Bound<decltype(Fn)>::Core>(self))); });
}

template <auto Fn>
Py_ssize_t length_slot(PyObject* self) {
  return guarded([&]() -> Py_ssize_t {
    std::uint64_t length = Fn(core_of<typename Bound<decltype(Fn)>::Core>(self));
    if (length > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
      raise(PyExc_OverflowError, "length does not fit in a signed size");
    }
    return static_cast<Py_ssize_t>(length);
  });
}

// Make returns std::unique_ptr<Core>: the core is complete before the Python
// object exists, and is destroyed again if that allocation fails.
template <typename Core, auto Make, const char* Doc>
PyObject* new_slot(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  using B = Bound<decltype(Make)>;
  return guarded([&]() -> PyObject* {
    std::unique_ptr<Core> core = with_arguments<typename B::Args, DocSignature<Doc>>(
        type, CallArgs::tuple_and_dict(args, kwargs), [](auto&&... converted) { return Make(std::forward<decltype(converted)>(converted)...); },
        std::make_index_sequence<std::tuple_size_v<typename B::Args>>{});
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) raise_current();
    reinterpret_cast<Instance<Core>*>(self)->core = core.release();
    return self;
  });
}

template <typename Core>
void dealloc_slot(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<Instance<Core>*>(self)->core;
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

template <typename Fn>
inline constexpr bool takes_arguments = std::tuple_size_v<typename Bound<Fn>::Args> > 0;

template <typename Fn>
void* function_pointer(Fn fn) {
  return reinterpret_cast<void*>(fn);
}

}  // namespace detail

template <typename Core, const char* ClassDoc>
class ClassBuilder {
  using ClassSignature = DocSignature<ClassDoc>;

 public:
  template <auto Make>
  ClassBuilder& constructor() {
    slots_.push_back({Py_tp_new, detail::function_pointer(&detail::new_slot<Core, Make, ClassDoc>)});
    return *this;
  }

  template <auto Fn, const char* Doc>
  ClassBuilder& method() {
    using S = DocSignature<Doc>;
    if constexpr (detail::takes_arguments<decltype(Fn)>) {
      methods_.push_back({S::c_name.data(), reinterpret_cast<PyCFunction>(
                                                reinterpret_cast<void (*)()>(&detail::method_fastcall<Fn, Doc>)),
                          METH_FASTCALL | METH_KEYWORDS, Doc});
    } else {
      static_assert(S::arity == 0, "the text signature lists parameters the function does not take");
      methods_.push_back({S::c_name.data(), &detail::method_noargs<Fn>, METH_NOARGS, Doc});
    }
    return *this;
  }

  // A read-only property; `doc` may be null.
  template <auto Fn>
  ClassBuilder& property(const char* name, const char* doc) {
    properties_.push_back({name, &detail::getter<Fn>, nullptr, doc, nullptr});
    return *this;
  }

  template <auto Fn>
  ClassBuilder& repr() {
    slots_.push_back({Py_tp_repr, detail::function_pointer(&detail::repr_slot<Fn>)});
    return *this;
  }

  // len() and truth through the mapping length slot.
  template <auto Fn>
  ClassBuilder& length() {
    slots_.push_back({Py_mp_length, detail::function_pointer(&detail::length_slot<Fn>)});
    return *this;
  }

  // Creates the type object; it lives for the rest of the process, and so do
  // the tables it points into. Throws PythonErrorSet on failure.
  PyTypeObject* build() {
    methods_.push_back({nullptr, nullptr, 0, nullptr});
    properties_.push_back({nullptr, nullptr, nullptr, nullptr, nullptr});
    slots_.push_back({Py_tp_doc, const_cast<char*>(ClassDoc)});
    slots_.push_back({Py_tp_dealloc, detail::function_pointer(&detail::dealloc_slot<Core>)});
    slots_.push_back({Py_tp_methods, leak(std::move(methods_))});
    slots_.push_back({Py_tp_getset, leak(std::move(properties_))});
    slots_.push_back({0, nullptr});
    static PyType_Spec spec{kQualifiedName.data(), static_cast<int>(sizeof(Instance<Core>)), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, leak(std::move(slots_))};
    PyObject* type = PyType_FromSpec(&spec);
    if (type == nullptr) raise_current();
    g_type_of<Core> = reinterpret_cast<PyTypeObject*>(type);
    return g_type_of<Core>;
  }

 private:
  static constexpr auto kQualifiedName = [] {
    constexpr std::string_view prefix = "builtins.";
    std::array<char, prefix.size() + ClassSignature::name.size() + 1> out{};
    for (std::size_t i = 0; i < prefix.size(); ++i) out[i] = prefix[i];
    for (std::size_t i = 0; i < ClassSignature::name.size(); ++i) out[prefix.size() + i] = ClassSignature::name[i];
    return out;
  }();

  template <typename T>
  static T* leak(std::vector<T>&& table) {
    return (new std::vector<T>(std::move(table)))->data();
  }

  std::vector<PyType_Slot> slots_;
  std::vector<PyMethodDef> methods_;
  std::vector<PyGetSetDef> properties_;
};

}  // namespace kiv::python
