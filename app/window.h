// The window program's GLUT callbacks and drawing. These are thin: they read
// the window system's input or state and call the plain functions of
// application.h.
#pragma once

#include "app/application.h"

void setupApplication(int argc, char** argv);

void initRenderState();
void reshape(int width, int height);
void display();

void idleStep();
void specialKey(int key, int x, int y);
void mouseButton(int button, int state, int x, int y);
void mouseMotion(int x, int y);
// The view as OpenGL holds it after reshape.
ViewTransform currentView();
void unprojectCursor(int x, int y);
