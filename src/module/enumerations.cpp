#include "module/enumerations.hpp"

#include <initializer_list>

#include "module/class_statement.hpp"
#include "module/module_globals.hpp"
#include "module/python_compat.hpp"

namespace kov {

namespace {

// Lookup by value, `Enumeration(value)`, goes through the metaclass's `__call__` and the
// class's `__new__` in Python, which end in `_value2member_map_[value]` for a value that a
// member has. For the module's own, unchanged enumeration asked for such a value (an exact
// int) the member is taken from that map directly; anything else (a replaced global, a
// patched `__call__` or `__new__`, a value the map lacks or of another type) makes the call.
struct ValueLookup {
  const Name* enumeration = nullptr;
  // Set at import and kept for the life of the process, like interned names.
  PyObject* cls = nullptr;
  PyObject* meta = nullptr;
  PyObject* call = nullptr;  // the metaclass's `__call__` at import
  PyObject* make = nullptr;  // the class's `__new__` at import
  // Valid while both types carry these version tags (0: not armed).
  unsigned int cls_tag = 0;
  unsigned int meta_tag = 0;
  PyObject* value_map = nullptr;   // borrowed from the class
  PyObject* member_map = nullptr;  // borrowed from the class
};

ValueLookup value_lookups[3];

const Name kDunderCall{"__call__"};
const Name kDunderNew{"__new__"};
const Name kValueMap{"_value2member_map_"};
const Name kMemberMap{"_member_map_"};

PyObject* on_type(PyObject* type, const Name& name) {
  PyObject* key = name.get();
  return key != nullptr ? compat::type_lookup(reinterpret_cast<PyTypeObject*>(type), key) : nullptr;
}

// Arms `l` when the class and its metaclass still resolve `__call__` and `__new__` as at
// import; records the tags they carry after these lookups.
void arm(ValueLookup& l) {
  l.cls_tag = l.meta_tag = 0;
  if (reinterpret_cast<PyObject*>(Py_TYPE(l.cls)) != l.meta ||
      on_type(l.meta, kDunderCall) != l.call || on_type(l.cls, kDunderNew) != l.make)
    return;
  PyObject* value_map = on_type(l.cls, kValueMap);
  PyObject* member_map = on_type(l.cls, kMemberMap);
  if (value_map == nullptr || !PyDict_CheckExact(value_map) || member_map == nullptr ||
      !PyDict_CheckExact(member_map))
    return;
  l.value_map = value_map;
  l.member_map = member_map;
  l.cls_tag = compat::version_tag(reinterpret_cast<PyTypeObject*>(l.cls));
  l.meta_tag = compat::version_tag(reinterpret_cast<PyTypeObject*>(l.meta));
  if (l.cls_tag == 0 || l.meta_tag == 0) l.cls_tag = l.meta_tag = 0;
}

bool remember(const Name& enumeration, PyObject* cls) {
  for (ValueLookup& l : value_lookups) {
    if (l.enumeration != nullptr && l.enumeration != &enumeration) continue;
    PyObject* meta = reinterpret_cast<PyObject*>(Py_TYPE(cls));
    Ref call = Ref::borrow(on_type(meta, kDunderCall));
    Ref make = Ref::borrow(on_type(cls, kDunderNew));
    if (!call || !make) return !PyErr_Occurred();  // not an enumeration we know: no fast path
    Py_XSETREF(l.cls, Ref::borrow(cls).release());
    Py_XSETREF(l.meta, Ref::borrow(meta).release());
    Py_XSETREF(l.call, call.release());
    Py_XSETREF(l.make, make.release());
    l.enumeration = &enumeration;
    arm(l);
    return true;
  }
  return true;
}

// The member for `value`, borrowed, when the fast path applies; null (and no error) when
// the call must decide.
PyObject* known_member(const Name& enumeration, PyObject* cls, PyObject* value) {
  if (!PyLong_CheckExact(value)) return nullptr;
  for (ValueLookup& l : value_lookups) {
    if (l.enumeration != &enumeration) continue;
    if (cls != l.cls) return nullptr;
    if (l.cls_tag == 0 ||
        compat::version_tag(reinterpret_cast<PyTypeObject*>(l.cls)) != l.cls_tag ||
        compat::version_tag(reinterpret_cast<PyTypeObject*>(l.meta)) != l.meta_tag ||
        reinterpret_cast<PyObject*>(Py_TYPE(cls)) != l.meta) {
      arm(l);
      if (l.cls_tag == 0) return nullptr;
    }
    // The metaclass's call takes the value map only while the class has members.
    if (PyDict_GET_SIZE(l.member_map) == 0) return nullptr;
    // A key of another type could fail the comparison: then the call decides, and says so.
    PyObject* found = PyDict_GetItemWithError(l.value_map, value);
    if (found == nullptr) PyErr_Clear();
    return found;
  }
  return nullptr;
}

// Called once per homing run: the attribute name need not be kept interned.
Ref reverse(const Args<>& a) {
  Ref value = Ref::steal(PyObject_GetAttrString(a.self(), "value"));
  Ref negated = value ? Ref::steal(PyNumber_Negative(value.get())) : Ref();
  Ref direction = negated ? global(a, globals::kDirection) : Ref();
  return direction ? call(direction.get(), {negated.get()}) : Ref();
}

bool add_enumeration(PyObject* module, const Name& name,
                     std::initializer_list<const EnumMember*> members,
                     const Operation* method = nullptr) {
  Ref int_enum = lookup_global(PyModule_GetDict(module), "_IntEnum");
  if (!int_enum) return false;
  ClassStatement cls(module, name.text(), int_enum.get());
  for (const EnumMember* m : members) {
    Ref value = Ref::steal(PyLong_FromLong(m->value));
    if (!cls.add(m->name.get(), value.get())) return false;
  }
  if (method != nullptr && !cls.add(*method)) return false;
  Ref made = cls.finish();
  return made && PyDict_SetItem(PyModule_GetDict(module), name.get(), made.get()) == 0 &&
         remember(name, made.get());
}

}  // namespace

const Operation kReverse = row<reverse>("reverse");

Ref member(const Call& c, const EnumMember& m) {
  Ref enumeration = global(c, m.enumeration);
  return enumeration ? attribute(enumeration.get(), m.name) : Ref();
}

Ref by_value(const Call& c, const Name& enumeration, PyObject* value) {
  Ref cls = global(c, enumeration);
  if (!cls) return {};
  PyObject* found = known_member(enumeration, cls.get(), value);
  return found != nullptr ? Ref::borrow(found) : call(cls.get(), {value});
}

int is(const Call& c, PyObject* value, const EnumMember& m) {
  Ref expected = member(c, m);
  return expected ? equal(value, expected.get()) : -1;
}

bool add_enumerations(PyObject* module) {
  using namespace stop_source;
  return add_enumeration(module, globals::kDirection,
                         {&direction::kNegative, &direction::kPositive}, &kReverse) &&
         add_enumeration(module, globals::kStopSource,
                         {&kNull, &kCommand, &kOrigin, &kNegativeLimit, &kPositiveLimit, &kAlarm,
                          &kEmergency}) &&
         add_enumeration(
             module, globals::kFindingOMethod,
             {&finding_o_method::kLimitFirstThenBackward, &finding_o_method::kOriginOnly});
}

}  // namespace kov
