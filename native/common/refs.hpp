// Owned references to Python objects.
//
// Module code holds every new reference in a `Ref` and hands ownership back
// to the interpreter only through `release()`.  Borrowed references stay plain
// `PyObject*`; `Ref::borrow` takes a new reference to one.  Errors use the
// interpreter's own convention (NULL or -1 with an exception set) and early
// returns; the destructors release whatever was acquired on the way.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace dravik {

class Ref {
 public:
  Ref() noexcept = default;
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      PyObject* old = p_;
      p_ = other.p_;
      other.p_ = nullptr;
      Py_XDECREF(old);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  // Takes ownership of a new reference (which may be NULL after an error).
  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  // Takes a new reference to a borrowed object (which may be NULL).
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }

  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }

  // Hands the reference back to the caller (typically the interpreter).
  [[nodiscard]] PyObject* release() noexcept {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }
  // Replaces the held object with a new reference that this Ref now owns.
  void reset(PyObject* stolen = nullptr) noexcept {
    PyObject* old = p_;
    p_ = stolen;
    Py_XDECREF(old);
  }
  // A new reference to the same object, for storing elsewhere.
  PyObject* new_ref() const noexcept {
    Py_XINCREF(p_);
    return p_;
  }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

inline Ref none_ref() noexcept { return Ref::borrow(Py_None); }
inline Ref bool_ref(bool v) noexcept { return Ref::borrow(v ? Py_True : Py_False); }

// True when the pending exception belongs to the `Exception` family; such an
// exception is cleared.  Anything else (KeyboardInterrupt, SystemExit,
// GeneratorExit) stays set so the caller can propagate it.
inline bool swallow_exception() noexcept {
  if (PyErr_ExceptionMatches(PyExc_Exception)) {
    PyErr_Clear();
    return true;
  }
  return false;
}

}  // namespace dravik
