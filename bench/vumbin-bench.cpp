// Encoding speed of the serialised-value format: a block of a million
// mixed values (small and large integers, floats, times, strings, words,
// none and logic values, and small nested blocks, a quarter of which share
// one series) encoded whole in the compact and the fixed form. Prints one
// line per form: name, nanoseconds per value, bytes (best of three,
// processor time). bench/vumbin-bench.py runs it beside Python's pickle on
// the same mixture.
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/entry.h"
#include "datatypes/binary.h"
#include "engine/lexer.h"
#include "io/vumbin-encoder.h"
#include "memory/collector.h"
#include "memory/series.h"

using namespace vum;

namespace {

double cpu_now() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// The same mixture as bench/vumbin-bench.py builds.
std::string source_of(int32_t count) {
    std::string text = "[";
    for (int32_t i = 0; i < count; i++) {
        std::string n = std::to_string(i);
        switch (i % 8) {
            case 0: text += std::to_string(i % 64); break;
            case 1: text += std::to_string(i * 1000); break;
            case 2: text += n + ".5"; break;
            case 3: text += "\"text " + n + "\""; break;
            case 4: text += "word" + std::to_string(i % 1000); break;
            case 5: text += i % 16 == 5 ? "none" : "true"; break;
            case 6: text += "[" + n + " \"x\"]"; break;
            case 7: text += std::to_string(i % 24) + ":30"; break;
        }
        text += ' ';
    }
    return text + "]";
}

void run() {
    int32_t count = 1000000;
    if (const char* n = std::getenv("VUM_VUMBIN_BENCH_COUNT")) count = std::atoi(n);
    std::string text = source_of(count);
    gc::Local loaded({type_none, 0, 0, 0});
    lexer::load_utf8(text.data(), int32_t(text.size()), &loaded);
    gc::Local value(*series::cells_head(loaded.w2));
    for (bool compact : {true, false}) {
        double best = 1e9;
        int32_t bytes = 0;
        for (int round = 0; round < 3; round++) {
            gc::Local result({type_none, 0, 0, 0});
            double start = cpu_now();
            if (compact)
                vumbin::encode_compact(&value, &result);
            else
                vumbin::encode_fixed(&value, &result);
            double seconds = cpu_now() - start;
            if (seconds < best) best = seconds;
            bytes = binary::length_from_index(&result);
            gc::collect();
        }
        std::printf("%s %.1f %d\n", compact ? "compact" : "fixed", best * 1e9 / count, bytes);
        std::fflush(stdout);
    }
}

}  // namespace

int main(int argc, char** argv) { entry::run(argc, argv, run); }
