#include "module/enumerations.hpp"

#include <initializer_list>
#include <utility>

#include "module/call_support.hpp"

namespace kov {

namespace {

const Name kValue{"value"};
const Name kPrepare{"__prepare__"};
const Name kModuleKey{"__module__"};
const Name kQualnameKey{"__qualname__"};

Ref reverse(const Call& c) {
  Ref value = attribute(c.self(), kValue);
  if (!value) return {};
  Ref negated = Ref::steal(PyNumber_Negative(value.get()));
  Ref direction = negated ? global(c, globals::kDirection) : Ref();
  if (!direction) return {};
  return call(direction.get(), {negated.get()});
}

const Operation kReverse{"reverse", "Direction", {}, nullptr, nullptr, reverse};

struct Member {
  const char* name;
  long value;
};

// Built the way a class statement builds it: the metaclass prepares the namespace, which
// receives `__module__`, `__qualname__`, then the members in order.
bool add_enumeration(PyObject* module, const char* name, std::initializer_list<Member> members,
                     const Operation* method = nullptr) {
  PyObject* globals = PyModule_GetDict(module);
  PyObject* int_enum = PyDict_GetItemString(globals, "_IntEnum");
  if (int_enum == nullptr) {
    PyErr_SetString(PyExc_NameError, "name '_IntEnum' is not defined");
    return false;
  }
  Ref metaclass = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(int_enum)));
  Ref class_name = Ref::steal(PyUnicode_FromString(name));
  Ref bases = Ref::steal(PyTuple_Pack(1, int_enum));
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  if (!class_name || !bases || !module_name) return false;
  Ref ns = call_method(metaclass.get(), kPrepare, {class_name.get(), bases.get()});
  if (!ns || PyObject_SetItem(ns.get(), kModuleKey.get(), module_name.get()) < 0 ||
      PyObject_SetItem(ns.get(), kQualnameKey.get(), class_name.get()) < 0)
    return false;
  for (const Member& m : members) {
    Ref key = Ref::steal(PyUnicode_FromString(m.name));
    Ref value = Ref::steal(PyLong_FromLong(m.value));
    if (!key || !value || PyObject_SetItem(ns.get(), key.get(), value.get()) < 0) return false;
  }
  if (method != nullptr) {
    Ref fn = make_function(*method, module);
    Ref key = Ref::steal(PyUnicode_FromString(method->name));
    if (!fn || !key || PyObject_SetItem(ns.get(), key.get(), fn.get()) < 0) return false;
  }
  Ref cls = call(metaclass.get(), {class_name.get(), bases.get(), ns.get()});
  return cls && PyDict_SetItem(globals, class_name.get(), cls.get()) == 0;
}

}  // namespace

bool add_enumerations(PyObject* module) {
  return add_enumeration(module, "Direction", {{"Negative", -1}, {"Positive", 1}}, &kReverse) &&
         add_enumeration(module, "StopSource",
                         {{"Null", 0},
                          {"Command", 1},
                          {"Origin", 2},
                          {"NegativeLimit", 3},
                          {"PositiveLimit", 4},
                          {"Alarm", 5},
                          {"Emergency", 6}}) &&
         add_enumeration(module, "FindingOMethod",
                         {{"LimitFirstThenBackward", 0}, {"OriginOnly", 1}});
}

}  // namespace kov
