#include "engine/lexer.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <new>
#include <string>
#include <vector>

#include "base/system-throw.h"
#include "datatypes/block.h"
#include "datatypes/function.h"
#include "datatypes/map.h"
#include "datatypes/number-scanners.h"
#include "datatypes/path.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "engine/lexer-state.h"
#include "memory/collector.h"
#include "memory/memory-manager.h"
#include "memory/raise-error.h"
#include "memory/runtime-services.h"
#include "memory/runtime-symbols.h"
#include "memory/series.h"
#include "memory/symbols.h"
#include "memory/unicode.h"

namespace vum::lexer {

namespace {

using scan::float_bits;
using scan::is_digit;

// ---- Character classes ----

enum Class : uint8_t {
    c_space, c_lf, c_digit, c_zero, c_open_bracket, c_close_bracket, c_open_paren, c_close_paren,
    c_open_brace, c_close_brace, c_quote, c_hash, c_apostrophe, c_colon, c_x, c_T, c_h, c_e, c_E,
    c_lo_hex, c_up_hex, c_slash, c_backslash, c_equal, c_semicolon, c_at, c_dollar, c_less, c_greater,
    c_percent, c_comma, c_dot, c_plus, c_minus, c_caret, c_ctl, c_cont, c_other, c_bad, c_end,
    class_count
};
static_assert(class_count == 40);

// Each byte: its class in the low byte, its flags above.
struct ByteTable {
    uint32_t entry[256];
    constexpr void set(int b, Class c, uint32_t flags = 0) { entry[b] = c | flags; }
    constexpr ByteTable() : entry{} {
        for (int b = 0; b < 256; ++b) set(b, c_other);
        set(0, c_end, f_end);
        for (int b = 1; b < 0x20; ++b) set(b, c_ctl);
        set('\t', c_space);
        set('\r', c_space);
        set(' ', c_space);
        set('\n', c_lf);
        for (int b = '1'; b <= '9'; ++b) set(b, c_digit);
        set('0', c_zero);
        set('[', c_open_bracket);
        set(']', c_close_bracket);
        set('(', c_open_paren);
        set(')', c_close_paren);
        set('{', c_open_brace);
        set('}', c_close_brace);
        set('"', c_quote);
        set('#', c_hash, f_hash);
        set('\'', c_apostrophe, f_apostrophe);
        set(':', c_colon, f_colon);
        set('x', c_x);
        set('X', c_x);
        set('T', c_T);
        set('h', c_h);
        set('e', c_e, f_exponent);
        set('E', c_E, f_exponent);
        for (char c : {'a', 'b', 'c', 'd', 'f'}) set(c, c_lo_hex);
        for (char c : {'A', 'B', 'C', 'D', 'F'}) set(c, c_up_hex);
        set('/', c_slash);
        set('\\', c_backslash);
        set('=', c_equal);
        set(';', c_semicolon);
        set('@', c_at);
        set('$', c_dollar);
        set('<', c_less, f_less);
        set('>', c_greater, f_greater);
        set('%', c_percent, f_percent);
        set(',', c_comma, f_comma);
        set('.', c_dot, f_dot);
        set('+', c_plus, f_sign);
        set('-', c_minus, f_sign);
        set('^', c_caret, f_caret);
        set(0x7F, c_cont);
        for (int b = 0x80; b <= 0xBF; ++b) set(b, c_cont, f_continuation);
        for (int b = 0xC2; b <= 0xEF; ++b) set(b, c_other, f_utf8);
        for (int b = 0xF0; b <= 0xF7; ++b) set(b, c_other, f_utf8_4);
        set(0xC0, c_bad);
        set(0xC1, c_bad);
        for (int b = 0xF8; b <= 0xFF; ++b) set(b, c_bad);
    }
};
constexpr ByteTable bytes_table;

// ---- The automaton ----

constexpr int state_count = 65;
constexpr uint8_t first_final = 66;
// Final states: 66 + kind.
enum Final : uint8_t {
    k_end_of_input = first_final + kind_end, k_error = first_final + kind_error,
    k_open_block = first_final + kind_open_block, k_close_block = first_final + kind_close_block,
    k_open_paren = first_final + kind_open_paren, k_close_paren = first_final + kind_close_paren,
    k_open_brace = first_final + kind_open_brace, k_close_brace = first_final + kind_close_brace,
    k_open_map = first_final + kind_open_map, k_path_head = first_final + kind_path_head,
    k_construct = first_final + kind_construct, k_comment = first_final + kind_comment,
    k_comma = first_final + kind_comma, k_string = first_final + kind_string, k_word = first_final + kind_word,
    k_issue = first_final + kind_issue, k_integer = first_final + kind_integer,
    k_refinement = first_final + kind_refinement, k_char = first_final + kind_char,
    k_file = first_final + kind_file, k_binary = first_final + kind_binary, k_percent = first_final + kind_percent,
    k_float = first_final + kind_float, k_special_float = first_final + kind_special_float,
    k_tuple = first_final + kind_tuple, k_date = first_final + kind_date, k_pair = first_final + kind_pair,
    k_point = first_final + kind_point, k_time = first_final + kind_time, k_money = first_final + kind_money,
    k_tag = first_final + kind_tag, k_url = first_final + kind_url, k_email = first_final + kind_email,
    k_hex = first_final + kind_hex_integer, k_raw = first_final + kind_raw_string, k_ref = first_final + kind_ref,
};

struct Rule {
    std::initializer_list<Class> classes;
    uint8_t target;
};

struct Automaton {
    uint8_t next[state_count][class_count];
    constexpr void state(int s, uint8_t others, std::initializer_list<Rule> rules) {
        for (int c = 0; c < class_count; ++c) next[s][c] = others;
        for (const Rule& r : rules)
            for (Class c : r.classes) next[s][c] = r.target;
    }
    constexpr Automaton() : next{} {
        // Classes that end most tokens, spelled out per state below as the
        // grammar lists them: the lists differ in small ways that matter.
        state(0, 52, {{{c_space, c_lf, c_ctl}, 0}, {{c_digit, c_zero}, 23}, {{c_open_bracket}, k_open_block},
                      {{c_close_bracket}, k_close_block}, {{c_open_paren}, k_open_paren},
                      {{c_close_paren}, k_close_paren}, {{c_open_brace}, k_open_brace},
                      {{c_close_brace, c_backslash, c_cont, c_bad}, k_error}, {{c_quote}, 2}, {{c_hash}, 16},
                      {{c_apostrophe, c_colon}, 51}, {{c_E, c_up_hex}, 40}, {{c_slash}, 13}, {{c_less}, 43},
                      {{c_equal}, 58}, {{c_percent}, 6}, {{c_comma}, k_comma}, {{c_semicolon}, 1}, {{c_at}, 57},
                      {{c_dot}, 49}, {{c_dollar}, 36}, {{c_plus, c_minus}, 47}, {{c_end}, k_end_of_input}});
        state(1, 1, {{{c_lf, c_end}, k_comment}, {{c_bad}, k_error}});
        state(2, 2, {{{c_lf, c_bad, c_end}, k_error}, {{c_quote}, k_string}, {{c_caret}, 3}});
        state(3, 2, {{{c_bad, c_end}, k_error}});
        state(4, 4, {{{c_open_brace}, k_open_brace}, {{c_close_brace}, k_close_brace}, {{c_caret}, 5},
                     {{c_bad, c_end}, k_error}});
        state(5, 4, {{{c_bad, c_end}, k_error}});
        state(6, 7, {{{c_space, c_lf, c_open_bracket, c_close_bracket, c_open_paren, c_close_paren, c_close_brace,
                       c_semicolon, c_at, c_ctl, c_end}, k_word},
                     {{c_open_brace}, 10}, {{c_quote}, 8}, {{c_colon}, 54}, {{c_percent}, 9}, {{c_bad}, k_error}});
        state(7, 7, {{{c_space, c_lf, c_open_bracket, c_close_bracket, c_open_paren, c_close_paren, c_open_brace,
                       c_close_brace, c_colon, c_semicolon, c_at, c_end}, k_file},
                     {{c_quote, c_bad}, k_error}});
        state(8, 8, {{{c_lf, c_bad, c_end}, k_error}, {{c_quote}, k_file}});
        state(9, 7, {{{c_space, c_lf, c_open_bracket, c_close_bracket, c_open_paren, c_close_paren, c_close_brace,
                       c_quote, c_backslash, c_semicolon, c_ctl, c_end}, k_word},
                     {{c_open_brace}, 10}, {{c_percent}, 9}, {{c_bad}, k_error}});
        state(10, 10, {{{c_close_brace}, 11}, {{c_bad, c_end}, k_error}});
        state(11, 10, {{{c_close_brace}, 11}, {{c_percent}, 12}, {{c_bad, c_end}, k_error}});
        state(12, k_error, {{{c_space, c_lf, c_open_bracket, c_close_bracket, c_open_paren, c_close_paren,
                              c_open_brace, c_quote, c_less, c_semicolon, c_ctl, c_end}, k_raw},
                            {{c_percent}, 12}});
        state(13, 14, {{{c_space, c_lf, c_open_bracket, c_close_bracket, c_open_paren, c_close_paren, c_open_brace,
                         c_close_brace, c_quote, c_hash, c_semicolon, c_at, c_ctl, c_end}, k_word},
                       {{c_colon}, 53}, {{c_slash}, 15}, {{c_comma, c_bad}, k_error}});
        state(14, 14, {{{c_space, c_lf, c_open_bracket, c_close_bracket, c_open_paren, c_close_paren, c_open_brace,
                         c_close_brace, c_quote, c_slash, c_semicolon, c_at, c_ctl, c_end}, k_refinement},
                       {{c_colon, c_comma, c_bad}, k_error}});
        state(15, 52, {{{c_space, c_lf, c_open_bracket, c_close_bracket, c_open_paren, c_close_paren, c_open_brace,
                         c_close_brace, c_quote, c_hash, c_semicolon, c_at, c_ctl, c_end}, k_word},
                       {{c_slash}, 15}, {{c_percent, c_comma, c_dollar, c_bad}, k_error}});
        state(16, 22, {{{c_space, c_lf, c_close_bracket, c_close_paren, c_close_brace, c_colon, c_less, c_greater,
                         c_comma, c_bad}, k_error},
                       {{c_open_bracket}, k_open_map}, {{c_open_paren}, 21}, {{c_open_brace}, 17}, {{c_quote}, 19},
                       {{c_semicolon, c_at, c_ctl, c_end}, k_issue}});
        state(17, k_error, {{{c_space, c_lf, c_digit, c_zero, c_x, c_T, c_h, c_e, c_E, c_lo_hex, c_up_hex, c_slash,
                              c_equal, c_plus, c_other}, 17},
                            {{c_close_brace}, k_binary}, {{c_semicolon}, 18}});
        state(18, 18, {{{c_lf}, 17}, {{c_bad, c_end}, k_error}});
        state(19, 19, {{{c_quote}, k_char}, {{c_caret}, 20}, {{c_bad, c_end}, k_error}});
        state(20, 19, {{{c_bad, c_end}, k_error}});
        state(21, 21, {{{c_close_paren}, k_construct}, {{c_bad, c_end}, k_error}});
        state(22, 22, {{{c_space, c_lf, c_open_bracket, c_close_bracket, c_open_paren, c_close_paren, c_open_brace,
                         c_close_brace, c_quote, c_semicolon, c_at, c_ctl, c_end}, k_issue},
                       {{c_colon, c_slash, c_bad}, k_error}});
        state(23, k_integer, {{{c_digit, c_zero, c_apostrophe}, 23}, {{c_hash}, 16}, {{c_colon}, 31}, {{c_x}, 33},
                              {{c_T, c_slash, c_minus}, 30}, {{c_h}, 42}, {{c_e}, 26}, {{c_E}, 27},
                              {{c_lo_hex, c_backslash, c_greater, c_equal, c_dollar, c_plus, c_caret, c_cont, c_other,
                                c_bad}, k_error},
                              {{c_up_hex}, 39}, {{c_percent}, k_percent}, {{c_at}, 56}, {{c_dot}, 24}});
        state(24, k_error, {{{c_space, c_lf, c_open_bracket, c_close_bracket, c_open_paren, c_close_paren,
                              c_open_brace, c_close_brace, c_quote, c_slash, c_less, c_comma, c_semicolon, c_ctl,
                              c_end}, k_float},
                            {{c_digit, c_zero, c_apostrophe}, 25}, {{c_hash}, 28}, {{c_x}, 33}, {{c_e, c_E}, 26},
                            {{c_percent}, k_percent}});
        state(25, k_float, {{{c_digit, c_zero, c_apostrophe}, 25},
                            {{c_hash, c_T, c_h, c_lo_hex, c_up_hex, c_backslash, c_greater, c_equal, c_dollar, c_plus,
                              c_minus, c_caret, c_cont, c_other, c_bad}, k_error},
                            {{c_x}, 33}, {{c_e, c_E}, 26}, {{c_percent}, k_percent}, {{c_at}, 56}, {{c_dot}, 29}});
        state(26, k_error, {{{c_space, c_lf, c_open_bracket, c_close_bracket, c_open_paren, c_close_paren,
                              c_open_brace, c_close_brace, c_quote, c_colon, c_slash, c_less, c_comma, c_semicolon,
                              c_ctl, c_end}, k_float},
                            {{c_digit, c_zero, c_plus, c_minus}, 26}, {{c_at}, 56}});
        state(27, k_float, {{{c_digit, c_zero}, 27},
                            {{c_hash, c_apostrophe, c_x, c_T, c_e, c_lo_hex, c_backslash, c_greater, c_equal,
                              c_semicolon, c_dollar, c_caret, c_cont, c_other, c_bad}, k_error},
                            {{c_h}, 42}, {{c_E, c_up_hex}, 40}, {{c_percent}, k_percent}, {{c_at}, 56}, {{c_dot}, 29},
                            {{c_plus, c_minus}, 26}});
        state(28, k_special_float, {{{c_digit}, k_float},
                                    {{c_hash, c_apostrophe, c_colon, c_percent, c_at, c_dollar, c_caret, c_bad}, k_error},
                                    {{c_x, c_T, c_h, c_e, c_E, c_lo_hex, c_up_hex, c_greater, c_equal, c_dot, c_plus,
                                      c_minus, c_cont, c_other}, 28}});
        state(29, k_error, {{{c_space, c_lf, c_open_bracket, c_close_bracket, c_open_paren, c_close_paren,
                              c_open_brace, c_close_brace, c_quote, c_colon, c_slash, c_less, c_semicolon, c_ctl,
                              c_end}, k_tuple},
                            {{c_digit, c_zero, c_dot}, 29}});
        state(30, 30, {{{c_space, c_lf, c_open_bracket, c_close_bracket, c_open_paren, c_close_paren, c_open_brace,
                         c_close_brace, c_quote, c_less, c_semicolon, c_dollar, c_ctl, c_end}, k_date},
                       {{c_percent, c_comma, c_at, c_caret, c_cont, c_bad}, k_error}});
        state(31, k_error, {{{c_digit, c_zero}, 32}});
        state(32, k_error, {{{c_space, c_lf, c_open_bracket, c_close_bracket, c_open_paren, c_close_paren,
                              c_open_brace, c_close_brace, c_quote, c_slash, c_less, c_semicolon, c_ctl, c_end}, k_time},
                            {{c_digit, c_zero, c_colon, c_dot}, 32}});
        state(33, k_error, {{{c_digit, c_zero, c_plus, c_minus}, 34}, {{c_at}, 56}});
        state(34, k_error, {{{c_space, c_lf, c_open_bracket, c_close_bracket, c_open_paren, c_close_paren,
                              c_open_brace, c_close_brace, c_quote, c_colon, c_slash, c_less, c_semicolon, c_ctl,
                              c_end}, k_pair},
                            {{c_digit, c_zero, c_e, c_E, c_dot}, 34}, {{c_at}, 56}});
        state(35, k_error, {{{c_space, c_digit, c_zero, c_close_bracket, c_hash, c_e, c_E, c_lo_hex, c_up_hex,
                              c_comma, c_dot, c_plus, c_minus, c_other}, 35},
                            {{c_close_paren}, k_point}});
        state(36, k_error, {{{c_digit, c_zero}, 37}});
        state(37, k_error, {{{c_space, c_lf, c_open_bracket, c_close_bracket, c_open_paren, c_close_paren,
                              c_open_brace, c_close_brace, c_quote, c_hash, c_colon, c_slash, c_less, c_semicolon,
                              c_ctl, c_end}, k_money},
                            {{c_digit, c_zero, c_apostrophe}, 37}, {{c_dot}, 38}});
        state(38, k_error, {{{c_space, c_lf, c_open_bracket, c_close_bracket, c_open_paren, c_close_paren,
                              c_open_brace, c_close_brace, c_quote, c_hash, c_colon, c_slash, c_less, c_semicolon,
                              c_ctl, c_end}, k_money},
                            {{c_digit, c_zero, c_apostrophe}, 38}});
        state(39, k_error, {{{c_digit, c_zero, c_E, c_up_hex}, 39}, {{c_h}, 41}, {{c_at}, 56}});
        state(40, k_word, {{{c_digit, c_zero, c_E, c_up_hex}, 40},
                           {{c_apostrophe, c_x, c_T, c_e, c_lo_hex, c_less, c_greater, c_equal, c_dot, c_plus, c_minus,
                             c_caret, c_cont, c_other}, 52},
                           {{c_colon}, 53}, {{c_h}, 41}, {{c_slash}, k_path_head}, {{c_percent, c_comma, c_bad}, k_error},
                           {{c_at}, 56}, {{c_dollar}, 37}});
        state(41, 52, {{{c_space, c_lf, c_open_bracket, c_close_bracket, c_open_paren, c_close_paren, c_open_brace,
                         c_close_brace, c_quote, c_backslash, c_semicolon, c_ctl, c_end}, k_hex},
                       {{c_hash, c_percent, c_comma, c_bad}, k_error}, {{c_colon}, 53}, {{c_slash}, k_path_head},
                       {{c_at}, 56}, {{c_dollar}, 37}});
        state(42, k_error, {{{c_space, c_lf, c_open_bracket, c_close_bracket, c_open_paren, c_close_paren,
                              c_open_brace, c_close_brace, c_quote, c_backslash, c_less, c_semicolon, c_ctl, c_end},
                             k_hex},
                            {{c_slash}, k_path_head}, {{c_at}, 56}, {{c_dollar}, 37}});
        state(43, 44, {{{c_space, c_lf, c_open_bracket, c_close_bracket, c_open_paren, c_close_paren, c_open_brace,
                         c_close_brace, c_quote, c_semicolon, c_ctl, c_end}, k_word},
                       {{c_apostrophe}, 46}, {{c_colon}, 53}, {{c_less}, 43}, {{c_greater, c_equal, c_minus}, 52},
                       {{c_bad}, k_error}});
        state(44, 44, {{{c_quote}, 45}, {{c_apostrophe}, 46}, {{c_greater}, k_tag}, {{c_bad, c_end}, k_error}});
        state(45, 45, {{{c_quote}, 44}, {{c_bad, c_end}, k_error}});
        state(46, 46, {{{c_apostrophe}, 44}, {{c_bad, c_end}, k_error}});
        state(47, 52, {{{c_space, c_lf, c_open_bracket, c_close_bracket, c_open_paren, c_close_paren, c_open_brace,
                         c_close_brace, c_quote, c_hash, c_backslash, c_semicolon, c_ctl, c_end}, k_word},
                       {{c_digit, c_zero}, 23}, {{c_apostrophe, c_percent, c_caret, c_bad}, k_error},
                       {{c_slash}, k_path_head}, {{c_dot}, 49}, {{c_dollar}, 37}});
        state(48, 52, {{{c_space, c_lf, c_open_bracket, c_close_bracket, c_open_paren, c_close_paren, c_open_brace,
                         c_close_brace, c_quote, c_hash, c_backslash, c_semicolon, c_ctl, c_end}, k_word},
                       {{c_apostrophe, c_percent, c_dollar, c_caret, c_bad}, k_error}, {{c_slash}, k_path_head}});
        state(49, 52, {{{c_space, c_lf, c_open_bracket, c_close_bracket, c_open_paren, c_close_paren, c_open_brace,
                         c_close_brace, c_quote, c_hash, c_backslash, c_semicolon, c_ctl, c_end}, k_word},
                       {{c_digit, c_zero, c_plus, c_minus}, 50}, {{c_colon}, 53}, {{c_slash}, k_path_head},
                       {{c_percent, c_comma, c_dollar, c_bad}, k_error}, {{c_at}, 56}});
        state(50, k_error, {{{c_space, c_lf, c_open_bracket, c_close_bracket, c_open_paren, c_close_paren,
                              c_open_brace, c_close_brace, c_quote, c_colon, c_slash, c_less, c_ctl, c_end}, k_float},
                            {{c_digit, c_zero, c_e, c_E, c_plus, c_minus}, 50}, {{c_x}, 33},
                            {{c_percent}, k_percent}, {{c_at}, 56}});
        state(51, k_error, {{{c_x, c_T, c_h, c_e, c_E, c_lo_hex, c_up_hex, c_greater, c_dot, c_caret, c_cont, c_other},
                             52},
                            {{c_slash}, 13}, {{c_less}, 43}, {{c_equal}, 58}, {{c_percent}, 54}, {{c_plus, c_minus}, 48}});
        state(52, 52, {{{c_space, c_lf, c_open_bracket, c_close_bracket, c_open_paren, c_close_paren, c_open_brace,
                         c_close_brace, c_quote, c_hash, c_backslash, c_less, c_semicolon, c_ctl, c_end}, k_word},
                       {{c_colon}, 53}, {{c_slash}, k_path_head}, {{c_percent, c_comma, c_bad}, k_error}, {{c_at}, 56},
                       {{c_dollar}, 36}});
        state(53, 55, {{{c_space, c_lf, c_open_bracket, c_close_bracket, c_open_paren, c_close_paren, c_open_brace,
                         c_close_brace, c_quote, c_backslash, c_semicolon, c_ctl, c_end}, k_word},
                       {{c_less, c_bad}, k_error}});
        state(54, k_error, {{{c_space, c_lf, c_open_bracket, c_close_bracket, c_open_paren, c_close_paren,
                              c_open_brace, c_close_brace, c_backslash, c_semicolon, c_ctl, c_end}, k_word},
                            {{c_percent}, 54}});
        state(55, 55, {{{c_space, c_lf, c_open_bracket, c_close_bracket, c_open_paren, c_close_paren, c_open_brace,
                         c_close_brace, c_quote, c_backslash, c_less, c_semicolon, c_ctl, c_end}, k_url},
                       {{c_greater, c_caret, c_bad}, k_error}});
        state(56, k_email, {{{c_digit, c_zero, c_x, c_T, c_h, c_e, c_E, c_lo_hex, c_up_hex, c_percent, c_dot, c_plus,
                              c_minus, c_cont, c_other}, 56},
                            {{c_hash, c_apostrophe, c_colon, c_greater, c_equal, c_comma, c_at, c_dollar, c_caret, c_bad},
                             k_error}});
        state(57, 57, {{{c_space, c_lf, c_open_bracket, c_close_bracket, c_open_paren, c_close_paren, c_open_brace,
                         c_close_brace, c_quote, c_less, c_semicolon, c_ctl, c_end}, k_ref},
                       {{c_hash, c_apostrophe, c_backslash, c_greater, c_equal, c_comma, c_at, c_dollar, c_caret, c_bad},
                        k_error}});
        // `=:` is the set-word of `=`, as `==:` and `<=:` are of theirs.
        state(58, 52, {{{c_space, c_lf, c_open_bracket, c_close_bracket, c_open_paren, c_close_paren, c_open_brace,
                         c_close_brace, c_quote, c_backslash, c_semicolon, c_ctl, c_end}, k_word},
                       {{c_colon}, 53}, {{c_hash, c_percent, c_comma, c_at, c_dollar, c_bad}, k_error},
                       {{c_slash}, k_path_head}});
        state(59, k_error, {{{c_digit, c_zero}, 60}, {{c_open_paren}, k_open_paren}, {{c_close_paren}, k_close_paren},
                            {{c_quote}, 2}, {{c_hash}, 63}, {{c_apostrophe, c_colon}, 61},
                            {{c_x, c_T, c_h, c_e, c_E, c_lo_hex, c_up_hex, c_greater, c_equal, c_dot, c_cont, c_other},
                             62},
                            {{c_less}, 43}, {{c_at}, 57}, {{c_dollar}, 36}, {{c_plus, c_minus}, 64}});
        state(60, k_error, {{{c_space, c_lf, c_open_bracket, c_close_bracket, c_open_paren, c_close_paren,
                              c_open_brace, c_close_brace, c_quote, c_colon, c_slash, c_less, c_semicolon, c_ctl,
                              c_end}, k_integer},
                            {{c_digit, c_zero, c_apostrophe}, 60}, {{c_x}, 33}, {{c_e, c_E}, 26},
                            {{c_percent}, k_percent}, {{c_at}, 56}, {{c_dot}, 24}});
        state(61, k_error, {{{c_x, c_T, c_h, c_e, c_E, c_lo_hex, c_up_hex, c_less, c_greater, c_equal, c_dot, c_plus,
                              c_minus, c_cont, c_other}, 62}});
        state(62, 62, {{{c_space, c_lf, c_open_bracket, c_close_bracket, c_open_paren, c_close_paren, c_open_brace,
                         c_close_brace, c_quote, c_colon, c_slash, c_backslash, c_semicolon, c_ctl, c_end}, k_word},
                       {{c_hash, c_percent, c_comma, c_bad}, k_error}, {{c_at}, 56}, {{c_dollar}, 36}});
        state(63, 22, {{{c_space, c_lf, c_close_bracket, c_open_paren, c_close_paren, c_open_brace, c_close_brace,
                         c_colon, c_slash, c_less, c_greater, c_equal, c_comma, c_semicolon, c_at, c_ctl, c_bad, c_end},
                        k_error},
                       {{c_open_bracket}, 21}, {{c_quote}, 19}});
        state(64, k_word, {{{c_digit, c_zero}, 60}, {{c_hash, c_apostrophe, c_less, c_percent, c_comma, c_caret, c_bad},
                            k_error},
                           {{c_x, c_T, c_h, c_e, c_E, c_lo_hex, c_up_hex, c_greater, c_equal, c_dot, c_cont, c_other},
                            62},
                           {{c_at}, 56}, {{c_dollar}, 36}, {{c_plus, c_minus}, 64}});
    }
};
constexpr Automaton automaton;

constexpr bool end_column_is_final() {
    for (int s = 0; s < state_count; ++s)
        if (automaton.next[s][c_end] < first_final) return false;
    return true;
}
static_assert(end_column_is_final(), "every state must end a token at the end of the input");
constexpr bool targets_exist() {
    for (int s = 0; s < state_count; ++s)
        for (int c = 0; c < class_count; ++c) {
            uint8_t t = automaton.next[s][c];
            if (t >= state_count && (t < first_final || t >= first_final + kind_count)) return false;
        }
    return true;
}
static_assert(targets_exist());

// Kinds whose final byte belongs to the token (closing delimiters, the
// brackets, the `/` after a path head, the `%` of a percent).
constexpr bool consumes(uint8_t kind, Class c) {
    switch (kind) {
        case kind_open_block: case kind_close_block: case kind_open_paren: case kind_close_paren:
        case kind_open_brace: case kind_close_brace: case kind_open_map: case kind_path_head:
        case kind_construct: case kind_comma: case kind_string: case kind_char: case kind_binary:
        case kind_percent: case kind_point: case kind_tag:
            return true;
        case kind_file:
            return c == c_quote;  // the quoted form's closing quote
        default:
            return false;
    }
}

// The datatype of each kind, 0 for structural ones.
constexpr uint8_t kind_types[kind_count] = {
    0, type_error, 0, 0, 0, 0, 0, type_string, 0, 0, 0, 0, 0, type_string, type_word, type_issue,
    type_integer, type_refinement, type_char, type_file, type_binary, type_percent, type_float, type_float,
    type_tuple, type_date, type_pair, type_point2d, type_time, type_money, type_tag, type_url, type_email,
    type_integer, type_string, type_ref,
};

// What a token that failed in a state was going to be.
int32_t state_error_type(int state, Class c, uint8_t first) {
    switch (state) {
        case 0: case 1: case 59: return code_bad_char;
        case 2: case 3: case 4: case 5: case 10: case 11: case 12: return type_string;
        case 6: case 7: case 8: case 9: return type_file;
        case 13: case 14: return type_refinement;
        case 16: case 22: case 63: return type_issue;
        case 17: case 18: return type_binary;
        case 19: case 20: return type_char;
        case 21: return code_construct;
        case 23: case 39: case 42: case 60: return type_integer;
        case 24: return c == c_dot ? type_tuple : type_float;  // `1..2`
        case 25: case 26: case 27: case 28: case 50: return type_float;
        case 29: return type_tuple;
        case 30: return type_date;
        case 31: case 32: return type_time;
        case 33: case 34: return type_pair;
        case 35: return type_point2d;
        case 36: case 37: case 38: return type_money;
        case 43: case 44: case 45: case 46: return type_tag;
        case 55: return type_url;
        case 56: return type_email;
        case 57: return type_ref;
        case 48: return type_lit_word;
        case 51: return first == ':' ? type_get_word : type_lit_word;
        default: return type_word;
    }
}

inline Class class_of(uint8_t b) { return Class(bytes_table.entry[b] & 0xFF); }

// Bytes after which a `:` closing a path makes it a set-path.
bool ends_path(const uint8_t* p, const uint8_t* end) {
    if (p >= end) return true;
    switch (class_of(*p)) {
        case c_space: case c_lf: case c_open_bracket: case c_close_bracket: case c_open_paren: case c_close_paren:
        case c_open_brace: case c_close_brace: case c_quote: case c_semicolon: case c_ctl: case c_end:
            return true;
        default:
            return false;
    }
}

// ---- UTF-8 ----

bool is_unicode_space(uint32_t cp) {
    return cp == 0x85 || cp == 0xA0 || cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200B) || cp == 0x2028 ||
           cp == 0x2029 || cp == 0x202F || cp == 0x205F || cp == 0x3000 || cp == 0x180E;
}

}  // namespace

// Strict UTF-8: no overlongs, surrogates or code points past 10FFFF.
// Returns the sequence length, 0 when bad or cut short by `end`.
int decode_utf8(const uint8_t* p, const uint8_t* end, uint32_t* cp) {
    uint8_t b = *p;
    if (b < 0x80) {
        *cp = b;
        return 1;
    }
    int n;
    uint32_t v, min;
    if (b >= 0xC2 && b <= 0xDF) n = 2, v = b & 0x1F, min = 0x80;
    else if (b >= 0xE0 && b <= 0xEF) n = 3, v = b & 0x0F, min = 0x800;
    else if (b >= 0xF0 && b <= 0xF4) n = 4, v = b & 0x07, min = 0x10000;
    else return 0;
    if (end - p < n) return 0;
    for (int i = 1; i < n; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        v = v << 6 | (p[i] & 0x3F);
    }
    if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
    *cp = v;
    return n;
}

namespace {

State* active = nullptr;

void mark_active() {
    for (State* s = active; s; s = s->link)
        if (!s->cells.empty()) gc::mark_cells(s->cells.data(), s->cells.data() + s->cells.size());
}

// Links a run into the list the collector walks.
class Activation {
public:
    explicit Activation(State* s) : s_(s) {
        if (!active) gc::add_mark_callback(mark_active);
        s->link = active;
        active = s;
    }
    ~Activation() {
        active = s_->link;
        if (!active) gc::remove_mark_callback(mark_active);
    }
    Activation(const Activation&) = delete;
    Activation& operator=(const Activation&) = delete;

private:
    State* s_;
};

int32_t line_at(State& st, const uint8_t* p) {
    if (p > st.end) p = st.end;
    if (p < st.begin) p = st.begin;
    const uint8_t* q = st.line_pos;
    int32_t line = st.line_no;
    for (; q < p; ++q) line += *q == '\n';
    for (; q > p; --q) line -= q[-1] == '\n';
    st.line_pos = p;
    st.line_no = line;
    return line;
}

// A byte position as the 0-based offset a report gives: characters of a
// string source, bytes of a binary one.
int32_t offset_of(State& st, const uint8_t* p) {
    if (st.binary) return int32_t(p - st.begin);
    const uint8_t* q = st.char_pos;
    int32_t n = st.char_no;
    for (; q < p; ++q) n += (*q & 0xC0) != 0x80;
    for (; q > p; --q) n -= (q[-1] & 0xC0) != 0x80;
    st.char_pos = p;
    st.char_no = n;
    return n;
}

const uint8_t* position_of(State& st, int32_t offset) {
    if (offset <= 0) return st.begin;
    if (st.binary) return offset >= st.end - st.begin ? st.end : st.begin + offset;
    const uint8_t* q = st.char_pos;
    int32_t n = st.char_no;
    while (n < offset && q < st.end) {
        ++q;
        while (q < st.end && (*q & 0xC0) == 0x80) ++q;
        ++n;
    }
    while (n > offset && q > st.begin) {
        --q;
        while (q > st.begin && (*q & 0xC0) == 0x80) --q;
        --n;
    }
    st.char_pos = q;
    st.char_no = n;
    return q;
}


// ---- Events ----

// Tells the watcher about an event reported at `at`; true when the lexer
// should do its normal work. A watcher that moved the input leaves the new
// byte position in st.moved.
bool fire(State& st, Event event, int32_t type, const uint8_t* from, const uint8_t* to, const uint8_t* at,
          const Cell* value = nullptr) {
    st.moved = nullptr;
    const Watch* w = st.watch;
    if (!w || !w->fn || !(w->mask & event)) return true;
    Report r{event, type, line_at(st, from), offset_of(st, from) + 1, offset_of(st, to) + 1, value,
             offset_of(st, at)};
    int32_t before = r.position;
    bool answer = w->fn(r);
    if (r.position != before) st.moved = position_of(st, r.position);
    return answer;
}

bool wants(const State& st, Event event) { return st.watch && st.watch->fn && (st.watch->mask & event); }

// ---- Syntax errors ----

Cell text_cell(const std::string& text) {
    return {type_string, 0,
            unicode::load_utf8_new(reinterpret_cast<const uint8_t*>(text.data()), int32_t(text.size())), 0};
}

// The text near an error: from the token's start to the first line feed,
// the end of the input or 30 characters.
std::string near_text(const State& st, const uint8_t* at) {
    std::string near;
    const uint8_t* p = at;
    for (int32_t chars = 0; p < st.end && *p != '\n' && *p != 0 && chars < 30; ++chars) {
        uint32_t cp;
        int n = decode_utf8(p, st.end, &cp);
        if (n == 0) {
            near += '?';  // an undecodable byte shows as a placeholder, never as a broken string
            ++p;
        } else {
            near.append(reinterpret_cast<const char*>(p), size_t(n));
            p += n;
        }
    }
    return near;
}

// The datatype an error names: its datatype! value, or for one the runtime
// does not have yet a word of its name as the datatype would form, so the
// report still says what the token was.
Cell type_argument(int32_t type) {
    if (datatype::is_registered(type)) return {type_datatype, uint32_t(type), 0, 0};
    static const struct { uint8_t type; const char* name; } names[] = {
        {type_vector, "vector"}, {type_hash, "hash"},   {type_pair, "pair"},          {type_percent, "percent"},
        {type_tuple, "tuple"},   {type_map, "map"},     {type_binary, "binary"},      {type_tag, "tag"},
        {type_email, "email"},   {type_date, "date"},   {type_money, "money"},        {type_ref, "ref"},
        {type_point2d, "point2D"}, {type_point3d, "point3D"},
    };
    for (const auto& n : names)
        if (n.type == type) return word::load(n.name);
    return {type_datatype, uint32_t(type), 0, 0};
}

bool path_open(const State& st) {
    return !st.opens.empty() && st.opens.back().type >= type_path && st.opens.back().type <= type_get_path;
}

void fold_open_path(State& st);

// The single exit for every syntax error. `start`/`end` delimit the token;
// `code` is a datatype id or one of the codes above; `keep_type` keeps a
// datatype named even inside a path (a token whose datatype is missing).
// A run that appends to a block hands over the values it completed before
// an error, as one that appends as it goes would have: those outside every
// open level.
void keep_scanned(State& st) {
    if (!st.into) return;
    size_t done = st.opens.empty() ? st.cells.size() : size_t(st.opens.front().base);
    gc::Local target(*st.into);
    for (size_t i = 0; i < done; ++i) *series::alloc_tail(&target) = st.cells[i];
    st.cells.erase(st.cells.begin(), st.cells.begin() + std::ptrdiff_t(done));
    for (Open& o : st.opens) o.base -= int32_t(done);
}

}  // namespace

[[noreturn]] void syntax_error(State& st, const uint8_t* start, const uint8_t* end, int32_t code,
                               const char* expected, bool keep_type, int32_t report_type) {
    if (start > st.end) start = st.end;
    if (end > st.end) end = st.end;
    if (end < start) end = start;
    if (!st.load) {
        st.failed = true;
        throw Stop{};
    }
    bool in_path = path_open(st);
    if (wants(st, event_error)) {
        while (path_open(st)) fold_open_path(st);
        int32_t type = code > 0                ? code
                       : report_type > 0       ? report_type
                       : !st.opens.empty()     ? int32_t(st.opens.back().type)
                       : st.last_type > 0      ? st.last_type
                                               : int32_t(type_error);
        bool go = fire(st, event_error, type, start, end, code > 0 ? end : start);
        if (st.moved) {
            st.pos = st.moved;
            throw Resume{};
        }
        if (!go) {
            st.failed = true;
            throw Stop{};
        }
    }
    keep_scanned(st);
    int32_t line = line_at(st, start);
    gc::Local near(text_cell(near_text(st, start)));
    gc::Local where(text_cell("(line " + std::to_string(line) + ")"));
    if (code == code_bad_char || (in_path && !keep_type && code != code_missing && code != code_open_at_end))
        errors::raise(err::syntax::bad_char, &near, &where);
    if (code == code_construct) errors::raise(err::syntax::malconstruct, &near, &where);
    if (code == code_missing || code == code_open_at_end) {
        gc::Local what(text_cell(expected ? expected : "]"));
        errors::raise(err::syntax::missing, &what, &near, &where);
    }
    gc::Local type(type_argument(code));
    errors::raise(err::syntax::invalid, &type, &near, &where);
}

// A token whose datatype the runtime does not have yet.
[[noreturn]] void unsupported(State& st, const uint8_t* s, const uint8_t* e, int32_t type) {
    syntax_error(st, s, e, type, nullptr, true);
}

// ---- Cells ----

// Pushes a made value, with the new-line flag when line breaks preceded
// its token.
void push(State& st, const Cell& value, int32_t type) {
    Cell c = value;
    c.header &= ~uint32_t(cell::flag_new_line);
    if (st.breaks > 0) c.header |= cell::flag_new_line;
    st.breaks = 0;
    st.cells.push_back(c);
    st.last_type = type;
}

namespace {

// In runs that make no values a token still takes a cell, so containers and
// the one-value rule work alike: a none cell naming the type it stands for.
void push_placeholder(State& st, int32_t type) {
    st.cells.push_back({type_none, uint32_t(type), 0, 0});
    st.breaks = 0;
    st.last_type = type;
}

// The cells of the top level from `base` as a new series of the type.
Cell collect(State& st, int32_t base, uint8_t type) {
    int32_t n = int32_t(st.cells.size()) - base;
    uint32_t node = memory::alloc_cells(n < 1 ? 1 : n);
    if (n > 0) {
        // A block being made: no code has run it, so no barrier.
        SeriesBuffer* b = nodes::buffer(node);
        std::memcpy(b->tail_ptr(), st.cells.data() + base, size_t(n) * sizeof(Cell));
        b->tail += uint32_t(n) * uint32_t(sizeof(Cell));
    }
    st.cells.resize(size_t(base));
    Cell out;
    cell::make_series(&out, type, node);
    return out;
}

// Replaces the cells of an open level by its container. A container made
// in a load run is reported like any value (`end` set) and may be refused.
void close_level(State& st, const Open& o, uint8_t type, const uint8_t* end = nullptr) {
    st.breaks = o.new_line ? 1 : 0;
    if (!st.load) {
        st.cells.resize(size_t(o.base));
        push_placeholder(st, type);
        return;
    }
    Cell c = collect(st, o.base, type);
    push(st, c, type);
    if (end && !fire(st, event_load, type, o.at, end, end, &st.cells.back())) st.cells.pop_back();
}

// A path left open when a run ends or reports an error becomes a path.
void fold_open_path(State& st) {
    Open o = st.opens.back();
    st.opens.pop_back();
    close_level(st, o, o.type);
}

// ---- Structure ----

// After a watcher moved the input: drop what was being scanned and go on
// from the new place.
bool jumped(State& st) {
    if (!st.moved) return false;
    st.pos = st.moved;
    st.moved = nullptr;
    ++st.jumps;
    st.next_state = s_start;
    st.point_start = nullptr;
    st.brace_depth = 0;
    while (path_open(st)) fold_open_path(st);
    return true;
}

// One-value runs (and scan runs, which find one token) stop as soon as a
// complete value stands at the outermost level.
void check_one_value(State& st) {
    if ((st.one || !st.load) && st.opens.empty() && st.brace_depth == 0 && st.cells.size() > st.base)
        st.done = true;
}

// A value token: checked (and reported to `scan`) when the run does not
// load or the watcher wants to see it, then loaded (and reported to `load`).
void process_value(State& st, int kind, const uint8_t* s, const uint8_t* e, uint32_t flags) {
    int32_t type = kind_types[kind];
    // A prescan run checks structure and strings only, and reports no scans.
    bool scan_event = !st.prescan && wants(st, event_scan);
    bool check = st.prescan ? kind == kind_string : !st.load || scan_event;
    if (check) {
        type = load_value(st, kind, s, e, flags, false);
        if (scan_event) {
            bool go = fire(st, event_scan, type, s, e, e);
            if (jumped(st) || !go) return;
        }
    }
    if (!st.load) {
        push_placeholder(st, type);
        return;
    }
    size_t before = st.cells.size();
    type = load_value(st, kind, s, e, flags, true);
    if (wants(st, event_load) && st.cells.size() > before) {
        bool go = fire(st, event_load, type, s, e, e, &st.cells.back());
        if (!go) st.cells.resize(before);
        jumped(st);
    }
}

void close_path(State& st, uint8_t type) {
    Open o = st.opens.back();
    fire(st, event_close, type, o.at, st.pos, st.pos);  // a path closes whatever the answer
    st.opens.pop_back();
    if (jumped(st)) {
        close_level(st, o, type);
        return;
    }
    close_level(st, o, type, st.pos);
    jumped(st);
}

// After a value: a path goes on with `/`, ends as a set-path with `:`, and
// ends at anything else.
void after_value(State& st) {
    while (path_open(st)) {
        const uint8_t* p = st.pos;
        if (p < st.end && *p == '/') {
            st.pos = p + 1;
            st.next_state = s_path_element;
            return;
        }
        Open o = st.opens.back();
        if (p < st.end && *p == ':') {
            if (!ends_path(p + 1, st.end)) syntax_error(st, o.at, p + 1, type_path);
            if (o.type != type_path) syntax_error(st, o.at, p + 1, o.type);
            st.pos = p + 1;
            close_path(st, type_set_path);
        } else {
            close_path(st, o.type);
        }
    }
    check_one_value(st);
}

void open_container(State& st, uint8_t type, const uint8_t* s, const uint8_t* e) {
    if (int32_t(st.opens.size()) >= max_depth) errors::raise(err::internal::too_deep);
    bool go = fire(st, event_open, type, s, e, s);
    if (jumped(st) || !go) return;
    st.opens.push_back({type, st.breaks > 0, false, 0, int32_t(st.cells.size()), s});
    st.breaks = 0;
}

// `(x, y)` read as the tokens of a paren: numbers separated by commas.
void close_point(State& st, const Open& o, const uint8_t* e) {
    int32_t n = int32_t(st.cells.size()) - o.base;
    if (n != o.commas + 1 || n < 2 || n > 3) syntax_error(st, o.at, e, type_point2d);
    uint8_t type = n == 2 ? type_point2d : type_point3d;
    if (!st.load) {
        st.cells.resize(size_t(o.base));
        st.breaks = o.new_line ? 1 : 0;
        push_placeholder(st, type);
        return;
    }
    uint32_t bits[3] = {0, 0, 0};
    for (int32_t i = 0; i < n; ++i) {
        const Cell& c = st.cells[size_t(o.base + i)];
        if (cell::type(&c) == type_integer) bits[i] = float_bits(double(cell::get_integer(&c)));
        else if (cell::type(&c) == type_float) bits[i] = float_bits(cell::get_double(&c));
        else syntax_error(st, o.at, e, type);
    }
    if (!datatype::is_registered(type)) unsupported(st, o.at, e, type);
    st.cells.resize(size_t(o.base));
    st.breaks = o.new_line ? 1 : 0;
    push(st, {type, bits[0], bits[1], bits[2]}, type);
}

void close_map(State& st, const Open& o, const uint8_t* e) {
    int32_t n = int32_t(st.cells.size()) - o.base;
    if (n % 2) syntax_error(st, o.at, e, type_map);
    if (!st.load) {
        close_level(st, o, type_map);
        return;
    }
    if (!datatype::is_registered(type_map)) unsupported(st, o.at, e, type_map);
    gc::Local m({type_none, 0, 0, 0});
    if (!map_type::make_literal(st.cells.data() + o.base, n, &m)) syntax_error(st, o.at, e, type_map);
    st.cells.resize(size_t(o.base));
    st.breaks = o.new_line ? 1 : 0;
    push(st, m, type_map);
}

void close_container(State& st, const uint8_t* s, const uint8_t* e) {
    bool bracket = *s == ']';
    uint8_t type = bracket ? type_block : type_paren;
    if (!st.opens.empty()) type = st.opens.back().point ? uint8_t(type_point2d) : st.opens.back().type;
    bool go = fire(st, event_close, type, s, e, e);
    if (jumped(st) || !go) return;
    if (st.opens.empty()) syntax_error(st, s, e, code_missing, bracket ? "[" : "(");
    Open o = st.opens.back();
    bool block_like = o.type == type_block || o.type == type_map;
    if (bracket != block_like) syntax_error(st, s, e, code_missing, block_like ? "]" : ")");
    st.opens.pop_back();
    if (o.type == type_map) close_map(st, o, e);
    else if (o.point) close_point(st, o, e);
    else close_level(st, o, o.type, e);
    if (jumped(st)) return;
    after_value(st);
}

void comma(State& st, const uint8_t* s, const uint8_t* e) {
    if (st.opens.empty() || st.opens.back().type != type_paren) syntax_error(st, s, e, type_point2d);
    Open& o = st.opens.back();
    if (int32_t(st.cells.size()) - o.base != o.commas + 1) syntax_error(st, o.at, e, type_point2d);
    o.point = true;
    ++o.commas;
}

// An open paren followed by numbers and a comma starts a point literal.
bool point_ahead(const uint8_t* p, const uint8_t* end) {
    if (end - p < 4) return false;
    for (; p < end; ++p) {
        uint8_t b = *p;
        if (is_digit(b) || b == '+' || b == '-' || b == '.' || b == '#' || b == '\t' || b == ' ') continue;
        switch (b | 0x20) {
            case 'a': case 'e': case 'f': case 'i': case 'n': continue;
            default: return b == ',';
        }
    }
    return true;
}

// `%{...}%`: the automaton stops at the first `}%` and a delimiter; the
// content really ends at a `}` followed by as many `%` as opened it.
const uint8_t* raw_string_end(State& st, const uint8_t* s) {
    int32_t percents = 0;
    const uint8_t* p = s;
    while (p < st.end && *p == '%') ++p, ++percents;
    for (const uint8_t* q = p + 1; q < st.end; ++q) {
        if (*q != '}') continue;
        const uint8_t* r = q + 1;
        int32_t k = 0;
        while (r < st.end && *r == '%') ++r, ++k;
        if (k < percents) continue;
        if (k > percents) syntax_error(st, s, r, type_string);
        if (!ends_path(r, st.end) && *r != '<') syntax_error(st, s, r, type_string);
        return r;
    }
    syntax_error(st, s, st.end, type_string);
}

// A word's leading Unicode spaces are whitespace, and a Unicode space
// inside it ends it. Returns false when the token was only spaces (or
// began with them): the scan starts again after them.
bool unicode_word_bounds(State& st, const uint8_t* s, const uint8_t** e, int* kind) {
    const uint8_t* p = s;
    bool leading = true;
    while (p < *e) {
        uint32_t cp = *p;
        int n = 1;
        if (cp >= 0x80) {
            n = decode_utf8(p, *e, &cp);
            if (!n) syntax_error(st, s, *e, type_word);
        }
        if (n > 1 && is_unicode_space(cp)) {
            if (leading) {
                p += n;
                continue;
            }
            *e = p;
            st.pos = p;
            *kind = kind_word;
            return true;
        }
        if (leading && p > s) {
            st.pos = p;
            return false;
        }
        leading = false;
        p += n;
    }
    if (leading) {
        st.pos = p;
        return false;
    }
    return true;
}

// ---- The token loop ----

void step(State& st) {
    uint8_t state = st.next_state;
    st.next_state = s_start;
    const uint8_t* s = st.pos;
    if (state == s_point) s = st.point_start;
    const uint8_t* p = st.pos;
    const uint8_t* const end = st.end;
    uint32_t flags = 0;
    int32_t breaks = st.breaks;
    Class cls;
    uint8_t final_state;
    for (;;) {
        if (p >= end) {
            cls = c_end;
            flags |= f_end;
            final_state = automaton.next[state][c_end];
            break;
        }
        uint32_t entry = bytes_table.entry[*p];
        cls = Class(entry & 0xFF);
        uint8_t next = automaton.next[state][cls];
        if (next >= first_final) {
            final_state = next;
            break;
        }
        if (cls == c_lf && next == s_start) ++breaks;
        ++p;
        if (next == s_start) {
            s = p;  // whitespace between tokens belongs to none
        } else {
            flags |= entry;
        }
        state = next;
    }
    st.breaks = breaks;
    int kind = final_state - first_final;
    if (consumes(uint8_t(kind), cls)) flags |= bytes_table.entry[*p++];
    st.pos = p;
    const uint8_t* e = p;

    // Tokens whose end the automaton alone does not settle. A raw string
    // opened by more than one `%` holds `}%` followed by anything, which
    // the automaton takes for an error.
    if (kind == kind_raw_string || (kind == kind_error && state >= 10 && state <= 12 && cls != c_bad)) {
        kind = kind_raw_string;
        st.pos = e = raw_string_end(st, s);
    }
    if ((kind == kind_word || kind == kind_path_head) && (flags & f_non_ascii) &&
        !unicode_word_bounds(st, s, &e, &kind))
        return;
    if (kind == kind_open_paren && point_ahead(e, end)) {
        st.point_start = s;
        st.next_state = s_point;
        return;  // one token from the paren to its close; the paren itself is not reported
    }
    st.point_start = nullptr;

    bool in_brace = st.brace_depth > 0;
    if (kind != kind_end && !in_brace && wants(st, event_prescan)) {
        int32_t type = kind_types[kind] ? int32_t(kind_types[kind]) : -kind;
        bool go = fire(st, event_prescan, type, s, e, s);
        if (jumped(st)) return;
        if (!go) {
            if (e == s) st.pos = s + 1;  // a refused bad byte is still passed over
            return;
        }
    }

    switch (kind) {
        case kind_end:
            st.pos = end;
            st.done = true;
            return;
        case kind_error:
            if ((state == s_braced || state == s_braced + 1) && cls == c_end)
                syntax_error(st, st.brace_start, end, code_missing, "}", false, type_string);
            syntax_error(st, (state == s_braced || state == s_braced + 1) ? st.brace_start : s, p,
                         state_error_type(state, cls, *s));
        case kind_open_block:
            open_container(st, type_block, s, e);
            return;
        case kind_open_paren:
            open_container(st, type_paren, s, e);
            return;
        case kind_open_map:
            if (e - s != 2) syntax_error(st, s, e, type_map);
            open_container(st, type_map, s, e);
            return;
        case kind_close_block:
        case kind_close_paren:
            close_container(st, e - 1, e);
            return;
        case kind_open_brace:
            if (!in_brace) {
                bool go = fire(st, event_open, type_string, s, e, s);
                if (jumped(st) || !go) return;
                st.brace_start = s;
                st.brace_flags = 0;
                st.brace_breaks = st.breaks;
            }
            st.brace_flags |= flags;
            ++st.brace_depth;
            st.next_state = s_braced;
            return;
        case kind_close_brace: {
            st.brace_flags |= flags;
            if (--st.brace_depth > 0) {
                st.next_state = s_braced;
                return;
            }
            const uint8_t* from = st.brace_start;
            st.breaks = st.brace_breaks;
            int32_t jumps = st.jumps;
            process_value(st, kind_string, from, e, st.brace_flags);
            if (st.jumps != jumps) return;
            fire(st, event_close, type_string, from, e, e);
            if (jumped(st)) return;
            after_value(st);
            return;
        }
        case kind_path_head: {
            uint8_t type = *s == '\'' ? type_lit_path : *s == ':' ? type_get_path : type_path;
            size_t opens = st.opens.size();
            open_container(st, type, s, e);
            if (st.opens.size() == opens) return;
            int32_t jumps = st.jumps;
            process_value(st, kind_word, type == type_path ? s : s + 1, e - 1, flags);
            if (st.jumps == jumps) st.next_state = s_path_element;
            return;
        }
        case kind_comment:
            if (!st.prescan) fire(st, event_scan, -kind_comment, s, e, e);
            jumped(st);
            return;
        case kind_comma:
            comma(st, s, e);
            return;
        default: {
            int32_t jumps = st.jumps;
            process_value(st, kind, s, e, flags);
            if (st.jumps != jumps) return;
            after_value(st);
            return;
        }
    }
}

// Closes every open level as it stands, for a run that ended quietly.
void fold_all(State& st) {
    while (!st.opens.empty()) {
        Open o = st.opens.back();
        st.opens.pop_back();
        uint8_t type = o.type == type_map ? uint8_t(type_block) : o.type;
        close_level(st, o, type);
    }
}

// Runs the lexer over UTF-8 bytes. Load runs leave their block in *result
// (or append to options.into); *found_type gets the type of the first
// complete value (error! when the run failed, 0 for none). Returns the
// bytes consumed.
int32_t run_utf8(const uint8_t* bytes, int32_t length, bool binary, const Options& options, Cell* result,
                 int32_t* found_type) {
    State st;
    st.begin = st.pos = st.line_pos = st.char_pos = bytes;
    st.end = bytes + length;
    st.binary = binary;
    st.load = !options.scan && !options.prescan;
    st.prescan = options.prescan && !options.scan;
    st.one = options.one || options.next;
    st.watch = options.trace;
    if (st.load) st.into = options.into;
    Activation on(&st);
    try {
        while (!st.done) {
            try {
                step(st);
            } catch (const Resume&) {
                st.next_state = s_start;
                st.point_start = nullptr;
                st.brace_depth = 0;
                ++st.jumps;
            }
        }
        if (!st.opens.empty()) {
            // The input ended with a container open.
            try {
                const Open& o = st.opens.back();
                bool block_like = o.type == type_block || o.type == type_map;
                syntax_error(st, o.at, st.end, code_open_at_end, block_like ? "]" : ")");
            } catch (const Resume&) {
                // The input is over: moving it back to lex some of it again
                // cannot close what is open (and would never end).
                st.failed = true;
            }
        }
    } catch (const Stop&) {
    } catch (const std::bad_alloc&) {
        errors::raise(err::internal::no_memory);
    }
    if (found_type) {
        if (st.failed) *found_type = type_error;
        else if (!st.cells.empty()) *found_type = st.load ? cell::type(&st.cells.front()) : int32_t(st.cells.front().w1);
        else *found_type = 0;
    }
    if (result && st.load) {
        fold_all(st);
        if (options.into) {
            gc::Local target(*options.into);
            for (size_t i = 0; i < st.cells.size(); ++i) {
                Cell* slot = series::alloc_tail(&target);
                *slot = st.cells[i];
            }
            *result = target;
        } else {
            *result = collect(st, 0, type_block);
        }
    }
    return int32_t(st.pos - st.begin);
}

// The lexer's services to the word module.
bool first_value(const char* text, int32_t length, Cell* out) {
    Watch quiet;
    quiet.mask = event_error;
    quiet.fn = [](Report&) { return false; };
    Options options;
    options.one = true;
    options.trace = &quiet;
    gc::Local values({type_none, 0, 0, 0});
    run_utf8(reinterpret_cast<const uint8_t*>(text), length, false, options, &values, nullptr);
    if (series::length_from_head(&values) == 0) {
        for (int32_t i = 0; i < length; ++i)
            if (class_of(uint8_t(text[i])) != c_space && class_of(uint8_t(text[i])) != c_lf) {
                cell::make_none(out);  // something that is no value
                return true;
            }
        return false;
    }
    *out = series::cells_head(values.w2)[0];
    cell::clear_new_line(out);
    return true;
}

int32_t spelling_type(const char* text, int32_t length) {
    Options options;
    options.scan = true;
    int32_t type = 0;
    int32_t used = run_utf8(reinterpret_cast<const uint8_t*>(text), length, false, options, nullptr, &type);
    if (type == type_error || used != length) return 0;
    return type;
}

}  // namespace

void offer_services(services::Services& s) {
    s.load_first_value = first_value;
    s.lex_type = spelling_type;
    s.load_text = [](const Cell* text, Cell* result) { transcode(text, Options{}, result); };
}

uint32_t mask_from_callback(const Cell* callback) {
    if (cell::type(callback) != type_function) return event_all;
    Cell body = series::cells_head(callback->w3)[function::info_body];
    if (cell::type(&body) != type_block || series::length_from_head(&body) <= 0) return event_all;
    Cell first = series::cells_head(body.w2)[body.w1];
    if (cell::type(&first) != type_block) return event_all;
    static const struct { runtime_symbols::Word word; Event event; } events[] = {
        {runtime_symbols::word_prescan, event_prescan}, {runtime_symbols::word_scan, event_scan},
        {runtime_symbols::word_load, event_load},       {runtime_symbols::word_open, event_open},
        {runtime_symbols::word_close, event_close},     {runtime_symbols::word_error, event_error},
    };
    uint32_t mask = 0;
    int32_t n = series::length_from_head(&first);
    for (int32_t i = 0; i < n; ++i) {
        Cell w = series::cells_head(first.w2)[int32_t(first.w1) + i];
        uint8_t t = cell::type(&w);
        if (t < type_word || t > type_get_word) continue;
        int32_t symbol = symbols::resolve(int32_t(w.w2));
        for (const auto& ev : events)
            if (symbols::resolve(int32_t(runtime_symbols::words[ev.word].w2)) == symbol) mask |= ev.event;
    }
    return mask;
}

// ---- Entries ----

void load_utf8(const char* text, int32_t length, Cell* result) {
    Options options;
    run_utf8(reinterpret_cast<const uint8_t*>(text), length, false, options, result, nullptr);
}

void transcode(const Cell* source, const Options& options, Cell* result) {
    uint8_t type = cell::type(source);
    bool binary = type == type_binary;
    if (!binary && !string::is_text_kind(type)) errors::raise(err::script::invalid_arg, source);
    gc::Local src(*source);
    // The run reads a copy: a watcher may change or move the source.
    std::string bytes;
    if (binary) {
        SeriesBuffer* b = nodes::buffer(src.w2);
        int32_t n = int32_t(b->count()) - int32_t(src.w1);
        if (n > 0) bytes.assign(reinterpret_cast<const char*>(b->head_ptr() + src.w1), size_t(n));
    } else {
        bytes = string::to_utf8(&src);
    }
    const uint8_t* b0 = reinterpret_cast<const uint8_t*>(bytes.data());
    int32_t limit = int32_t(bytes.size());
    if (options.part >= 0) {
        if (binary) limit = std::min(limit, options.part);
        else limit = int32_t(unicode::skip_utf8_chars(b0, b0 + bytes.size(), options.part) - b0);
    }
    int32_t skip = 0;
    if (binary && limit > 2 && b0[0] == 0xEF && b0[1] == 0xBB && b0[2] == 0xBF) skip = 3;

    // Positions a watcher sees and sets count from the source's own index.
    Watch shifted;
    Options run = options;
    if (options.trace && skip) {
        shifted.mask = options.trace->mask;
        const Watch* inner = options.trace;
        shifted.fn = [inner, skip](Report& r) {
            r.start += skip;
            r.end += skip;
            r.position += skip;
            bool answer = inner->fn(r);
            r.position -= skip;
            return answer;
        };
        run.trace = &shifted;
    }
    bool loads = !options.scan && !options.prescan;
    int32_t found = 0;
    gc::Local values({type_none, 0, 0, 0});
    int32_t used = run_utf8(b0 + skip, limit - skip, binary, run, loads ? &values : nullptr, &found) + skip;
    // What the run gives: the type found by a scan, the block appended to,
    // the one value, or the block of values.
    gc::Local first({type_none, 0, 0, 0});
    if (!loads) {
        if (found) first = {type_datatype, uint32_t(found), 0, 0};
    } else if (options.into) {
        first = values;
    } else if (options.one || options.next) {
        if (series::length_from_head(&values) > 0) first = series::cells_head(values.w2)[0];
        cell::clear_new_line(&first);
    } else {
        first = values;
    }
    // /next pairs it with the rest of the source, except that /one asks for
    // the value alone unless a scan was asked for.
    if (!options.next || (options.one && !options.scan)) {
        *result = first;
        return;
    }
    // The value (or type) and the source moved past what was consumed.
    gc::Local rest(static_cast<const Cell&>(src));
    rest.w1 += uint32_t(binary ? used : unicode::count_utf8_chars(b0, b0 + used));
    gc::Local pair(Cell{});
    block_actions::make_at(&pair, 2);
    *series::alloc_tail(&pair) = first;
    *series::alloc_tail(&pair) = rest;
    *result = pair;
}

}  // namespace vum::lexer
