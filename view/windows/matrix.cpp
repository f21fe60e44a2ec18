#include "view/windows/matrix.h"

#include <cairo.h>

#include <cmath>
#include <numbers>

namespace vum::view::matrix {

namespace {

double radians(double degrees) { return degrees * (std::numbers::pi / 180.0); }

}  // namespace

Matrix3x2 identity() { return Matrix3x2{}; }

Matrix3x2 multiply(const Matrix3x2& a, const Matrix3x2& b, bool b_first) {
    if (b_first) return multiply(b, a);
    return Matrix3x2{
        a.m11 * b.m11 + a.m12 * b.m21,        a.m11 * b.m12 + a.m12 * b.m22,
        a.m21 * b.m11 + a.m22 * b.m21,        a.m21 * b.m12 + a.m22 * b.m22,
        a.dx * b.m11 + a.dy * b.m21 + b.dx,   a.dx * b.m12 + a.dy * b.m22 + b.dy,
    };
}

Matrix3x2 translation(double dx, double dy) { return Matrix3x2{1, 0, 0, 1, dx, dy}; }

Matrix3x2 scale(double sx, double sy, Point2 centre) {
    return Matrix3x2{sx, 0, 0, sy, centre.x - sx * centre.x, centre.y - sy * centre.y};
}

Matrix3x2 rotation(double degrees, Point2 centre) {
    double a = radians(degrees);
    double s = std::sin(a), c = std::cos(a);
    // Whole quarter turns exactly: no 6e-17 left where a zero belongs.
    double quarters = degrees / 90.0;
    if (std::isfinite(quarters) && quarters == std::floor(quarters)) {
        int q = int(std::fmod(std::fmod(quarters, 4.0) + 4.0, 4.0));
        const double sines[] = {0, 1, 0, -1};
        s = sines[q];
        c = sines[(q + 1) % 4];
    }
    return Matrix3x2{c, s, -s, c, centre.x - c * centre.x + s * centre.y, centre.y - s * centre.x - c * centre.y};
}

Matrix3x2 skew(double degrees_x, double degrees_y, Point2 centre) {
    double tx = std::tan(radians(degrees_x)), ty = std::tan(radians(degrees_y));
    return Matrix3x2{1, ty, tx, 1, -centre.y * tx, -centre.x * ty};
}

void set_translation(Matrix3x2& m, double dx, double dy) {
    m.dx = dx;
    m.dy = dy;
}

Point2 transform(const Matrix3x2& m, Point2 p) {
    return Point2{p.x * m.m11 + p.y * m.m21 + m.dx, p.x * m.m12 + p.y * m.m22 + m.dy};
}

bool invert(Matrix3x2& m) {
    double det = m.m11 * m.m22 - m.m12 * m.m21;
    if (det == 0 || !std::isfinite(det)) return false;
    double i11 = m.m22 / det, i12 = -m.m12 / det, i21 = -m.m21 / det, i22 = m.m11 / det;
    m = Matrix3x2{i11, i12, i21, i22, -(m.dx * i11 + m.dy * i21), -(m.dx * i12 + m.dy * i22)};
    return true;
}

void to_cairo(const Matrix3x2& m, cairo_matrix_t* out) {
    // Cairo's xx, yx, xy, yy, x0, y0 name the same numbers in column form.
    cairo_matrix_init(out, m.m11, m.m12, m.m21, m.m22, m.dx, m.dy);
}

Matrix4x4 identity4x4() { return Matrix4x4{}; }

Matrix4x4 multiply(const Matrix4x4& a, const Matrix4x4& b) {
    Matrix4x4 out;
    for (int r = 0; r < 4; r++)
        for (int c = 0; c < 4; c++) {
            double sum = 0;
            for (int k = 0; k < 4; k++) sum += a.at(r, k) * b.at(k, c);
            out.m[r * 4 + c] = sum;
        }
    return out;
}

}  // namespace vum::view::matrix
