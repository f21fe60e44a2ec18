#include "environment/boot-image.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "base/console-output.h"
#include "base/runtime-init.h"
#include "base/runtime-record.h"
#include "datatypes/actions.h"
#include "datatypes/error.h"
#include "datatypes/string.h"
#include "engine/interpreter.h"
#include "environment/source-runner.h"
#include "io/vumbin-decoder.h"
#include "io/vumbin-encoder.h"
#include "memory/collector.h"
#include "memory/memory-manager.h"
#include "memory/series.h"
#include "memory/unicode.h"
#include "memory/value-stack.h"

namespace vum::boot {

namespace {

constexpr int32_t first_module_cell = 2;

std::string report_of(const Cell* error) {
    return cell::type(error) == type_error ? error::form_report(error) : actions::mold_text(error);
}

void write_stderr(const std::string& text) {
    output::flush();
    ssize_t ignored = ::write(STDERR_FILENO, text.data(), text.size());
    (void)ignored;
}

std::vector<uint8_t> read_file(const char* path, bool* ok) {
    std::vector<uint8_t> bytes;
    FILE* f = std::fopen(path, "rb");
    *ok = f != nullptr;
    if (!f) return bytes;
    uint8_t chunk[65536];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) bytes.insert(bytes.end(), chunk, chunk + n);
    *ok = !std::ferror(f);
    std::fclose(f);
    return bytes;
}

// The root cells from the image's first, or null when there are fewer than
// n (other permanent values follow them).
const Cell* root_cells(int32_t n) {
    if (!rt.boot_image) return nullptr;
    int32_t base = vumbin::root_base_index();
    if (series::length_from_head(&gc::roots.root_block) - base < n) return nullptr;
    return series::cells_head(gc::roots.root_block.w2) + base;
}

// The root cells from the image's first on: its own, and those made after.
int32_t added_root_cells() {
    return rt.boot_image ? series::length_from_head(&gc::roots.root_block) - vumbin::root_base_index() : 0;
}

// One source loaded into a block that stands after its header, as
// run_source would run it; *out (stable) gets the block.
bool load_source(const Source& source, Cell* out, std::string* report) {
    std::string_view text(source.text, size_t(source.length));
    int64_t header = source::find_header(text);
    if (header > 0) text.remove_prefix(size_t(header));
    if (!source::load(text, out)) {
        *report = report_of(out);
        return false;
    }
    if (header >= 0 && source::skip_header(out) != source::Header::found) {
        *report = "*** Error: not a Vum program!";
        return false;
    }
    return true;
}

}  // namespace

ImageBytes choose_image(ImageBytes embedded) {
    const char* path = std::getenv("VUM_BOOT_IMAGE");
    if (!path || !*path) return embedded;
    static std::vector<uint8_t> from_file;
    bool ok = false;
    from_file = read_file(path, &ok);
    if (!ok) {
        write_stderr(std::string("*** Start-up failed: cannot read the boot image ") + path + "\n");
        std::_Exit(1);
    }
    return {from_file.data(), int64_t(from_file.size())};
}

bool make_image(const std::vector<Source>& extra, std::string* bytes, std::string* report) {
    std::vector<Source> sources(embedded_sources, embedded_sources + embedded_source_count);
    sources.insert(sources.end(), extra.begin(), extra.end());
    auto count = int32_t(sources.size());
    stack::Mark mark;
    Cell* roots = stack::push_cell();
    cell::make_series(roots, type_block, memory::alloc_cells(first_module_cell + 2 * count));
    *series::alloc_tail(roots) = error::catalogue();
    cell::make_integer(series::alloc_tail(roots), count);
    Cell* code = stack::push_cell();
    for (const Source& source : sources) {
        if (!load_source(source, code, report)) {
            *report = std::string(source.name) + ":\n" + *report;
            return false;
        }
        auto name = reinterpret_cast<const uint8_t*>(source.name);
        gc::Local file({type_file, 0, unicode::load_utf8_new(name, int32_t(std::char_traits<char>::length(source.name))), 0});
        *series::alloc_tail(roots) = file;
        *series::alloc_tail(roots) = *code;
    }
    Cell* image = stack::push_cell();
    if (!source::guarded("encode", [&] { vumbin::encode_boot_image(roots, image); }, image)) {
        *report = report_of(image);
        return false;
    }
    SeriesBuffer* b = nodes::buffer(image->w2);
    bytes->assign(reinterpret_cast<const char*>(b->head_ptr()), b->count());
    return true;
}

int32_t image_module_count() {
    const Cell* roots = root_cells(first_module_cell);
    if (!roots || cell::type(&roots[0]) != type_object || roots[0].w1 != error::catalogue().w1 ||
        cell::type(&roots[1]) != type_integer)
        return -1;
    int32_t n = cell::get_integer(&roots[1]);
    if (n < 0 || n > (added_root_cells() - first_module_cell) / 2) return -1;
    for (int32_t i = first_module_cell; i < first_module_cell + 2 * n; i += 2)
        if (cell::type(&roots[i]) != type_file || cell::type(&roots[i + 1]) != type_block) return -1;
    return n;
}

bool run_image_module(int32_t i, std::string* name, std::string* report) {
    const Cell* roots = root_cells(first_module_cell + 2 * i + 2);
    // The cells are copied out: the root block may grow (and move) while
    // the code runs.
    Cell cells[3] = {roots[first_module_cell + 2 * i], roots[first_module_cell + 2 * i + 1], {}};
    gc::Protect keep(cells, 3);
    *name = string::to_utf8(&cells[0]);
    if (eval::evaluate_protected(&cells[1], &cells[2])) {
        *report = report_of(&cells[2]);
        return false;
    }
    return true;
}

bool timing_each_module() {
    const char* timing = std::getenv("VUM_BOOT_TIMING");
    return timing && std::string_view(timing) == "modules";
}

void report_module_timing(const std::string& name, int64_t run_ns) {
    char line[160];
    std::snprintf(line, sizeof line, "  %.3f ms  ", double(run_ns) / 1e6);
    write_stderr(line + name + "\n");
}

void report_timing(int64_t run_ns) {
    if (!std::getenv("VUM_BOOT_TIMING")) return;
    char line[160];
    std::snprintf(line, sizeof line, "boot image: decode %.3f ms, run %.3f ms\n",
                  double(runtime::boot_image_decode_ns) / 1e6, double(run_ns) / 1e6);
    write_stderr(line);
}

}  // namespace vum::boot
