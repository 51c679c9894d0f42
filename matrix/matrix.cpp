#include "matrix/matrix.h"

#include <utility>

namespace {

std::unique_ptr<float> newElement(float value = 0.0f) { return std::make_unique<float>(value); }

}  // namespace

Matrix::Matrix(std::int32_t rows, std::int32_t cols) { resize(rows, cols); }

Matrix::Matrix(std::int32_t n, std::string kind) : elements(n), rowCount(n), colCount(n) {
    const bool zero = kind == "zero";
    const bool unity = !zero && kind == "unity";
    for (std::int32_t r = 0; r < n; ++r) {
        elements[r].reserve(n);
        for (std::int32_t c = 0; c < n; ++c) {
            elements[r].push_back(newElement(unity && r == c ? 1.0f : 0.0f));
        }
    }
}

Matrix::Matrix(const Matrix& source) : elements(source.rowCount), rowCount(source.rowCount), colCount(source.colCount) {
    for (std::int32_t r = 0; r < rowCount; ++r) {
        elements[r].reserve(colCount);
        for (std::int32_t c = 0; c < colCount; ++c) {
            elements[r].push_back(newElement(*source.elements[r][c]));
        }
    }
}

Matrix Matrix::operator+(const Matrix& other) const {
    Matrix result(rowCount, colCount);
    for (std::int32_t i = 1; i <= rowCount; ++i) {
        for (std::int32_t j = 1; j <= colCount; ++j) {
            result(i, j) = (*this)(i, j) + other(i, j);
        }
    }
    return result;
}

Matrix Matrix::operator*(const Matrix& other) const {
    Matrix result(rowCount, other.colCount);
    for (std::int32_t i = 1; i <= rowCount; ++i) {
        for (std::int32_t j = 1; j <= other.colCount; ++j) {
            // Each product and each partial sum is rounded to single precision.
            float sum = 0.0f;
            for (std::int32_t k = 1; k <= colCount; ++k) {
                const float product = (*this)(i, k) * other(k, j);
                sum = sum + product;
            }
            result(i, j) = sum;
        }
    }
    return result;
}

Matrix Matrix::operator*(float s) const {
    Matrix result(rowCount, colCount);
    for (std::int32_t i = 1; i <= rowCount; ++i) {
        for (std::int32_t j = 1; j <= colCount; ++j) {
            result(i, j) = s * (*this)(i, j);
        }
    }
    return result;
}

Matrix Matrix::transpose() const {
    Matrix result(colCount, rowCount);
    for (std::int32_t i = 1; i <= rowCount; ++i) {
        for (std::int32_t j = 1; j <= colCount; ++j) {
            result(j, i) = (*this)(i, j);
        }
    }
    return result;
}

Matrix Matrix::operator=(const Matrix& source) {
    if (&source != this) {
        elements.clear();
        rowCount = 0;
        colCount = 0;
        resize(source.rowCount, source.colCount);
        for (std::int32_t r = 0; r < rowCount; ++r) {
            for (std::int32_t c = 0; c < colCount; ++c) {
                *elements[r][c] = *source.elements[r][c];
            }
        }
    }
    return *this;
}

void Matrix::resize(std::int32_t rows, std::int32_t cols) {
    // Cutting a row or the array of rows releases the elements outside the
    // new shape; the slots that are new inside it receive fresh elements.
    elements.resize(rows);
    for (Row& row : elements) {
        const std::size_t kept = row.size();
        row.resize(cols);
        for (std::size_t c = kept; c < row.size(); ++c) {
            row[c] = newElement();
        }
    }
    rowCount = rows;
    colCount = cols;
}

Matrix Matrix::zero() {
    for (Row& row : elements) {
        for (std::unique_ptr<float>& element : row) {
            *element = 0.0f;
        }
    }
    return *this;
}

Matrix Matrix::unity() {
    zero();
    for (std::int32_t i = 1; i <= colCount; ++i) {
        (*this)(i, i) = 1.0f;
    }
    return *this;
}
