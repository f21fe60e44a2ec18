// The transformation matrices of drawing. Points are row vectors times the
// matrix: p' = p x M, so a x b applies a first, then b. With y growing
// downwards a positive angle turns clockwise on the screen.
//
// 3x2: {m11, m12, m21, m22, dx, dy}: x' = x m11 + y m21 + dx,
//                                    y' = x m12 + y m22 + dy.
// 4x4: sixteen numbers, row by row. Kept in double, as Cairo keeps its
// own: a matrix times its inverse comes back to the identity within 1e-12
// even with translations of thousands of pixels.
#pragma once
#include <array>

typedef struct _cairo_matrix cairo_matrix_t;

namespace vum::view::matrix {

struct Point2 {
    double x = 0, y = 0;
    bool operator==(const Point2&) const = default;
};

struct Matrix3x2 {
    double m11 = 1, m12 = 0, m21 = 0, m22 = 1, dx = 0, dy = 0;
    bool operator==(const Matrix3x2&) const = default;
};

struct Matrix4x4 {
    std::array<double, 16> m{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    double at(int row, int column) const { return m[row * 4 + column]; }
    bool operator==(const Matrix4x4&) const = default;
};

Matrix3x2 identity();
// a x b; with `b_first`, b x a (what premultiplying a by b gives: b is
// applied before a).
Matrix3x2 multiply(const Matrix3x2& a, const Matrix3x2& b, bool b_first = false);
Matrix3x2 translation(double dx, double dy);
// About `centre`: the centre stays where it is.
Matrix3x2 scale(double sx, double sy, Point2 centre = {});
Matrix3x2 rotation(double degrees, Point2 centre = {});
Matrix3x2 skew(double degrees_x, double degrees_y, Point2 centre = {});
void set_translation(Matrix3x2& m, double dx, double dy);
Point2 transform(const Matrix3x2& m, Point2 p);
// False, and `m` left as it was, when it has no inverse.
bool invert(Matrix3x2& m);
// The same transformation as Cairo holds it.
void to_cairo(const Matrix3x2& m, cairo_matrix_t* out);

Matrix4x4 identity4x4();
// a x b (a applied first, as above).
Matrix4x4 multiply(const Matrix4x4& a, const Matrix4x4& b);

}  // namespace vum::view::matrix
