// Reads of attribute names answered from one ordered pass over a span's
// attributes.  Spans of one kind carry the same key objects in the same
// order; for a remembered sequence the position of every attribute name the
// span functions read is known (KeyShape::at).  Once the dict's keys are
// checked to be exactly those objects in that order, a read of a name is
// the value at its position, or absent: what the dict lookup finds, since
// every key is an exact str.  A change to the dict moves its version tag on
// and ends the answers.
#include "tracing/support.hpp"

#include <cstring>

namespace dravik::tracing {

OpenedView::OpenedView(State* st, PyObject* dict, PyObject* source) : st_(st) {
  AttrsView& view = st->attrs_view;
  if (view.dict != nullptr || !PyDict_CheckExact(dict)) return;
  if (source != nullptr && !PyDict_CheckExact(source)) return;
  const Py_ssize_t n = PyDict_GET_SIZE(dict);
  if (n == 0 || n > kShapeKeysMax) return;
  Py_ssize_t pos = 0;
  PyObject* k;
  PyObject* v;
  if (!PyDict_Next(dict, &pos, &k, &v)) return;
  const KeyShape* found = find_shape(st, n, k, ShapeKind::any);
  if (found == nullptr) return;
  Py_ssize_t i = 0;
  do {
    if (i >= n || PyTuple_GET_ITEM(found->keys, i) != k) return;
    view.values[i] = v;
    ++i;
  } while (PyDict_Next(dict, &pos, &k, &v));
  if (i != n) return;
  std::memcpy(view.at, found->at, sizeof view.at);
  view.keys = Py_NewRef(found->keys);
  view.dict = Py_NewRef(dict);
  view.version = cpython::dict_version_tag(dict);
  view.source = Py_XNewRef(source);
  view.source_version = source != nullptr ? cpython::dict_version_tag(source) : 0;
  opened_ = true;
}

OpenedView::~OpenedView() {
  if (!opened_) return;
  AttrsView& view = st_->attrs_view;
  // The capture still holds both dicts: only the key tuple may go here
  // (its slot replaced meanwhile), and a tuple of str runs no code.
  Ref dict = Ref::steal(view.dict);
  Ref source = Ref::steal(view.source);
  Ref keys = Ref::steal(view.keys);
  view.dict = nullptr;
  view.source = nullptr;
  view.keys = nullptr;
}

}  // namespace dravik::tracing
