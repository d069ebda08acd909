/* The floor of any C implementation, for the benchmarks.

   install(cls) gives `cls` a C method is_running(station) that does what the controller's
   is_running(station) must at least do: test that station is exactly an int, read the master
   from the instance by generic attribute lookup, and call master.get_coil(station, "Y1")
   without building a bound method.

   ping_pong(fd, request, count) writes `request` to `fd` and waits (poll with a deadline,
   then read) for a reply ending in a carriage return, `count` times: the least a bus master
   must do per transaction. Returns the seconds taken and those of the fastest round trip
   (one clock reading per round trip, some 20 ns, is the price of the latter). */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <errno.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

static PyObject *master_name, *get_coil_name, *running_coil;

#if PY_VERSION_HEX < 0x03090000
/* 3.8 has no method call by name through vectorcall: find the function on the type as the
   interpreter's method-call opcode does, and call it with the master prepended. */
static PyObject* call_method(PyObject* obj, PyObject* name, PyObject* const* args, size_t n) {
  PyObject* found = _PyType_Lookup(Py_TYPE(obj), name);
  PyObject** dict = _PyObject_GetDictPtr(obj);
  if (found != NULL && PyType_HasFeature(Py_TYPE(found), Py_TPFLAGS_METHOD_DESCRIPTOR) &&
      Py_TYPE(found)->tp_descr_set == NULL &&
      Py_TYPE(obj)->tp_getattro == PyObject_GenericGetAttr &&
      (dict == NULL || *dict == NULL || PyDict_GetItem(*dict, name) == NULL)) {
    Py_INCREF(found);
    PyObject* result = _PyObject_Vectorcall(found, args, n, NULL);
    Py_DECREF(found);
    return result;
  }
  PyObject* bound = PyObject_GetAttr(obj, name);
  if (bound == NULL) return NULL;
  PyObject* result = _PyObject_Vectorcall(bound, args + 1, n - 1, NULL);
  Py_DECREF(bound);
  return result;
}
#else
static PyObject* call_method(PyObject* obj, PyObject* name, PyObject* const* args, size_t n) {
  (void)obj;
  return PyObject_VectorcallMethod(name, args, n, NULL);
}
#endif

static PyObject* is_running(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 1 || !PyLong_CheckExact(args[0])) {
    PyErr_SetString(PyExc_TypeError, "is_running(station): station must be an int");
    return NULL;
  }
  PyObject* master = PyObject_GetAttr(self, master_name);
  if (master == NULL) return NULL;
  PyObject* stack[3] = {master, args[0], running_coil};
  PyObject* result = call_method(master, get_coil_name, stack, 3);
  Py_DECREF(master);
  return result;
}

static PyMethodDef is_running_def = {"is_running", (PyCFunction)(void (*)(void))is_running,
                                     METH_FASTCALL, NULL};

static PyObject* install(PyObject* module, PyObject* cls) {
  (void)module;
  if (!PyType_Check(cls)) {
    PyErr_SetString(PyExc_TypeError, "install(cls): a class");
    return NULL;
  }
  PyObject* descr = PyDescr_NewMethod((PyTypeObject*)cls, &is_running_def);
  if (descr == NULL) return NULL;
  int failed = PyObject_SetAttrString(cls, "is_running", descr);
  Py_DECREF(descr);
  if (failed) return NULL;
  Py_RETURN_NONE;
}

static double now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + t.tv_nsec * 1e-9;
}

/* One write of the request, then poll and read until the reply's carriage return.
   0 on success, else an errno value (ETIMEDOUT when no reply came within 1 s). */
static int round_trip(int fd, const char* request, Py_ssize_t length) {
  char reply[512];
  if (write(fd, request, (size_t)length) != length) return errno ? errno : EIO;
  for (;;) {
    struct pollfd p = {fd, POLLIN, 0};
    int ready = poll(&p, 1, 1000);
    if (ready < 0) return errno;
    if (ready == 0) return ETIMEDOUT;
    ssize_t got = read(fd, reply, sizeof reply);
    if (got < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      return errno;
    }
    if (got > 0 && reply[got - 1] == '\r') return 0;
  }
}

static PyObject* ping_pong(PyObject* module, PyObject* args) {
  (void)module;
  int fd;
  const char* request;
  Py_ssize_t length, count;
  if (!PyArg_ParseTuple(args, "iy#n", &fd, &request, &length, &count)) return NULL;
  int error = 0;
  double start, last, fastest = 1e9;
  Py_BEGIN_ALLOW_THREADS;
  start = last = now();
  for (Py_ssize_t i = 0; i < count && error == 0; ++i) {
    error = round_trip(fd, request, length);
    double t = now();
    if (t - last < fastest) fastest = t - last;
    last = t;
  }
  Py_END_ALLOW_THREADS;
  if (error) {
    errno = error;
    return PyErr_SetFromErrno(PyExc_OSError);
  }
  return Py_BuildValue("dd", last - start, fastest);
}

static PyMethodDef methods[] = {
    {"install", install, METH_O, "Gives the class the floor's C method is_running(station)."},
    {"ping_pong", ping_pong, METH_VARARGS,
     "ping_pong(fd, request, count): (seconds for `count` round trips, fastest one)."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef floor_module = {
    PyModuleDef_HEAD_INIT, "floor", NULL, -1, methods, NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit_floor(void) {
  master_name = PyUnicode_InternFromString("_KOVAxisController__mew");
  get_coil_name = PyUnicode_InternFromString("get_coil");
  running_coil = PyUnicode_InternFromString("Y1");
  if (master_name == NULL || get_coil_name == NULL || running_coil == NULL) return NULL;
  return PyModule_Create(&floor_module);
}
