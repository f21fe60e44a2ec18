// Serialised-value decoding speed: one block of a million mixed values (ten
// kinds, a hundred thousand times each: small and large integers, a float,
// a string, a word, a two-word block, a char, a tuple, none, a negative
// integer), written by hand in the compact and the fixed form and decoded
// into a new block. Prints one line per form: name, milliseconds of processor
// time (best of five), bytes of the file. bench/vumbin-decode-bench.py runs
// this and Python's pickle over the same list.
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/entry.h"
#include "datatypes/block.h"
#include "environment/boot-loader.h"
#include "gui-console/terminal-console.h"
#include "io/vumbin-decoder.h"
#include "io/vumbin-format.h"
#include "memory/collector.h"
#include "memory/series.h"

using namespace vum;

namespace {

double cpu_now() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

class Writer {
public:
    explicit Writer(bool compact) : compact_(compact) {}
    std::vector<uint8_t> bytes;

    void byte(uint8_t b) { bytes.push_back(b); }
    void word(uint32_t w) {
        for (int i = 0; i < 4; i++) byte(uint8_t(w >> (8 * i)));
    }
    void uvarint(uint32_t v) {
        while (v >= 0x80) {
            byte(uint8_t(v | 0x80));
            v >>= 7;
        }
        byte(uint8_t(v));
    }
    void number(uint32_t v) { compact_ ? uvarint(v) : word(v); }
    void head(uint8_t type, uint32_t fixed_bits = 0) { compact_ ? byte(type) : word(type | fixed_bits); }

    void integer(int32_t n) {
        if (compact_ && n >= 0 && n <= 63) return byte(uint8_t(vumbin::lead_small_integer | n));
        head(type_integer);
        compact_ ? uvarint(vumbin::zigzag(n)) : word(uint32_t(n));
    }
    void real(double d) {
        uint64_t bits;
        std::memcpy(&bits, &d, sizeof bits);
        head(type_float);
        word(uint32_t(bits));
        word(uint32_t(bits >> 32));
    }
    void text(const char* s) {
        uint32_t n = uint32_t(std::strlen(s));
        head(type_string, 1u << vumbin::fixed_unit_shift);
        if (compact_) {
            uvarint(n << 2);
        } else {
            word(0);
            word(n);
        }
        for (uint32_t i = 0; i < n; i++) byte(uint8_t(s[i]));
        while (!compact_ && bytes.size() % 4) byte(0);
    }
    void global_word(uint32_t symbol) {
        head(type_word, vumbin::fixed_word_global);
        number(symbol);
        if (!compact_) word(uint32_t(-1));
    }
    void block_of_words(uint32_t a, uint32_t b) {
        head(type_block);
        if (!compact_) word(0);
        number(2);
        global_word(a);
        global_word(b);
    }
    void character(uint32_t cp) {
        head(type_char);
        number(cp);
    }
    void tuple3(uint8_t a, uint8_t b, uint8_t c) {
        head(type_tuple, 3u << vumbin::fixed_unit_shift);
        byte(a);
        byte(b);
        byte(c);
        if (!compact_) bytes.insert(bytes.end(), 9, 0);
    }
    void none() { head(type_none); }

private:
    bool compact_;
};

// The whole file: header, counts, the symbol table (foo, x, y), one block.
std::vector<uint8_t> make_file(bool compact, int32_t rounds) {
    Writer records(compact);
    records.head(type_block);
    if (!compact) records.word(0);
    records.number(uint32_t(rounds) * 10);
    for (int32_t i = 0; i < rounds; i++) {
        records.integer(1);
        records.real(2.5);
        records.text("abc");
        records.global_word(0);
        records.block_of_words(1, 2);
        records.character('c');
        records.tuple3(1, 2, 3);
        records.integer(1000);
        records.none();
        records.integer(-7);
    }
    const char names[] = "foo\0x\0y";
    const uint32_t offsets[] = {0, 4, 6};
    Writer file(compact);
    for (char c : std::string(vumbin::magic, sizeof vumbin::magic)) file.byte(uint8_t(c));
    file.byte(vumbin::version_written);
    file.byte(uint8_t((compact ? vumbin::flag_compact : 0) | vumbin::flag_symbols));
    file.number(1);
    file.number(uint32_t(records.bytes.size()));
    file.number(3);
    file.number(sizeof names);
    for (uint32_t offset : offsets) file.word(offset);
    for (char c : names) file.byte(uint8_t(c));
    file.bytes.insert(file.bytes.end(), records.bytes.begin(), records.bytes.end());
    return file.bytes;
}

void measure(const char* name, bool compact, int32_t rounds) {
    std::vector<uint8_t> file = make_file(compact, rounds);
    double best = 1e9;
    for (int round = 0; round < 5; round++) {
        gc::Local block({type_none, 0, 0, 0});
        block_actions::make_at(&block, 1);
        vumbin::set_mode(vumbin::Mode::saved);
        double start = cpu_now();
        vumbin::decode(file.data(), int64_t(file.size()), &block, true, nullptr);
        double seconds = cpu_now() - start;
        if (seconds < best) best = seconds;
        int32_t decoded = series::length_from_head(series::cells_head(block.w2));
        if (decoded != rounds * 10) {
            std::fprintf(stderr, "%s: %d values decoded\n", name, decoded);
            std::exit(1);
        }
        block = {type_none, 0, 0, 0};
        gc::collect();
    }
    std::printf("%s %.1f %zu\n", name, best * 1e3, file.size());
    std::fflush(stdout);
}

void run() {
    boot::load_environment(console::register_console_routines);
    int32_t rounds = 100000;
    if (const char* n = std::getenv("VUM_VUMBIN_BENCH_ROUNDS")) rounds = std::atoi(n);
    measure("compact-decode", true, rounds);
    measure("fixed-decode", false, rounds);
}

}  // namespace

int main(int argc, char** argv) { entry::run(argc, argv, run); }
