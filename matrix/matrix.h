// Matrix: a small dense matrix of single-precision floats with value semantics
// and 1-based (row, column) access. It carries the 6x6 spatial matrices and
// 6x1 spatial vectors of the matrix-based chain model and the application's
// matrix-valued globals. All arithmetic on it runs once, at start-up.
//
// Every element is a separately allocated float owned by exactly one matrix.
// A newly allocated element holds 0, but callers treat its value as unset and
// write it before reading it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class Matrix {
public:
    Matrix(std::int32_t rows, std::int32_t cols);
    // kind "zero": every element 0; "unity": the identity; any other text:
    // elements allocated with unset values.
    Matrix(std::int32_t n, std::string kind);
    Matrix(const Matrix& source);
    ~Matrix() = default;

    std::int32_t rows() const { return rowCount; }
    std::int32_t cols() const { return colCount; }

    // 1-based element access; no range test.
    float& operator()(std::int32_t row, std::int32_t col) { return *elements[row - 1][col - 1]; }
    float operator()(std::int32_t row, std::int32_t col) const { return *elements[row - 1][col - 1]; }

    Matrix operator+(const Matrix& other) const;
    // Product accumulated in single precision from k = 1 upward.
    Matrix operator*(const Matrix& other) const;
    Matrix operator*(float s) const;
    Matrix transpose() const;

    // Deep copy into this matrix, which takes the source's shape; returns a
    // copy of the result.
    Matrix operator=(const Matrix& source);

    // Reshapes in place; elements inside both shapes keep their values.
    void resize(std::int32_t rows, std::int32_t cols);
    Matrix zero();
    Matrix unity();

private:
    using Row = std::vector<std::unique_ptr<float>>;
    std::vector<Row> elements;
    std::int32_t rowCount = 0;
    std::int32_t colCount = 0;
};
