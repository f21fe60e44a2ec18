// The type predicates (block?, integer?, ... one per datatype) and the
// typeset tests (any-list?, series?, ... one per standard typeset): the C++
// code behind them. environment/type-predicates.vum gives each its spec and
// binds it. They take any value, unset included, and never raise.
#pragma once

namespace vum::boot {

// Registers each under its word's spelling. The typeset tests read their
// typeset words in the global context, which must exist.
void register_type_predicates();

}  // namespace vum::boot
