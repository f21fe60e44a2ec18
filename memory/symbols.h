// Every spelling of a word is interned once as a symbol: a small positive
// id. A spelling that differs from an existing one only in ASCII letter
// case gets its own id whose alias names the first spelling, so binding and
// comparison can ignore case while molding keeps each spelling.
#pragma once
#include <cstdint>

#include "memory/cell.h"

namespace vum::symbols {

// The symbol table: a series of symbol-entry cells and its hash table.
struct Table {
    uint32_t entries;  // node of the entry cells; id n is entry n - 1
    uint32_t hash;     // kind-2 hash table over them
};
extern Table table;

void init_table();

int32_t find_or_add_text(const char* text, int32_t length, bool caseless);
int32_t make(const char* text);           // exact spelling
int32_t make_caseless(const char* text);  // an existing case variant as it is
int32_t make_from_utf8(const char* text, int32_t length);

Cell* entry(int32_t id);
// NUL-terminated UTF-8 name; length receives its byte count when not null.
const char* text(int32_t id, int32_t* length = nullptr);
int32_t resolve(int32_t id);   // canonical id: the alias when > 0, else the id
int32_t alias_of(int32_t id);
int32_t count();

}  // namespace vum::symbols
