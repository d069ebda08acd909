// Lookups of a name on objects, remembered while nothing they depend on has changed.
//
// The controller looks its methods, its master and its tables up through the instance at
// every call, and the master's methods through the master, so that any change (an override
// in a subclass, an instance attribute, a replaced `__dict__` or `__class__`, a patched
// class) takes effect at the next call. What such a lookup finds depends on two things:
// - the class and its bases: the interpreter gives every type a version tag and renews it
//   whenever the type or one of its bases changes; tags are never reused;
// - the instance dict: until 3.11 every dict carries a version renewed at each change; 3.12
//   tells a watcher instead, which renews a stamp of all watched dicts; 3.13 tells neither
//   of stores into attributes it keeps beside the object, so there instance dicts are not
//   followed and the interpreter's own lookup is used for objects that have one.
// An entry is trusted only while the type carries the tag and the dict the version (or
// stamp) it was made under; otherwise the lookup is made afresh.
#pragma once

#include <cstdint>

// Python.h comes first everywhere (py_ref.hpp); this header only needs the object type.
struct _object;

namespace kov {

struct LookupCache {
  // Several entries, so that a few controllers (or masters, or classes) used in turn each
  // keep theirs.
  static constexpr int kEntries = 4;
  struct Entry {
    const void* type = nullptr;
    unsigned int tag = 0;
    const void* dict = nullptr;  // the instance dict seen; null: the object had none
    std::uint64_t version = 0;   // of that dict
    _object* binding = nullptr;  // borrowed from the class: what the class defines, or null
    _object* own = nullptr;      // borrowed from the dict: the instance's own value, or null
  };
  Entry entries[kEntries] = {};
  unsigned int next = 0;  // the entry to replace next
  unsigned int last = 0;  // the entry that answered last
};

// `getattr(obj, name)`, remembered in `cache`.
// Returns a new reference, or null with an exception set.
_object* cached_attribute(_object* obj, _object* name, LookupCache& cache);

// Finds `obj.name` as the interpreter's method-call opcode does, remembered in `cache`.
// Returns 1 with the plain function in `*method` (a new reference) when calling it with
// `obj` prepended is the same as calling the bound method, so that no bound method need be
// made; otherwise 0 with the attribute itself (or null and an exception set).
//
// Beyond the opcode, an instance method wrapper (how pybind11 keeps the methods of its
// classes) on the type of an object without an instance dict also gives its function: its
// `__get__` would only bind that function to the object.
//
// Returns kCallByName, with nothing found, for an object whose instance dict cannot be
// followed on this interpreter: the caller then calls the method by name (the interpreter's
// own lookup, which reads the instance's attributes without making a dict object).
inline constexpr int kCallByName = 2;
int cached_method(_object* obj, _object* name, _object** method, LookupCache& cache);

// Starts watching instance dicts where the interpreter keeps no dict versions; called once
// by module execution. Without it (or when the interpreter has no watcher left), instance
// dicts are looked up at every call.
void start_dict_watch();

}  // namespace kov
