// The master operations as the controller calls them. Each call takes the controller's
// master afresh (`master_of`: a master replaced by `open` takes effect at once; a closed
// controller holds None there and the call fails on it) and passes its arguments
// positionally: station first, address second.
#pragma once

#include "device/register_map.hpp"
#include "module/py_ref.hpp"

namespace kov::device {

// The master's operations that the controller also offers for raw coil access, under the
// master's own names.
namespace master_op {
inline constexpr char kGetCoil[] = "get_coil";
inline constexpr char kSetCoil[] = "set_coil";
inline constexpr char kGetCoilUint16[] = "get_coil_uint16";
inline constexpr char kSetCoilUint16[] = "set_coil_uint16";
}  // namespace master_op

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
