#include "datatypes/all-types.h"

#include "datatypes/block.h"
#include "datatypes/char.h"
#include "datatypes/error.h"
#include "datatypes/file-url.h"
#include "datatypes/float.h"
#include "datatypes/function.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "datatypes/native.h"
#include "datatypes/object.h"
#include "datatypes/path.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/string-type.h"
#include "datatypes/symbol-context.h"
#include "datatypes/time.h"
#include "datatypes/typeset.h"
#include "datatypes/word.h"

namespace vum::datatypes {

// The order puts every parent before its children. Each module's line
// joins the list when the module exists.
void register_all() {
    datatype::init_tables();
    core_types::init_datatype();
    core_types::init_unset();
    core_types::init_none();
    core_types::init_logic();
    series_actions::init();
    block_actions::init();
    string_type::init();
    // (binary!)
    integer_type::init();
    symbol_type::init();
    context_type::init();
    word_type::init();  // word!, lit-word!, set-word!, get-word!, refinement!
    char_type::init();
    native_type::init();  // native!, action!, op!
    path::init();  // path!, lit-path!, set-path!, get-path!
    function_type::init();  // function!, routine!
    paren::init();
    word_type::init_issue();
    url_type::init();
    file_type::init();
    object_type::init();
    // (bitset!, triple!)
    float_type::init();
    typeset_type::init();
    error_type::init();
    // (vector!, map!, hash!, pair!, percent!, tuple!)
    time_type::init();
    // (and the later types)
}

}  // namespace vum::datatypes
