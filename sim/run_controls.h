// The window program's run controls: pause and resume, a single step while
// paused, reset, the help overlay, the panel, quitting, the real-time switch
// and the companions, and the keys that work them. session.h applies them.
#pragma once

#include <cstdint>

struct RunControls {
    bool paused = false;
    bool helpShown = false;
    bool panelShown = false;
    bool realTime = false;  // off: as many steps as the machine allows
    bool quitRequested = false;
    std::int64_t stepsRun = 0;         // every step since the start: the event script's clock
    std::int64_t stepsSinceReset = 0;  // simulated time, in steps
    std::int64_t resets = 0;           // resets asked for ('r' or a reset event)
};

// The keys of the run controls, as GLUT's keyboard callback reports them.
inline constexpr unsigned char KEY_PAUSE = ' ';
inline constexpr unsigned char KEY_SINGLE_STEP = '.';
inline constexpr unsigned char KEY_RESET = 'r';
inline constexpr unsigned char KEY_HELP = 'h';
inline constexpr unsigned char KEY_PANEL = '\t';
inline constexpr unsigned char KEY_QUIT = 'q';
inline constexpr unsigned char KEY_ESCAPE = 27;
// The companions of sim/companions.h: the shadow chain, the ensemble fan and
// the phase portrait.
inline constexpr unsigned char KEY_SHADOW = 's';
inline constexpr unsigned char KEY_FAN = 'f';
inline constexpr unsigned char KEY_PHASE = 'p';

enum class RunCommand { None, PauseResume, SingleStep, Reset, Help, Panel, Quit, Shadow, Fan, Phase };

RunCommand runCommandOf(unsigned char key);
