#include "datatypes/all-types.h"

#include "datatypes/logic.h"
#include "datatypes/registry.h"

namespace vum::datatypes {

// The order puts every parent before its children. Each module's line
// joins the list when the module exists.
void register_all() {
    datatype::init_tables();
    core_types::init_datatype();
    core_types::init_unset();
    core_types::init_none();
    core_types::init_logic();
    // series::init();
    // block::init();
    // (string!, binary!, integer!, symbol!, context!, the word kinds, char!,
    // native!, action!, op!)
    // path::init();  (path!, lit-path!, set-path!, get-path!)
    // (function!, routine!)
    // paren::init();
    // (issue! and the later types)
}

}  // namespace vum::datatypes
