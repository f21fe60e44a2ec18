// The PARSE engine: the work blocks, the main loop, and the matching and
// searching of literal rules over text, bytes and blocks. The keywords and
// the pending commands are in parse-keywords.cpp.
//
// The machine never calls itself: entering a rules block, a keyword with a
// sub-rule or a repetition pushes a frame on the rule stack, and finishing
// a rule pops frames and hands each its result (Engine::pop). So a deep or
// recursive grammar uses work-block cells, capped at stack_limit, and never
// machine stack. The interpreter runs only for parens and the trace
// callback; a PARSE started there works above this one's frames.
//
// Memory: any paren, callback, action or push may allocate, so the engine
// holds every value it needs across those in its protected registers, on
// the value stack (the open collect blocks) or in the work blocks, and
// reads rules, input and frames through their nodes each time.
#include "engine/parse.h"
#include "engine/tree-walk.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>
#include <vector>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "base/system-throw.h"
#include "datatypes/actions.h"
#include "datatypes/bitset.h"
#include "datatypes/block.h"
#include "datatypes/char.h"
#include "datatypes/string.h"
#include "datatypes/triple.h"
#include "datatypes/word.h"
#include "engine/interpreter.h"
#include "engine/lexer.h"
#include "engine/parse-engine.h"
#include "memory/call.h"
#include "memory/context.h"
#include "memory/interrupt.h"
#include "memory/memory-manager.h"
#include "memory/raise-error.h"
#include "memory/symbols.h"
#include "memory/typed-access.h"

namespace vum::parse {

namespace {

// ---- Words ----

const char* const keyword_names[keyword_count] = {
    "",      "|",     "skip",  "any",    "some",   "opt",    "while",  "to",      "thru", "end",
    "break", "fail",  "not",   "ahead",  "if",     "quote",  "none",   "case",    "reject", "set",
    "copy",  "remove", "insert", "change", "into",  "collect", "keep",  "only",    "pick", "after",
};
const char* const event_names[event_count] = {"push", "pop", "fetch", "match", "iterate", "paren", "end"};

Cell keyword_words[keyword_count]{};
Cell event_words[event_count]{};
Cell callback_name{};
// Keyword by canonical symbol id.
std::vector<uint8_t> keyword_table;
bool words_made = false;

void make_words() {
    keyword_table.clear();
    for (int32_t k = 1; k < keyword_count; k++) {
        keyword_words[k] = word::load(keyword_names[k]);
        size_t id = size_t(symbols::resolve(int32_t(keyword_words[k].w2)));
        if (id >= keyword_table.size()) keyword_table.resize(id + 1, kw_no);
        keyword_table[id] = uint8_t(k);
    }
    for (int32_t e = 0; e < event_count; e++) event_words[e] = word::load(event_names[e]);
    callback_name = word::load("<parse-callback>");
    words_made = true;
}

// The work blocks of the runtime (0 in a start-up without a root block).
uint32_t work_rule_stack = 0;
uint32_t work_input_stack = 0;

// ---- Text ----

// Code points of a buffer by element index from its head.
struct Text {
    const uint8_t* data;
    uint32_t unit;
    uint32_t at(int32_t i) const {
        switch (unit) {
            case 1: return data[i];
            case 2: return reinterpret_cast<const uint16_t*>(data)[i];
            default: return reinterpret_cast<const uint32_t*>(data)[i];
        }
    }
};

inline Text text_of(uint32_t node) {
    SeriesBuffer* b = nodes::buffer(node);
    return {b->head_ptr(), b->unit()};
}

// Folding of the code points a unit-1 buffer holds, and for each byte the
// bytes that fold as it does (the candidates a caseless search looks for).
struct Latin1 {
    uint32_t fold[256];
    uint8_t variants[256][4];
    uint8_t variant_count[256];
};
const Latin1& latin1() {
    static const Latin1 table = [] {
        Latin1 t{};
        for (uint32_t b = 0; b < 256; b++) t.fold[b] = string::fold(b);
        for (uint32_t b = 0; b < 256; b++)
            for (uint32_t c = 0; c < 256; c++)
                if (t.fold[c] == t.fold[b] && t.variant_count[b] < 4) t.variants[b][t.variant_count[b]++] = uint8_t(c);
        return t;
    }();
    return table;
}

inline uint32_t fold(uint32_t cp) { return cp < 256 ? latin1().fold[cp] : string::fold(cp); }

// A text rule as a run of code points: a string kind from its index (a tag
// with its delimiters), or the bytes of a binary as code points.
struct Pattern {
    Text text;
    int32_t from;
    int32_t count;
    bool tag;
    int32_t length() const { return count + (tag ? 2 : 0); }
    uint32_t at(int32_t k) const {
        if (!tag) return text.at(from + k);
        if (k == 0) return '<';
        if (k == count + 1) return '>';
        return text.at(from + k - 1);
    }
};

inline bool is_text_rule(uint8_t t) { return string::is_text_kind(t) || t == type_binary; }

Pattern pattern_of(const Cell* rule) {
    SeriesBuffer* b = nodes::buffer(rule->w2);
    int32_t n = int32_t(b->count());
    int32_t from = std::min(int32_t(rule->w1), n);
    return {{b->head_ptr(), b->unit()}, from, n - from, cell::type(rule) == type_tag};
}

// The bytes a text or binary rule stands for on binary input: UTF-8 for text.
std::string bytes_of(const Cell* rule) {
    uint8_t t = cell::type(rule);
    if (t == type_binary) {
        SeriesBuffer* b = nodes::buffer(rule->w2);
        int32_t n = int32_t(b->count());
        int32_t from = std::min(int32_t(rule->w1), n);
        return std::string(reinterpret_cast<const char*>(b->head_ptr()) + from, size_t(n - from));
    }
    std::string s = string::to_utf8(rule);
    return t == type_tag ? "<" + s + ">" : s;
}

inline bool same_char(uint32_t a, uint32_t b, bool case_sensitive) {
    return a == b || (!case_sensitive && fold(a) == fold(b));
}

bool pattern_at(Text in, int32_t at, const Pattern& p, bool case_sensitive) {
    int32_t n = p.length();
    if (!p.tag && in.unit == 1 && p.text.unit == 1) {
        const uint8_t* a = in.data + at;
        const uint8_t* b = p.text.data + p.from;
        if (case_sensitive) return std::memcmp(a, b, size_t(n)) == 0;
        const Latin1& l = latin1();
        for (int32_t k = 0; k < n; k++)
            if (a[k] != b[k] && l.fold[a[k]] != l.fold[b[k]]) return false;
        return true;
    }
    for (int32_t k = 0; k < n; k++)
        if (!same_char(in.at(at + k), p.at(k), case_sensitive)) return false;
    return true;
}

// The first index in [at, last] of a unit-1 text holding one of the
// candidate bytes (those that fold as the wanted one), or -1. One pass
// whatever the candidates: memchr for one; for a letter's two cases, which
// differ only in bit 0x20, sixteen or eight bytes at a time; else byte by
// byte.
int32_t find_candidate(const uint8_t* data, int32_t at, int32_t last, const uint8_t* candidates, int32_t n) {
    if (at > last) return -1;
    const uint8_t* p = data + at;
    const uint8_t* end = data + last + 1;
    if (n == 1) {
        auto* hit = static_cast<const uint8_t*>(std::memchr(p, candidates[0], size_t(end - p)));
        return hit ? int32_t(hit - data) : -1;
    }
    if (n == 2 && (candidates[0] ^ candidates[1]) == 0x20) {
        const uint8_t wanted = candidates[0] | 0x20;
#if defined(__SSE2__)
        const __m128i case_bit = _mm_set1_epi8(0x20);
        const __m128i pattern16 = _mm_set1_epi8(char(wanted));
        auto hits = [&](const uint8_t* q) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
            return _mm_cmpeq_epi8(_mm_or_si128(v, case_bit), pattern16);
        };
        // Sixty-four bytes a step while nothing is found.
        for (; end - p >= 64; p += 64) {
            __m128i any = _mm_or_si128(_mm_or_si128(hits(p), hits(p + 16)), _mm_or_si128(hits(p + 32), hits(p + 48)));
            if (_mm_movemask_epi8(any)) break;
        }
        for (; end - p >= 16; p += 16) {
            int mask = _mm_movemask_epi8(hits(p));
            if (mask) return int32_t(p - data) + __builtin_ctz(unsigned(mask));
        }
#endif
        constexpr uint64_t ones = 0x0101010101010101ULL;
        const uint64_t pattern = ones * wanted;
        for (; end - p >= 8; p += 8) {
            uint64_t w;
            std::memcpy(&w, p, 8);
            uint64_t x = (w | ones * 0x20) ^ pattern;
            // The lowest byte flagged is a true zero byte of x.
            uint64_t zero = (x - ones) & ~x & (ones * 0x80);
            if (zero) {
                if constexpr (std::endian::native == std::endian::little) return int32_t(p - data) + (__builtin_ctzll(zero) >> 3);
                break;
            }
        }
        for (; p < end; p++)
            if ((*p | 0x20) == wanted) return int32_t(p - data);
        return -1;
    }
    for (; p < end; p++)
        for (int32_t k = 0; k < n; k++)
            if (*p == candidates[k]) return int32_t(p - data);
    return -1;
}

// Where the pattern first occurs in [at, end), or -1.
int32_t search_text(Text in, int32_t at, int32_t end, const Pattern& p, bool case_sensitive) {
    int32_t n = p.length();
    if (n == 0) return at;
    int32_t last = end - n;  // the last start that leaves room
    if (last < at) return -1;
    uint32_t first = p.at(0);
    if (in.unit == 1) {
        // The candidates for the first character, found with memchr.
        uint8_t candidates[4];
        int32_t count = 0;
        const Latin1& l = latin1();
        if (case_sensitive) {
            if (first > 255) return -1;
            candidates[count++] = uint8_t(first);
        } else {
            uint32_t f = fold(first);
            int32_t b = -1;
            if (first < 256) b = int32_t(first);
            else
                for (int32_t c = 0; c < 256 && b < 0; c++)
                    if (l.fold[c] == f) b = c;
            if (b < 0) return -1;
            count = l.variant_count[b];
            std::memcpy(candidates, l.variants[b], size_t(count));
        }
        while (at <= last) {
            int32_t hit = find_candidate(in.data, at, last, candidates, count);
            if (hit < 0) return -1;
            if (pattern_at(in, hit, p, case_sensitive)) return hit;
            at = hit + 1;
        }
        return -1;
    }
    for (; at <= last; at++)
        if (same_char(in.at(at), first, case_sensitive) && pattern_at(in, at, p, case_sensitive)) return at;
    return -1;
}

inline bool bitset_has(uint32_t node, uint32_t cp) {
    SeriesBuffer* b = nodes::buffer(node);
    uint32_t bytes = b->tail - b->head;
    if (uint64_t(cp) >= uint64_t(bytes) * 8) return (b->flags & series_flags::complemented) != 0;
    return (b->head_ptr()[cp >> 3] & (0x80u >> (cp & 7))) != 0;
}

}  // namespace

Cell* peek_value(const Cell* w) { return eval::walk::peek_value(w); }

Cell word_value(const Cell* w) {
    Cell* p = peek_value(w);
    return p ? *p : *word::value_address(w);
}

// ---- Shared with parse-keywords.cpp ----

const Cell* keyword_word(Keyword k) { return &keyword_words[k]; }

Keyword keyword_of(const Cell* w) {
    size_t id = size_t(symbols::resolve(int32_t(w->w2)));
    if (id >= keyword_table.size()) return kw_no;
    Keyword k = Keyword(keyword_table[id]);
    return k >= kw_only ? kw_no : k;
}

bool is_modifier(const Cell* w, Keyword k) {
    if (cell::type(w) != type_word) return false;
    size_t id = size_t(symbols::resolve(int32_t(w->w2)));
    return id < keyword_table.size() && keyword_table[id] == k;
}

void raise(err::Script id, const Cell* arg) { errors::raise(id, arg); }

void init_work_blocks() {
    make_words();
    work_rule_stack = work_input_stack = 0;
    Cell* root = &gc::roots.root_block;
    if (root->w2 == 0) return;
    Cell rules = block_actions::make_in(root, 100);
    work_rule_stack = rules.w2;
    Cell inputs = block_actions::make_in(root, 8);
    work_input_stack = inputs.w2;
}

// ---- The work blocks ----

// The work blocks are PARSE's own stacks, never code: their cells and tails
// are written without the barrier.
Cell* Engine::reserve(uint32_t node, int32_t n) {
    SeriesBuffer* b = nodes::buffer(node);
    if (int32_t(b->count()) + n > stack_limit) raise(err::script::parse_stack);
    if (b->tail + uint32_t(n) * 16 > b->size) b = memory::expand_copy(node, 0);
    auto* c = reinterpret_cast<Cell*>(b->tail_ptr());
    b->tail += uint32_t(n) * 16;
    return c;
}

bool Engine::top_is_command() const { return cell::type(rs_cell(rs_count() - 1)) == type_pair; }

// ---- Set-up ----

Engine::Engine(const Cell* input, const Cell* rules, int32_t case_mode, int32_t limit, const Cell* callback)
    : protect_(regs_, reg_count), limit_(limit), case_sensitive_(case_mode == case_sensitive),
      traced_(callback != nullptr), collect_base_(stack::s.args_top) {
    if (!words_made) make_words();
    for (Cell& r : regs_) cell::make_none(&r);
    regs_[r_rules] = *rules;
    if (callback) regs_[r_callback] = *callback;
    set_input(input);
    clamp_input();
    // A start-up without a root block gets work blocks for this run only.
    if (work_rule_stack) {
        cell::make_series(&regs_[r_rule_stack], type_block, work_rule_stack);
        cell::make_series(&regs_[r_input_stack], type_block, work_input_stack);
    } else {
        block_actions::make_at(&regs_[r_rule_stack], 100);
        block_actions::make_at(&regs_[r_input_stack], 8);
    }
    // A PARSE started inside another one works above its frames.
    rule_base_ = rs_count();
    input_base_ = int32_t(nodes::buffer(input_stack_node())->count());
}

Engine::~Engine() {
    // Whatever way the run ends, its frames go.
    SeriesBuffer* b = nodes::buffer(rule_node());
    b->tail = b->head + uint32_t(rule_base_) * 16;
    b = nodes::buffer(input_stack_node());
    b->tail = b->head + uint32_t(input_base_) * 16;
}

void Engine::set_input(const Cell* input) {
    regs_[r_input] = *input;
    uint8_t t = cell::type(input);
    kind_ = t == type_binary ? in_binary : string::is_text_kind(t) ? in_text : in_block;
}

// ---- The main loop ----

namespace {
// A falsy answer from the trace callback.
struct Stop {};

// Steps between looks for an interrupt: one in 4096 costs nothing seen.
constexpr uint32_t poll_mask = 4095;
}  // namespace

void Engine::run(Cell* result) {
    try {
        Cell* c = rs_reserve(2);
        triple_type::make_at(c, 0, position(), input_tail());
        c[1] = regs_[r_rules];
        rpos_ = std::min(int32_t(regs_[r_rules].w1), rules_tail());
        if (traced_) event(ev_push);
        State state = st_fetch;
        // A grammar may loop without end and without evaluating anything
        // (while over a rule that matches nothing): every so many steps
        // look for an interrupt.
        uint32_t steps = 0;
        while (state != st_end) {
            if ((++steps & poll_mask) == 0) interrupt::poll();
            switch (state) {
                case st_fetch: state = fetch(); break;
                case st_pop: state = pop(); break;
                case st_block_end: state = block_end(); break;
                case st_end: break;
            }
        }
        matched_ = matched_ && at_end();
        if (traced_) event(ev_end);
    } catch (const Stop&) {
    }
    // Collects left open by a stop. (Non-local exits leave the value stack
    // as their unwinder set it for the catcher.)
    stack::s.args_top = collect_base_;
    if (has_result_block_) *result = regs_[r_result];
    else cell::make_logic(result, matched_);
}

Engine::State Engine::fetch() {
    if (rpos_ >= rules_tail()) {
        if (top_is_command()) missing_rule();
        return st_block_end;
    }
    regs_[r_value] = rule_at(rpos_);
    if (traced_) event(ev_fetch);
    rpos_++;
    return rule(false);
}

Engine::State Engine::rule(bool via_word) {
    Cell* v = &regs_[r_value];
    switch (cell::type(v)) {
        case type_word: {
            // A word held by a rule word is matched as it is.
            if (via_word) return literal();
            Keyword k = keyword_of(v);
            if (k != kw_no) {
                regs_[r_keyword] = *v;
                return keyword(k);
            }
            Cell value = word_value(v);
            if (cell::type(&value) == type_unset) raise(err::script::parse_rule, v);
            regs_[r_value] = value;
            return rule(true);
        }
        case type_block: return enter_block();
        case type_paren:
            paren(v, &regs_[r_temp]);
            return st_fetch;
        case type_set_word: set_word_to_input(); return st_fetch;
        case type_get_word: input_from_word(); return st_fetch;
        case type_integer: return counted();
        case type_path: case type_set_path: case type_get_path: raise(err::script::parse_rule, v);
        case type_unset: raise(err::script::parse_rule, v);
        default: return literal();
    }
}

Engine::State Engine::terminal(int32_t new_position) {
    matched_ = new_position >= 0;
    if (matched_) set_position(new_position);
    if (traced_) event(ev_match);
    return st_pop;
}

Engine::State Engine::enter_block() {
    int32_t at = position();
    int32_t length = input_tail();
    Cell* c = rs_reserve(2);
    triple_type::make_at(c, rpos_, at, length);
    c[1] = regs_[r_value];
    regs_[r_rules] = regs_[r_value];
    rpos_ = std::min(int32_t(regs_[r_rules].w1), rules_tail());
    if (traced_) event(ev_push);
    return st_fetch;
}

// A rule has finished with matched_: the frames below take it in turn.
Engine::State Engine::pop() {
    for (;;) {
        int32_t n = rs_count();
        Cell* top = rs_cell(n - 1);
        if (cell::type(top) == type_block) {
            if (breaking_) return st_block_end;
            if (matched_) return st_fetch;
            int32_t bar = find_alternative(rpos_);
            if (bar < 0) return st_block_end;
            set_position(int32_t(rs_cell(n - 2)->w2));
            rpos_ = bar + 1;
            matched_ = true;
            return st_fetch;
        }
        State s = complete();
        if (s != st_pop) return s;
    }
}

Engine::State Engine::block_end() {
    int32_t n = rs_count();
    Cell frame = *rs_cell(n - 2);
    if (!matched_) set_position(int32_t(frame.w2));
    rs_drop(2);
    if (n - 2 == rule_base_) {
        // Leaving the top block is traced like leaving any other; its
        // rules stay current for the end event.
        if (traced_) event(ev_pop);
        return st_end;
    }
    restore_rules();
    rpos_ = int32_t(frame.w1);
    clamp_rule_position();
    if (traced_) event(ev_pop);
    return st_pop;
}

// The rules block of the nearest block frame becomes current again.
void Engine::restore_rules() {
    for (int32_t i = rs_count() - 1; i >= rule_base_;) {
        Cell* c = rs_cell(i);
        if (cell::type(c) == type_block) {
            regs_[r_rules] = *c;
            return;
        }
        i -= 3;
    }
}

// A block ended while a keyword still waited for its rule (a paren or a
// set-word stood where the rule should be).
void Engine::missing_rule() {
    int32_t at = int32_t(rs_cell(rs_count() - 2)->w1) - 1;
    Cell culprit;
    if (at >= 0 && at < rules_tail()) culprit = rule_at(at);
    else cell::make_none(&culprit);
    raise(err::script::parse_end, &culprit);
}

int32_t Engine::find_alternative(int32_t from) {
    int32_t tail = rules_tail();
    for (int32_t i = from; i < tail; i++) {
        Cell c = rule_at(i);
        if (cell::type(&c) != type_word) continue;
        Keyword k = keyword_of(&c);
        if (k == kw_bar) return i;
        if (k == kw_quote) i++;
    }
    return -1;
}

// The position after one whole rule (a keyword with its arguments and
// sub-rule, a count with its rule): what a count of 0 skips.
int32_t Engine::skip_rule(int32_t at) {
    int32_t tail = rules_tail();
    int32_t trailing = 0;  // values that follow the rule (change's value)
    while (at < tail) {
        Cell c = rule_at(at);
        uint8_t t = cell::type(&c);
        if (t == type_integer) {
            at++;
            if (at < tail) {
                Cell m = rule_at(at);
                if (cell::type(&m) == type_integer) at++;
                else if (cell::type(&m) == type_word && keyword_of(&m) == kw_no) {
                    Cell* v = peek_value(&m);
                    if (v && cell::type(v) == type_integer) at++;
                }
            }
            continue;
        }
        if (t == type_paren || t == type_set_word || t == type_get_word) {
            at++;
            continue;
        }
        if (t != type_word) break;
        switch (keyword_of(&c)) {
            case kw_any: case kw_some: case kw_opt: case kw_while: case kw_to: case kw_thru: case kw_not:
            case kw_ahead: case kw_into: case kw_remove:
                at++;
                continue;
            case kw_copy: case kw_set: case kw_case:
                at += 2;
                continue;
            case kw_collect:
                at++;
                if (at < tail) {
                    Cell m = rule_at(at);
                    if (is_modifier(&m, kw_set) || is_modifier(&m, kw_into) || is_modifier(&m, kw_after)) at += 2;
                }
                continue;
            case kw_keep:
                at++;
                if (at < tail) {
                    Cell m = rule_at(at);
                    if (is_modifier(&m, kw_pick)) at++;
                }
                continue;
            case kw_change:
                at++;
                if (at < tail) {
                    Cell m = rule_at(at);
                    if (is_modifier(&m, kw_only)) at++;
                }
                trailing++;
                continue;
            case kw_insert: {
                at++;
                if (at < tail) {
                    Cell m = rule_at(at);
                    if (is_modifier(&m, kw_only)) at++;
                }
                return std::min(at + 1 + trailing, tail);
            }
            case kw_quote: case kw_if: return std::min(at + 2 + trailing, tail);
            default: break;
        }
        break;
    }
    return std::min(at + 1 + trailing, tail);
}

// ---- Rules that act without matching ----

void Engine::set_word_to_input() {
    regs_[r_word] = regs_[r_value];
    regs_[r_temp] = regs_[r_input];
    context::set_word_value(&regs_[r_word], &regs_[r_temp]);
}

void Engine::input_from_word() {
    Cell v = word_value(&regs_[r_value]);
    if (cell::type(&v) != cell::type(&regs_[r_input]) || v.w2 != regs_[r_input].w2) raise(err::script::parse_invalid_ref);
    set_position(int32_t(v.w1));
}

void Engine::paren(const Cell* paren, Cell* out) {
    Cell* top = stack::s.args_top;
    regs_[r_temp2] = *paren;
    eval::eval_block(&regs_[r_temp2], false);
    *out = *top;
    stack::s.args_top = top;
    // The paren may have changed the rules or the input.
    clamp_rule_position();
    clamp_input();
    if (traced_) event(ev_paren);
}

// ---- Counts ----

Engine::State Engine::counted() {
    Cell count = regs_[r_value];
    int32_t min = cell::get_integer(&count);
    if (min < 0) errors::raise(err::script::out_of_range, &count);
    int32_t max = min;
    int32_t tail = rules_tail();
    if (rpos_ < tail) {
        Cell next = rule_at(rpos_);
        Cell value = next;
        if (cell::type(&next) == type_word && keyword_of(&next) == kw_no) {
            Cell* v = peek_value(&next);
            if (v) value = *v;
        }
        if (cell::type(&value) == type_integer) {
            max = cell::get_integer(&value);
            rpos_++;
            if (max < 0) errors::raise(err::script::out_of_range, &value);
            if (max < min) raise(err::script::parse_rule, &value);
        }
    }
    if (rpos_ >= tail) raise(err::script::parse_rule, &count);
    if (max == 0) {
        rpos_ = skip_rule(rpos_);
        return terminal(position());
    }
    regs_[r_keyword] = count;
    return repeat(min, max, cmd_repeat);
}

// ---- Trace events ----

void Engine::event(Event e) {
    Cell args[5];
    for (Cell& a : args) cell::make_none(&a);
    gc::Protect keep(args, 5);
    args[0] = event_words[e];
    cell::make_logic(&args[1], matched_);
    args[2] = regs_[r_rules];
    args[2].w1 = uint32_t(std::min(rpos_, rules_tail()));
    args[3] = regs_[r_input];
    // The callback gets this run's frames as a block of its own.
    int32_t n = rs_count();
    cell::make_series(&args[4], type_block, series::copy_part(rule_node(), rule_base_, n - rule_base_));
    gc::Local answer(Cell{});
    cell::make_none(&answer);
    call::Call call(&regs_[r_callback], &callback_name);
    for (const Cell& a : args) call.arg(&a);
    call.run(&answer);
    clamp_rule_position();
    clamp_input();
    if (!logic::truthy(&answer)) throw Stop{};
}

// ---- Matching ----

bool Engine::is_literal(const Cell* rule) const {
    switch (cell::type(rule)) {
        case type_block: case type_paren: case type_word: case type_set_word: case type_get_word:
        case type_integer: case type_path: case type_set_path: case type_get_path: case type_unset:
            return false;
        case type_datatype: case type_typeset:
            return kind_ != in_text;  // text input raises when the rule runs
        default:
            return true;
    }
}

int32_t Engine::match_value(const Cell* rule, int32_t at) {
    int32_t end = input_end();
    switch (kind_) {
        case in_text: return match_text(rule, at, end);
        case in_binary: return match_binary(rule, at, end);
        default: return match_block(rule, at, end);
    }
}

int32_t Engine::match_text(const Cell* rule, int32_t at, int32_t end) {
    uint8_t t = cell::type(rule);
    if (t == type_char) {
        if (at >= end) return -1;
        return same_char(text_of(regs_[r_input].w2).at(at), rule->w2, case_sensitive_) ? at + 1 : -1;
    }
    if (is_text_rule(t)) {
        Pattern p = pattern_of(rule);
        int32_t n = p.length();
        if (end - at < n) return -1;
        return pattern_at(text_of(regs_[r_input].w2), at, p, case_sensitive_) ? at + n : -1;
    }
    if (t == type_bitset) {
        if (at >= end) return -1;
        return bitset_has(rule->w2, text_of(regs_[r_input].w2).at(at)) ? at + 1 : -1;
    }
    if (t == type_datatype || t == type_typeset) raise(err::script::parse_unsupported);
    return -1;
}

int32_t Engine::match_binary(const Cell* rule, int32_t at, int32_t end) {
    uint8_t t = cell::type(rule);
    const uint8_t* data = nodes::buffer(regs_[r_input].w2)->head_ptr();
    switch (t) {
        case type_char:
            return at < end && rule->w2 == data[at] ? at + 1 : -1;
        case type_bitset:
            return at < end && bitset_has(rule->w2, data[at]) ? at + 1 : -1;
        case type_datatype: case type_typeset:
            return match_scanned_type(rule, at, end);
        default:
            break;
    }
    if (!is_text_rule(t)) return -1;
    std::string bytes = bytes_of(rule);
    int32_t n = int32_t(bytes.size());
    if (end - at < n) return -1;
    data = nodes::buffer(regs_[r_input].w2)->head_ptr();
    return std::memcmp(data + at, bytes.data(), size_t(n)) == 0 ? at + n : -1;
}

// A datatype on binary input: the lexer reads one value at the position
// (without making it) and names its type.
int32_t Engine::match_scanned_type(const Cell* rule, int32_t at, int32_t end) {
    if (at >= end) return -1;
    gc::Local source(regs_[r_input]);
    source.w1 = uint32_t(at);
    gc::Local scanned(Cell{});
    cell::make_none(&scanned);
    lexer::Options options;
    options.next = true;
    options.scan = true;
    options.part = end - at;
    lexer::transcode(&source, options, &scanned);
    if (cell::type(&scanned) != type_block || block_actions::buffer_length(scanned.w2) < 2) return -1;
    Cell type = *block_actions::cell_at(scanned.w2, 0);
    Cell rest = *block_actions::cell_at(scanned.w2, 1);
    if (cell::type(&type) != type_datatype || rest.w2 != source.w2) return -1;
    uint8_t id = uint8_t(type.w1);
    bool ok = cell::type(rule) == type_datatype ? uint8_t(rule->w1) == id : typeset::has_type(rule, id);
    return ok && int32_t(rest.w1) > at ? std::min(int32_t(rest.w1), end) : -1;
}

int32_t Engine::match_block(const Cell* rule, int32_t at, int32_t end) {
    if (at >= end) return -1;
    Cell* element = &regs_[r_temp];
    *element = *block_actions::cell_at(regs_[r_input].w2, at);
    uint8_t t = cell::type(rule);
    uint8_t e = cell::type(element);
    bool ok;
    switch (t) {
        case type_datatype: ok = e == uint8_t(rule->w1); break;
        case type_typeset: ok = typeset::has_type(rule, e); break;
        case type_lit_word:
            // Any word kind with the name; case-folded unless /case.
            ok = e >= type_word && e <= type_get_word &&
                 (case_sensitive_ ? element->w2 == rule->w2
                                  : symbols::resolve(int32_t(element->w2)) == symbols::resolve(int32_t(rule->w2)));
            break;
        case type_lit_path:
            ok = actions::compare(element, rule, case_sensitive_ ? actions::op_equal_path_10 : actions::op_equal_path_11);
            break;
        default:
            ok = actions::compare(element, rule, case_sensitive_ ? actions::op_strict_equal : actions::op_equal);
            break;
    }
    return ok ? at + 1 : -1;
}

bool Engine::repeat_literal(int32_t min, int32_t max) {
    Cell next = rule_at(rpos_);
    Cell* rule = &regs_[r_value];
    *rule = next;
    if (cell::type(&next) == type_word) {
        if (keyword_of(&next) != kw_no) return false;
        *rule = word_value(&next);
        // A word held by a rule word is a literal too.
        if (cell::type(rule) != type_word && !is_literal(rule)) return false;
    } else if (!is_literal(rule)) {
        return false;
    }
    rpos_++;
    int32_t at = position();
    int32_t count = 0;
    while (max < 0 || count < max) {
        if ((uint32_t(count) & poll_mask) == poll_mask) interrupt::poll();
        int32_t next_at = match_value(rule, at);
        if (next_at < 0) break;
        count++;
        // A literal that matched without moving would match so forever:
        // the count is as good as reached (for while too, which would
        // otherwise never end).
        if (next_at == at) {
            count = std::max(count, min);
            break;
        }
        at = next_at;
    }
    matched_ = count >= min;
    if (matched_) set_position(at);
    return true;
}

// ---- Searching (to, thru) ----

bool Engine::searchable(const Cell* rule) const {
    uint8_t t = cell::type(rule);
    if (kind_ == in_block) return is_literal(rule);
    return is_text_rule(t) || t == type_char || t == type_bitset;
}

int32_t Engine::search(const Cell* rule, bool thru) {
    int32_t at = position();
    int32_t end = input_end();
    uint8_t t = cell::type(rule);
    if (kind_ == in_text && (is_text_rule(t) || t == type_char)) {
        Pattern p;
        if (t == type_char) {
            // One code point, as a one-unit pattern of its own.
            uint32_t cp = rule->w2;
            p = {{reinterpret_cast<const uint8_t*>(&cp), 4}, 0, 1, false};
            int32_t hit = search_text(text_of(regs_[r_input].w2), at, end, p, case_sensitive_);
            return hit < 0 ? -1 : thru ? hit + 1 : hit;
        }
        p = pattern_of(rule);
        int32_t hit = search_text(text_of(regs_[r_input].w2), at, end, p, case_sensitive_);
        return hit < 0 ? -1 : thru ? hit + p.length() : hit;
    }
    if (kind_ == in_binary && (is_text_rule(t) || t == type_char)) {
        std::string bytes;
        if (t == type_char) {
            if (rule->w2 > 255) return -1;
            bytes.push_back(char(rule->w2));
        } else {
            bytes = bytes_of(rule);
        }
        const uint8_t* data = nodes::buffer(regs_[r_input].w2)->head_ptr();
        const uint8_t* first = data + at;
        const uint8_t* last = data + end;
        const uint8_t* hit = std::search(first, last, bytes.begin(), bytes.end());
        if (hit == last && !bytes.empty()) return -1;
        int32_t found = int32_t(hit - data);
        return thru ? found + int32_t(bytes.size()) : found;
    }
    for (; at < end; at++) {
        int32_t next_at = match_value(rule, at);
        if (next_at >= 0) return thru ? next_at : at;
    }
    return -1;
}

// ---- The engine's entry ----

void run(const Cell* input, const Cell* rules, int32_t case_mode, int32_t limit, const Cell* callback,
         Cell* result) {
    Engine engine(input, rules, case_mode, limit, callback);
    engine.run(result);
}

}  // namespace vum::parse
