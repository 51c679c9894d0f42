// The chain20 application: start-up state, the Runge-Kutta step, the window
// view and the rules for mouse and keyboard input.
//
// Everything here is plain code over the module-level application state and
// needs no window, so that the window program (main.cpp, render.cpp), the
// headless runner and the tests share it. Only the GLUT callbacks and the
// drawing talk to the window system.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "sim/text_sink.h"
#include "dynamics/chain_dynamics.h"
#include "matrix/matrix.h"
#include "sim/chain.h"
#include "sim/energy_ledger.h"
#include "sim/state_view.h"

// ---- Start-up ----
inline constexpr std::int32_t INITIAL_STEPS_PER_FRAME = 30;
inline constexpr int WINDOW_WIDTH = 640;
inline constexpr int WINDOW_HEIGHT = 640;
inline constexpr int WINDOW_X = 100;
inline constexpr int WINDOW_Y = 100;

// The default chain: the float Chain that the programs run. Its integrator
// state under the names the rest of the program uses: the state, the four
// slope arrays (see Chain), the stage point, and the chain at rest at its
// initial angle (hanging straight down by default), the start and the state a
// step that left the finite numbers falls back to.
extern Chain<float> defaultChain;
extern StateVector& currentState;
extern StateVector& k1;
extern StateVector& k2;
extern StateVector& k3;
extern StateVector& k4;
extern StateVector& stageState;
extern StateVector& restingState;

// The precision the programs run the chain in, float by default. In double
// the run's chain is doubleChain: its parameters are the decimals that the
// float parameters stand for (9.81 for 9.81f), its spring target the
// window's, and the default chain's step and reset counts follow it.
extern Precision runPrecision;
extern Chain<double> doubleChain;

// The double chain's parameters for a float description: the decimals that
// its floats stand for.
ChainParameters<double> decimalParameters(const ChainDescription& description);

// The energy ledger of the run's chain, kept while keepEnergyLedger is set
// (the window and the page set it; the batch has no use for it): its books
// start at every start and reset, and again when gravity changes, which
// changes what the energy counts.
extern bool keepEnergyLedger;
extern EnergyLedger runLedger;

// The gravity the run's energy is taken under: the decimal the float chain's
// gravity stands for, or the double chain's own.
double runGravity();

// The state of the run's chain, in its precision.
StateView runState();

extern Matrix jointAngles;        // Nx1, the angles the next frame draws
extern Matrix initialVelocities;  // Nx1, zero
extern Matrix mouseTarget;        // 2x1, spring target from the base, two units per link
extern std::int32_t mouseDown;    // -1 before any left press, 1 while held, 0 after release
extern std::int32_t stepsPerFrame;
extern std::int32_t& stepCount;    // wraps around after 2^31 - 1 steps
extern std::int64_t& resetCount;   // steps that ended non-finite and were reset
extern std::string_view programName;  // starts the lines the simulation writes to its log
extern const float linkColour[4];

// Sizes the matrices and state vectors for the links set up, computes the
// resting state (joint 1 at chain.initialAngle) through the matrix model and
// zeroes the slopes. Needs setupUnrolledModel and setupMatrixModel first.
void initialiseSimulation();

// The chain back at its start without re-deriving it: the resting state, the
// four slope arrays zeroed, the step count and the drawn angles with them.
void restartSimulation();

// The whole start-up for a chain: takes the description, sizes the dynamics'
// working arrays and the matrix model for its links and initialises the
// simulation. All allocation of a run happens here.
void startChain(const ChainDescription& description);

// ---- Stepping ----

// One classical Runge-Kutta step of STEP_SIZE on currentState.
void rungeKuttaStep();

// The whole idle step: Runge-Kutta, the fall-back to rest if the state left
// the finite numbers (one line on `log`), the angles for drawing, and the
// step count. Returns true when a redisplay is due.
bool advanceSimulation(TextSink log);

// ---- View and input ----

// The view volume: the same region of the chain's plane at any window size.
inline constexpr double FRUSTUM_LEFT = -2.0;
inline constexpr double FRUSTUM_RIGHT = 1.8;
inline constexpr double FRUSTUM_BOTTOM = -2.0;
inline constexpr double FRUSTUM_TOP = 2.0;
inline constexpr double FRUSTUM_NEAR = 0.4;
inline constexpr double FRUSTUM_FAR = 10.0;
// The chain's plane z = 0 lies this far in front of the eye.
inline constexpr float EYE_DISTANCE = 5.0f;

// Drawing units per link: 20 links fill the view at one unit each, so that a
// chain of any length hangs over the same region (exactly 1 for 20 links).
float drawingScale();
float drawingScale(std::int32_t links);

// The fixed view: viewport, modelview and projection as column-major arrays,
// the way OpenGL reports them after the window's reshape.
struct ViewTransform {
    std::array<int, 4> viewport;
    std::array<double, 16> modelview;
    std::array<double, 16> projection;
};

// The matrices that the window's reshape sets for a window of this size; the
// frustum is formed in single precision as OpenGL implementations store it.
ViewTransform reshapeView(int width, int height);

// The object point at window position (x, y) and depth in [0, 1] (0 the near
// plane, 1 the far plane), y measured from the viewport's lower edge: the
// inverse of projection x modelview, formed in double, applied to the point in
// normalized device coordinates, then the homogeneous division.
std::array<double, 3> unprojectWindowPoint(double x, double y, double depth, const ViewTransform& view);

// Sets mouseTarget from window pixel (x, y), origin top-left, y downward:
// the far-plane point under the cursor, measured from the chain's base, in
// links (divided by the drawing scale), so that the spring pulls the tip
// toward the cursor at any length of chain.
void setTargetFromCursor(int x, int y, const ViewTransform& view);
// The same target for a chain of `links` links: (x, y) in links from its base.
std::array<float, 2> cursorTarget(int x, int y, const ViewTransform& view, std::int32_t links);

// GLUT's codes for the buttons, button states and special keys the input
// rules look at (the same values GL/glut.h defines).
inline constexpr int LEFT_BUTTON = 0;
inline constexpr int RIGHT_BUTTON = 2;
inline constexpr int BUTTON_DOWN = 0;
inline constexpr int BUTTON_UP = 1;
inline constexpr int KEY_LEFT = 100;
inline constexpr int KEY_RIGHT = 102;

// Input rules, with GLUT's button, state and key codes.
void applyMouseButton(int button, int state, int x, int y, const ViewTransform& view);
void applyMouseMotion(int x, int y, const ViewTransform& view);
// Left arrow lowers stepsPerFrame (not below 1); right arrow raises it and
// writes the new value on its own line to `out`.
void applySpecialKey(int key, TextSink out);
