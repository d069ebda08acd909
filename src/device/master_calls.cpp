#include "device/master_calls.hpp"

#include "controller/attributes.hpp"
#include "module/call_support.hpp"

namespace kov::device {

namespace {
const Name kGetInt32{"get_int32"};
const Name kSetInt32{"set_int32"};
const Name kSetUint32{"set_uint32"};
const Name kGetMultiInt32{"get_multi_int32"};
const Name kSetMultiUint32{"set_multi_uint32"};
const Name kGetCoil{master_op::kGetCoil};
const Name kSetCoil{master_op::kSetCoil};
const Name kGetCoilUint16{master_op::kGetCoilUint16};
const Name kSetCoilUint16{master_op::kSetCoilUint16};

Ref on_master(PyObject* controller, const Name& op, std::initializer_list<PyObject*> args) {
  Ref mew = master_of(controller);
  return mew ? call_method(mew.get(), op, args) : Ref();
}
}  // namespace

Ref get_int32(PyObject* controller, PyObject* station, const Address& address) {
  return on_master(controller, kGetInt32, {station, address.text.get()});
}
Ref set_int32(PyObject* controller, PyObject* station, const Address& address, PyObject* value) {
  return on_master(controller, kSetInt32, {station, address.text.get(), value});
}
Ref set_uint32(PyObject* controller, PyObject* station, const Address& address, PyObject* value) {
  return on_master(controller, kSetUint32, {station, address.text.get(), value});
}
Ref get_multi_int32(PyObject* controller, PyObject* station, const Address& address, long count) {
  Ref n = integer(count);
  return n ? on_master(controller, kGetMultiInt32, {station, address.text.get(), n.get()}) : Ref();
}
Ref set_multi_uint32(PyObject* controller, PyObject* station, const Address& address,
                     PyObject* values) {
  return on_master(controller, kSetMultiUint32, {station, address.text.get(), values});
}
Ref get_coil(PyObject* controller, PyObject* station, const Address& address) {
  return on_master(controller, kGetCoil, {station, address.text.get()});
}
Ref set_coil(PyObject* controller, PyObject* station, const Address& address, PyObject* value) {
  return on_master(controller, kSetCoil, {station, address.text.get(), value});
}

Ref get_coil_raw(PyObject* controller, PyObject* station, PyObject* name) {
  return on_master(controller, kGetCoil, {station, name});
}
Ref set_coil_raw(PyObject* controller, PyObject* station, PyObject* name, PyObject* value) {
  return on_master(controller, kSetCoil, {station, name, value});
}
Ref get_coil_uint16_raw(PyObject* controller, PyObject* station, PyObject* name) {
  return on_master(controller, kGetCoilUint16, {station, name});
}
Ref set_coil_uint16_raw(PyObject* controller, PyObject* station, PyObject* name, PyObject* value) {
  return on_master(controller, kSetCoilUint16, {station, name, value});
}

}  // namespace kov::device
