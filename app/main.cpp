#include <GL/glut.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "app/application.h"
#include "app/chain_options.h"
#include "app/window.h"
#include "dynamics/chain_dynamics.h"
#include "model/chain_model.h"

static_assert(LEFT_BUTTON == GLUT_LEFT_BUTTON && RIGHT_BUTTON == GLUT_RIGHT_BUTTON);
static_assert(BUTTON_DOWN == GLUT_DOWN && BUTTON_UP == GLUT_UP);
static_assert(KEY_LEFT == GLUT_KEY_LEFT && KEY_RIGHT == GLUT_KEY_RIGHT);

namespace {

// Stands in for the command line when the program was started with an empty
// argument vector (which Linux hands over as a single empty argument), so that
// GLUT and the window title always get a name.
char programName[] = "chain20";
char* fallbackArguments[] = {programName, nullptr};

}  // namespace

void idleStep() {
    if (advanceSimulation(std::cerr)) {
        glutPostRedisplay();
    }
}

void specialKey(int key, int /*x*/, int /*y*/) { applySpecialKey(key, std::cout); }

void mouseButton(int button, int state, int x, int y) { applyMouseButton(button, state, x, y, currentView()); }

void mouseMotion(int x, int y) { unprojectCursor(x, y); }

void setupApplication(int argc, char** argv) {
    if (argc < 1 || argv == nullptr || argv[0] == nullptr || argv[0][0] == '\0') {
        argc = 1;
        argv = fallbackArguments;
    }
    glutInit(&argc, argv);
    glutInitDisplayMode(GLUT_RGB | GLUT_DOUBLE | GLUT_DEPTH);
    glutInitWindowSize(WINDOW_WIDTH, WINDOW_HEIGHT);
    glutInitWindowPosition(WINDOW_X, WINDOW_Y);
    glutCreateWindow(argv[0]);
    initRenderState();
    glutDisplayFunc(display);
    glutReshapeFunc(reshape);
    glutSpecialFunc(specialKey);
    glutMotionFunc(mouseMotion);
    glutIdleFunc(idleStep);
    glutMouseFunc(mouseButton);
    glutMainLoop();
}

int main(int argc, char** argv) {
    ChainDescription description;
    std::string error;
    if (!takeChainOptions(argc, argv, description, error)) {
        std::fprintf(stderr, "chain20: %s\n", error.c_str());
        return 2;
    }
    startChain(description);
    setupApplication(argc, argv);
    return 0;
}
