#include "memory/refinement-args.h"

#include "memory/cell-access.h"
#include "memory/raise-error.h"

namespace vum::refinement_args {

void bad_refinement(const char* name, const Cell* value) { errors::raise_refine_arg(name, value); }

int64_t integer_refinement(const char* name, const Cell* value) {
    if (cell::type(value) != type_integer) bad_refinement(name, value);
    return cell::get_integer(value);
}

int64_t part_of(const Cell* series, const Cell* part) {
    if (cell::type(part) == type_integer) return cell::get_integer(part);
    if (cell::type(part) == cell::type(series) && cell::series_node(part) == cell::series_node(series))
        return int64_t(cell::series_index(part)) - cell::series_index(series);
    bad_refinement("part", part);
}

}  // namespace vum::refinement_args
