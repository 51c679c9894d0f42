#include "sim/application.h"

namespace {

// The cursor is unprojected onto the far clipping plane, ten units from the
// eye, twice as far as the chain: the target comes out at twice the scale of
// the drawing, the scale at which the tip spring measures the chain.
constexpr double CURSOR_DEPTH = 1.0;
constexpr double BASE_OFFSET_X = 1.0;  // the chain's base sits at world (-1, 0)

using Matrix4 = std::array<double, 16>;  // column-major, element (row, column) at [4 column + row]

// a b, summed over k in increasing order.
Matrix4 multiply(const Matrix4& a, const Matrix4& b) {
    Matrix4 product{};
    for (int column = 0; column < 4; ++column) {
        for (int row = 0; row < 4; ++row) {
            double sum = 0.0;
            for (int k = 0; k < 4; ++k) {
                sum += a[4 * k + row] * b[4 * column + k];
            }
            product[4 * column + row] = sum;
        }
    }
    return product;
}

// Determinant of the 3x3 minor of `m` that leaves out `skipRow` and `skipColumn`.
double minor(const Matrix4& m, int skipRow, int skipColumn) {
    int rows[3];
    int columns[3];
    for (int i = 0, r = 0, c = 0; i < 4; ++i) {
        if (i != skipRow) {
            rows[r++] = i;
        }
        if (i != skipColumn) {
            columns[c++] = i;
        }
    }
    const auto at = [&](int r, int c) { return m[4 * columns[c] + rows[r]]; };
    return at(0, 0) * (at(1, 1) * at(2, 2) - at(1, 2) * at(2, 1)) -
           at(0, 1) * (at(1, 0) * at(2, 2) - at(1, 2) * at(2, 0)) +
           at(0, 2) * (at(1, 0) * at(2, 1) - at(1, 1) * at(2, 0));
}

// m^-1 = adj(m) / det(m), with adj(m)(r, c) the cofactor of element (c, r)
// and det(m) expanded along the first row. A singular m gives non-finite
// entries.
Matrix4 inverse(const Matrix4& m) {
    Matrix4 cofactorT{};
    for (int row = 0; row < 4; ++row) {
        for (int column = 0; column < 4; ++column) {
            const double sign = (row + column) % 2 == 0 ? 1.0 : -1.0;
            cofactorT[4 * row + column] = sign * minor(m, row, column);
        }
    }
    double determinant = 0.0;
    for (int column = 0; column < 4; ++column) {
        determinant += m[4 * column] * cofactorT[column];
    }
    const double reciprocal = 1.0 / determinant;
    Matrix4 result{};
    for (int i = 0; i < 16; ++i) {
        result[i] = cofactorT[i] * reciprocal;
    }
    return result;
}

}  // namespace

float drawingScale(std::int32_t links) { return static_cast<float>(LINK_COUNT) / static_cast<float>(links); }
float drawingScale() { return drawingScale(linkCount); }

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

std::array<double, 3> unprojectWindowPoint(double x, double y, double depth, const ViewTransform& view) {
    const Matrix4 toWindow = inverse(multiply(view.projection, view.modelview));
    // Window to normalized device coordinates, each in [-1, 1] inside the view.
    const double device[4] = {(x - view.viewport[0]) / view.viewport[2] * 2.0 - 1.0,
                              (y - view.viewport[1]) / view.viewport[3] * 2.0 - 1.0, depth * 2.0 - 1.0, 1.0};
    double object[4] = {};
    for (int row = 0; row < 4; ++row) {
        double sum = 0.0;
        for (int k = 0; k < 4; ++k) {
            sum += toWindow[4 * k + row] * device[k];
        }
        object[row] = sum;
    }
    // Homogeneous division.
    return {object[0] / object[3], object[1] / object[3], object[2] / object[3]};
}

std::array<float, 2> cursorTarget(int x, int y, const ViewTransform& view, std::int32_t links) {
    // The window y goes in as measured from the top edge: the projection is
    // symmetric top to bottom, so -Y is then the world height under the cursor.
    const std::array<double, 3> object =
        unprojectWindowPoint(static_cast<double>(x), static_cast<double>(y), CURSOR_DEPTH, view);
    const double scale = drawingScale(links);
    return {static_cast<float>((object[0] + BASE_OFFSET_X) / scale), static_cast<float>(-object[1] / scale)};
}

void setTargetFromCursor(int x, int y, const ViewTransform& view) {
    const std::array<float, 2> target = cursorTarget(x, y, view, linkCount);
    mouseTarget(1, 1) = target[0];
    mouseTarget(2, 1) = target[1];
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
