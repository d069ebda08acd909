// What a name resolves to on a few types, remembered while each type stays unchanged.
//
// The interpreter gives every type a version tag and renews it whenever the type or one
// of its bases changes (an attribute set or deleted, `__bases__` replaced); tags are never
// reused for another type. An entry is trusted only while its type still carries the tag
// it was made under, so a class patched after warm-up is looked up afresh at the next call.
#pragma once

namespace kov {

struct LookupCache {
  // Several entries, so that controllers of a few classes used in turn keep theirs.
  static constexpr int kEntries = 4;
  struct Entry {
    const void* type = nullptr;
    unsigned int tag = 0;
    void* found = nullptr;  // borrowed from the type's dict; null: the name is not there
  };
  Entry entries[kEntries] = {};
  unsigned int next = 0;
};

}  // namespace kov
