// The parts of the tessera_plus Python module, one file each.
#pragma once

#include <pybind11/pybind11.h>

namespace tessera_plus::python {

namespace py = pybind11;

// PermissionDenied and ServiceUnavailable classes, and the map from our errors to Python's.
void bind_errors(py::module_& m);
// UpdateReport, CheckReport, BundleStatus.
void bind_results(py::module_& m);
// update, smart_update, check_minbar, check_tick, status, download_sample.
void bind_commands(py::module_& m);
// read_minbar, read_tick: files as NumPy structured arrays.
void bind_readers(py::module_& m);
// _tick_columns, _bar_columns: the pandas readers' columns, decoded on several threads.
void bind_frame_columns(py::module_& m);
// _instrument_table, _trading_dates, _suspended_days, _daily_records, _tick_dates.
void bind_bundle_tables(py::module_& m);
// The simulated market's answers as plain arrays (submodule `sim`), for stand-in client
// libraries and tests.
void bind_sim(py::module_& m);

}  // namespace tessera_plus::python
