#include <GL/glu.h>

#include "app/application.h"

namespace {

// The cursor is unprojected onto the far clipping plane, ten units from the
// eye, twice as far as the chain: the target comes out at twice the scale of
// the drawing, the scale at which the tip spring measures the chain.
constexpr double CURSOR_DEPTH = 1.0;
constexpr double BASE_OFFSET_X = 1.0;  // the chain's base sits at world (-1, 0)

}  // namespace

float drawingScale() { return static_cast<float>(LINK_COUNT) / static_cast<float>(linkCount); }

ViewTransform reshapeView(int width, int height) {
    ViewTransform view{};
    view.viewport = {0, 0, width, height};
    // Perspective projection of glFrustum, formed in single precision.
    const auto l = static_cast<float>(FRUSTUM_LEFT);
    const auto r = static_cast<float>(FRUSTUM_RIGHT);
    const auto b = static_cast<float>(FRUSTUM_BOTTOM);
    const auto t = static_cast<float>(FRUSTUM_TOP);
    const auto n = static_cast<float>(FRUSTUM_NEAR);
    const auto f = static_cast<float>(FRUSTUM_FAR);
    view.projection[0] = (2.0f * n) / (r - l);
    view.projection[5] = (2.0f * n) / (t - b);
    view.projection[8] = (r + l) / (r - l);
    view.projection[9] = (t + b) / (t - b);
    view.projection[10] = -(f + n) / (f - n);
    view.projection[11] = -1.0;
    view.projection[14] = -(2.0f * f * n) / (f - n);
    // The modelview moves the scene EYE_DISTANCE away from the eye.
    view.modelview = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, -EYE_DISTANCE, 1};
    return view;
}

void setTargetFromCursor(int x, int y, const ViewTransform& view) {
    GLdouble objectX = 0.0;
    GLdouble objectY = 0.0;
    GLdouble objectZ = 0.0;
    // The window y goes in as measured from the top edge: the projection is
    // symmetric top to bottom, so -Y is then the world height under the cursor.
    gluUnProject(static_cast<GLdouble>(x), static_cast<GLdouble>(y), CURSOR_DEPTH, view.modelview.data(),
                 view.projection.data(), view.viewport.data(), &objectX, &objectY, &objectZ);
    const double scale = drawingScale();
    mouseTarget(1, 1) = static_cast<float>((objectX + BASE_OFFSET_X) / scale);
    mouseTarget(2, 1) = static_cast<float>(-objectY / scale);
}

void applyMouseButton(int button, int state, int x, int y, const ViewTransform& view) {
    if (button == LEFT_BUTTON && state == BUTTON_UP) {
        mouseDown = 0;
    } else if (button == LEFT_BUTTON && state == BUTTON_DOWN) {
        mouseDown = 1;
        setTargetFromCursor(x, y, view);
    }
}

void applyMouseMotion(int x, int y, const ViewTransform& view) { setTargetFromCursor(x, y, view); }
