// The least work the node-function contract allows, with no engine at all.
//
// Every call of a node function takes the interpreter lock and lets it go
// again before returning, builds the input dict and reads the output dict;
// Dag.execute hands the run's values back as a new dict. These loops do only
// that, written straight on the C API, so that the benchmark table can show
// how much of quillon's time the contract itself sets. It also keeps the way
// StatResult.particles used to build its dicts on every read, so that the
// kept list can be set against it in the same run. benchmarks/run.py
// compiles this file with the running interpreter's headers.

#include <Python.h>

namespace {

// Calls `function` with {in_name: *in} (an empty dict when `in` is null)
// with the lock held, and reads "out_name" of its result into `*out`. The
// caller has given up the lock in `*state` and gets it back there.
bool call_once(PyThreadState** state, PyObject* function, PyObject* in_name, const double* in, PyObject* out_name,
               double* out) {
  PyEval_RestoreThread(*state);
  bool ok = false;
  PyObject* inputs = PyDict_New();
  PyObject* value = in == nullptr ? nullptr : PyFloat_FromDouble(*in);
  if (inputs != nullptr && (in == nullptr || (value != nullptr && PyDict_SetItem(inputs, in_name, value) == 0))) {
    PyObject* result = PyObject_CallOneArg(function, inputs);
    if (result != nullptr) {
      PyObject* produced = PyDict_Check(result) ? PyDict_GetItemWithError(result, out_name) : nullptr;
      if (produced != nullptr) {
        *out = PyFloat_AsDouble(produced);
        ok = !(*out == -1.0 && PyErr_Occurred());
      } else if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_KeyError, "the node function returned no such output");
      }
      Py_DECREF(result);
    }
  }
  Py_XDECREF(value);
  Py_XDECREF(inputs);
  *state = PyEval_SaveThread();
  return ok;
}

// chain(functions, in_name, out_name, keys) -> dict
// Runs functions[0] on {} and every later one on the previous output, then
// returns {keys[i]: output i}.
PyObject* chain(PyObject*, PyObject* args) {
  PyObject *functions, *in_name, *out_name, *keys;
  if (!PyArg_ParseTuple(args, "O!UUO!", &PyList_Type, &functions, &in_name, &out_name, &PyList_Type, &keys)) {
    return nullptr;
  }
  const Py_ssize_t n = PyList_GET_SIZE(functions);
  if (PyList_GET_SIZE(keys) != n) {
    PyErr_SetString(PyExc_ValueError, "one key per function");
    return nullptr;
  }
  double* values = static_cast<double*>(PyMem_Malloc(sizeof(double) * static_cast<size_t>(n > 0 ? n : 1)));
  if (values == nullptr) return PyErr_NoMemory();
  bool ok = true;
  PyThreadState* state = PyEval_SaveThread();
  for (Py_ssize_t i = 0; i < n && ok; ++i) {
    ok = call_once(&state, PyList_GET_ITEM(functions, i), in_name, i == 0 ? nullptr : &values[i - 1], out_name,
                   &values[i]);
  }
  PyEval_RestoreThread(state);
  PyObject* result = ok ? _PyDict_NewPresized(n) : nullptr;
  for (Py_ssize_t i = 0; i < n && result != nullptr; ++i) {
    PyObject* value = PyFloat_FromDouble(values[i]);
    if (value == nullptr || PyDict_SetItem(result, PyList_GET_ITEM(keys, i), value) != 0) Py_CLEAR(result);
    Py_XDECREF(value);
  }
  PyMem_Free(values);
  return result;
}

// calls(function, values, in_name, out_name, rounds) -> list
// `rounds` times over: every value through the function; returns the last
// round's outputs.
PyObject* calls(PyObject*, PyObject* args) {
  PyObject *function, *values, *in_name, *out_name;
  Py_ssize_t rounds = 0;
  if (!PyArg_ParseTuple(args, "OO!UUn", &function, &PyList_Type, &values, &in_name, &out_name, &rounds)) {
    return nullptr;
  }
  const Py_ssize_t n = PyList_GET_SIZE(values);
  double* current = static_cast<double*>(PyMem_Malloc(sizeof(double) * static_cast<size_t>(n > 0 ? 2 * n : 1)));
  if (current == nullptr) return PyErr_NoMemory();
  double* next = current + n;
  for (Py_ssize_t i = 0; i < n; ++i) {
    current[i] = PyFloat_AsDouble(PyList_GET_ITEM(values, i));
    if (current[i] == -1.0 && PyErr_Occurred()) {
      PyMem_Free(current);
      return nullptr;
    }
  }
  double* block = current;
  bool ok = true;
  PyThreadState* state = PyEval_SaveThread();
  for (Py_ssize_t round = 0; round < rounds && ok; ++round) {
    for (Py_ssize_t i = 0; i < n && ok; ++i) ok = call_once(&state, function, in_name, &current[i], out_name, &next[i]);
    double* done = next;
    next = current;
    current = done;
  }
  PyEval_RestoreThread(state);
  PyObject* result = ok ? PyList_New(n) : nullptr;
  for (Py_ssize_t i = 0; i < n && result != nullptr; ++i) {
    PyObject* item = PyFloat_FromDouble(current[i]);
    if (item == nullptr) {
      Py_CLEAR(result);
    } else {
      PyList_SET_ITEM(result, i, item);
    }
  }
  PyMem_Free(block);
  return result;
}

// particle_dicts(keys, columns) -> list
// The particle dicts as StatResult.particles built them on every read before
// it kept its list: one dict per particle, copied from a dict holding every
// key in order when the particle holds at least three quarters of them (its
// values then replaced in place, absent keys deleted), otherwise built key by
// key. `columns` are 1-D float64 buffers, one per key; NaN marks a particle
// without a value.
PyObject* particle_dicts(PyObject*, PyObject* args) {
  PyObject *keys, *columns;
  if (!PyArg_ParseTuple(args, "O!O!", &PyList_Type, &keys, &PyList_Type, &columns)) return nullptr;
  const Py_ssize_t width = PyList_GET_SIZE(keys);
  if (PyList_GET_SIZE(columns) != width) {
    PyErr_SetString(PyExc_ValueError, "one column per key");
    return nullptr;
  }
  Py_buffer* views = static_cast<Py_buffer*>(PyMem_Calloc(static_cast<size_t>(width > 0 ? width : 1), sizeof(Py_buffer)));
  if (views == nullptr) return PyErr_NoMemory();
  Py_ssize_t taken = 0, count = -1;
  PyObject* shape = PyDict_New();
  PyObject* result = nullptr;
  bool ok = shape != nullptr;
  for (; ok && taken < width; ++taken) {
    Py_buffer& view = views[taken];
    if (PyObject_GetBuffer(PyList_GET_ITEM(columns, taken), &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) break;
    const Py_ssize_t length = view.len / static_cast<Py_ssize_t>(sizeof(double));
    if (view.itemsize != sizeof(double) || (count >= 0 && length != count)) {
      PyErr_SetString(PyExc_ValueError, "columns must be float64 and of one length");
      ++taken;
      ok = false;
      break;
    }
    count = length;
    ok = PyDict_SetItem(shape, PyList_GET_ITEM(keys, taken), Py_None) == 0;
  }
  ok = ok && taken == width;
  if (count < 0) count = 0;
  result = ok ? PyList_New(count) : nullptr;
  for (Py_ssize_t i = 0; i < count && result != nullptr; ++i) {
    Py_ssize_t held = 0;
    for (Py_ssize_t k = 0; k < width; ++k) held += static_cast<const double*>(views[k].buf)[i] == static_cast<const double*>(views[k].buf)[i];
    const bool from_shape = held * 4 >= width * 3;
    PyObject* dict = from_shape ? PyDict_Copy(shape) : PyDict_New();
    bool filled = dict != nullptr;
    for (Py_ssize_t k = 0; k < width && filled; ++k) {
      const double value = static_cast<const double*>(views[k].buf)[i];
      PyObject* key = PyList_GET_ITEM(keys, k);
      if (value == value) {
        PyObject* number = PyFloat_FromDouble(value);
        filled = number != nullptr && PyDict_SetItem(dict, key, number) == 0;
        Py_XDECREF(number);
      } else if (from_shape) {
        filled = PyDict_DelItem(dict, key) == 0;
      }
    }
    if (!filled) {
      Py_XDECREF(dict);
      Py_CLEAR(result);
    } else {
      PyList_SET_ITEM(result, i, dict);
    }
  }
  for (Py_ssize_t k = 0; k < taken; ++k) {
    if (views[k].obj != nullptr) PyBuffer_Release(&views[k]);
  }
  PyMem_Free(views);
  Py_XDECREF(shape);
  return result;
}

PyMethodDef methods[] = {
    {"chain", chain, METH_VARARGS, "chain(functions, in_name, out_name, keys) -> dict"},
    {"calls", calls, METH_VARARGS, "calls(function, values, in_name, out_name, rounds) -> list"},
    {"particle_dicts", particle_dicts, METH_VARARGS, "particle_dicts(keys, columns) -> list"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {PyModuleDef_HEAD_INIT, "quillon_contract_floor", nullptr, -1, methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_quillon_contract_floor() { return PyModule_Create(&module); }
