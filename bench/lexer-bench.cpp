// Scanning speed: loads about 10 MB of generated source and reports
// megabytes per second (best of five).
#include <chrono>
#include <cstdio>
#include <string>

#include "base/entry.h"
#include "engine/lexer.h"
#include "memory/collector.h"

using namespace vum;

namespace {

std::string generate(size_t bytes) {
    std::string text;
    const char* lines[] = {
        "append result [name: \"value with spaces\" count: 12345 ratio: 0.125]\n",
        "if all [x > 10 y < 20] [print [\"big\" x y] z: x * y + 3]\n",
        "foreach item items [total: total + item/price * item/quantity]\n",
        "%files/path/name.txt http://example.com/a/b #\"c\" 1:30:00 -42 3.5e10\n",
        "{a multi-line\nstring with ^(41) escapes} 'lit :get /refinement #issue\n",
    };
    for (size_t i = 0; text.size() < bytes; i++) {
        text += "[";
        for (int k = 0; k < 20; k++) text += lines[(i + k) % 5];
        text += "]\n";
    }
    return text;
}

void run() {
    std::string text = generate(10u << 20);
    double best = 1e9;
    for (int round = 0; round < 5; round++) {
        gc::Local result({type_none, 0, 0, 0});
        auto start = std::chrono::steady_clock::now();
        lexer::load_utf8(text.data(), int32_t(text.size()), &result);
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (seconds < best) best = seconds;
    }
    std::printf("lexer %.1f MB in %.3f s: %.1f MB/s\n", double(text.size()) / (1 << 20), best,
                double(text.size()) / (1 << 20) / best);
}

}  // namespace

int main(int argc, char** argv) { entry::run(argc, argv, run); }
