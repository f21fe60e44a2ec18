#include "datatypes/all-types.h"

#include "datatypes/bitset.h"
#include "datatypes/binary.h"
#include "datatypes/block.h"
#include "datatypes/char.h"
#include "datatypes/date.h"
#include "datatypes/error.h"
#include "datatypes/file-url.h"
#include "datatypes/float.h"
#include "datatypes/handle.h"
#include "datatypes/function.h"
#include "datatypes/hash.h"
#include "datatypes/image.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "datatypes/map.h"
#include "datatypes/money.h"
#include "datatypes/native.h"
#include "datatypes/object.h"
#include "datatypes/pair.h"
#include "datatypes/path.h"
#include "datatypes/percent.h"
#include "datatypes/point.h"
#include "datatypes/port.h"
#include "datatypes/ref.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/string-type.h"
#include "datatypes/symbol-context.h"
#include "datatypes/tag.h"
#include "datatypes/time.h"
#include "datatypes/triple.h"
#include "datatypes/tuple.h"
#include "datatypes/typeset.h"
#include "datatypes/vector.h"
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
    binary_type::init();
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
    bitset_type::init();
    triple_type::init();
    float_type::init();
    typeset_type::init();
    error_type::init();
    vector_type::init();
    map_type::init();
    hash_type::init();
    pair_type::init();
    percent_type::init();
    tuple_type::init();
    time_type::init();
    tag_type::init();
    email_type::init();
    handle_type::init();
    date_type::init();
    port_type::init();
    money_type::init();
    ref_type::init();
    point_type::init();  // point2D!, point3D!
    image_type::init();
    // (and the later types)
}

}  // namespace vum::datatypes
