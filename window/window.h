// The window program's window: GLUT's callbacks, thin, read the window
// system's input or state and call the plain functions of session.h,
// pacing.h and readouts.h; the window system's failures end the run through
// one path.
#pragma once

#include <csignal>
#include <string>

#include "sim/session.h"

// From here on SIGINT, SIGTERM and SIGHUP (unless ignored at start) make the
// window program quit as by q once its main loop runs.
void quitOnSignals();

// The stop signal received so far, or 0.
std::sig_atomic_t quitSignalReceived();

// Opens the window and runs it until the session quits or the window is
// closed. GLUT takes its own options from argc, argv.
//
// When the window system fails instead (a display that cannot be opened, the
// X connection lost, an X error such as a drawing into a window destroyed by
// another client), one line says why on stderr and the program ends by
// quick_exit(1) from inside GLUT or Xlib: runWindow does not return, and
// at_quick_exit handlers see the reason in windowSystemFailure().
void runWindow(int argc, char** argv, Session& session);

// Why the window system ended the program; empty until it has.
const std::string& windowSystemFailure();
