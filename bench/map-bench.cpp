// map! speed with a million integer keys: put, then select, each as Vum
// code run by the interpreter and as direct calls of the map's handlers
// (what the map and its hash table cost without the evaluator). Prints one
// line per measure: name, nanoseconds per operation, checksum (best of
// three). bench/map-bench.py runs this and the same work in Python.
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "base/entry.h"
#include "datatypes/actions.h"
#include "datatypes/map.h"
#include "engine/interpreter.h"
#include "environment/boot-loader.h"
#include "environment/source-runner.h"
#include "gui-console/terminal-console.h"
#include "memory/collector.h"
#include "memory/value-stack.h"

using namespace vum;

namespace {

int32_t count = 1000000;

// Processor time of this process: on a busy machine wall time mostly
// measures the other processes.
double cpu_now() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

double seconds_of(const std::function<void()>& fn) {
    double start = cpu_now();
    fn();
    return cpu_now() - start;
}

// VUM_MAP_BENCH_ONLY=name runs the measures whose names start with it.
bool wanted(const char* name) {
    const char* only = std::getenv("VUM_MAP_BENCH_ONLY");
    return !only || std::string(name).rfind(only, 0) == 0;
}

// Loads and runs source text; the value of its last expression is molded.
std::string run_source(const std::string& text, double* seconds) {
    gc::Local block({type_none, 0, 0, 0});
    gc::Local result({type_none, 0, 0, 0});
    if (!source::load(text, &block)) {
        std::fprintf(stderr, "cannot load: %s\n", text.c_str());
        std::exit(1);
    }
    bool failed = false;
    *seconds = seconds_of([&] { failed = eval::evaluate_protected(&block, &result); });
    std::string shown = actions::mold_text(&result);
    if (failed) {
        std::fprintf(stderr, "error in %s: %s\n", text.c_str(), shown.c_str());
        std::exit(1);
    }
    return shown;
}

void report(const char* name, double seconds, const std::string& checksum) {
    std::printf("%s %.1f %s\n", name, seconds * 1e9 / count, checksum.c_str());
    std::fflush(stdout);
}

// Best of three runs of the Vum code; `setup` runs untimed before each.
void measure(const char* name, const std::string& setup, const std::string& code) {
    if (!wanted(name)) return;
    double best = 1e9;
    std::string checksum;
    for (int round = 0; round < 3; round++) {
        double ignored = 0;
        if (!setup.empty()) run_source(setup, &ignored);
        double seconds = 0;
        checksum = run_source(code, &seconds);
        if (seconds < best) best = seconds;
    }
    report(name, best, checksum);
}

// The map's handlers called from C++, on cells of the value stack. Keys
// are 1 ... n, or with `spread` i * 40503 mod 2^31: a hash that keeps
// consecutive integers together (Python's) then has no locality to use.
int32_t key_of(int32_t i, bool spread) { return spread ? int32_t((int64_t(i) * 40503) % 2147483648LL) : i; }

void measure_direct(bool spread) {
    if (!wanted(spread ? "direct-spread" : "direct")) return;
    double best_put = 1e9, best_select = 1e9;
    int64_t sum = 0;
    for (int round = 0; round < 3; round++) {
        Cell* top = stack::s.args_top;
        Cell* map = stack::push_cell();
        Cell* key = stack::push_cell();
        Cell* value = stack::push_cell();
        cell::make_none(map);
        map_type::make_at(map, nullptr, 0);
        double put = seconds_of([&] {
            for (int32_t i = 1; i <= count; i++) {
                cell::make_integer(key, key_of(i, spread));
                cell::make_integer(value, i);
                map_type::set_value(map, key, value, false);
            }
        });
        actions::FindOptions options;
        sum = 0;
        double select = seconds_of([&] {
            for (int32_t i = 1; i <= count; i++) {
                cell::make_integer(key, key_of(i, spread));
                map_type::select(map, key, options, value);
                sum += cell::get_integer(value);
            }
        });
        if (put < best_put) best_put = put;
        if (select < best_select) best_select = select;
        stack::s.args_top = top;
        gc::collect();
    }
    report(spread ? "direct-put-spread" : "direct-put", best_put, std::to_string(sum));
    report(spread ? "direct-select-spread" : "direct-select", best_select, std::to_string(sum));
}

void run() {
    boot::load_environment(console::register_console_routines);
    if (const char* n = std::getenv("VUM_MAP_BENCH_COUNT")) count = std::atoi(n);
    std::string n = std::to_string(count);
    // The loops without the map: what the interpreter costs per iteration.
    measure("loop-set", "", "repeat i " + n + " [x: i] x");
    measure("loop-add", "", "s: 0 repeat i " + n + " [s: s + i] s");
    measure("put", "", "m: make map! [] repeat i " + n + " [put m i i] length? m");
    measure("select", "m: make map! [] repeat i " + n + " [put m i i]",
            "s: 0 repeat i " + n + " [s: s + select m i] s");
    measure("path-set", "", "m: make map! [] repeat i " + n + " [m/:i: i] length? m");
    measure("path-get", "m: make map! [] repeat i " + n + " [put m i i]", "s: 0 repeat i " + n + " [s: s + m/:i] s");
    measure_direct(false);
    measure_direct(true);
}

}  // namespace

int main(int argc, char** argv) { entry::run(argc, argv, run); }
