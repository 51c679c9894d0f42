#include <GL/glut.h>

#include <algorithm>

#include "sim/application.h"
#include "sim/companions.h"
#include "window/render.h"

namespace {

constexpr double ANGLE_TO_DEGREES = 57.29;  // the drawing's own radians-to-degrees factor
constexpr GLfloat FRONT_SPECULAR[4] = {0.8f, 0.8f, 0.8f, 1.0f};
constexpr GLfloat FRONT_SHININESS = 0.5f;
// w = 0: a directional light, fixed relative to the eye.
constexpr GLfloat LIGHT_POSITION[4] = {40.0f, 40.0f, -5.0f, 0.0f};

constexpr GLfloat SHADOW_COLOUR[4] = {0.62f, 0.62f, 0.62f, 1.0f};
constexpr GLfloat FAN_COLOUR[4] = {0.2f, 0.2f, 0.45f, 0.12f};

}  // namespace

void initRenderState() {
    glClearColor(1.0f, 1.0f, 1.0f, 0.0f);
    glShadeModel(GL_SMOOTH);
    glEnable(GL_DEPTH_TEST);
    glMaterialfv(GL_FRONT, GL_DIFFUSE, linkColour);
    glMaterialfv(GL_FRONT, GL_SPECULAR, FRONT_SPECULAR);
    glMaterialf(GL_FRONT, GL_SHININESS, FRONT_SHININESS);
    glLightfv(GL_LIGHT0, GL_POSITION, LIGHT_POSITION);
    glEnable(GL_LIGHTING);
    glEnable(GL_LIGHT0);
    glColorMaterial(GL_FRONT, GL_DIFFUSE);
    glEnable(GL_COLOR_MATERIAL);
}

// The same region of the chain's plane at any window size, stretched to fit.
void setChainView(int width, int height) {
    const ViewTransform view = reshapeView(width, height);
    glViewport(view.viewport[0], view.viewport[1], view.viewport[2], view.viewport[3]);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glFrustum(FRUSTUM_LEFT, FRUSTUM_RIGHT, FRUSTUM_BOTTOM, FRUSTUM_TOP, FRUSTUM_NEAR, FRUSTUM_FAR);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glTranslatef(0.0f, 0.0f, -EYE_DISTANCE);
}

// Each link: turn by its joint angle relative to the previous link, move half
// a link out, draw a box one link long, 1.2 across and 0.3 deep, move on to
// the next joint. A link is drawn drawingScale() long; its cross-section
// shrinks with it for chains longer than 20 links, down to a tenth so that a
// long chain stays visible, and stays as it is for shorter ones.
namespace {

// The links of one chain, by its joint angles.
void drawLinks(float (*angle)(int chain, int joint), int chain) {
    glPushMatrix();
    glTranslatef(-1.0f, 0.0f, 0.0f);
    const GLfloat length = drawingScale();
    const GLfloat thickness = std::clamp(length, 0.1f, 1.0f);
    for (int i = 1; i <= linkCount; ++i) {
        glRotatef(static_cast<GLfloat>(angle(chain, i) * ANGLE_TO_DEGREES), 0.0f, 0.0f, 1.0f);
        glTranslatef(0.5f * length, 0.0f, 0.0f);
        glPushMatrix();
        glScalef(length, 1.2f * thickness, 0.3f * thickness);
        glutSolidCube(1.0);
        glPopMatrix();
        glTranslatef(0.5f * length, 0.0f, 0.0f);
    }
    glPopMatrix();
}

float runAngle(int, int joint) { return jointAngles(joint, 1); }

}  // namespace

void drawChain() {
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glColor4fv(linkColour);
    drawLinks(runAngle, 0);
    if (companionCount() > 0) {
        drawCompanions();
    }
}

// The companions behind the run's chain (its depth hides them where they
// overlap it): the shadow in a lighter grey, the fan's members translucent,
// blending with each other, none writing depth.
void drawCompanions() {
    glEnable(GL_BLEND);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    glDepthMask(GL_FALSE);
    for (int c = 0; c < companionCount(); ++c) {
        glColor4fv(companionIsShadow(c) ? SHADOW_COLOUR : FAN_COLOUR);
        drawLinks(companionAngle, c);
    }
    glDepthMask(GL_TRUE);
    glDisable(GL_BLEND);
    glColor4fv(linkColour);
}
