// The native part of the Python package chain20: the bindings of the chain
// as a value (chain_value.h) and of the batch engine's ensembles
// (ensemble.h), with their docstrings.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <string>
#include <vector>

#include "batch/ensemble.h"
#include "python/chain_value.h"
#include "python/ensemble.h"
#include "sim/diagnostics.h"
#include "sim/parameters.h"
#include "sim/shortest_text.h"
#include "sim/state_hash.h"

namespace {

// A Run method bound for Python: refused while the chain steps in another
// thread.
template <class Result, class... Arguments>
auto whenIdle(Result (Run::*method)(Arguments...)) {
    return [method](Run& run, Arguments... arguments) -> Result {
        run.idle();
        return (run.*method)(arguments...);
    };
}

// The state arrays, read as views and assigned with checks.
py::object stateArray(py::object self, bool momenta) { return self.cast<Run&>().array(momenta); }

}  // namespace

PYBIND11_MODULE(_chain20, m) {
    m.doc() = "chain20: the planar chain of rigid links, stepped by RK4 at 0.001 s, from Python.";
    py::class_<Run>(m, "Chain", R"(A chain as a value, independent of every other.

p and q are writable NumPy views into the chain's own state (no copy), so
that reading them costs nothing per step and writing them sets the state.
Writes are checked: assigning c.q = values needs as many finite values as
links; an element written in place through a view is checked before the next
step, which refuses to start from a number that is not finite (ValueError).
A write changes the state alone: the Runge-Kutta slope arrays keep the joint
rates of the last step for the damping, as at any step, until a reset zeroes
them. A reset to other links gives the chain new arrays; arrays read before
stay valid but hold the old chain's state: read p and q again.)")
        .def(py::init(&makeRun), py::arg("links") = 20, py::arg("gravity") = 9.81, py::arg("damping") = 30.0,
             py::arg("stiffness") = 200.0, py::arg("initial_angle") = -1.570796, py::arg("precision") = "float")
        .def(
            "step",
            [](Run& run, std::int64_t n) {
                if (n < 0) {
                    throw py::value_error("steps: '" + std::to_string(n) + "' is not a whole number >= 0");
                }
                run.checkFinite();
                bool finished = false;
                {
                    const Busy busy(run);
                    py::gil_scoped_release release;
                    finished = run.stepUnlessInterrupted(n);
                }
                if (!finished) {
                    throw py::error_already_set();
                }
            },
            py::arg("n") = 1,
            "Advances n steps of 0.001 s (the GIL released). Ctrl-C stops it within milliseconds, raising\n"
            "KeyboardInterrupt with the steps run until then counted; so too in play, trajectory and ensemble.")
        .def("press", whenIdle(&Run::pressAt), py::arg("x"), py::arg("y"),
             "Left button down at window pixel (x, y), each within -1000000 to 1000000.")
        .def("drag", whenIdle(&Run::dragTo), py::arg("x"), py::arg("y"), "The cursor moved to (x, y) with the button held.")
        .def("release", whenIdle(&Run::release), "Left button up.")
        .def("right", whenIdle(&Run::right),
             "The right arrow: one more step per frame (chain20-batch echoes the new count); returns it.")
        .def("left", whenIdle(&Run::left), "The left arrow: one step fewer per frame, never below 1; returns the count.")
        .def_readonly("steps_per_frame", &Run::stepsPerFrame,
                      "The arrow keys' steps per frame (30 at the start): they pace a window, not the chain.")
        .def("resize", whenIdle(&Run::resizeTo), py::arg("w"), py::arg("h"),
             "The window is now w x h pixels for the cursor mapping, each side 1 to 16384.")
        .def("reset", whenIdle(&Run::reset), "Back at the start, with links and initial-angle as last set.")
        .def("set", whenIdle(&Run::setText), py::arg("name"), py::arg("value"),
            "Sets gravity, damping or stiffness at once; links or initial-angle for the next reset (at once before\n"
            "the chain's first step).")
        .def("play", &play, py::arg("script"), py::arg("steps") = py::none(),
             "Plays an event script as chain20-batch does: each event just before its\n"
             "step, counted from the chain's start; then runs on to `steps` when given, or to a recording's final\n"
             "step. Returns whether the replay matches the recording there, its events and its state hash, as\n"
             "chain20-batch checks them (None for a script that is not a recording, or a run that ends elsewhere);\n"
             "a recording of the other precision raises ValueError.\n"
             "The script is its text (bytes, or a str with a newline or whose first word is a step) or the path\n"
             "of a file (an os.PathLike, or any other str); a path that names no file raises FileNotFoundError.")
        .def("trajectory", &trajectory, py::arg("n"), py::arg("every") = 1,
             "Runs n more steps and returns the state after every `every`-th step and after the last: a dict of\n"
             "NumPy arrays step, time, p and q (rows x links, in the chain's precision), energy, tip (rows x 2).\n"
             "Rows that the free memory could not hold raise MemoryError before the first step.")
        .def_property(
            "p", [](py::object self) { return stateArray(self, true); },
            [](Run& run, const py::object& values) { run.idle(), run.assign(true, values); },
            "The generalised momenta, a writable view (float32 or float64).")
        .def_property(
            "q", [](py::object self) { return stateArray(self, false); },
            [](Run& run, const py::object& values) { run.idle(), run.assign(false, values); },
            "The joint angles in rad, each relative to the link before, a writable view.")
        .def_readonly("steps", &Run::steps, "Steps run since the chain was made (a reset does not count them back).")
        .def_readonly("resets", &Run::resets,
                      "Steps that left the finite numbers and fell back to rest, as chain20-batch counts them.")
        .def(
            "copy", [](const Run& run) { return run.idle().copy(); },
            "An independent chain in the same state: it steps on as this one would.")
        .def("__copy__", [](const Run& run) { return run.idle().copy(); })
        .def("__deepcopy__", [](const Run& run, py::handle) { return run.idle().copy(); }, py::arg("memo"))
        .def("__repr__",
             [](const Run& run) {
                 return "chain20.Chain(links=" + std::to_string(run.description.links) + ", precision='" +
                        precisionName(run.view_().precision()) + "', steps=" + std::to_string(run.steps) + ")";
             })
        .def_property_readonly(
            "time", [](const Run& run) { return static_cast<double>(run.steps) * 0.001; }, "steps x 0.001 s.")
        .def_property_readonly(
            "energy",
            [](const Run& run) { return chainEnergy(run.idle().view_(), decimalOf(run.description.gravity)); },
            "Kinetic plus potential energy, in double, as chain20-batch's CSV has it.")
        .def_property_readonly(
            "tip",
            [](const Run& run) {
                const TipPosition tip = tipPosition(run.idle().view_());
                return py::make_tuple(tip.x, tip.y);
            },
            "The tip's position (x, y) in links from the base.")
        .def_property_readonly(
            "state_hash", [](const Run& run) { return hashText(stateHash(run.idle().view_())); },
            "The state's hash as chain20-batch reports it: 16 hex digits.");
    m.def("ensemble", &ensemble, py::arg("members"), py::arg("steps"), py::arg("sweep") = py::dict(),
          py::arg("events") = py::none(),
          R"(Runs an ensemble on chain20-batch's engine, as `chain20-batch --members M --steps S ...` does,
with the GIL released. Keyword options take chain20-batch's option names with _ for -: perturb, seed,
threads (default: all cores), precision ("float"), every, lyapunov, shard=(i, k), and the chain's
links, gravity, damping, stiffness, initial_angle, and width and height, the window that
maps the cursor. sweep maps gravity, damping, stiffness or
initial_angle to (from, to), a key that is not a name raising TypeError; events is a script's text or
path, told apart as Chain.play tells them. A bad value raises ValueError with chain20-batch's message;
with every, rows that the free memory could not hold raise MemoryError before the run. Ctrl-C stops
the run with KeyboardInterrupt.

Returns a dict: run (the run's description, shared by its shards), ensemble_hash (16 hex digits of the
selected members), with shard= the slice (bytes: the output chain20-batch writes, which merge_slices
checks and joins), and NumPy columns. Without every, one row per member: member, the swept
parameters, energy, tip_x, tip_y, resets, lyapunov (with lyapunov=D0), state_hash (uint64). With
every=K, each member's rows as Chain.trajectory gives them (member, step, time, links, p, q, energy,
tip; where the script changes the links, p and q are as wide as the longest chain, padded with NaN),
and per member resets and state_hash.)");
    m.def("merge_slices", &mergeSlices, py::arg("slices"),
          "The whole ensemble's result from its shards' outputs (each shard result's slice, bytes), checked as "
          "chain20-batch --merge checks them: each slice's rows against its rows hash, the slices of one run with "
          "their members following on. ValueError with chain20-batch's message otherwise.");
    m.def(
        "ensemble_hash",
        [](const std::vector<std::uint64_t>& hashes) { return hashText(ensembleHash(hashes)); },
        py::arg("state_hashes"), "The ensemble hash of members' state hashes, in member order: FNV-1a 64 over their bytes.");
}
