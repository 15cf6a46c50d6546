// The module's constant tables.
#pragma once

#include "common/refs.hpp"

namespace dravik::tracing {

PyObject* build_span_type_map();
PyObject* build_otel_kind_map();
PyObject* build_excluded_url_patterns();
PyObject* build_llm_provider_hosts();
PyObject* build_noisy_infra_hosts();
PyObject* build_framework_providers();
PyObject* build_attr_prefix_integrations();
PyObject* build_moderation_integration();
PyObject* build_otel_drop_keys();
PyObject* build_db_short_names();

}  // namespace dravik::tracing
