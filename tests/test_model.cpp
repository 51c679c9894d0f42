#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>

#include "model/chain_model.h"

namespace {

class MatrixModel : public ::testing::Test {
protected:
    static void SetUpTestSuite() { setupMatrixModel(); }

    static Matrix column(float value = 0.0f) {
        Matrix m(LINK_COUNT, 1);
        for (int i = 1; i <= LINK_COUNT; ++i) {
            m(i, 1) = value;
        }
        return m;
    }
};

TEST(LinkConstants, MomentsOfInertiaHaveTheirRoundedValues) {
    // 0.2^2 / 6 rounded at each product lands one float above 1/150.
    EXPECT_EQ(LINK_INERTIA_X, std::nextafter(static_cast<float>(1.0 / 150.0), 1.0f));
    EXPECT_EQ(LINK_INERTIA_Y, static_cast<float>(1.0 / 3.0));
    EXPECT_EQ(LINK_INERTIA_Z, static_cast<float>(1.0 / 3.0));
}

TEST_F(MatrixModel, LinkMatricesAreConsistent) {
    ASSERT_EQ(linkInertia.rows(), 6);
    ASSERT_EQ(jointAxis.rows(), 6);
    ASSERT_EQ(jointAxis.cols(), 1);
    ASSERT_EQ(jointMatrix.rows(), 6);
    const Matrix shiftTransposed = velocityShift.transpose();
    const Matrix inertiaTransposed = linkInertia.transpose();
    for (int i = 1; i <= 6; ++i) {
        for (int j = 1; j <= 6; ++j) {
            EXPECT_EQ(momentumShift(i, j), shiftTransposed(i, j)) << i << "," << j;
            EXPECT_EQ(linkInertia(i, j), inertiaTransposed(i, j)) << i << "," << j;
        }
    }
    // The inertia's axis column: the centre of mass half a link out gives
    // linear momentum 0.5 along y per unit rate, and I_z = 1/3 about the joint.
    const Matrix axisColumn = linkInertia * jointAxis;
    const float expected[6] = {0.0f, 0.5f, 0.0f, 0.0f, 0.0f, LINK_INERTIA_Z};
    for (int i = 1; i <= 6; ++i) {
        EXPECT_EQ(axisColumn(i, 1), expected[i - 1]) << i;
    }
    // Twice the kinetic energy of the link moving in its plane at joint
    // velocity (1, 2) and rate 3: its centre moves at (1, 2 + 3/2), so
    // m |v_c|^2 + I_c w^2 = 1 + 12.25 + 9/12 = 14.
    Matrix planar(6, 1);
    planar.zero();
    planar(1, 1) = 1.0f;
    planar(2, 1) = 2.0f;
    planar(6, 1) = 3.0f;
    EXPECT_FLOAT_EQ((planar.transpose() * (linkInertia * planar))(1, 1), 14.0f);
    EXPECT_EQ(linkInertia(4, 4), LINK_INERTIA_X);
}

TEST_F(MatrixModel, VelocityShiftMovesARotationToTheFarEnd) {
    Matrix spin(6, 1);
    spin.zero();
    spin(6, 1) = 2.5f;
    const Matrix farEnd = velocityShift * spin;
    const float expected[6] = {0.0f, 2.5f, 0.0f, 0.0f, 0.0f, 2.5f};
    for (int i = 1; i <= 6; ++i) {
        EXPECT_EQ(farEnd(i, 1), expected[i - 1]) << i;
    }
}

TEST_F(MatrixModel, JointTransformIsARotation) {
    const Matrix identity = jointTransform(0.0f);
    for (int i = 1; i <= 6; ++i) {
        for (int j = 1; j <= 6; ++j) {
            EXPECT_EQ(identity(i, j), i == j ? 1.0f : 0.0f);
        }
    }
    for (const float angle : {0.3f, -1.570796f, 2.9f, 100.0f}) {
        const Matrix W = jointTransform(angle);
        EXPECT_EQ(W(2, 1), std::sin(angle));
        EXPECT_EQ(W(1, 2), -std::sin(angle));
        EXPECT_EQ(W(5, 5), std::cos(angle));
        const Matrix product = W * W.transpose();
        for (int i = 1; i <= 6; ++i) {
            for (int j = 1; j <= 6; ++j) {
                EXPECT_NEAR(product(i, j), i == j ? 1.0f : 0.0f, 2e-7f) << angle;
            }
        }
    }
}

TEST_F(MatrixModel, MomentaOfASingleJointRateInTheStraightChain) {
    // Only the tip joint turning: p_20 = w/3, every inner joint also sees the
    // tip's linear momentum w/2 at a lever of (20 - i) links.
    Matrix qdot = column();
    qdot(20, 1) = 1.0f;
    Matrix state = computeMomenta(column(), qdot);
    EXPECT_EQ(state(20, 1), 0.33333334f);
    EXPECT_EQ(state(19, 1), 0.8333334f);
    EXPECT_EQ(state(1, 1), 9.833334f);

    // The whole chain turning rigidly about joint 1: p_1 = sum of
    // (1/3 + k^2) over k = 0..19 = 8000/3.
    qdot = column();
    qdot(1, 1) = 1.0f;
    state = computeMomenta(column(), qdot);
    EXPECT_EQ(state(1, 1), 2666.6665f);
    EXPECT_EQ(state(20, 1), 9.833333f);
}

TEST_F(MatrixModel, MomentaDoNotDependOnTheBaseAngle) {
    Matrix q = column();
    Matrix qdot = column();
    for (int i = 1; i <= LINK_COUNT; ++i) {
        q(i, 1) = 0.1f * static_cast<float>(i) - 0.7f;
        qdot(i, 1) = std::sin(static_cast<float>(i));
    }
    const Matrix reference = computeMomenta(q, qdot);
    q(1, 1) = -1.570796f;
    const Matrix turned = computeMomenta(q, qdot);
    for (int i = 1; i <= LINK_COUNT; ++i) {
        EXPECT_EQ(std::bit_cast<std::uint32_t>(turned(i, 1)), std::bit_cast<std::uint32_t>(reference(i, 1))) << i;
    }
    EXPECT_EQ(turned(21, 1), -1.570796f);
}

TEST_F(MatrixModel, RestGivesZeroMomentaAndCopiesTheAngles) {
    Matrix q = column();
    for (int i = 1; i <= LINK_COUNT; ++i) {
        q(i, 1) = std::ldexp(1.1f, -i) * (i % 2 == 0 ? 1.0f : -1.0f);
    }
    q(3, 1) = -0.0f;
    const Matrix state = computeMomenta(q, column());
    ASSERT_EQ(state.rows(), 2 * LINK_COUNT);
    ASSERT_EQ(state.cols(), 1);
    for (int i = 1; i <= LINK_COUNT; ++i) {
        EXPECT_EQ(state(i, 1), 0.0f) << i;
        EXPECT_EQ(std::bit_cast<std::uint32_t>(state(LINK_COUNT + i, 1)), std::bit_cast<std::uint32_t>(q(i, 1))) << i;
    }
    // The base entry of the velocities stays zero after any call.
    for (int i = 1; i <= 6; ++i) {
        EXPECT_EQ((*linkVelocity[0])(i, 1), 0.0f);
    }
}

}  // namespace
