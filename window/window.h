// The window program: its GLUT callbacks and drawing. The callbacks are thin:
// they read the window system's input or state and call the plain functions
// of session.h, pacing.h and readouts.h.
#pragma once

#include "sim/application.h"
#include "sim/session.h"

// Opens the window and runs it until the session quits or the window is
// closed. GLUT takes its own options from argc, argv.
void runWindow(int argc, char** argv, Session& session);

void initRenderState();
// The view and the chain's picture (the overlays are drawn over it).
void setChainView(int width, int height);
void drawChain();

void display();
void reshape(int width, int height);
void idleStep();
void keyboard(unsigned char key, int x, int y);
void keyboardUp(unsigned char key, int x, int y);
void specialKey(int key, int x, int y);
void specialKeyUp(int key, int x, int y);
void mouseButton(int button, int state, int x, int y);
void mouseMotion(int x, int y);
void passiveMotion(int x, int y);
