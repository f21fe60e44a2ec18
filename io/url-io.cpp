#include "io/url-io.h"

#include <strings.h>

#include <string>
#include <vector>

#include "datatypes/actions.h"
#include "datatypes/binary.h"
#include "datatypes/block.h"
#include "datatypes/map.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "io/files.h"
#include "memory/collector.h"
#include "memory/interrupt.h"
#include "memory/raise-error.h"
#include "memory/symbols.h"
#include "platform/http-client.h"

namespace vum::url_io {

namespace {

const Cell none_cell = {type_none, 0, 0, 0};

bool is_word_kind(uint8_t t) {
    return t == type_word || t == type_set_word || t == type_lit_word || t == type_get_word;
}

std::string formed(const Cell* value) {
    if (cell::type(value) == type_string) return string::to_utf8(value);
    gc::Local v(*value);
    gc::Local text(string::make_cell(32));
    actions::call_form(&v, text.w2, false, -1);
    return string::to_utf8(&text);
}

std::string upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    return s;
}

// get, head and post are the usual three; any other word is its own
// spelling upper-cased (put, delete, options ...).
std::string method_text(const Cell* method) {
    if (!method || !is_word_kind(cell::type(method))) return "GET";
    return upper(symbols::text(int32_t(method->w2)));
}

// No header block: what a browser-like client says of itself. A block:
// its names and values, pair by pair (a name left without a value is
// dropped).
platform::http::HeaderList header_list(const Cell* headers) {
    if (!headers || !block_actions::is_any_block(cell::type(headers)))
        return {{"Content-Type", "application/x-www-form-urlencoded"},
                {"Accept-Charset", "UTF-8"},
                {"User-Agent", "Mozilla/5.0 (X11; Linux x86_64)"}};
    platform::http::HeaderList list;
    gc::Local block(*headers);
    const int32_t end = block_actions::buffer_length(block.w2);
    for (int32_t i = int32_t(block.w1); i + 1 < end; i += 2) {
        Cell name = *block_actions::cell_at(block.w2, i);
        Cell value = *block_actions::cell_at(block.w2, i + 1);
        std::string name_text = is_word_kind(cell::type(&name)) ? symbols::text(int32_t(name.w2)) : formed(&name);
        std::string value_text = formed(&value);
        list.emplace_back(std::move(name_text), std::move(value_text));
    }
    return list;
}

std::string body_bytes(const Cell* data) {
    if (cell::type(data) == type_binary) return binary::to_bytes(data);
    if (cell::type(data) == type_string) return string::to_utf8(data);
    return formed(data);
}

Cell string_of(const std::string& s) {
    return string::from_utf8(s.c_str());
}

// The reply's headers as a map: one key a name (names equal but for case
// are one name, kept as first seen), a string, or a block of strings when
// the name came more than once.
Cell header_map(const platform::http::HeaderList& headers) {
    std::vector<std::pair<std::string, std::vector<std::string>>> grouped;
    for (const auto& [name, value] : headers) {
        auto it = grouped.begin();
        while (it != grouped.end() && strcasecmp(it->first.c_str(), name.c_str()) != 0) ++it;
        if (it == grouped.end()) grouped.push_back({name, {value}});
        else it->second.push_back(value);
    }
    gc::Local map(none_cell);
    map_type::make_at(&map, nullptr, int32_t(grouped.size()));
    gc::Local key(none_cell);
    gc::Local value(none_cell);
    gc::Local item(none_cell);
    for (const auto& [name, values] : grouped) {
        word::make_at(symbols::make_from_utf8(name.data(), int32_t(name.size())), &key);
        if (values.size() == 1) {
            value = string_of(values[0]);
        } else {
            block_actions::make_at(&value, int32_t(values.size()));
            for (const std::string& v : values) {
                item = string_of(v);
                block_actions::append_copy(&value, &item);
            }
        }
        map_type::set_value(&map, &key, &value, false);
    }
    return map;
}

[[noreturn]] void not_done() { errors::raise(err::internal::not_done); }

void checked_request(const Cell* url, const Cell* method, const Cell* headers, const Cell* data, bool binary,
                     bool lines, bool info, Cell* result) {
    gc::Local where(*url);
    gc::Local reply(none_cell);
    std::string why;
    request(method, &where, headers, data, binary, lines, info, &reply, &why);
    if (cell::type(&reply) == type_none) {
        if (why.empty()) errors::raise(err::access::no_connect, &where);
        gc::Local reason(string_of(why));
        errors::raise(err::access::no_connect, &where, &reason);
    }
    *result = reply;
}

}  // namespace

bool is_http(const Cell* url) {
    std::string text = string::to_utf8(url);
    return text.size() >= 4 && strncasecmp(text.c_str(), "http", 4) == 0;
}

void request(const Cell* method, const Cell* url, const Cell* headers, const Cell* data, bool binary, bool lines,
             bool info, Cell* result, std::string* why) {
    platform::http::Request r;
    r.method = method_text(method);
    // The molded form of a url! is the URL as it goes out: escapes the text
    // keeps stay as they are, what needs escaping is escaped.
    r.url = cell::type(url) == type_url ? actions::mold_text(url) : string::to_utf8(url);
    r.headers = header_list(headers);
    if (data && cell::type(data) != type_none) {
        r.has_body = true;
        r.body = body_bytes(data);
    }
    r.cancel = &interrupt::requested;
    platform::http::Reply reply;
    platform::http::Outcome outcome = platform::http::perform(r, &reply, why);
    // A transfer an interrupt cut short halts rather than failing.
    interrupt::poll();
    switch (outcome) {
        case platform::http::Outcome::failed: *result = none_cell; return;
        case platform::http::Outcome::too_large: errors::raise(err::script::too_long);
        case platform::http::Outcome::done: break;
    }
    gc::Local body(none_cell);
    files::value_of_bytes(reply.body, binary, lines, &body);
    reply.body.clear();
    reply.body.shrink_to_fit();
    if (!info) {
        *result = body;
        return;
    }
    gc::Local block(none_cell);
    block_actions::make_at(&block, 3);
    gc::Local status(none_cell);
    cell::make_integer(&status, int32_t(reply.status));
    block_actions::append_copy(&block, &status);
    gc::Local map(header_map(reply.headers));
    block_actions::append_copy(&block, &map);
    block_actions::append_copy(&block, &body);
    *result = block;
}

void read(const Cell* url, const Cell* part, const Cell* seek, bool binary, bool lines, bool info, const Cell* as,
          Cell* result) {
    if (part || seek || as) not_done();
    gc::Local method(none_cell);
    word::make_at(symbols::make("get"), &method);
    checked_request(url, &method, nullptr, nullptr, binary, lines, info, result);
}

void write(const Cell* url, const Cell* value, bool binary, bool lines, bool info, const Cell* seek,
           const Cell* allow, const Cell* as, Cell* result) {
    if (seek || allow || as) not_done();
    gc::Local where(*url);
    gc::Local given(*value);
    gc::Local method(none_cell);
    gc::Local headers(none_cell);
    gc::Local data(none_cell);
    if (cell::type(&given) == type_block) {
        // [method headers data]: each optional from the back.
        const int32_t n = block_actions::length_from_head(&given);
        const Cell* at = block_actions::cell_at(given.w2, int32_t(given.w1));
        if (n == 0) {
            word::make_at(symbols::make("get"), &method);
        } else {
            method = at[0];
            if (!is_word_kind(cell::type(&method))) errors::raise(err::script::invalid_arg, &method);
            if (n > 1) {
                headers = at[1];
                if (cell::type(&headers) != type_block) errors::raise(err::script::invalid_arg, &headers);
            }
            if (n > 2) data = at[2];
        }
    } else {
        word::make_at(symbols::make("post"), &method);
        data = given;
    }
    const uint8_t t = cell::type(&data);
    if (t != type_none && t != type_block && t != type_string && t != type_binary)
        errors::raise(err::script::invalid_arg, &data);
    checked_request(&where, &method, cell::type(&headers) == type_none ? nullptr : &headers, &data, binary, lines,
                    info, result);
}

}  // namespace vum::url_io
