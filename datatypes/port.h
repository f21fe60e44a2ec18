// port! (id 48, child of object!): an object that stands for an external
// resource reached through a scheme. The datatype does no I/O itself: the
// series and port actions applied to a port call the function of the same
// name in the port's `actor` object, which the scheme supplies, and read
// and write are made of the actor's open, copy, insert and close.
//
// A scheme's actor may instead be a handle! over a native actor table (see
// make_actor_handle): the action front-ends then take the port's actions
// from append (slot 25) on straight from that table.
//
// Fields of a port, in slot order: spec scheme actor awake state data
// extra. Its spec object has the fields scheme user-info host port path
// target query fragment ref. Schemes are found by name in the block of
// name and scheme-object pairs at system/schemes; a scheme object has the
// fields name title info actor awake.
#pragma once
#include <cstdint>

#include "datatypes/actions.h"
#include "datatypes/registry.h"
#include "memory/cell.h"

namespace vum::port {

// The class id of every port made here.
constexpr uint32_t class_id = 2;
// The class id of the spec objects made from the url-parts prototype when
// the system object does not provide one.
constexpr uint32_t spec_class_id = 3;

// A native actor: one handler per action from append (25) to write (62),
// each with the signature datatypes/actions.h gives its slot; an entry not set
// is an action the scheme does not support.
constexpr int32_t actor_slots = actions::slot_write - actions::slot_append + 1;
class ActorTable {
public:
    template <actions::Slot S>
    ActorTable& set(actions::SlotFnT<S> fn) {
        static_assert(S >= actions::slot_append && S <= actions::slot_write, "a port actor starts at append");
        entries_[S - actions::slot_append] = actions::erased<S>(fn);
        return *this;
    }
    datatype::Handler at(int32_t slot) const { return entries_[slot - actions::slot_append]; }

private:
    datatype::Handler entries_[actor_slots] = {};
};

// A new handle! whose data is the table (which must outlive the value).
Cell make_actor_handle(const ActorTable& table);

// The handler a port whose actor is a native actor table gives the slot;
// null when the actor is not such a handle or the slot is below 25. An empty
// entry raises access no-port-action.
datatype::Handler actor_handler(const Cell* port, int32_t slot);

// The port's actor object; access invalid-port when the actor field holds
// anything else.
Cell actor_of(const Cell* port);

// Handlers (datatypes/actions.h signatures).
void make(const Cell* prototype, const Cell* spec, int32_t type, Cell* result);
int32_t form(const Cell* value, uint32_t buffer, const Cell* arg, int32_t limit);
int32_t mold(const Cell* value, uint32_t buffer, bool only, bool all, bool flat, const Cell* arg, int32_t limit,
             int32_t indent);
void read(const Cell* source, const Cell* part, const Cell* seek, bool binary, bool lines, bool info, const Cell* as,
          Cell* result);
void write(const Cell* destination, const Cell* value, bool binary, bool lines, bool info, bool append,
           const Cell* part, const Cell* seek, const Cell* allow, const Cell* as, Cell* result);

}  // namespace vum::port

namespace vum::port_type {
// Registers port!; object! registers first.
void init();
}  // namespace vum::port_type
