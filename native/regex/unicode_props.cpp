#include "regex/unicode_props.hpp"

#include "common/refs.hpp"

#include <memory>
#include <mutex>

namespace dravik::rx {

namespace {

void set_bit(uint64_t* words, uint32_t c) { words[c >> 6] |= uint64_t{1} << (c & 63); }

std::unique_ptr<BmpProps> build_props() {
  auto p = std::make_unique<BmpProps>();
  std::vector<uint32_t> counts(kBmpSize + 1, 0);
  for (uint32_t c = 0; c < kBmpSize; ++c) {
    const Py_UCS4 u = static_cast<Py_UCS4>(c);
    const uint32_t lo = static_cast<uint32_t>(Py_UNICODE_TOLOWER(u));
    p->lower[c] = lo;
    uint8_t b = 0;
    if (Py_UNICODE_ISDECIMAL(u)) b |= P_DECIMAL;
    if (Py_UNICODE_ISSPACE(u)) b |= P_SPACE;
    if (Py_UNICODE_ISALNUM(u) || c == '_') b |= P_WORD;
    if (lo != c || static_cast<uint32_t>(Py_UNICODE_TOUPPER(u)) != c) b |= P_CASED;
    p->bits[c] = b;
    if (lo < kBmpSize) ++counts[lo];
  }
  for (uint32_t c = 0; c < kBmpSize; ++c) {
    const uint8_t b = p->bits[c];
    if (b & P_DECIMAL) set_bit(p->digit, c);
    if (b & P_SPACE) set_bit(p->space, c);
    if (b & P_WORD) set_bit(p->word, c);
    const uint32_t lo = p->lower[c];
    const uint8_t lb = lo < kBmpSize ? p->bits[lo] : 0;
    const bool ld = lo < kBmpSize ? (lb & P_DECIMAL) != 0 : is_decimal(lo);
    const bool ls = lo < kBmpSize ? (lb & P_SPACE) != 0 : is_space(lo);
    const bool lw = lo < kBmpSize ? (lb & P_WORD) != 0 : is_word(lo);
    if (ld) set_bit(p->low_digit, c);
    if (ls) set_bit(p->low_space, c);
    if (lw) set_bit(p->low_word, c);
  }
  p->pre_start.assign(kBmpSize + 1, 0);
  for (uint32_t c = 0; c < kBmpSize; ++c) p->pre_start[c + 1] = p->pre_start[c] + counts[c];
  p->pre_chars.assign(p->pre_start[kBmpSize], 0);
  std::vector<uint32_t> fill(p->pre_start.begin(), p->pre_start.end() - 1);
  for (uint32_t c = 0; c < kBmpSize; ++c) {
    const uint32_t lo = p->lower[c];
    if (lo < kBmpSize) p->pre_chars[fill[lo]++] = c;
  }
  return p;
}

std::once_flag g_once;
std::unique_ptr<BmpProps> g_props;

}  // namespace

std::atomic<const BmpProps*> g_bmp_props{nullptr};

const BmpProps& build_bmp_props() {
  std::call_once(g_once, [] {
    g_props = build_props();
    g_bmp_props.store(g_props.get(), std::memory_order_release);
  });
  return *g_props;
}

int load_case_fixes(CaseFixes& out) {
  out.map.clear();
#if PY_VERSION_HEX >= 0x030B0000
  const char* module_name = "re._compiler";
  const char* attr = "_EXTRA_CASES";
#else
  const char* module_name = "sre_compile";
  const char* attr = "_ignorecase_fixes";
#endif
  Ref mod = Ref::steal(PyImport_ImportModule(module_name));
  if (!mod) return -1;
  Ref table = Ref::steal(PyObject_GetAttrString(mod.get(), attr));
  if (!table) return -1;
  if (!PyDict_Check(table.get())) {
    PyErr_Format(PyExc_TypeError, "%s.%s is not a dict", module_name, attr);
    return -1;
  }
  PyObject* key;
  PyObject* value;
  Py_ssize_t it = 0;
  while (PyDict_Next(table.get(), &it, &key, &value)) {
    const long k = PyLong_AsLong(key);
    if (k == -1 && PyErr_Occurred()) return -1;
    Ref seq = Ref::steal(PySequence_Fast(value, "case equivalences must be sequences"));
    if (!seq) return -1;
    std::vector<uint32_t> others;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
      const long v = PyLong_AsLong(PySequence_Fast_GET_ITEM(seq.get(), i));
      if (v == -1 && PyErr_Occurred()) return -1;
      if (v < 0 || v > static_cast<long>(kMaxCode)) continue;
      others.push_back(static_cast<uint32_t>(v));
    }
    if (k >= 0 && k <= static_cast<long>(kMaxCode)) out.map[static_cast<uint32_t>(k)] = std::move(others);
  }
  return 0;
}

}  // namespace dravik::rx
