#include "module/class_statement.hpp"

#include "module/call_support.hpp"

namespace kov {

ClassStatement::ClassStatement(PyObject* module, const char* name, PyObject* base)
    : module_(module), name_text_(name) {
  if (base == nullptr) base = reinterpret_cast<PyObject*>(&PyBaseObject_Type);
  metaclass_ = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(base)));
  name_ = Ref::steal(PyUnicode_FromString(name));
  bases_ = name_ ? Ref::steal(PyTuple_Pack(1, base)) : Ref();
  Ref prepare =
      bases_ ? Ref::steal(PyObject_GetAttrString(metaclass_.get(), "__prepare__")) : Ref();
  ns_ = prepare ? call(prepare.get(), {name_.get(), bases_.get()}) : Ref();
  Ref module_name = ns_ ? Ref::steal(PyModule_GetNameObject(module)) : Ref();
  if (!module_name || PyMapping_SetItemString(ns_.get(), "__module__", module_name.get()) < 0 ||
      PyMapping_SetItemString(ns_.get(), "__qualname__", name_.get()) < 0)
    ns_ = Ref();
}

bool ClassStatement::add(PyObject* key, PyObject* value) {
  if (!ns_ || key == nullptr || value == nullptr || PyObject_SetItem(ns_.get(), key, value) < 0) {
    ns_ = Ref();
    return false;
  }
  return true;
}

bool ClassStatement::add(const Operation& op) {
  Ref fn = ns_ ? make_function(op, module_, name_text_) : Ref();
  return add(op.key, fn.get());
}

bool ClassStatement::add_property(const Operation& getter, const Operation& setter) {
  Ref get = ns_ ? make_function(getter, module_, name_text_) : Ref();
  Ref set = get ? make_function(setter, module_, name_text_) : Ref();
  Ref property =
      set ? call(reinterpret_cast<PyObject*>(&PyProperty_Type), {get.get(), set.get()}) : Ref();
  return add(getter.key, property.get());
}

Ref ClassStatement::finish() {
  if (!ns_) return {};
  return call(metaclass_.get(), {name_.get(), bases_.get(), ns_.get()});
}

}  // namespace kov
