// The batch engine's ensembles from Python: chain20-batch's command line
// for the options, its engine for the run, its output as NumPy columns.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>
#include <vector>

namespace py = pybind11;

// chain20.ensemble(members, steps, sweep, events, **options): see its
// docstring in module.cpp.
py::dict ensemble(std::int64_t members, std::int64_t steps, py::dict sweep, py::object events, py::kwargs given);

// The whole run's columns from its shards' outputs (the "slice" of each
// shard's result), checked as chain20-batch --merge checks them; ValueError
// with its message when they do not prove their rows or fit together.
py::dict mergeSlices(const std::vector<std::string>& slices);
