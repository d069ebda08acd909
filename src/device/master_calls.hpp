// The master operations as the controller calls them. Each call reads the controller's
// master attribute afresh (a master replaced by `open` takes effect at once; a closed
// controller holds None there and the call fails on it) and passes its arguments
// positionally: station first, address second.
#pragma once

#include "device/register_map.hpp"
#include "module/py_ref.hpp"

namespace kov::device {

// The controller's master, `self._KOVAxisController__mew`.
Ref master(PyObject* controller);

Ref get_int32(PyObject* controller, PyObject* station, const Address& address);
Ref set_int32(PyObject* controller, PyObject* station, const Address& address, PyObject* value);
Ref set_uint32(PyObject* controller, PyObject* station, const Address& address, PyObject* value);
Ref get_multi_int32(PyObject* controller, PyObject* station, const Address& address, long count);
Ref set_multi_uint32(PyObject* controller, PyObject* station, const Address& address,
                     PyObject* values);
Ref get_coil(PyObject* controller, PyObject* station, const Address& address);
Ref set_coil(PyObject* controller, PyObject* station, const Address& address, PyObject* value);

// Raw access with a caller-given address string.
Ref get_coil_raw(PyObject* controller, PyObject* station, PyObject* name);
Ref set_coil_raw(PyObject* controller, PyObject* station, PyObject* name, PyObject* value);
Ref get_coil_uint16_raw(PyObject* controller, PyObject* station, PyObject* name);
Ref set_coil_uint16_raw(PyObject* controller, PyObject* station, PyObject* name, PyObject* value);

}  // namespace kov::device
