// Longest-prefix search of a model name over a price table's keys.
#pragma once

#include "cost/state.hpp"
#include "common/refs.hpp"

namespace dravik::cost {

// The key that a stable sort of the table's keys by descending length,
// followed by a scan for the first key the name starts with, would find.
// Sets `out` to that key (or leaves it empty); -1 with an exception set.
// `index` (may be NULL) caches a search structure over the keys of `table`.
int longest_prefix(State* st, PrefixIndex* index, PyObject* table, PyObject* name, Ref& out);

// table.get(key) with None meaning absent: 1 and `out` set, 0, or -1.
int table_get(State* st, PyObject* table, PyObject* key, Ref& out);

}  // namespace dravik::cost
