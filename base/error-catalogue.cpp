#include "base/error-catalogue.h"

namespace vum::error_catalogue {

namespace {

// Ids and category names are plain ASCII words; case folding beyond ASCII
// is never needed here.
bool same_word(const char* a, const char* b) {
    for (;; a++, b++) {
        char x = *a, y = *b;
        if (x >= 'A' && x <= 'Z') x = char(x + 32);
        if (y >= 'A' && y <= 'Z') y = char(y + 32);
        if (x != y) return false;
        if (x == 0) return true;
    }
}

}  // namespace

int32_t find_id(int32_t category, const char* id) {
    if (id == nullptr || category < 0 || category >= category_count) return -1;
    const Category& c = categories[category];
    for (int32_t i = 0; i < c.id_count; i++)
        if (same_word(c.ids[i].id, id)) return i + 2;
    return -1;
}

int32_t find_category(const char* name) {
    if (name == nullptr) return -1;
    for (int32_t i = 0; i < category_count; i++)
        if (same_word(categories[i].name, name)) return i;
    return -1;
}

}  // namespace vum::error_catalogue
