// Pixel processing on raw buffers of 4-byte pixels (rows packed, stride =
// width x 4), without the codecs: a rectangle copied out, an image mapped
// onto a quadrilateral with bilinear sampling (how the drawing side puts an
// image onto one to four points), packed YUV 4:2:2 camera data turned into
// pixels, and the small plane geometry these use. The channel order is
// whatever the buffer holds; the four bytes are treated alike.
#pragma once
#include <cstdint>
#include <vector>

#include "memory/cell.h"

namespace vum::geom {

struct Vector {
    double x, y;
};
struct Point {
    float x, y;
};
// P0 top-left, P1 top-right, P2 bottom-right, P3 bottom-left: clockwise on
// a screen whose y axis points down. Edge i runs from Pi to P(i+1).
using Quad = Point[4];

double length(Vector v);
void normalize(Vector* v);
Vector difference(double ax, double ay, double bx, double by);  // B - A
double cross(Vector u, Vector v);
double dot(Vector u, Vector v);
bool left_of_edge(double px, double py, double ax, double ay, double bx, double by);
bool outside_edge(double px, double py, double ax, double ay, double bx, double by);
double edge_distance(double px, double py, double ax, double ay, double bx, double by);
// Turned by whole degrees (counterclockwise in y-up axes).
Vector turn(Vector v, int32_t degrees);
void mirror_x(Quad q, float c);
void mirror_y(Quad q, float c);
// Points on an edge are inside.
bool inside_quad(const Quad q, double px, double py);

}  // namespace vum::geom

namespace vum::pixels {

// Copies the rectangle (x, y, w, h), clipped to the source, packed at the
// clipped width a row. false (nothing copied) when (x, y) is outside it.
bool copy_rect(const uint8_t* source, int32_t width, int32_t height, int32_t x, int32_t y, int32_t w, int32_t h,
               std::vector<uint8_t>* out, int32_t* out_w = nullptr, int32_t* out_h = nullptr);

// The source mapped onto the quadrilateral: a buffer of its bounding box
// (whose corner and size are returned), pixels outside the quadrilateral
// left 0. Empty for an empty source or box.
struct Warped {
    int32_t x = 0, y = 0, width = 0, height = 0;
    std::vector<uint8_t> bytes;
};
Warped warp_to_quad(const uint8_t* source, int32_t width, int32_t height, const geom::Quad quad);
// Warps onto the rectangle (0, 0)-(new width, new height); empty unless the
// box came out exactly that size.
std::vector<uint8_t> scale_by_quad(const uint8_t* source, int32_t width, int32_t height, int32_t new_width,
                                   int32_t new_height);

// Packed Y0 U Y1 V bytes, two pixels per 4 bytes, into pixels R, G, B, 255.
// `pairs` pixel pairs a row, `rows` rows.
void yuyv_to_rgba(int32_t pairs, int32_t rows, const uint8_t* source, uint8_t* destination);

}  // namespace vum::pixels

namespace vum::image {

// An image drawn onto points: cells of pair! or point2D!, from `first` to
// `last` (one to four consecutive cells), with an optional crop (an offset
// pair, then a size pair). One point: the crop's (or image's) size from it;
// two: top-left and bottom-right; three: a parallelogram from P0, P1, P3;
// four: top-left, top-right, bottom-left, bottom-right. The result is a new
// image of the bounding box, or none; the box comes back in *box, its width
// negated after a horizontal flip and its height after a vertical one.
void transform(const Cell* image, const Cell* crop, const Cell* first, const Cell* last, Cell* result,
               int32_t box[4]);

}  // namespace vum::image
