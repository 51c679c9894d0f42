// The cursor mapping's own unprojection against GLU's gluUnProject, which the
// window program used before and which the WebAssembly build cannot link: the
// spring targets must come out bit for bit the same, inside the window and far
// outside it, for any window size.
#include <GL/glu.h>
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <vector>

#include "sim/application.h"

namespace {

struct Target {
    float x;
    float y;
};

// The target as the window program formed it through GLU.
Target targetThroughGlu(int x, int y, const ViewTransform& view) {
    GLdouble objectX = 0.0;
    GLdouble objectY = 0.0;
    GLdouble objectZ = 0.0;
    EXPECT_EQ(gluUnProject(x, y, 1.0, view.modelview.data(), view.projection.data(), view.viewport.data(), &objectX,
                           &objectY, &objectZ),
              GL_TRUE);
    const double scale = drawingScale();
    return {static_cast<float>((objectX + 1.0) / scale), static_cast<float>(-objectY / scale)};
}

// Pixel coordinates along one axis of a window `size` pixels long: every
// edge, centre and quarter, a stride through the window, and points far
// outside it up to the largest magnitude an event script accepts.
std::vector<int> probeCoordinates(int size) {
    std::vector<int> values = {0, 1, size / 4, size / 2 - 1, size / 2, size / 2 + 1, 3 * size / 4, size - 1, size,
                               size + 1, -1, -size, 2 * size, 1000000, -1000000, 999999, -999999, 123457, -65536};
    for (int v = -3 * size; v <= 4 * size; v += 1 + size / 37) {
        values.push_back(v);
    }
    return values;
}

TEST(CursorUnprojection, TargetsMatchGluBitForBit) {
    const int sizes[] = {1, 2, 3, 7, 100, 333, 479, 640, 641, 800, 1024, 1080, 1366, 1920, 4001, 16384};
    mouseTarget.resize(2, 1);
    std::int64_t compared = 0;
    std::int64_t differing = 0;
    for (const int width : sizes) {
        for (const int height : sizes) {
            const ViewTransform view = reshapeView(width, height);
            const std::vector<int> xs = probeCoordinates(width);
            const std::vector<int> ys = probeCoordinates(height);
            for (const int x : xs) {
                for (const int y : ys) {
                    const Target expected = targetThroughGlu(x, y, view);
                    setTargetFromCursor(x, y, view);
                    // Bit patterns, so that -0 and +0 count as different.
                    const bool same = std::bit_cast<std::uint32_t>(mouseTarget(1, 1)) ==
                                          std::bit_cast<std::uint32_t>(expected.x) &&
                                      std::bit_cast<std::uint32_t>(mouseTarget(2, 1)) ==
                                          std::bit_cast<std::uint32_t>(expected.y);
                    ++compared;
                    if (!same) {
                        ++differing;
                        ADD_FAILURE() << width << "x" << height << " pixel (" << x << ", " << y << "): ("
                                      << mouseTarget(1, 1) << ", " << mouseTarget(2, 1) << ") vs GLU's ("
                                      << expected.x << ", " << expected.y << ")";
                        ASSERT_LT(differing, 20) << "stopping after 20 differences";
                    }
                }
            }
        }
    }
    EXPECT_GT(compared, 1000000);
    EXPECT_EQ(differing, 0);
}

}  // namespace
