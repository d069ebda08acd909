// Classes made the way a class statement with one base makes them.
#pragma once

#include "module/native_function.hpp"
#include "module/py_ref.hpp"

namespace kov {

// The base's metaclass prepares the namespace, which receives `__module__` and
// `__qualname__`, then the members in the order they are added; `finish` calls the
// metaclass. Any step that fails leaves an exception set and makes the later ones fail.
class ClassStatement {
 public:
  // `base` null: `object`.
  ClassStatement(PyObject* module, const char* name, PyObject* base);

  // `name = value` in the class body.
  bool add(PyObject* key, PyObject* value);
  // A method defined by its row, stored under the row's (mangled) name.
  bool add(const Operation& op);
  // A property made of a getter and a setter row, stored under the getter's name.
  bool add_property(const Operation& getter, const Operation& setter);
  Ref finish();

  const char* name() const noexcept { return name_text_; }

 private:
  PyObject* module_;
  const char* name_text_;
  Ref metaclass_, name_, bases_, ns_;
};

}  // namespace kov
