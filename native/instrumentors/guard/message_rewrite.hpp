// The copy-and-rewrite walk shared by the regex and the ML redaction of a
// message list.
#pragma once

#include "instrumentors/guard/helpers.hpp"

#include <functional>

namespace dravik::guard {

// Rewrites one piece of message text; a new reference or NULL.
using TextRewrite = std::function<Ref(PyObject* text)>;

// A new list with one element per element of `messages`: non-dict messages
// as they are; dicts as plain shallow copies whose "content" (the empty
// string when missing) is rewritten when it is a string, or replaced by a
// new list of blocks when it is a list, in which every text block is a new
// dict with its "text" (the empty string when missing) rewritten.  Content
// and text held in `str` subclasses are rewritten as the plain strings they
// hold.  The caller's objects are never modified.
Ref rewrite_messages(State* st, PyObject* messages, const TextRewrite& rewrite);

}  // namespace dravik::guard
