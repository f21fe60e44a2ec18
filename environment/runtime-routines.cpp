#include "environment/runtime-routines.h"

#include <cerrno>
#include <string>

#include "base/console-output.h"
#include "base/os-services.h"
#include "base/system-throw.h"
#include "datatypes/actions.h"
#include "datatypes/block.h"
#include "datatypes/file-url.h"
#include "datatypes/function.h"
#include "datatypes/image.h"
#include "datatypes/integer.h"
#include "datatypes/object.h"
#include "datatypes/string.h"
#include "datatypes/tuple.h"
#include "engine/interpreter.h"
#include "engine/natives-service.h"
#include "io/files.h"
#include "memory/context.h"
#include "memory/memory-manager.h"
#include "memory/raise-error.h"
#include "memory/series.h"
#include "memory/symbols.h"
#include "memory/unicode.h"
#include "memory/value-stack.h"
#include "platform/window-system/window-system-module.h"
#include "platform/image-codecs.h"

namespace vum::boot {

namespace {

using routines::MachineValue;

// What a routine gives when the result slot holds its result, or when a
// logic! or integer! result type reads `integer`.
MachineValue none_returned() { return MachineValue{.integer = 0}; }
MachineValue integer(int32_t n) { return MachineValue{.integer = n}; }

// The result slot is the first argument's cell: read the arguments first.
Cell* result() { return stack::result(); }
MachineValue set_unset() {
    cell::make_unset(result());
    return none_returned();
}

// script expect-arg: the routine's name, the value's datatype and the
// argument's word.
[[noreturn]] void refuse(const Cell* value, const char* argument) {
    Cell name = stack::frame_name_for_error();
    Cell type = cell::make_datatype(cell::type(value));
    Cell word = context::load_word(argument);
    errors::raise(err::script::expect_arg, &name, &type, &word);
}

// ---- The process ----

MachineValue quit_return(const MachineValue* args, int32_t) {
    output::flush();
    sys::exit_process(args[0].integer);
}

// ---- Quiet assignments ----

bool is_word_kind(uint8_t t) {
    return t == type_word || t == type_set_word || t == type_get_word || t == type_lit_word;
}

MachineValue set_quiet(const MachineValue* args, int32_t) {
    const Cell* target = args[0].cell;
    if (!is_word_kind(cell::type(target))) refuse(target, "word");
    Cell word = *target;
    if (word.w1 == 0) {
        cell::set_type(&word, type_word);
        errors::raise(err::script::not_defined, &word);
    }
    context::set_in(&word, args[1].cell, word.w1, false);
    *result() = *args[1].cell;
    return none_returned();
}

bool is_slotted_series(uint8_t t) {
    return t == type_block || t == type_paren || t == type_path || t == type_lit_path || t == type_set_path ||
           t == type_get_path;
}

MachineValue set_slot_quiet(const MachineValue* args, int32_t) {
    const Cell* series = args[0].cell;
    if (!is_slotted_series(cell::type(series))) refuse(series, "series");
    if (series->w1 < nodes::buffer(series->w2)->count()) series::cells_mut(series->w2)[series->w1] = *args[1].cell;
    return set_unset();
}

// ---- Shifts ----

template <integer_type::Shift kind>
MachineValue shift(const MachineValue* args, int32_t) {
    cell::make_integer(result(), integer_type::shift(args[0].integer, args[1].integer, kind));
    return none_returned();
}

// ---- Output ----

MachineValue last_lf(const MachineValue*, int32_t) {
    cell::make_logic(result(), natives::last_newline() != 0);
    return none_returned();
}

MachineValue write_stdout(const MachineValue* args, int32_t) {
    const Cell* data = args[0].cell;
    if (cell::type(data) == type_string) {
        natives::write_to_standard_output(data, 0);
    } else if (cell::type(data) == type_binary) {
        SeriesBuffer* bytes = nodes::buffer(data->w2);
        uint32_t from = data->w1 < bytes->count() ? data->w1 : bytes->count();
        output::write_raw(reinterpret_cast<const char*>(bytes->head_ptr()) + from, int32_t(bytes->count() - from));
    } else {
        std::string text = actions::form_text(data);
        output::write_raw(text.data(), int32_t(text.size()));
    }
    return set_unset();
}

// ---- Files and directories ----

MachineValue get_current_dir(const MachineValue*, int32_t) {
    *result() = file_url::current_dir();
    return none_returned();
}

MachineValue set_current_dir(const MachineValue* args, int32_t) {
    if (!platform::set_current_dir(file_url::to_os_path(args[0].cell).c_str()))
        files::raise_cannot_open(args[0].cell, errno);
    return set_unset();
}

MachineValue create_dir(const MachineValue* args, int32_t) {
    if (!platform::make_dir(file_url::to_os_path(args[0].cell).c_str()))
        errors::raise(err::access::no_create, args[0].cell);
    return set_unset();
}

MachineValue exists(const MachineValue* args, int32_t) {
    return integer(platform::path_exists(file_url::to_os_path(args[0].cell).c_str()));
}

// name, arch, version, build: the fields in that order, each word made in
// the global context first.
MachineValue os_info(const MachineValue*, int32_t) {
    platform::OsDescription os = platform::describe_os();
    Cell* object = result();
    object_type::make_at(object, 8);
    Cell* value = stack::push_cell();
    auto add = [&](const char* field) {
        Cell word = context::load_word(field);
        context::add_word_with_value(object->w1, int32_t(word.w2), value);
    };
    *value = string::from_utf8(os.name.c_str());
    add("name");
    *value = context::load_word(os.arch);
    add("arch");
    uint8_t version[3] = {uint8_t(os.version[0]), uint8_t(os.version[1]), uint8_t(os.version[2])};
    tuple_type::make_at(value, version, 3);
    add("version");
    cell::make_integer(value, os.build);
    add("build");
    stack::drop(1);
    return none_returned();
}

// ---- Tuples from components ----

// The first negative component raises script invalid-arg with it; the
// others become bytes, each its low byte (what a component above 255
// should give is not settled, and its low byte is what storing it gives).
void make_tuple(const MachineValue* args, int32_t n) {
    uint8_t bytes[4];
    for (int32_t i = 0; i < n; i++) {
        if (args[i].integer < 0) {
            Cell bad;
            cell::make_integer(&bad, args[i].integer);
            errors::raise(err::script::invalid_arg, &bad);
        }
        bytes[i] = uint8_t(args[i].integer & 0xFF);
    }
    tuple_type::make_at(result(), bytes, n);
}

MachineValue as_color(const MachineValue* args, int32_t) {
    make_tuple(args, 3);
    return none_returned();
}

MachineValue as_four_bytes(const MachineValue* args, int32_t) {
    make_tuple(args, 4);
    return none_returned();
}

// ---- Binaries ----

// Both positions are read in the first binary's buffer.
MachineValue count_chars(const MachineValue* args, int32_t) {
    SeriesBuffer* bytes = nodes::buffer(args[0].cell->w2);
    uint32_t tail = bytes->count();
    uint32_t from = args[0].cell->w1 < tail ? args[0].cell->w1 : tail;
    uint32_t to = args[1].cell->w1 < tail ? args[1].cell->w1 : tail;
    if (to <= from) return integer(0);
    return integer(unicode::count_utf8_chars(bytes->head_ptr() + from, bytes->head_ptr() + to));
}

// ---- The value stack and the interpreter ----

int32_t stack_size() { return int32_t(stack::s.args_top - stack::s.args_begin); }

MachineValue stack_size_routine(const MachineValue*, int32_t) { return integer(stack_size()); }

// ---- Test hooks (boot-loader.cpp) ----

// The bytes malloc holds, as stats gives its figures: an integer, or a
// float past the integers.
MachineValue malloc_bytes(const MachineValue*, int32_t) {
    double bytes = memory::malloc_bytes_in_use();
    if (bytes > 2147483647.0)
        cell::make_float(result(), bytes);
    else
        cell::make_integer(result(), int32_t(bytes));
    return none_returned();
}

MachineValue pick_stack(const MachineValue* args, int32_t) {
    int32_t index = args[0].integer;
    if (index > 0 && index < stack_size())
        *result() = stack::s.args_begin[index - 1];
    else
        cell::make_none(result());
    return none_returned();
}

MachineValue frame_index(const MachineValue*, int32_t) {
    return integer(int32_t(stack::s.args - stack::s.args_begin));
}

MachineValue collect_calls(const MachineValue* args, int32_t) {
    stack::collect_trace(args[0].cell);
    return set_unset();
}

// A traced run is on while compiled code runs inside it too (paused): the
// tracer's own functions ask from there.
MachineValue tracing(const MachineValue*, int32_t) {
    cell::make_logic(result(), trace::running());
    return none_returned();
}

MachineValue tracing_switch(const MachineValue* args, int32_t) {
    trace::set_reporting(args[0].integer != 0);
    return set_unset();
}

// ---- The clipboard ----

// Text comes back as a string!, files as a block of file!, a PNG as an
// image!, false when the clipboard could not be read and none when it holds
// nothing this side reads (or an image that does not decode).
MachineValue read_clipboard(const MachineValue*, int32_t) {
    clip::Content content;
    switch (clip::read_system_clipboard(content)) {
    case clip::ReadStatus::failed:
        cell::make_logic(result(), false);
        return none_returned();
    case clip::ReadStatus::empty:
        cell::make_none(result());
        return none_returned();
    case clip::ReadStatus::ok:
        break;
    }
    if (content.kind == clip::Content::Kind::text) {
        *result() = string::from_utf8(content.text.c_str());
    } else if (content.kind == clip::Content::Kind::files) {
        stack::Mark mark;
        Cell* files = block_actions::push_new(int32_t(content.files.size()));
        for (const std::string& path : content.files) {
            Cell* file = stack::push_cell();
            *file = file_url::from_local_path(path.data(), int32_t(path.size()));
            block_actions::append_copy(files, file);
            stack::s.args_top = file;
        }
        *result() = *files;
    } else if (content.kind == clip::Content::Kind::png) {
        imaging::Pixels pixels;
        if (imaging::decode(content.png.data(), content.png.size(), &pixels))
            image::make_from_pixels(result(), std::move(pixels), 0, true, false);
        else
            cell::make_none(result());
    } else {
        cell::make_none(result());
    }
    return none_returned();
}

// A string!, a block of file! values, an image! (served as PNG), or none
// (which empties the clipboard); anything else is refused with false.
MachineValue write_clipboard(const MachineValue* args, int32_t) {
    const Cell* data = args[0].cell;
    clip::Content content;
    switch (cell::type(data)) {
    case type_none:
        break;
    case type_string:
        content.kind = clip::Content::Kind::text;
        content.text = string::to_utf8(data);
        break;
    case type_block: {
        content.kind = clip::Content::Kind::files;
        // to_os_path allocates nothing, so the buffer stays where it is.
        for (uint32_t i = data->w1; i < nodes::buffer(data->w2)->count(); ++i) {
            const Cell* item = series::cells_head(data->w2) + i;
            if (cell::type(item) != type_file) return integer(0);
            content.files.push_back(file_url::to_os_path(item));
        }
        break;
    }
    case type_image: {
        // An image without pixels has no PNG form.
        if (image::pixel_count(data) == 0) return integer(0);
        content.kind = clip::Content::Kind::png;
        if (!imaging::encode(image::pixels_of(data), imaging::Format::png, &content.png)) return integer(0);
        break;
    }
    default:
        return integer(0);
    }
    return integer(clip::write_system_clipboard(content) ? 1 : 0);
}

}  // namespace

void register_runtime_routines() {
    using integer_type::Shift;
    const struct {
        const char* name;
        routines::RoutineFn code;
    } table[] = {
        {"quit-return", quit_return},
        {"set-quiet", set_quiet},
        {"set-slot-quiet", set_slot_quiet},
        {"shift-right", shift<Shift::right>},
        {"shift-left", shift<Shift::left>},
        {"shift-logical", shift<Shift::logical>},
        {"last-lf?", last_lf},
        {"get-current-dir", get_current_dir},
        {"set-current-dir", set_current_dir},
        {"create-dir", create_dir},
        {"exists?", exists},
        {"os-info", os_info},
        {"as-color", as_color},
        {"as-ipv4", as_four_bytes},
        {"as-rgba", as_four_bytes},
        {"count-chars", count_chars},
        {"stack-size?", stack_size_routine},
        {"pick-stack", pick_stack},
        {"frame-index?", frame_index},
        {"collect-calls", collect_calls},
        {"tracing?", tracing},
        {"tracing-switch", tracing_switch},
        {"read-clipboard", read_clipboard},
        {"write-clipboard", write_clipboard},
        {"write-stdout", write_stdout},
        {"malloc-bytes", malloc_bytes},
    };
    for (const auto& r : table) routines::register_routine(r.name, r.code);
}

}  // namespace vum::boot
