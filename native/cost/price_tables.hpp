// The built-in price tables.
#pragma once

#include "common/refs.hpp"

namespace dravik::cost {

PyObject* build_model_costs();
PyObject* build_multimodal_costs();
PyObject* build_embedding_costs();

}  // namespace dravik::cost
