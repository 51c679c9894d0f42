#include <gtest/gtest.h>

#include "matrix/matrix.h"

namespace {

Matrix filled(int rows, int cols, float start) {
    Matrix m(rows, cols);
    float value = start;
    for (int i = 1; i <= rows; ++i) {
        for (int j = 1; j <= cols; ++j) {
            m(i, j) = value;
            value += 1.0f;
        }
    }
    return m;
}

void expectIdentity(const Matrix& m, int n) {
    ASSERT_EQ(m.rows(), n);
    ASSERT_EQ(m.cols(), n);
    for (int i = 1; i <= n; ++i) {
        for (int j = 1; j <= n; ++j) {
            EXPECT_EQ(m(i, j), i == j ? 1.0f : 0.0f) << i << "," << j;
        }
    }
}

TEST(Matrix, ConstructionKinds) {
    expectIdentity(Matrix(3, "unity"), 3);
    const Matrix zero(2, "zero");
    for (int i = 1; i <= 2; ++i) {
        for (int j = 1; j <= 2; ++j) {
            EXPECT_EQ(zero(i, j), 0.0f);
        }
    }
    // Any other kind text (case matters) allocates a usable 2x2 matrix.
    Matrix other(2, "Zero");
    EXPECT_EQ(other.rows(), 2);
    EXPECT_EQ(other.cols(), 2);
    other(2, 2) = 7.0f;
    EXPECT_EQ(other(2, 2), 7.0f);
    const Matrix empty(0, 0);
    EXPECT_EQ(empty.rows(), 0);
    EXPECT_EQ(empty.cols(), 0);
}

TEST(Matrix, OneBasedAccessReachesFirstAndLastElement) {
    const Matrix m = filled(3, 4, 1.0f);
    EXPECT_EQ(m(1, 1), 1.0f);
    EXPECT_EQ(m(1, 4), 4.0f);
    EXPECT_EQ(m(2, 1), 5.0f);
    EXPECT_EQ(m(m.rows(), m.cols()), 12.0f);
}

TEST(Matrix, ProductAccumulatesInSinglePrecisionFromFirstColumn) {
    // Row 1: in float 1e8 + 1 rounds back to 1e8, so the sum is 0 (1 in
    // double). Row 2: (1e8 - 1e8) + 1 = 1 from the first column onward, but
    // (1 - 1e8) + 1e8 = 0 from the last column back.
    Matrix rows(2, 3);
    rows(1, 1) = rows(2, 1) = 1e8f;
    rows(1, 2) = rows(2, 3) = 1.0f;
    rows(1, 3) = rows(2, 2) = -1e8f;
    Matrix ones(3, 1);
    ones(1, 1) = ones(2, 1) = ones(3, 1) = 1.0f;
    const Matrix product = rows * ones;
    ASSERT_EQ(product.rows(), 2);
    ASSERT_EQ(product.cols(), 1);
    EXPECT_EQ(product(1, 1), 0.0f) << "not summed in single precision";
    EXPECT_EQ(product(2, 1), 1.0f) << "not summed from the first column";
}

TEST(Matrix, ShapesOfProductsAndTransposes) {
    const Matrix column = filled(6, 1, 1.0f);
    const Matrix row = column.transpose();
    EXPECT_EQ(row.rows(), 1);
    EXPECT_EQ(row.cols(), 6);
    const Matrix inner = row * column;
    ASSERT_EQ(inner.rows(), 1);
    ASSERT_EQ(inner.cols(), 1);
    EXPECT_EQ(inner(1, 1), 91.0f);  // 1 + 4 + ... + 36
    const Matrix square = filled(6, 6, 0.0f);
    const Matrix image = square * column;
    ASSERT_EQ(image.rows(), 6);
    ASSERT_EQ(image.cols(), 1);
    EXPECT_EQ(image(2, 1), 6 * 1 + 7 * 2 + 8 * 3 + 9 * 4 + 10 * 5 + 11 * 6);
    const Matrix t = filled(2, 3, 1.0f).transpose();
    EXPECT_EQ(t(3, 1), 3.0f);
    EXPECT_EQ(t(1, 2), 4.0f);
}

TEST(Matrix, SumAndScalarProductAreElementwise) {
    const Matrix a = filled(2, 2, 1.0f);
    const Matrix b = filled(2, 2, 10.0f);
    const Matrix sum = a + b;
    EXPECT_EQ(sum(1, 1), 11.0f);
    EXPECT_EQ(sum(2, 2), 17.0f);
    const Matrix scaled = a * 0.5f;
    EXPECT_EQ(scaled(2, 1), 1.5f);
    // Single-precision rounding of the sum: 1 + 2^-24 is 1.
    Matrix one(1, 1);
    one(1, 1) = 1.0f;
    Matrix tiny(1, 1);
    tiny(1, 1) = 0x1p-24f;
    EXPECT_EQ((one + tiny)(1, 1), 1.0f);
}

TEST(Matrix, CopyAndAssignmentAreDeep) {
    Matrix source = filled(40, 1, 1.0f);
    Matrix copy(source);
    copy(1, 1) = -1.0f;
    EXPECT_EQ(source(1, 1), 1.0f);

    Matrix target(0, 0);
    const Matrix returned = (target = source);
    ASSERT_EQ(target.rows(), 40);
    ASSERT_EQ(target.cols(), 1);
    for (int i = 1; i <= 40; ++i) {
        EXPECT_EQ(target(i, 1), static_cast<float>(i));
    }
    EXPECT_EQ(returned(40, 1), 40.0f);
    target(5, 1) = 0.0f;
    source(6, 1) = 0.0f;
    EXPECT_EQ(source(5, 1), 5.0f);
    EXPECT_EQ(target(6, 1), 6.0f);

    // Assignment to a matrix of another shape takes the source's shape.
    Matrix wide = filled(3, 7, 0.0f);
    wide = filled(2, 2, 4.0f);
    EXPECT_EQ(wide.rows(), 2);
    EXPECT_EQ(wide.cols(), 2);
    EXPECT_EQ(wide(2, 2), 7.0f);
}

TEST(Matrix, SelfAssignmentKeepsValues) {
    Matrix m = filled(3, 3, 1.0f);
    Matrix& alias = m;
    const Matrix returned = (m = alias);
    for (int i = 1; i <= 3; ++i) {
        for (int j = 1; j <= 3; ++j) {
            EXPECT_EQ(m(i, j), static_cast<float>(3 * (i - 1) + j));
        }
    }
    EXPECT_EQ(returned(3, 3), 9.0f);
}

TEST(Matrix, ResizeKeepsValuesAtTheirPositions) {
    Matrix m = filled(2, 2, 1.0f);
    m.resize(3, 3);
    ASSERT_EQ(m.rows(), 3);
    ASSERT_EQ(m.cols(), 3);
    EXPECT_EQ(m(1, 1), 1.0f);
    EXPECT_EQ(m(1, 2), 2.0f);
    EXPECT_EQ(m(2, 1), 3.0f);
    EXPECT_EQ(m(2, 2), 4.0f);
    m(3, 3) = 9.0f;
    m.resize(1, 2);
    EXPECT_EQ(m(1, 2), 2.0f);
    m.resize(2, 1);
    EXPECT_EQ(m(1, 1), 1.0f);

    Matrix grown(0, 0);
    grown.resize(6, 6);
    const Matrix zeroed = grown.zero();
    for (int i = 1; i <= 6; ++i) {
        for (int j = 1; j <= 6; ++j) {
            EXPECT_EQ(grown(i, j), 0.0f);
            EXPECT_EQ(zeroed(i, j), 0.0f);
        }
    }
}

TEST(Matrix, UnityOverwritesAnyContent) {
    Matrix m = filled(6, 6, -3.5f);
    const Matrix returned = m.unity();
    expectIdentity(m, 6);
    expectIdentity(returned, 6);
}

}  // namespace
