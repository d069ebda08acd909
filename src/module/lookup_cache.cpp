#include "module/lookup_cache.hpp"

#include "module/py_ref.hpp"
#include "module/python_compat.hpp"

namespace kov {

namespace {

// ---- the state of instance dicts --------------------------------------------------------

// 3.12 tells dict watchers of every change of a watched dict. 3.13 does not tell them of
// attribute stores into an instance dict whose values it keeps with the instance, and no
// longer renews dict versions either: there, instance dicts are looked up at every call.
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030D0000
#define KOV_WATCH_DICTS 1
int dict_watcher = -1;
// Renewed before any watched dict changes or goes away; starts at 1 so that 0 (never
// followed) matches no current stamp.
std::uint64_t watched_dicts_stamp = 1;

int on_dict_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
  ++watched_dicts_stamp;
  return 0;
}
#else
#define KOV_WATCH_DICTS 0
#endif
constexpr bool kFollowDicts = KOV_WATCH_DICTS || compat::kDictVersions;

// The version `dict` has now, for comparing with a remembered one (0: its changes cannot
// be followed).
inline std::uint64_t current_version(PyObject* dict) {
#if KOV_WATCH_DICTS
  (void)dict;
  return watched_dicts_stamp;
#else
  return compat::kDictVersions ? compat::dict_version(dict) : 0;
#endif
}

// The version of `dict` to remember now, starting to watch it where changes are told to a
// watcher; 0 when its changes cannot be followed.
std::uint64_t follow(PyObject* dict) {
#if KOV_WATCH_DICTS
  if (dict_watcher < 0 || PyDict_Watch(dict_watcher, dict) < 0) {
    PyErr_Clear();
    return 0;
  }
#endif
  return current_version(dict);
}

// ---- the lookup -------------------------------------------------------------------------

// What `obj.name` resolves through: the class binding and the instance's own value (either
// may be null). Borrowed from the cache when remembered; held here when looked up afresh.
struct Found {
  PyObject* binding = nullptr;
  PyObject* own = nullptr;
  Ref held_binding;
  Ref held_own;
};

bool matches(const LookupCache::Entry& e, const void* type, unsigned int tag, const void* dict,
             std::uint64_t version) {
  return e.type == type && e.tag == tag && e.dict == dict &&
         (dict == nullptr || (version != 0 && e.version == version));
}

// Looks `obj.name` up afresh, and remembers it when both the class and the dict were seen
// under the tag and version they carry now (the dict lookup can run code that changes them;
// the type lookup may assign the first tag, which the next call then remembers). Of a dict
// whose changes cannot be followed only what its class defines is remembered.
bool look_up(PyObject* obj, PyObject* name, LookupCache& cache, PyObject* dict, Found* found) {
  PyTypeObject* type = Py_TYPE(obj);
  const unsigned int tag = compat::version_tag(type);
  const LookupCache::Entry* same_type = nullptr;
  if (tag != 0) {
    for (const LookupCache::Entry& e : cache.entries)
      if (e.type == type && e.tag == tag) same_type = &e;
  }
  Ref held_dict = Ref::borrow(dict);
  const std::uint64_t followed = dict != nullptr ? follow(dict) : 0;
  found->held_binding =
      Ref::borrow(same_type != nullptr ? same_type->binding : compat::type_lookup(type, name));
  if (dict != nullptr) {
    PyObject* own = nullptr;
    if (compat::dict_item(dict, name, &own) < 0) return false;
    found->held_own = Ref::steal(own);
  }
  found->binding = found->held_binding.get();
  found->own = found->held_own.get();
  const bool dict_followed =
      dict == nullptr || (followed != 0 && current_version(dict) == followed);
  if (tag != 0 && compat::version_tag(type) == tag && compat::instance_dict(obj) == dict &&
      (dict_followed || same_type == nullptr)) {
    cache.last = cache.next++ % LookupCache::kEntries;
    cache.entries[cache.last] = {type,           tag,
                                 dict,           dict_followed ? followed : 0,
                                 found->binding, dict_followed ? found->own : nullptr};
  }
  return true;
}

// The class binding and the instance's own value of `obj.name`; false with an exception set
// when the dict lookup failed.
inline bool find(PyObject* obj, PyObject* name, LookupCache& cache, Found* found) {
  PyTypeObject* type = Py_TYPE(obj);
  PyObject* dict = compat::instance_dict(obj);
  const unsigned int tag = compat::version_tag(type);
  if (tag != 0) {
    const std::uint64_t version = dict != nullptr ? current_version(dict) : 0;
    // The entry used last first: one controller, or one master, called again.
    const LookupCache::Entry* hit = &cache.entries[cache.last];
    if (!matches(*hit, type, tag, dict, version)) {
      hit = nullptr;
      for (unsigned int i = 0; i < LookupCache::kEntries; ++i) {
        if (matches(cache.entries[i], type, tag, dict, version)) {
          cache.last = i;
          hit = &cache.entries[i];
          break;
        }
      }
    }
    if (hit != nullptr) {
      found->binding = hit->binding;
      found->own = hit->own;
      return true;
    }
  }
  return look_up(obj, name, cache, dict, found);
}

bool is_plain_method(PyObject* binding) {
  return PyType_HasFeature(Py_TYPE(binding), Py_TPFLAGS_METHOD_DESCRIPTOR) &&
         Py_TYPE(binding)->tp_descr_set == nullptr;
}

}  // namespace

PyObject* cached_attribute(PyObject* obj, PyObject* name, LookupCache& cache) {
  // Where instance dicts cannot be followed, the interpreter's own lookup reads the
  // instance's attributes without making a dict object for them.
  if (!kFollowDicts && compat::has_instance_dict(obj)) return PyObject_GetAttr(obj, name);
  if (Py_TYPE(obj)->tp_getattro == PyObject_GenericGetAttr) {
    Found found;
    if (!find(obj, name, cache, &found)) return nullptr;
    // Without a class attribute of that name, the instance's own value is the answer.
    if (found.binding == nullptr && found.own != nullptr) return Ref::borrow(found.own).release();
  }
  return PyObject_GetAttr(obj, name);
}

int cached_method(PyObject* obj, PyObject* name, PyObject** method, LookupCache& cache) {
  *method = nullptr;
  if (!kFollowDicts && compat::has_instance_dict(obj)) return kCallByName;
  if (Py_TYPE(obj)->tp_getattro == PyObject_GenericGetAttr) {
    Found found;
    if (!find(obj, name, cache, &found)) return 0;
    PyObject* binding = found.binding;
    if (binding != nullptr && PyInstanceMethod_Check(binding) && !compat::has_instance_dict(obj)) {
      *method = Ref::borrow(PyInstanceMethod_GET_FUNCTION(binding)).release();
      return 1;
    }
    if (binding != nullptr && is_plain_method(binding)) {
      // An instance attribute of that name hides the class's function.
      if (found.own != nullptr) {
        *method = Ref::borrow(found.own).release();
        return 0;
      }
      *method = Ref::borrow(binding).release();
      return 1;
    }
  }
  return compat::generic_method(obj, name, method);
}

void start_dict_watch() {
#if KOV_WATCH_DICTS
  if (dict_watcher >= 0) return;
  dict_watcher = PyDict_AddWatcher(on_dict_event);
  if (dict_watcher < 0) PyErr_Clear();
#endif
}

}  // namespace kov
