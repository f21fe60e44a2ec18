// The PARSE state machine, shared by engine/parse.cpp (stacks, matching,
// the main loop) and engine/parse-keywords.cpp (the keywords and what the
// pending commands do when their sub-rule has run). Not for other modules:
// they call parse::run.
//
// Frames on the rule stack, from the bottom of each up:
//   command:     [argument] [triple! rule-pos input-pos input-length] [pair! code extra]
//   rules block: [triple! return-pos input-pos input-length] [block!]
// so the top cell tells the two apart (a pair! or a block!). Positions
// are buffer indexes. A command's input position is where it started,
// except for repetitions and to/thru searches, which move it to where the
// current iteration or try started and keep their entry position in
// `extra`.
#pragma once
#include <cstdint>

#include "engine/parse.h"
#include "generated/error-ids.h"
#include "memory/cell.h"
#include "memory/collector.h"
#include "memory/series.h"
#include "memory/value-stack.h"

namespace vum::parse {

enum Keyword : uint8_t {
    kw_no = 0,
    kw_bar, kw_skip, kw_any, kw_some, kw_opt, kw_while, kw_to, kw_thru, kw_end, kw_break, kw_fail, kw_not,
    kw_ahead, kw_if, kw_quote, kw_none, kw_case, kw_reject, kw_set, kw_copy, kw_remove, kw_insert,
    kw_change, kw_into, kw_collect, kw_keep,
    // Words that only modify the keyword before them.
    kw_only, kw_pick, kw_after,
    keyword_count
};

enum Command : int32_t {
    cmd_repeat = -1, cmd_to = -2, cmd_thru = -3, cmd_copy = -4, cmd_set = -5, cmd_not = -6, cmd_into = -7,
    cmd_remove = -9, cmd_while = -11, cmd_collect = -12, cmd_keep = -13, cmd_keep_paren = -14,
    cmd_ahead = -16, cmd_change = -17, cmd_change_only = -18, cmd_case = -19,
};

enum Event : int32_t { ev_push, ev_pop, ev_fetch, ev_match, ev_iterate, ev_paren, ev_end, event_count };

// Targets of `collect`.
enum CollectKind : int32_t { collect_plain = 0, collect_set = 1, collect_into = 2, collect_after = 3 };

// The word of a keyword, a modifier or an event (made at start-up).
const Cell* keyword_word(Keyword k);
// The rule keyword a word! names (case-insensitively), or kw_no.
Keyword keyword_of(const Cell* word);
// The word names the modifier.
bool is_modifier(const Cell* word, Keyword k);

// The value a rule word stands for, read in place like the interpreter's
// word fetch: null when the word has no storage now.
Cell* peek_value(const Cell* word);
// The same with the usual errors for a word without one.
Cell word_value(const Cell* word);

// Raises script error `id` after nothing else: the engine's guards unwind
// the work blocks on the way out.
[[noreturn]] void raise(err::Script id, const Cell* arg = nullptr);

class Engine {
public:
    Engine(const Cell* input, const Cell* rules, int32_t case_mode, int32_t limit, const Cell* callback);
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    void run(Cell* result);

private:
    enum State { st_fetch, st_pop, st_block_end, st_end };
    enum InputKind { in_block, in_text, in_binary };
    // Cells the collector must see while the engine runs.
    enum Reg {
        r_input, r_rules, r_callback, r_value, r_keyword, r_word, r_temp, r_temp2, r_result,
        r_rule_stack, r_input_stack, reg_count
    };

    // ---- parse.cpp: the machine ----
    State fetch();
    State rule(bool via_word);
    State pop();
    State block_end();
    State terminal(int32_t new_position);
    State literal() { return terminal(match_value(&regs_[r_value], position())); }
    State enter_block();
    State counted();
    void missing_rule();
    void restore_rules();
    int32_t find_alternative(int32_t from);
    int32_t skip_rule(int32_t from);
    void set_word_to_input();
    void input_from_word();
    void paren(const Cell* paren, Cell* out);
    void event(Event e);

    // Matching at a position: the position after the match, or -1.
    int32_t match_value(const Cell* rule, int32_t at);
    int32_t match_text(const Cell* rule, int32_t at, int32_t end);
    int32_t match_binary(const Cell* rule, int32_t at, int32_t end);
    int32_t match_block(const Cell* rule, int32_t at, int32_t end);
    int32_t match_scanned_type(const Cell* rule, int32_t at, int32_t end);
    // A rule matched directly by match_value (no sub-rule, no keyword).
    bool is_literal(const Cell* rule) const;
    // to/thru over a literal: the position it leaves, or -1.
    int32_t search(const Cell* rule, bool thru);
    bool searchable(const Cell* rule) const;
    // Repetition of a literal without frames; false when the next rule is
    // not a literal.
    bool repeat_literal(int32_t min, int32_t max);

    // ---- parse-keywords.cpp ----
    State keyword(Keyword k);
    State repeat(int32_t min, int32_t max, int32_t code);
    State to_thru(bool thru);
    State into();
    State collect();
    State keep();
    bool only_modifier(Cell* next);
    State insert();
    State change();
    State remove();
    State complete();  // the command on top of the rule stack
    void complete_collect(int32_t kind);
    void complete_into(int32_t entry);
    void keep_part(int32_t from, int32_t to, bool pick);
    void append_kept(const Cell* value);
    void change_part(int32_t from, int32_t to, bool only);
    void remove_part(int32_t from, int32_t to);
    void read_value(Cell* out);
    bool refers_to_input(const Cell* value, Cell* out);
    void element_at(int32_t at, Cell* out);
    void set_word(Cell* word, const Cell* value);
    void need_rule();
    State push_command(int32_t code, const Cell* argument, int32_t extra);
    Cell* collect_slot(int32_t k) { return collect_base_ + k; }

    // ---- the work blocks ----
    uint32_t rule_node() const { return regs_[r_rule_stack].w2; }
    uint32_t input_stack_node() const { return regs_[r_input_stack].w2; }
    int32_t rs_count() const { return int32_t(nodes::buffer(rule_node())->count()); }
    // The work blocks are PARSE's own stacks, never code: untracked.
    Cell* rs_cell(int32_t i) const { return series::cells_mut_untracked(rule_node()) + i; }
    // Room for n more cells, returned for writing; raises parse-stack past
    // the cap. May allocate.
    Cell* rs_reserve(int32_t n) { return reserve(rule_node(), n); }
    void rs_drop(int32_t n) { nodes::buffer(rule_node())->tail -= uint32_t(n) * 16; }
    static Cell* reserve(uint32_t node, int32_t n);
    bool top_is_command() const;

    // ---- input ----
    int32_t position() const { return int32_t(regs_[r_input].w1); }
    int32_t input_tail() const { return int32_t(nodes::buffer(regs_[r_input].w2)->count()); }
    int32_t input_end() const {
        int32_t tail = input_tail();
        return limit_ >= 0 && limit_ < tail ? limit_ : tail;
    }
    bool at_end() const { return position() >= input_end(); }
    void set_position(int32_t at) {
        int32_t tail = input_tail();
        regs_[r_input].w1 = uint32_t(at < 0 ? 0 : at > tail ? tail : at);
    }
    void clamp_input() { set_position(position()); }
    void set_input(const Cell* input);

    // ---- rules ----
    int32_t rules_tail() const { return int32_t(nodes::buffer(regs_[r_rules].w2)->count()); }
    Cell rule_at(int32_t i) const { return series::cells_head(regs_[r_rules].w2)[i]; }
    void clamp_rule_position() {
        int32_t tail = rules_tail();
        if (rpos_ > tail) rpos_ = tail;
    }

    Cell regs_[reg_count];
    gc::Protect protect_;
    int32_t rule_base_ = 0;
    int32_t input_base_ = 0;
    int32_t limit_;
    InputKind kind_ = in_block;
    bool case_sensitive_;
    bool matched_ = true;
    bool breaking_ = false;   // break or reject: leave frames up to the repetition
    bool rejecting_ = false;
    bool traced_;
    bool has_result_block_ = false;
    int32_t rpos_ = 0;
    Cell* collect_base_;
    int32_t collects_ = 0;
};

}  // namespace vum::parse
