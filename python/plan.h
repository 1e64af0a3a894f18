// A dry run's plan for Python: a dict with the keys and values of `update --dry-run --report`.
#pragma once

#include "python/bindings.h"
#include "tessera_plus/bundle/update/update_plan.h"

namespace tessera_plus::python {

py::dict plan_dict(const bundle::UpdatePlan& plan);

}  // namespace tessera_plus::python
