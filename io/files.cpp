#include "io/files.h"

#include <string.h>
#include <time.h>

#include <cerrno>
#include <cstdint>
#include <vector>

#include "datatypes/actions.h"
#include "datatypes/binary.h"
#include "datatypes/block.h"
#include "datatypes/date.h"
#include "datatypes/file-url.h"
#include "datatypes/string.h"
#include "memory/collector.h"
#include "memory/raise-error.h"
#include "memory/series.h"
#include "memory/unicode.h"
#include "platform/file-system.h"

namespace vum::files {

namespace {

// The most bytes a series can hold.
constexpr int64_t size_limit = INT32_MAX;

const Cell none_cell = {type_none, 0, 0, 0};

// errno is read at once, before anything else can change it.
[[noreturn]] void cannot_open(const Cell* file) { raise_cannot_open(file, errno); }

// ---- Reading ----

// Made with room for every byte, the binary takes them in one copy.
Cell binary_of(const std::string& bytes) {
    gc::Local out(binary::make_cell(int32_t(bytes.size())));
    binary::append_bytes_raw(out.w2, reinterpret_cast<const uint8_t*>(bytes.data()), int32_t(bytes.size()));
    return out;
}

// Text as the language keeps it: the byte-order mark dropped, every line
// ending LF. A character that the part cut short is left out.
uint32_t text_node_of(const std::string& bytes) {
    int32_t remainder = 0;
    return unicode::load_utf8_buffer(reinterpret_cast<const uint8_t*>(bytes.data()), int32_t(bytes.size()), 0,
                                     &remainder, true);
}

// One string a line: no empty string after a final line end, an empty line
// as an empty string.
Cell lines_of(const std::string& bytes) {
    uint32_t text = text_node_of(bytes);
    gc::ProtectNode keep_text(&text);
    const int32_t length = string::length(text);
    int32_t count = 0;
    for (int32_t i = 0; i < length; i++) count += string::char_at(text, i) == '\n';
    gc::Local block(none_cell);
    block_actions::make_at(&block, count + 1);
    gc::Local line(none_cell);
    auto add = [&](int32_t from, int32_t to) {
        line = {type_string, 0, series::copy_part(text, from, to - from), 0};
        block_actions::append_copy(&block, &line);
    };
    int32_t start = 0;
    for (int32_t i = 0; i < length; i++) {
        if (string::char_at(text, i) != '\n') continue;
        add(start, i);
        start = i + 1;
    }
    if (start < length) add(start, length);
    return block;
}

// A name that is not UTF-8 keeps its bytes (from_local_path), so that what
// a listing gives opens the same file again.
Cell entry_name(const platform::DirectoryEntry& entry) {
    gc::Local name(file_url::from_local_path(entry.name.data(), int32_t(entry.name.size())));
    if (entry.directory) string::append_char(name.w2, '/');
    return name;
}

Cell listing_of(const Cell* file, std::string path) {
    // "." and ".." name the directory itself.
    if (path.back() == '.') path += '/';
    std::vector<platform::DirectoryEntry> entries;
    if (!platform::list_directory(path.c_str(), &entries)) cannot_open(file);
    gc::Local block(none_cell);
    block_actions::make_at(&block, int32_t(entries.size()));
    gc::Local name(none_cell);
    for (const platform::DirectoryEntry& entry : entries) {
        name = entry_name(entry);
        block_actions::append_copy(&block, &name);
    }
    return block;
}

// The bytes of a file; the errors of read.
std::string file_bytes(const Cell* file, const std::string& path, int64_t seek, int64_t part) {
    std::string bytes;
    switch (platform::read_file(path.c_str(), seek, part, size_limit, &bytes)) {
        case platform::ReadStatus::ok: break;
        case platform::ReadStatus::cannot_open: cannot_open(file);
        case platform::ReadStatus::too_long: errors::raise(err::script::too_long);
    }
    return bytes;
}

// ---- Writing ----

// The UTF-8 of at most `limit` characters (all when negative).
std::string utf8_part(const Cell* text, int32_t limit) {
    std::string bytes = string::to_utf8(text);
    if (limit < 0) return bytes;
    size_t at = 0;
    for (int32_t n = 0; at < bytes.size() && n < limit; n++) {
        at++;
        while (at < bytes.size() && (uint8_t(bytes[at]) & 0xC0) == 0x80) at++;
    }
    bytes.resize(at);
    return bytes;
}

// What a value writes as: a string its UTF-8, a binary its bytes, both cut
// to the limit when it is 1 or more; anything else its molded text.
void append_bytes_of(const Cell* value, int32_t limit, std::string& out) {
    if (limit < 1) limit = -1;
    switch (cell::type(value)) {
        case type_string: out += utf8_part(value, limit); break;
        case type_binary: {
            std::string bytes = binary::to_bytes(value);
            if (limit >= 0 && size_t(limit) < bytes.size()) bytes.resize(size_t(limit));
            out += bytes;
            break;
        }
        default: out += actions::mold_text(value); break;
    }
}

std::string bytes_to_write(const Cell* value, int32_t limit, bool lines) {
    std::string out;
    if (!lines || cell::type(value) != type_block) {
        append_bytes_of(value, limit, out);
        if (lines) out += '\n';
        return out;
    }
    // Molding may allocate and move the block's buffer: each element is
    // copied out by its index.
    // With lines, the part counts the values of the block.
    gc::Local block(*value);
    gc::Local element(none_cell);
    for (int32_t i = int32_t(block.w1), n = 0; i < block_actions::buffer_length(block.w2); i++, n++) {
        if (limit >= 1 && n >= limit) break;
        element = *block_actions::cell_at(block.w2, i);
        append_bytes_of(&element, -1, out);
        out += '\n';
    }
    return out;
}

}  // namespace

void raise_cannot_open(const Cell* file, int os_error) {
    gc::Local name(*file);
    if (os_error == 0) errors::raise(err::access::cannot_open, &name);
    char text[256];
    gc::Local reason(string::from_utf8(strerror_r(os_error, text, sizeof text)));
    errors::raise(err::access::cannot_open, &name, &reason);
}

bool is_directory_path(std::string_view path) {
    if (path.empty()) return false;
    if (path.back() == '/' || path == "." || path == "..") return true;
    auto ends_with = [&](std::string_view tail) {
        return path.size() >= tail.size() && path.substr(path.size() - tail.size()) == tail;
    };
    return ends_with("/.") || ends_with("/..");
}

void read(const Cell* file, const Cell* part, const Cell* seek, bool binary, bool lines, Cell* result) {
    gc::Local name(*file);
    const std::string path = file_url::to_os_path(&name);
    if (is_directory_path(path)) {
        *result = listing_of(&name, path);
        return;
    }
    int64_t from = 0;
    if (seek) {
        from = cell::get_integer(seek);
        if (from < 0) errors::raise_refine_arg("seek", seek);
    }
    int64_t count = part ? cell::get_integer(part) : -1;
    const std::string bytes = file_bytes(&name, path, from, count < 0 ? -1 : count);
    value_of_bytes(bytes, binary, lines, result);
}

void value_of_bytes(const std::string& bytes, bool binary, bool lines, Cell* result) {
    if (binary) *result = binary_of(bytes);
    else if (lines) *result = lines_of(bytes);
    else *result = {type_string, 0, text_node_of(bytes), 0};
}

void write(const Cell* file, const Cell* value, const Cell* part, const Cell* seek, bool append, bool lines,
           Cell* result) {
    gc::Local name(*file);
    gc::Local data(*value);
    const std::string path = file_url::to_os_path(&name);
    int64_t at = -1;
    if (seek) {
        if (cell::type(seek) != type_integer) errors::raise_refine_arg("seek", seek);
        at = cell::get_integer(seek);
        if (at < 0) {
            cell::make_integer(result, -1);
            return;
        }
    }
    const int32_t limit = part && cell::type(part) == type_integer ? cell::get_integer(part) : -1;
    const std::string bytes = bytes_to_write(&data, limit, lines);
    if (!platform::write_file(path.c_str(), bytes.data(), bytes.size(), at, append)) cannot_open(&name);
    cell::make_unset(result);
}

bool remove(const Cell* file) {
    const std::string path = file_url::to_os_path(file);
    return platform::remove_path(path.c_str(), is_directory_path(path));
}

void query(const Cell* file, Cell* result) {
    const std::string path = file_url::to_os_path(file);
    platform::PathFacts facts;
    if (!platform::path_facts(path.c_str(), &facts) || (is_directory_path(path) && !facts.directory)) {
        cell::make_none(result);
        return;
    }
    time_t seconds = time_t(facts.modified_seconds);
    tm parts{};
    gmtime_r(&seconds, &parts);
    // Kept to the millisecond, as file times are given.
    int32_t nanoseconds = facts.modified_nanoseconds / 1000000 * 1000000;
    date_type::make_at_from_fields(result, parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
                                   parts.tm_min, parts.tm_sec, nanoseconds);
}

bool rename(const Cell* from, const Cell* to) {
    if (cell::type(to) != type_file) errors::raise(err::script::invalid_arg, to);
    const std::string old_path = file_url::to_os_path(from);
    const std::string new_path = file_url::to_os_path(to);
    return platform::rename_path(old_path.c_str(), new_path.c_str());
}

void size(const Cell* file, Cell* result) {
    const std::string path = file_url::to_os_path(file);
    int64_t bytes = is_directory_path(path) ? -1 : platform::readable_file_size(path.c_str());
    if (bytes < 0) {
        cell::make_none(result);
        return;
    }
    if (bytes > size_limit) errors::raise(err::script::too_long);
    cell::make_integer(result, int32_t(bytes));
}

std::string read_bytes(const Cell* file) {
    gc::Local name(*file);
    return file_bytes(&name, file_url::to_os_path(&name), 0, -1);
}

}  // namespace vum::files
