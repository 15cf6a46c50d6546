// Arrays allocated without throwing (the modules are built without C++
// exceptions): every allocation reports failure to its caller, which gives
// up on the whole operation.  They hold plain data only and never touch
// interpreter objects.  Memory comes from the interpreter's raw allocator,
// which may be called with the GIL released and which its allocation hooks
// (tracemalloc, the failure injection of the test suite) see.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>

namespace dravik {

// The size of one element (T may itself be a pointer).
template <class T>
inline constexpr size_t kElem = sizeof(T);  // NOLINT(bugprone-sizeof-expression)

template <class T>
class Array {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  Array() = default;
  Array(const Array&) = delete;
  Array& operator=(const Array&) = delete;
  Array(Array&& o) noexcept : p_(o.p_), n_(o.n_) {
    o.p_ = nullptr;
    o.n_ = 0;
  }
  Array& operator=(Array&& o) noexcept {
    if (this != &o) {
      PyMem_RawFree(p_);
      p_ = o.p_;
      n_ = o.n_;
      o.p_ = nullptr;
      o.n_ = 0;
    }
    return *this;
  }
  ~Array() { PyMem_RawFree(p_); }

  // Uninitialised contents; false when out of memory.
  bool allocate(size_t n) { return reserve_raw(n, false); }
  // Frees the contents: empty, holding nothing.
  void release() noexcept {
    PyMem_RawFree(p_);
    p_ = nullptr;
    n_ = 0;
  }
  bool allocate_zeroed(size_t n) { return reserve_raw(n, true); }
  bool allocate_filled(size_t n, T value) {
    if (!reserve_raw(n, false)) return false;
    for (size_t i = 0; i < n; ++i) p_[i] = value;
    return true;
  }

  T* data() noexcept { return p_; }
  const T* data() const noexcept { return p_; }
  size_t size() const noexcept { return n_; }
  bool empty() const noexcept { return n_ == 0; }
  T& operator[](size_t i) noexcept { return p_[i]; }
  const T& operator[](size_t i) const noexcept { return p_[i]; }
  T* begin() noexcept { return p_; }
  T* end() noexcept { return p_ + n_; }
  const T* begin() const noexcept { return p_; }
  const T* end() const noexcept { return p_ + n_; }
  // Same size and bytes.
  bool same(const Array& o) const noexcept {
    return n_ == o.n_ && (n_ == 0 || std::memcmp(p_, o.p_, n_ * kElem<T>) == 0);
  }

 private:
  bool reserve_raw(size_t n, bool zeroed) {
    PyMem_RawFree(p_);
    p_ = nullptr;
    n_ = 0;
    if (n > SIZE_MAX / kElem<T>) return false;
    // An empty array still owns one element, so a successful allocation
    // never leaves a null pointer behind.
    const size_t cells = n == 0 ? 1 : n;
    void* mem = zeroed ? PyMem_RawCalloc(cells, kElem<T>) : PyMem_RawMalloc(cells * kElem<T>);
    if (mem == nullptr) return false;
    p_ = static_cast<T*>(mem);
    n_ = n;
    return true;
  }

  T* p_ = nullptr;
  size_t n_ = 0;
};

// A growable array.
template <class T>
class Vec {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  Vec() = default;
  Vec(const Vec&) = delete;
  Vec& operator=(const Vec&) = delete;
  ~Vec() { PyMem_RawFree(p_); }

  bool push(const T& v) {
    if (n_ == cap_ && !grow(n_ + 1)) return false;
    p_[n_++] = v;
    return true;
  }
  // Room for `n` elements in all.
  bool reserve(size_t n) { return n <= cap_ || grow(n); }
  // Shrinks (never grows) the logical size.
  void truncate(size_t n) noexcept {
    if (n < n_) n_ = n;
  }
  void clear() noexcept { n_ = 0; }

  T* data() noexcept { return p_; }
  const T* data() const noexcept { return p_; }
  size_t size() const noexcept { return n_; }
  bool empty() const noexcept { return n_ == 0; }
  T& operator[](size_t i) noexcept { return p_[i]; }
  const T& operator[](size_t i) const noexcept { return p_[i]; }
  T& back() noexcept { return p_[n_ - 1]; }
  void pop() noexcept { --n_; }

 private:
  bool grow(size_t need) {
    size_t cap = cap_ < 16 ? 16 : cap_;
    while (cap < need) {
      if (cap > SIZE_MAX / 2 / kElem<T>) return false;
      cap *= 2;
    }
    if (cap > SIZE_MAX / kElem<T>) return false;
    void* mem = PyMem_RawRealloc(p_, cap * kElem<T>);
    if (mem == nullptr) return false;
    p_ = static_cast<T*>(mem);
    cap_ = cap;
    return true;
  }

  T* p_ = nullptr;
  size_t n_ = 0;
  size_t cap_ = 0;
};

}  // namespace dravik
