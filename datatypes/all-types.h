// Registers every datatype, parents first: a child copies its parent's
// action slots at the moment it registers.
#pragma once

namespace vum::datatypes {

void register_all();

}  // namespace vum::datatypes
