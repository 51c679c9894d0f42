// The window program's GLUT callbacks: each reads the window system's input
// and hands it to the session, the overlay or the pacing.
#include <GL/freeglut.h>

#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <thread>

#include "window/overlay.h"
#include "sim/live_input.h"
#include "sim/pacing.h"
#include "cli/progress_bar.h"
#include "sim/readouts.h"
#include "cli/stderr_lines.h"
#include "cli/stop_signals.h"
#include "window/render.h"
#include "window/window.h"
// Last: Xlib's macros (None, Status, Bool) would clash with names above.
#include <GL/glx.h>
#include <X11/Xlib.h>

static_assert(LEFT_BUTTON == GLUT_LEFT_BUTTON && RIGHT_BUTTON == GLUT_RIGHT_BUTTON);
static_assert(BUTTON_DOWN == GLUT_DOWN && BUTTON_UP == GLUT_UP);
static_assert(KEY_LEFT == GLUT_KEY_LEFT && KEY_RIGHT == GLUT_KEY_RIGHT);

namespace {

// Stands in for the command line when the program was started with an empty
// argument vector (which Linux hands over as a single empty argument), so that
// GLUT and the window title always get a name.
char programName[] = "chain20";
char* fallbackArguments[] = {programName, nullptr};

Session* session = nullptr;
Pacing pacing;
Readouts readouts;

// Set by SIGINT, SIGTERM or SIGHUP: the program quits as by q, so that a
// recording is completed.
volatile std::sig_atomic_t quitSignal = 0;

extern "C" void requestQuit(int signalNumber) { quitSignal = signalNumber; }

// The exit status when the window system ends the program.
constexpr int EXIT_WINDOW_SYSTEM = 1;

std::string failure;

// Lines about resets to rest: the first few, then a count at the end. The
// window has no progress bar to wipe.
ProgressBar noProgressBar(0, false);
StderrLines resetLines("", noProgressBar, RESET_LINES_SHOWN);
std::ostream resetLog(&resetLines);

void reportHeldBackResets() {
    if (resetLines.linesHeldBack() > 0) {
        failAs(programName, heldBackResetsMessage(resetLines.linesHeldBack()));
    }
}

// Called from inside GLUT or Xlib, which may hold the display's lock: the
// program ends by quick_exit, whose handlers (the recording's save) touch no
// X resource, rather than by exit, whose handlers include the GL driver's
// teardown that waits on that lock.
[[noreturn]] void endForWindowSystem(std::string reason) {
    failure = std::move(reason);
    failAs(programName, failure);
    reportHeldBackResets();
    std::fflush(stdout);
    std::quick_exit(EXIT_WINDOW_SYSTEM);
}

// GLUT's fatal errors (a display that cannot be opened); GLUT expects the
// function not to return.
void glutFailed(const char* format, va_list arguments) {
    char text[512];
    std::vsnprintf(text, sizeof text, format, arguments);
    endForWindowSystem(text);
}

// Xlib expects neither handler to return.
int xConnectionLost(Display*) { endForWindowSystem("the X connection was lost"); }

int xErrorReported(Display* display, XErrorEvent* event) {
    char text[256];
    XGetErrorText(display, event->error_code, text, sizeof text);
    endForWindowSystem(std::string("X error: ") + text);
}

double wallSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void leaveIfQuitting() {
    if (quitSignal != 0) {
        session->controls.quitRequested = true;
    }
    if (session->controls.quitRequested) {
        glutLeaveMainLoop();
    }
}

ScriptEvent liveEvent(EventKind kind, int x = 0, int y = 0) { return {0, kind, x, y, 0}; }

// ---- GLUT's callbacks ----

void idleStep() {
    const IdleOutcome outcome = idleWork(*session, pacing, wallSeconds(), resetLog);
    if (outcome.redisplay) {
        glutPostRedisplay();
    }
    if (outcome.sleepSeconds > 0.0) {
        std::this_thread::sleep_for(std::chrono::duration<double>(outcome.sleepSeconds));
    }
    leaveIfQuitting();
}

void display() {
    drawChain();
    drawOverlay(*session, readouts);
    glutSwapBuffers();
    updateReadouts(readouts, session->controls, wallSeconds());
}

// The cursor is mapped through the view of the window's current size, formed
// the way chain20-batch forms it, so that a recorded run replays exactly.
void reshape(int width, int height) {
    setChainView(width, height);
    overlayReshape(width, height);
    applyWindowSize(width, height, *session);
}

void keyboard(unsigned char key, int x, int y) {
    overlayKeyboard(key, x, y, true);
    if (overlayWantsKeys(session->controls)) {
        return;
    }
    applyRunCommand(runCommandOf(key), *session, resetLog);
    glutPostRedisplay();
    leaveIfQuitting();
}

void keyboardUp(unsigned char key, int x, int y) { overlayKeyboard(key, x, y, false); }

void specialKey(int key, int x, int y) {
    overlaySpecial(key, x, y, true);
    applyArrowKey(key, *session);
}

void specialKeyUp(int key, int x, int y) { overlaySpecial(key, x, y, false); }

// A press on the panel works its controls; the chain sees every release, so
// that the spring never stays caught.
void mouseButton(int button, int state, int x, int y) {
    overlayMouseButton(button, state, x, y);
    if (button != LEFT_BUTTON || (state == BUTTON_DOWN && overlayWantsMouse(session->controls))) {
        return;
    }
    liveInput(*session, liveEvent(state == BUTTON_DOWN ? EventKind::Press : EventKind::Release, x, y));
}

void mouseMotion(int x, int y) {
    overlayMouseMotion(x, y);
    if (overlayWantsMouse(session->controls)) {
        return;
    }
    liveInput(*session, liveEvent(EventKind::Drag, x, y));
}

void passiveMotion(int x, int y) { overlayMouseMotion(x, y); }

// GLUT stops drawing into a window once it is unmapped, and sees nothing of
// its destruction by another client: the run would go on unseen. Asking for
// the attributes of an unmapped window turns a destroyed one into an X
// error, which ends the run; a window merely iconified answers.
void windowStatus(int state) {
    if (state == GLUT_HIDDEN) {
        XWindowAttributes attributes;
        XGetWindowAttributes(glXGetCurrentDisplay(), glXGetCurrentDrawable(), &attributes);
    }
}

}  // namespace

void quitOnSignals() { catchStopSignals(requestQuit); }

std::sig_atomic_t quitSignalReceived() { return quitSignal; }

const std::string& windowSystemFailure() { return failure; }

void runWindow(int argc, char** argv, Session& run) {
    session = &run;
    if (argc < 1 || argv == nullptr || argv[0] == nullptr || argv[0][0] == '\0') {
        argc = 1;
        argv = fallbackArguments;
    }
    glutInitErrorFunc(glutFailed);
    XSetIOErrorHandler(xConnectionLost);
    glutInit(&argc, argv);
    XSetErrorHandler(xErrorReported);
    // Closing the window, like q, returns from the main loop, so that the run
    // ends through the program's own exit path.
    glutSetOption(GLUT_ACTION_ON_WINDOW_CLOSE, GLUT_ACTION_GLUTMAINLOOP_RETURNS);
    glutInitDisplayMode(GLUT_RGB | GLUT_DOUBLE | GLUT_DEPTH);
    glutInitWindowSize(WINDOW_WIDTH, WINDOW_HEIGHT);
    glutInitWindowPosition(WINDOW_X, WINDOW_Y);
    glutCreateWindow(argv[0]);
    initRenderState();
    initOverlay();
    glutDisplayFunc(display);
    glutReshapeFunc(reshape);
    glutKeyboardFunc(keyboard);
    glutKeyboardUpFunc(keyboardUp);
    glutSpecialFunc(specialKey);
    glutSpecialUpFunc(specialKeyUp);
    glutMotionFunc(mouseMotion);
    glutPassiveMotionFunc(passiveMotion);
    glutIdleFunc(idleStep);
    glutWindowStatusFunc(windowStatus);
    glutMouseFunc(mouseButton);
    std::cerr << "press h for help" << std::endl;
    glutMainLoop();
    shutdownOverlay();
    reportHeldBackResets();
}
