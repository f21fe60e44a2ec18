// Points and rectangles of the window system, in whole pixels.
#pragma once
#include <algorithm>
#include <cstdint>

namespace vum::win {

struct Point {
    int32_t x = 0, y = 0;
    bool operator==(const Point&) const = default;
};

// A rectangle is its top-left corner and its size; an empty one has no
// pixels whatever its corner.
struct Rect {
    int32_t x = 0, y = 0, width = 0, height = 0;
    bool operator==(const Rect&) const = default;

    bool empty() const { return width <= 0 || height <= 0; }
    int32_t right() const { return x + width; }
    int32_t bottom() const { return y + height; }
    bool contains(Point p) const { return p.x >= x && p.y >= y && p.x < right() && p.y < bottom(); }
    Rect moved(int32_t dx, int32_t dy) const { return {x + dx, y + dy, width, height}; }
};

inline Rect intersect(const Rect& a, const Rect& b) {
    int32_t left = std::max(a.x, b.x), top = std::max(a.y, b.y);
    int32_t right = std::min(a.right(), b.right()), bottom = std::min(a.bottom(), b.bottom());
    if (right <= left || bottom <= top) return {};
    return {left, top, right - left, bottom - top};
}

// The smallest rectangle holding both; an empty side does not count.
inline Rect bounding(const Rect& a, const Rect& b) {
    if (a.empty()) return b;
    if (b.empty()) return a;
    int32_t left = std::min(a.x, b.x), top = std::min(a.y, b.y);
    return {left, top, std::max(a.right(), b.right()) - left, std::max(a.bottom(), b.bottom()) - top};
}

}  // namespace vum::win
