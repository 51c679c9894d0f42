// The batch engine's ensembles from Python: chain20-batch's command line
// for the options, its engine for the run, its output as NumPy columns.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>

namespace py = pybind11;

// chain20.ensemble(members, steps, sweep, events, **options): see its
// docstring in module.cpp.
py::dict ensemble(std::int64_t members, std::int64_t steps, py::dict sweep, py::object events, py::kwargs given);
