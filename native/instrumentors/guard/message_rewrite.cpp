#include "instrumentors/guard/message_rewrite.hpp"

namespace dravik::guard {

namespace {

Ref rewrite_text(const TextRewrite& rewrite, PyObject* text) {
  Ref plain = plain_if_str_subclass(text);
  if (!plain) return Ref();
  return rewrite(plain.get());
}

Ref rewrite_blocks(State* st, PyObject* blocks, const TextRewrite& rewrite) {
  Ref out = Ref::steal(PyList_New(0));
  if (!out) return Ref();
  const int rc = for_each_item(blocks, [&](PyObject* block) -> int {
    if (!PyDict_Check(block)) return PyList_Append(out.get(), block);
    Ref type = mapping_get(st, block, S(st, S_type), Py_None);
    if (!type) return -1;
    const int is_text = equals(type.get(), S(st, S_text));
    if (is_text < 0) return -1;
    if (!is_text) return PyList_Append(out.get(), block);
    Ref text = mapping_get(st, block, S(st, S_text), S(st, S_empty));
    if (!text) return -1;
    Ref new_text = rewrite_text(rewrite, text.get());
    if (!new_text) return -1;
    Ref copy = plain_dict_copy(block);
    if (!copy || PyDict_SetItem(copy.get(), S(st, S_text), new_text.get()) < 0) return -1;
    return PyList_Append(out.get(), copy.get());
  });
  return rc < 0 ? Ref() : std::move(out);
}

}  // namespace

Ref rewrite_messages(State* st, PyObject* messages, const TextRewrite& rewrite) {
  Ref out = Ref::steal(PyList_New(0));
  if (!out) return Ref();
  const int rc = for_each_item(messages, [&](PyObject* msg) -> int {
    if (!PyDict_Check(msg)) return PyList_Append(out.get(), msg);
    Ref copy = plain_dict_copy(msg);
    if (!copy) return -1;
    Ref content = mapping_get(st, copy.get(), S(st, S_content), S(st, S_empty));
    if (!content) return -1;
    Ref new_content;
    if (PyUnicode_Check(content.get())) {
      new_content = rewrite_text(rewrite, content.get());
    } else if (PyList_Check(content.get())) {
      new_content = rewrite_blocks(st, content.get(), rewrite);
    } else {
      return PyList_Append(out.get(), copy.get());
    }
    if (!new_content || PyDict_SetItem(copy.get(), S(st, S_content), new_content.get()) < 0) return -1;
    return PyList_Append(out.get(), copy.get());
  });
  return rc < 0 ? Ref() : std::move(out);
}

}  // namespace dravik::guard
