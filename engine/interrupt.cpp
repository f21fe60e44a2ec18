#include "engine/interrupt.h"

#include "memory/type-ids.h"
#include "engine/call.h"
#include "memory/collector.h"
#include "memory/context.h"
#include "memory/symbols.h"

namespace vum::interrupt {

volatile std::sig_atomic_t requested = 0;

void take() {
    requested = 0;
    int32_t symbol = symbols::make("halt");
    Cell* value = context::global_value_address(symbol);
    if (!value || cell::type(value) != type_function) return;
    gc::Local function(*value);
    gc::Local name(context::load_word("halt"));
    gc::Local result({});
    call::Call(&function, &name).run(&result);
}

}  // namespace vum::interrupt
