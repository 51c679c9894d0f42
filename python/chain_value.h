// A chain as a Python value: it owns its Chain<Real>, its spring input, its
// description and its window view, and takes the event language's input by
// the program's rules, so that any number of them live side by side and each
// gives chain20-batch's bits.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "sim/application.h"
#include "sim/event_script.h"
#include "sim/state_view.h"

namespace py = pybind11;

// The words a Python value stands for, as on chain20-batch's command line.
std::string textOf(py::handle value);

// A script given as its text (str or bytes), or as the path of a file that
// holds it (str or os.PathLike): the text and the name its messages go by.
// bytes and a str that holds a newline are text; an os.PathLike and a str
// that names a file are paths; any other str is text when its first word is
// a step (or it is blank or a comment), else a path, and one that names no
// file raises FileNotFoundError.
std::pair<std::string, std::string> scriptText(py::handle given);

// Refuses, with MemoryError naming `what`, a table of `bytes` that the
// memory available now could not hold, before any of it is made.
void refuseBeyondMemory(const std::string& what, double bytes);

// Whether a Ctrl-C (or another signal) reached Python and its handler
// raised, the error then set; called with the GIL released, it takes the GIL
// for the look.
bool signalRaised();

// One chain, the Python class Chain: what the program's input acts on (the
// description, the spring, the view, the counts) here, the chain itself in
// RunOf<float> or RunOf<double>.
class Run {
public:
    virtual ~Run() = default;
    ChainDescription description;
    ChainDescription nextStart;
    ViewTransform view = reshapeView(WINDOW_WIDTH, WINDOW_HEIGHT);
    SpringInput<float> spring;
    std::int64_t steps = 0;  // since the chain was made: the script's events count from its start
    std::int64_t resets = 0;  // steps that left the finite numbers and fell back to rest
    std::int32_t stepsPerFrame = INITIAL_STEPS_PER_FRAME;  // the arrow keys' count, which paces a window's frames
    bool busy = false;  // stepping with the GIL released; read and written only under the GIL
    std::chrono::steady_clock::time_point lastSignalLook{};  // of stepUnlessInterrupted

    virtual void step(std::int64_t n) = 0;
    // n steps with the GIL released, in slices of a few milliseconds with a
    // look for a signal between them: false when its handler raised, the
    // steps run until then counted.
    bool stepUnlessInterrupted(std::int64_t n);
    virtual void rebuild() = 0;
    virtual void restart() = 0;
    virtual void takeLoads() = 0;
    virtual py::array array(bool momenta) = 0;
    virtual void assign(bool momenta, const py::object& values) = 0;
    virtual StateView view_() const = 0;
    // An independent chain in the same state, slopes and input alike.
    virtual std::unique_ptr<Run> copy() const = 0;

    // Another thread's call while this chain steps without the GIL would race
    // with the step (a rebuild would free the state under it): refused.
    const Run& idle() const {
        if (busy) {
            throw std::runtime_error("the chain is stepping in another thread");
        }
        return *this;
    }

    // Writes through p and q are the user's: a step starts only from finite
    // numbers, since the chain's fall-back to rest is for its own overflow.
    void checkFinite() const;

    void reset();

    std::int32_t left() { return stepsPerFrame = std::max(stepsPerFrame - 1, 1); }
    std::int32_t right() { return stepsPerFrame += stepsPerFrame < INT32_MAX ? 1 : 0; }

    void press(int x, int y);
    void drag(int x, int y);
    void release() { spring.down = 0; }
    void resize(int width, int height) { view = reshapeView(width, height); }
    // The same from Python's values, checked as a script's are: ValueError
    // in chain20-batch's words for a pixel or a window side it refuses.
    void pressAt(py::handle x, py::handle y);
    void dragTo(py::handle x, py::handle y);
    void resizeTo(py::handle width, py::handle height);
    void setText(const std::string& name, py::handle value);

    // gravity, damping and stiffness at once; links and initial-angle for
    // the next reset, or at once before the chain's first step.
    void set(const std::string& name, const std::string& text);

    // One event of the script language; the arrow keys pace the window
    // program's frames and leave the chain alone.
    void apply(const ScriptEvent& event);
};

// The chain marked busy while it steps with the GIL released; made and ended
// under the GIL.
class Busy {
public:
    explicit Busy(Run& stepping) : run(stepping) {
        run.idle();
        run.busy = true;
    }
    ~Busy() { run.busy = false; }
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;

private:
    Run& run;
};

// A chain of the given options in "float" or "double"; a bad value raises
// ValueError in chain20-batch's words.
std::unique_ptr<Run> makeRun(int links, double gravity, double damping, double stiffness, double angle,
                             const std::string& precision);

// Plays a script as chain20-batch does. A recording runs on to its final
// step unless `lastStep` is given; there it is checked as chain20-batch
// checks it (checkReplay): True when its events and state are the recorded
// ones. None for any other script.
py::object play(Run& run, py::handle script, std::optional<std::int64_t> lastStep);

// n more steps, the state recorded after every `every`-th and after the
// last: step, time, p, q (rows x links), energy and tip (rows x 2).
py::dict trajectory(Run& run, std::int64_t n, std::int64_t every);
