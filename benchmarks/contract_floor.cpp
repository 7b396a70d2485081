// The least work the node-function contract allows, with no engine at all.
//
// Every call of a node function takes the interpreter lock and lets it go
// again before returning, builds the input dict and reads the output dict;
// Dag.execute hands the run's values back as a new dict. These loops do only
// that, written straight on the C API, so that the benchmark table can show
// how much of quillon's time the contract itself sets. benchmarks/run.py
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

PyMethodDef methods[] = {
    {"chain", chain, METH_VARARGS, "chain(functions, in_name, out_name, keys) -> dict"},
    {"calls", calls, METH_VARARGS, "calls(function, values, in_name, out_name, rounds) -> list"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {PyModuleDef_HEAD_INIT, "quillon_contract_floor", nullptr, -1, methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_quillon_contract_floor() { return PyModule_Create(&module); }
