#include "datatypes/image-pixels.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <utility>

#include "datatypes/image-record.h"
#include "datatypes/image.h"
#include "datatypes/pair.h"
#include "datatypes/point.h"
#include "memory/collector.h"
#include "memory/ownership.h"

namespace vum::geom {

double length(Vector v) { return std::sqrt(v.x * v.x + v.y * v.y); }

void normalize(Vector* v) {
    double l = length(*v);
    v->x /= l;
    v->y /= l;
}

Vector difference(double ax, double ay, double bx, double by) { return {bx - ax, by - ay}; }
double cross(Vector u, Vector v) { return u.x * v.y - u.y * v.x; }
double dot(Vector u, Vector v) { return u.x * v.x + u.y * v.y; }

bool left_of_edge(double px, double py, double ax, double ay, double bx, double by) {
    return cross(difference(ax, ay, px, py), difference(ax, ay, bx, by)) < 0;
}

bool outside_edge(double px, double py, double ax, double ay, double bx, double by) {
    return cross(difference(ax, ay, px, py), difference(ax, ay, bx, by)) > 0;
}

double edge_distance(double px, double py, double ax, double ay, double bx, double by) {
    Vector u = difference(ax, ay, bx, by);
    normalize(&u);
    return std::fabs(cross(difference(ax, ay, px, py), u));
}

Vector turn(Vector v, int32_t degrees) {
    double a = degrees * 3.14159265359 / 180;
    return {v.x * std::cos(a) - v.y * std::sin(a), v.x * std::sin(a) + v.y * std::cos(a)};
}

void mirror_x(Quad q, float c) {
    for (int i = 0; i < 4; i++) q[i].x = 2 * c - q[i].x;
}

void mirror_y(Quad q, float c) {
    for (int i = 0; i < 4; i++) q[i].y = 2 * c - q[i].y;
}

bool inside_quad(const Quad q, double px, double py) {
    for (int i = 0; i < 4; i++) {
        const Point& a = q[i];
        const Point& b = q[(i + 1) % 4];
        if (outside_edge(px, py, a.x, a.y, b.x, b.y)) return false;
    }
    return true;
}

}  // namespace vum::geom

namespace vum::pixels {

bool copy_rect(const uint8_t* source, int32_t width, int32_t height, int32_t x, int32_t y, int32_t w, int32_t h,
               std::vector<uint8_t>* out, int32_t* out_w, int32_t* out_h) {
    if (x < 0 || y < 0 || x >= width || y >= height) return false;
    w = std::clamp(w, 0, width - x);
    h = std::clamp(h, 0, height - y);
    out->assign(size_t(w) * size_t(h) * 4, 0);
    for (int32_t r = 0; r < h; r++)
        std::memcpy(out->data() + size_t(r) * size_t(w) * 4, source + (size_t(y + r) * size_t(width) + size_t(x)) * 4,
                    size_t(w) * 4);
    if (out_w) *out_w = w;
    if (out_h) *out_h = h;
    return true;
}

namespace {

// Bilinear sample of the source at (sx, sy), byte by byte, truncated.
void sample(const uint8_t* source, int32_t width, int32_t height, float sx, float sy, uint8_t* out) {
    int32_t j = int32_t(sx), i = int32_t(sy);
    int32_t j1 = j + 1 == width ? j : j + 1;
    int32_t i1 = i + 1 == height ? i : i + 1;
    float fx = std::max(0.0f, sx - float(j)), fy = std::max(0.0f, sy - float(i));
    const float weights[4] = {(1 - fx) * (1 - fy), fx * (1 - fy), (1 - fx) * fy, fx * fy};
    const uint8_t* at[4] = {source + (size_t(i) * size_t(width) + size_t(j)) * 4,
                            source + (size_t(i) * size_t(width) + size_t(j1)) * 4,
                            source + (size_t(i1) * size_t(width) + size_t(j)) * 4,
                            source + (size_t(i1) * size_t(width) + size_t(j1)) * 4};
    for (int k = 0; k < 4; k++) {
        float sum = 0;
        for (int n = 0; n < 4; n++) sum += weights[n] * float(at[n][k]);
        out[k] = uint8_t(std::clamp(sum, 0.0f, 255.0f));
    }
}

}  // namespace

Warped warp_to_quad(const uint8_t* source, int32_t width, int32_t height, const geom::Quad quad) {
    Warped w;
    if (width < 1 || height < 1) return w;
    float min_x = FLT_MAX, min_y = FLT_MAX, max_x = -FLT_MAX, max_y = -FLT_MAX;
    for (int i = 0; i < 4; i++) {
        min_x = std::min(min_x, quad[i].x);
        min_y = std::min(min_y, quad[i].y);
        max_x = std::max(max_x, quad[i].x);
        max_y = std::max(max_y, quad[i].y);
    }
    // A box past the 16-bit image sides is refused rather than allocated.
    float box_w = max_x - min_x, box_h = max_y - min_y;
    if (!(box_w >= 1 && box_h >= 1 && box_w <= imaging::max_side && box_h <= imaging::max_side)) return w;
    if (!(std::fabs(min_x) < 1e9f && std::fabs(min_y) < 1e9f)) return w;
    w.x = int32_t(min_x);
    w.y = int32_t(min_y);
    w.width = int32_t(box_w);
    w.height = int32_t(box_h);
    geom::Vector u[4];
    for (int i = 0; i < 4; i++) {
        const geom::Point& a = quad[i];
        const geom::Point& b = quad[(i + 1) % 4];
        u[i] = geom::difference(a.x, a.y, b.x, b.y);
        geom::normalize(&u[i]);
    }
    w.bytes.assign(size_t(w.width) * size_t(w.height) * 4, 0);
    for (int32_t r = 0; r < w.height; r++) {
        for (int32_t c = 0; c < w.width; c++) {
            double px = c + w.x, py = r + w.y;
            if (!geom::inside_quad(quad, px, py)) continue;
            float d[4];
            for (int i = 0; i < 4; i++)
                d[i] = float(std::fabs(geom::cross(geom::difference(quad[i].x, quad[i].y, px, py), u[i])));
            float sx = d[3] / (d[3] + d[1]) * float(width);
            float sy = d[0] / (d[0] + d[2]) * float(height);
            if (!(sx >= 0 && sx < float(width) && sy >= 0 && sy < float(height))) continue;
            sample(source, width, height, sx, sy, w.bytes.data() + (size_t(r) * size_t(w.width) + size_t(c)) * 4);
        }
    }
    return w;
}

std::vector<uint8_t> scale_by_quad(const uint8_t* source, int32_t width, int32_t height, int32_t new_width,
                                   int32_t new_height) {
    geom::Quad q = {{0, 0}, {float(new_width), 0}, {float(new_width), float(new_height)}, {0, float(new_height)}};
    Warped w = warp_to_quad(source, width, height, q);
    if (w.width != new_width || w.height != new_height) return {};
    return std::move(w.bytes);
}

void yuyv_to_rgba(int32_t pairs, int32_t rows, const uint8_t* source, uint8_t* destination) {
    auto clamp = [](int32_t v) { return uint8_t(std::clamp(v, 0, 255)); };
    for (int32_t row = 0; row < rows; row++) {
        for (int32_t k = 0; k < pairs; k++, source += 4) {
            int32_t u = int32_t(source[1]) - 128, v = int32_t(source[3]) - 128;
            int32_t r_add = (v * 91881) >> 16;
            int32_t g_sub = ((v * 46792) >> 16) + ((u * 21889) >> 16);
            int32_t b_add = (u * 116129) >> 16;
            for (int32_t y : {int32_t(source[0]), int32_t(source[2])}) {
                *destination++ = clamp(y + r_add);
                *destination++ = clamp(y - g_sub);
                *destination++ = clamp(y + b_add);
                *destination++ = 255;
            }
        }
    }
}

}  // namespace vum::pixels

namespace vum::image {

namespace {

bool point_of(const Cell* c, geom::Point* p) {
    if (cell::type(c) == type_pair) {
        *p = {float(pair_type::x_of(c)), float(pair_type::y_of(c))};
        return true;
    }
    if (cell::type(c) == type_point2d) {
        *p = {point_type::component(c, 0), point_type::component(c, 1)};
        return true;
    }
    return false;
}

}  // namespace

void transform(const Cell* image, const Cell* crop, const Cell* first, const Cell* last, Cell* result,
               int32_t box[4]) {
    gc::Local img(*image);
    int64_t count = last - first + 1;
    geom::Point given[4];
    if (count < 1 || count > 4) {
        cell::make_none(result);
        return;
    }
    for (int64_t i = 0; i < count; i++)
        if (!point_of(first + i, &given[i])) {
            cell::make_none(result);
            return;
        }
    int32_t w = width(&img), h = height(&img);
    int32_t cx = 0, cy = 0, cw = w, ch = h;
    if (crop && cell::type(crop) == type_pair && cell::type(crop + 1) == type_pair) {
        cx = std::clamp(pair_type::x_of(crop), 0, w);
        cy = std::clamp(pair_type::y_of(crop), 0, h);
        cw = std::clamp(pair_type::x_of(crop + 1), 0, w - cx);
        ch = std::clamp(pair_type::y_of(crop + 1), 0, h - cy);
    }
    geom::Quad q;
    const geom::Point& p0 = given[0];
    switch (count) {
        case 1:
            q[0] = p0, q[1] = {p0.x + float(cw), p0.y}, q[2] = {p0.x + float(cw), p0.y + float(ch)},
            q[3] = {p0.x, p0.y + float(ch)};
            break;
        case 2:
            q[0] = p0, q[1] = {given[1].x, p0.y}, q[2] = given[1], q[3] = {p0.x, given[1].y};
            break;
        case 3:
            q[0] = p0, q[1] = given[1], q[3] = given[2];
            q[2] = {given[1].x + given[2].x - p0.x, given[1].y + given[2].y - p0.y};
            break;
        default:
            q[0] = p0, q[1] = given[1], q[3] = given[2], q[2] = given[3];
    }
    bool flip_x = q[0].x > q[1].x, flip_y = q[1].y > q[2].y;
    if (flip_x) geom::mirror_x(q, q[0].x);
    if (flip_y) geom::mirror_y(q, q[0].y);
    pixels::Warped warped;
    if (img.w2 && cw > 0 && ch > 0) {
        const uint8_t* source = image_record::open_pixels(img.w2, false);
        std::vector<uint8_t> part;
        int32_t pw = 0, ph = 0;
        if (pixels::copy_rect(source, w, h, cx, cy, cw, ch, &part, &pw, &ph))
            warped = pixels::warp_to_quad(part.data(), pw, ph, q);
    }
    if (warped.bytes.empty()) {
        cell::make_none(result);
        return;
    }
    box[0] = warped.x;
    box[1] = warped.y;
    box[2] = flip_x ? -warped.width : warped.width;
    box[3] = flip_y ? -warped.height : warped.height;
    imaging::Pixels p;
    p.width = warped.width;
    p.height = warped.height;
    p.bgra = std::move(warped.bytes);
    make_from_pixels(result, std::move(p), image_record::flag_bitmap_current | image_record::flag_bitmap_written,
                     false, true);
}

}  // namespace vum::image
