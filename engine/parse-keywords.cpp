// The PARSE keywords, what each pending command does once its sub-rule has
// run, collect and keep, the input-changing keywords, and the parse native.
//
// A keyword that applies to a following rule pushes a command frame and
// lets the machine run that rule; Engine::complete carries the command out
// with the rule's result. Keywords that need no sub-rule (skip, end, none,
// fail, if, quote, insert, keep with a paren) finish at once.
#include <algorithm>
#include <cmath>

#include "datatypes/actions.h"
#include "datatypes/block.h"
#include "datatypes/char.h"
#include "datatypes/native.h"
#include "datatypes/string.h"
#include "datatypes/triple.h"
#include "engine/natives.h"
#include "engine/parse-engine.h"
#include "memory/context.h"
#include "memory/raise-error.h"
#include "memory/typed-access.h"
#include "memory/value-stack.h"

namespace vum::parse {

namespace {

inline bool is_input_kind(uint8_t t) {
    return block_actions::is_any_block(t) || string::is_text_kind(t) || t == type_binary;
}

}  // namespace

// ---- Keywords ----

// The keyword needs a value after it.
void Engine::need_rule() {
    if (rpos_ >= rules_tail()) raise(err::script::parse_end, &regs_[r_keyword]);
}

Engine::State Engine::push_command(int32_t code, const Cell* argument, int32_t extra) {
    need_rule();
    int32_t at = position();
    int32_t length = input_tail();
    Cell arg = *argument;
    Cell* c = rs_reserve(3);
    c[0] = arg;
    triple_type::make_at(c + 1, rpos_, at, length);
    c[2] = {type_pair, 0, uint32_t(code), uint32_t(extra)};
    if (traced_) event(ev_push);
    return st_fetch;
}

Engine::State Engine::keyword(Keyword k) {
    Cell none;
    cell::make_none(&none);
    switch (k) {
        case kw_bar:
            // The alternative before it matched: the block is done.
            rpos_ = rules_tail();
            return st_fetch;
        case kw_skip: return terminal(at_end() ? -1 : position() + 1);
        case kw_any: return repeat(0, -1, cmd_repeat);
        case kw_some: return repeat(1, -1, cmd_repeat);
        case kw_opt: return repeat(0, 1, cmd_repeat);
        case kw_while: return repeat(0, -1, cmd_while);
        case kw_to: return to_thru(false);
        case kw_thru: return to_thru(true);
        case kw_end: return terminal(at_end() ? position() : -1);
        case kw_none: return terminal(position());
        case kw_fail: return terminal(-1);
        case kw_break:
        case kw_reject:
            breaking_ = true;
            rejecting_ = k == kw_reject;
            matched_ = !rejecting_;
            if (traced_) event(ev_match);
            return st_pop;
        case kw_not: return push_command(cmd_not, &none, 0);
        case kw_ahead: return push_command(cmd_ahead, &none, 0);
        case kw_if: {
            need_rule();
            Cell p = rule_at(rpos_);
            if (cell::type(&p) != type_paren) raise(err::script::parse_end, &regs_[r_keyword]);
            rpos_++;
            regs_[r_value] = p;
            paren(&regs_[r_value], &regs_[r_temp]);
            return terminal(logic::truthy(&regs_[r_temp]) ? position() : -1);
        }
        case kw_quote:
            need_rule();
            regs_[r_value] = rule_at(rpos_);
            rpos_++;
            return literal();
        case kw_case: {
            need_rule();
            Cell w = rule_at(rpos_);
            rpos_++;
            Cell value = cell::type(&w) == type_word ? word_value(&w) : w;
            bool sensitive = logic::truthy(&value);
            Cell saved;
            cell::make_logic(&saved, case_sensitive_);
            State s = push_command(cmd_case, &saved, 0);
            case_sensitive_ = sensitive;
            return s;
        }
        case kw_set:
        case kw_copy: {
            need_rule();
            Cell w = rule_at(rpos_);
            if (cell::type(&w) != type_word) raise(err::script::parse_rule, &w);
            rpos_++;
            return push_command(k == kw_set ? cmd_set : cmd_copy, &w, 0);
        }
        case kw_remove: return remove();
        case kw_insert: return insert();
        case kw_change: return change();
        case kw_into: return into();
        case kw_collect: return collect();
        case kw_keep: return keep();
        default: break;
    }
    raise(err::script::parse_rule, &regs_[r_keyword]);
}

Engine::State Engine::repeat(int32_t min, int32_t max, int32_t code) {
    need_rule();
    // A literal repeats in place; with a callback every iteration shows.
    if (!traced_ && repeat_literal(min, max)) return st_pop;
    Cell counts;
    triple_type::make_at(&counts, min, max, 0);
    return push_command(code, &counts, position());
}

Engine::State Engine::to_thru(bool thru) {
    need_rule();
    Cell next = rule_at(rpos_);
    Cell* rule = &regs_[r_value];
    *rule = next;
    if (cell::type(&next) == type_word) {
        Keyword k = keyword_of(&next);
        if (k == kw_end) {
            rpos_++;
            return terminal(input_end());
        }
        if (k == kw_no) {
            *rule = word_value(&next);
            if (cell::type(rule) == type_unset) raise(err::script::parse_rule, &next);
        }
    }
    if (searchable(rule)) {
        rpos_++;
        return terminal(search(rule, thru));
    }
    uint8_t t = cell::type(rule);
    bool general = t == type_block || t == type_word || t == type_datatype || t == type_typeset ||
                   t == type_integer || t == type_paren || t == type_set_word || t == type_get_word;
    if (!general) raise(err::script::parse_rule, rule);
    Cell none;
    cell::make_none(&none);
    return push_command(thru ? cmd_thru : cmd_to, &none, position());
}

Engine::State Engine::into() {
    if (kind_ != in_block) raise(err::script::parse_block, &regs_[r_input]);
    need_rule();
    Cell next = rule_at(rpos_);
    Cell rule = next;
    if (cell::type(&next) == type_word && keyword_of(&next) == kw_no) rule = word_value(&next);
    if (cell::type(&rule) != type_block) raise(err::script::parse_end, &regs_[r_keyword]);
    if (at_end()) {
        rpos_++;
        return terminal(-1);
    }
    Cell element = *block_actions::cell_at(regs_[r_input].w2, position());
    if (!is_input_kind(cell::type(&element))) {
        rpos_++;
        return terminal(-1);
    }
    regs_[r_value] = rule;
    regs_[r_temp2] = element;
    // The outer input waits on the input stack.
    Cell* saved = reserve(input_stack_node(), 2);
    saved[0] = regs_[r_input];
    cell::make_integer(saved + 1, limit_);
    Cell none;
    cell::make_none(&none);
    push_command(cmd_into, &none, 0);
    rpos_++;
    set_input(&regs_[r_temp2]);
    limit_ = -1;
    clamp_input();
    return enter_block();
}

void Engine::complete_into(int32_t entry) {
    bool ok = matched_ && at_end();
    uint32_t node = input_stack_node();
    int32_t n = int32_t(nodes::buffer(node)->count());
    Cell outer = *block_actions::cell_at(node, n - 2);
    limit_ = cell::get_integer(block_actions::cell_at(node, n - 1));
    nodes::buffer(node)->tail -= 32;  // PARSE's own input stack, never code
    set_input(&outer);
    set_position(entry + (ok ? 1 : 0));
    matched_ = ok;
}

// ---- Collect and keep ----

Engine::State Engine::collect() {
    need_rule();
    int32_t kind = collect_plain;
    Cell target;
    cell::make_none(&target);
    Cell next = rule_at(rpos_);
    if (is_modifier(&next, kw_set)) kind = collect_set;
    else if (is_modifier(&next, kw_into)) kind = collect_into;
    else if (is_modifier(&next, kw_after)) kind = collect_after;
    if (kind != collect_plain) {
        rpos_++;
        need_rule();
        target = rule_at(rpos_);
        if (cell::type(&target) != type_word) raise(err::script::parse_rule, &target);
        rpos_++;
        if (kind != collect_set) {
            Cell series = word_value(&target);
            if (cell::type(&series) == cell::type(&regs_[r_input]) && series.w2 == regs_[r_input].w2)
                raise(err::script::parse_into_bad);
            if (!block_actions::is_any_block(cell::type(&series))) raise(err::script::parse_into_type);
        }
    }
    need_rule();
    // Each open collect's block sits on the value stack, in nesting order,
    // right above the engine's base: nothing else of the engine lives there.
    stack::s.args_top = collect_slot(collects_);
    block_actions::make_at(stack::push_cell(), 8);
    collects_++;
    return push_command(cmd_collect, &target, kind);
}

void Engine::complete_collect(int32_t kind) {
    Cell* out = collect_slot(collects_ - 1);
    switch (kind) {
        case collect_set:
            set_word(&regs_[r_word], out);
            break;
        case collect_into:
        case collect_after: {
            regs_[r_temp] = word_value(&regs_[r_word]);
            if (!block_actions::is_any_block(cell::type(&regs_[r_temp]))) raise(err::script::parse_into_type);
            actions::lookup<actions::slot_insert>(&regs_[r_temp])(
                &regs_[r_temp], out, nullptr, false, nullptr, false, &regs_[r_temp2]);
            if (kind == collect_after) set_word(&regs_[r_word], &regs_[r_temp2]);
            break;
        }
        default:
            if (collects_ > 1) {
                Cell* dst = series::alloc_tail(collect_slot(collects_ - 2));
                *dst = *collect_slot(collects_ - 1);
            } else {
                regs_[r_result] = *out;
                has_result_block_ = true;
            }
            break;
    }
    collects_--;
    stack::s.args_top = collect_slot(collects_);
}

Engine::State Engine::keep() {
    if (collects_ == 0) raise(err::script::parse_keep);
    need_rule();
    bool pick = false;
    Cell next = rule_at(rpos_);
    if (is_modifier(&next, kw_pick)) {
        pick = true;
        rpos_++;
        need_rule();
        next = rule_at(rpos_);
    }
    if (cell::type(&next) == type_paren) {
        rpos_++;
        regs_[r_value] = next;
        paren(&regs_[r_value], &regs_[r_temp2]);
        // keep pick splices a block; plain keep adds any value as one.
        if (pick && cell::type(&regs_[r_temp2]) == type_block) {
            int32_t n = block_actions::buffer_length(regs_[r_temp2].w2);
            for (int32_t i = int32_t(regs_[r_temp2].w1); i < n; i++) {
                if (i >= block_actions::buffer_length(regs_[r_temp2].w2)) break;
                regs_[r_temp] = *block_actions::cell_at(regs_[r_temp2].w2, i);
                append_kept(&regs_[r_temp]);
            }
        } else {
            append_kept(&regs_[r_temp2]);
        }
        return terminal(position());
    }
    Cell none;
    cell::make_none(&none);
    return push_command(cmd_keep, &none, pick ? 1 : 0);
}

void Engine::append_kept(const Cell* value) {
    Cell* dst = series::alloc_tail(collect_slot(collects_ - 1));
    *dst = *value;
}

void Engine::keep_part(int32_t from, int32_t to, bool pick) {
    from = std::min(from, input_tail());
    to = std::min(to, input_tail());
    int32_t n = to - from;
    if (pick) {
        for (int32_t i = from; i < to && i < input_tail(); i++) {
            element_at(i, &regs_[r_temp2]);
            append_kept(&regs_[r_temp2]);
        }
        return;
    }
    if (n == 1) {
        element_at(from, &regs_[r_temp2]);
    } else {
        regs_[r_temp] = regs_[r_input];
        regs_[r_temp].w1 = uint32_t(from);
        Cell part;
        cell::make_integer(&part, std::max(n, 0));
        actions::call_copy(&regs_[r_temp], &regs_[r_temp2], &part, false, nullptr);
    }
    append_kept(&regs_[r_temp2]);
}

// ---- Changing the input ----

// A word or get-word whose value is a position in the input series.
bool Engine::refers_to_input(const Cell* value, Cell* out) {
    uint8_t t = cell::type(value);
    if (t != type_word && t != type_get_word) return false;
    if (t == type_word && keyword_of(value) != kw_no) return false;
    Cell* v = peek_value(value);
    if (!v || cell::type(v) != cell::type(&regs_[r_input]) || v->w2 != regs_[r_input].w2) return false;
    *out = *v;
    return true;
}

// The value of insert and change: a paren's result, a word's value or the
// value itself.
void Engine::read_value(Cell* out) {
    need_rule();
    Cell v = rule_at(rpos_);
    rpos_++;
    switch (cell::type(&v)) {
        case type_paren:
            regs_[r_value] = v;
            paren(&regs_[r_value], out);
            return;
        case type_word:
        case type_get_word: {
            Cell value = word_value(&v);
            if (cell::type(&value) == type_unset) errors::raise(err::script::no_value, &v);
            *out = value;
            return;
        }
        case type_path: case type_set_path: case type_get_path:
            raise(err::script::parse_rule, &v);
        default:
            *out = v;
            return;
    }
}

// Reads the optional `only` after insert or change: true when it is there;
// *next is the rule cell after it.
bool Engine::only_modifier(Cell* next) {
    need_rule();
    *next = rule_at(rpos_);
    if (!is_modifier(next, kw_only)) return false;
    rpos_++;
    need_rule();
    *next = rule_at(rpos_);
    return true;
}

Engine::State Engine::insert() {
    Cell next;
    bool only = only_modifier(&next);
    Cell target = regs_[r_input];
    bool positioned = rpos_ + 1 < rules_tail() && refers_to_input(&next, &target);
    if (positioned) rpos_++;
    // Read first: a paren may change the input. The target is the input
    // series itself, kept by the input register.
    read_value(&regs_[r_temp]);
    regs_[r_temp2] = regs_[r_input];
    int32_t at = std::min(int32_t(positioned ? target.w1 : regs_[r_input].w1), input_tail());
    regs_[r_temp2].w1 = uint32_t(at);
    actions::lookup<actions::slot_insert>(&regs_[r_temp2])(
        &regs_[r_temp2], &regs_[r_temp], nullptr, only, nullptr, false, &regs_[r_temp2]);
    int32_t after = int32_t(regs_[r_temp2].w1);
    if (!positioned) set_position(after);
    else if (at <= position()) set_position(position() + (after - at));
    return terminal(position());
}

void Engine::change_part(int32_t from, int32_t to, bool only) {
    int32_t tail = input_tail();
    from = std::min(from, tail);
    to = std::min(to, tail);
    regs_[r_temp2] = regs_[r_input];
    regs_[r_temp2].w1 = uint32_t(from);
    Cell part;
    cell::make_integer(&part, std::max(to - from, 0));
    actions::lookup<actions::slot_change>(&regs_[r_temp2])(
        &regs_[r_temp2], &regs_[r_temp], &part, only, nullptr, &regs_[r_temp2]);
    set_position(int32_t(regs_[r_temp2].w1));
}

Engine::State Engine::change() {
    Cell next;
    bool only = only_modifier(&next);
    Cell mark;
    if (rpos_ + 1 < rules_tail() && refers_to_input(&next, &mark)) {
        rpos_++;
        read_value(&regs_[r_temp]);
        int32_t at = int32_t(mark.w1);
        change_part(std::min(at, position()), std::max(at, position()), only);
        return terminal(position());
    }
    Cell none;
    cell::make_none(&none);
    return push_command(only ? cmd_change_only : cmd_change, &none, 0);
}

void Engine::remove_part(int32_t from, int32_t to) {
    int32_t tail = input_tail();
    from = std::min(from, tail);
    to = std::min(to, tail);
    regs_[r_temp2] = regs_[r_input];
    regs_[r_temp2].w1 = uint32_t(from);
    Cell part;
    cell::make_integer(&part, std::max(to - from, 0));
    actions::lookup<actions::slot_remove>(&regs_[r_temp2])(&regs_[r_temp2], &part, nullptr, &regs_[r_temp2]);
    set_position(from);
}

Engine::State Engine::remove() {
    need_rule();
    Cell next = rule_at(rpos_);
    Cell mark;
    if (refers_to_input(&next, &mark)) {
        rpos_++;
        int32_t at = int32_t(mark.w1);
        remove_part(std::min(at, position()), std::max(at, position()));
        return terminal(position());
    }
    Cell none;
    cell::make_none(&none);
    return push_command(cmd_remove, &none, 0);
}

// ---- Elements and words ----

void Engine::element_at(int32_t at, Cell* out) {
    switch (kind_) {
        case in_text:
            *out = char_type::make(string::char_at(regs_[r_input].w2, at));
            return;
        case in_binary:
            cell::make_integer(out, nodes::buffer(regs_[r_input].w2)->head_ptr()[at]);
            return;
        default:
            *out = *block_actions::cell_at(regs_[r_input].w2, at);
            return;
    }
}

void Engine::set_word(Cell* word, const Cell* value) { context::set_word_value(word, value); }

// ---- Commands ----

Engine::State Engine::complete() {
    int32_t n = rs_count();
    Cell arg = *rs_cell(n - 3);
    Cell frame = *rs_cell(n - 2);
    Cell command = *rs_cell(n - 1);
    int32_t code = int32_t(command.w2);
    int32_t extra = int32_t(command.w3);
    int32_t entry = int32_t(frame.w2);
    switch (code) {
        case cmd_repeat:
        case cmd_while: {
            int32_t min = int32_t(arg.w1), max = int32_t(arg.w2), count = int32_t(arg.w3);
            if (breaking_) {
                // break or reject ends the repetition at once.
                breaking_ = false;
                matched_ = !rejecting_;
                if (!matched_) set_position(extra);
                break;
            }
            if (matched_) {
                count++;
                bool progress = position() != entry || input_tail() < int32_t(frame.w3);
                // Without progress the next iteration would do the same again.
                if ((code == cmd_repeat && !progress) || (max >= 0 && count >= max)) break;
                Cell* c = rs_cell(n - 3);
                c->w3 = uint32_t(count);
                c = rs_cell(n - 2);
                c->w2 = uint32_t(position());
                c->w3 = uint32_t(input_tail());
                rpos_ = int32_t(frame.w1);
                clamp_rule_position();
                if (traced_) event(ev_iterate);
                return st_fetch;
            }
            set_position(entry);
            matched_ = count >= min;
            if (!matched_) set_position(extra);
            break;
        }
        case cmd_to:
        case cmd_thru: {
            if (matched_) {
                if (code == cmd_to) set_position(entry);
                break;
            }
            if (!breaking_ && entry < input_end()) {
                // Try again one element further on.
                set_position(entry + 1);
                rs_cell(n - 2)->w2 = uint32_t(position());
                rpos_ = int32_t(frame.w1);
                clamp_rule_position();
                if (traced_) event(ev_iterate);
                return st_fetch;
            }
            set_position(extra);
            break;
        }
        case cmd_copy:
        case cmd_set:
            if (!matched_) break;
            regs_[r_word] = arg;
            if (code == cmd_copy) {
                int32_t from = std::min(entry, input_tail());
                regs_[r_temp] = regs_[r_input];
                regs_[r_temp].w1 = uint32_t(from);
                Cell part;
                cell::make_integer(&part, std::max(position() - from, 0));
                actions::call_copy(&regs_[r_temp], &regs_[r_temp2], &part, false, nullptr);
            } else if (position() > entry && entry < input_tail()) {
                element_at(entry, &regs_[r_temp2]);
            } else {
                cell::make_none(&regs_[r_temp2]);
            }
            set_word(&regs_[r_word], &regs_[r_temp2]);
            break;
        case cmd_not:
            matched_ = !matched_;
            set_position(entry);
            break;
        case cmd_ahead:
            set_position(entry);
            break;
        case cmd_into:
            complete_into(entry);
            break;
        case cmd_remove:
            if (matched_) remove_part(entry, position());
            break;
        case cmd_collect:
            regs_[r_word] = arg;
            complete_collect(extra);
            break;
        case cmd_keep:
            if (matched_) keep_part(entry, position(), extra != 0);
            break;
        case cmd_change:
        case cmd_change_only:
            regs_[r_keyword] = *keyword_word(kw_change);
            read_value(&regs_[r_temp]);
            if (matched_) change_part(entry, position(), code == cmd_change_only);
            break;
        case cmd_case:
            case_sensitive_ = arg.w1 != 0;
            break;
        default:
            break;
    }
    rs_drop(3);
    if (traced_) event(ev_pop);
    return st_pop;
}

}  // namespace vum::parse

// ---- The native ----

namespace vum::natives {

namespace {

// parse input rules /case /part length /trace callback
void parse_native(const int32_t* refinements) {
    Cell* input = stack::arg(0);
    const Cell* rules = stack::arg(1);
    int32_t tail = int32_t(nodes::buffer(input->w2)->count());
    int32_t index = std::min(int32_t(input->w1), tail);
    input->w1 = uint32_t(index);
    int32_t limit = -1;
    if (refinements[refine::parse::part] >= 0) {
        const Cell* length = stack::arg(refinements[refine::parse::part]);
        int64_t n = 0;
        switch (cell::type(length)) {
            case type_integer:
                n = cell::get_integer(length);
                break;
            case type_float:
            case type_percent: {
                double d = std::trunc(cell::get_double(length));
                if (!(d > -2147483648.0 && d < 2147483648.0)) errors::raise_refine_arg("part", length);
                n = int64_t(d);
                break;
            }
            default:
                if (cell::type(length) != cell::type(input) || length->w2 != input->w2)
                    errors::raise_refine_arg("part", length);
                n = int64_t(length->w1) - index;
                break;
        }
        if (n < 1) {
            cell::make_logic(stack::arg(0), index >= tail);
            stack::keep_result_only();
            return;
        }
        limit = int32_t(std::min<int64_t>(index + n, tail));
    }
    const Cell* callback =
        refinements[refine::parse::trace] >= 0 ? stack::arg(refinements[refine::parse::trace]) : nullptr;
    gc::Local result(Cell{});
    cell::make_none(&result);
    parse::run(input, rules, refinements[refine::parse::case_] >= 0 ? parse::case_sensitive : parse::case_insensitive,
               limit, callback, &result);
    *stack::arg(0) = result;
    stack::keep_result_only();
}

}  // namespace

void register_parse_native() {
    parse::init_work_blocks();
    set_native(native::parse, parse_native);
}

}  // namespace vum::natives
