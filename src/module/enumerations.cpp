#include "module/enumerations.hpp"

#include <initializer_list>

#include "module/class_statement.hpp"
#include "module/module_globals.hpp"

namespace kov {

namespace {

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
  return made && PyDict_SetItem(PyModule_GetDict(module), name.get(), made.get()) == 0;
}

}  // namespace

const Operation kReverse = row<reverse>("reverse");

Ref member(const Call& c, const EnumMember& m) {
  Ref enumeration = global(c, m.enumeration);
  return enumeration ? attribute(enumeration.get(), m.name) : Ref();
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
