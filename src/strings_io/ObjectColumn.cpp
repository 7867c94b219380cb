// Walks and fills of object columns for vorlane._Strings; see
// ObjectColumn.hpp.
#include "ObjectColumn.hpp"

#include <cstring>

#include "PythonObj.hpp"

namespace {

bool isObjectFormat(const Py_buffer& view) noexcept {
    return view.format != nullptr && std::strcmp(view.format, "O") == 0 &&
           view.itemsize == static_cast<Py_ssize_t>(sizeof(PyObject*));
}

}  // namespace

void ElementWalk::clear() noexcept {
    for (Py_ssize_t i = 0; i < size_; ++i) {
        Py_DECREF(at(i));
    }
    size_ = 0;
}

bool ElementWalk::reserve(Py_ssize_t n) noexcept {
    return items_.reserve(static_cast<size_t>(n) * sizeof(PyObject*) + 1);
}

bool ElementWalk::getObjectBuffer(PyObject* column, Py_buffer& view) noexcept {
    if (!PyObject_CheckBuffer(column) || PyBytes_Check(column) || PyByteArray_Check(column)) {
        return false;
    }
    if (PyObject_GetBuffer(column, &view, PyBUF_RECORDS_RO) < 0) {
        PyErr_Clear();  // not an array of objects: the caller takes it as a sequence
        return false;
    }
    if (view.ndim == 1 && isObjectFormat(view)) {
        return true;
    }
    PyBuffer_Release(&view);
    return false;
}

bool ElementWalk::takeSequence(PyObject* column) noexcept {
    PythonObj seq = PythonObj::steal(PySequence_Fast(column, "column must be a sequence of str"));
    if (!seq) {
        return false;
    }
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    if (!reserve(n)) {
        return false;
    }
    PyObject** items = reinterpret_cast<PyObject**>(items_.data());
    PyObject** src = PySequence_Fast_ITEMS(seq.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_INCREF(src[i]);
        items[i] = src[i];
    }
    size_ = n;
    return true;
}

bool ObjectSlots::hold(PyObject* array, Py_ssize_t count) noexcept {
    // Only an ndarray's object slots are known to own the references they
    // hold (others exporting format "O", such as ctypes arrays of py_object,
    // keep theirs elsewhere), so only one is filled.
    static PyObject* ndarray = nullptr;  // a strong reference, kept for good
    if (!ndarray) {
        PythonObj numpy = PythonObj::steal(PyImport_ImportModule("numpy"));
        ndarray = numpy ? PyObject_GetAttrString(numpy.get(), "ndarray") : nullptr;
        if (!ndarray) {
            return false;
        }
    }
    if (Py_TYPE(array) != reinterpret_cast<PyTypeObject*>(ndarray)) {
        PyErr_Format(PyExc_TypeError, "expected a numpy.ndarray to fill, not %.200s",
                     Py_TYPE(array)->tp_name);
        return false;
    }
    if (!slots_.acquire(array, PyBUF_WRITABLE | PyBUF_FORMAT | PyBUF_C_CONTIGUOUS)) {
        return false;
    }
    const Py_buffer& view = slots_.view;
    if (view.ndim != 1 || !isObjectFormat(view) || view.shape[0] != count) {
        PyErr_Format(PyExc_ValueError, "expected a contiguous object array of %zd items", count);
        return false;
    }
    return true;
}
