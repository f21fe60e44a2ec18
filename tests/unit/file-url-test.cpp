#include <gtest/gtest.h>

#include <string>

#include "datatype-fixture.h"
#include "datatypes/file-url.h"
#include "datatypes/registry.h"
#include "datatypes/string-text.h"
#include "datatypes/string.h"
#include "memory/unicode.h"

using namespace vum;

namespace {

class FileUrlTest : public DatatypeTest {
protected:
    static Cell* push(const Cell& c) {
        Cell* slot = stack::push_cell();
        *slot = c;
        return slot;
    }
    static Cell* text(const char* utf8, uint8_t type = type_string) {
        Cell* c = push(string::from_utf8(utf8));
        cell::set_type(c, type);
        return c;
    }
    static std::string utf8(const Cell* c) { return string::to_utf8(c); }
    static Cell* to(uint8_t type, const Cell* spec) {
        Cell proto = {type_datatype, type, 0, 0};
        Cell* r = push({type_none, 0, 0, 0});
        actions::handler<actions::slot_to>(type)(&proto, spec, type, r);
        return r;
    }
    static std::string dehex(const char* input) {
        Cell* out = push(string::make_cell(8));
        file_url::decode_string(text(input), out->w2);
        return utf8(out);
    }
    static std::string enhex(const Cell* value, int32_t mode) {
        Cell* out = push(string::make_cell(8));
        file_url::encode_string(value, out->w2, mode);
        return utf8(out);
    }
    // The text a reader of a molded file gets back: the bare form as it
    // stands, the quoted form with its "^" escapes undone.
    static std::string load_file(const std::string& molded) {
        std::u32string chars;
        const auto* p = reinterpret_cast<const uint8_t*>(molded.data());
        const uint8_t* end = p + molded.size();
        while (p < end) {
            int32_t cp;
            p = unicode::decode_utf8_char(p, end, &cp);
            chars += char32_t(cp);
        }
        EXPECT_EQ(chars[0], U'%');
        std::u32string body = chars.substr(1);
        std::u32string name;
        if (!body.empty() && body[0] == U'"') {
            EXPECT_EQ(body.back(), U'"');
            body = body.substr(1, body.size() - 2);
            for (size_t i = 0; i < body.size();) {
                EXPECT_NE(body[i], U'"') << "an unescaped quote ends the name early";
                uint32_t cp;
                int32_t n = body[i] == U'^' ? string::read_escape(body.data() + i, body.data() + body.size(), &cp) : 0;
                if (n > 0) {
                    name += char32_t(cp);
                    i += size_t(n);
                } else {
                    name += body[i++];
                }
            }
        } else {
            name = body;
        }
        std::string out;
        for (char32_t c : name) {
            char buf[4];
            out.append(buf, size_t(unicode::encode_utf8_char(uint32_t(c), buf)));
        }
        return out;
    }
};

TEST_F(FileUrlTest, UrlsMoldWithPercentEscapes) {
    Cell* u = to(type_url, text("http://x/a b/\xC3\xA9"));
    EXPECT_EQ(cell::type(u), type_url);
    EXPECT_EQ(mold(*u), "http://x/a%20b/%C3%A9");
    EXPECT_EQ(form(*u), "http://x/a b/\xC3\xA9");
    EXPECT_EQ(mold(*text("http://h/q?a=1&b=[2]#f", type_url)), "http://h/q?a=1&b=%5B2%5D#f");
    Cell* out = push(string::make_cell(8));
    actions::call_mold(u, out->w2, false, false, false, true, 10, 0);
    EXPECT_EQ(utf8(out), "http://x/a");
}

TEST_F(FileUrlTest, Dehex) {
    struct Case {
        const char* input;
        const char* expected;
    } cases[] = {
        {"a%20b", "a b"},
        {"%C3%A9", "\xC3\xA9"},
        {"%zz", "%zz"},
        {"%", "%"},
        {"50%", "50%"},
        {"%E9abc", "%E9abc"},      // a lead byte without its continuation escapes
        {"%F0%9F%98%80!", "\xF0\x9F\x98\x80!"},
        {"%41%4a", "AJ"},
        {"\xC3\xA9%2F", "\xC3\xA9/"},
        // Escapes that start no whole, valid UTF-8 sequence stay as written;
        // an ASCII escape after them still decodes.
        {"%E2%82", "%E2%82"},
        {"%E2%82x%41", "%E2%82xA"},
        {"%82", "%82"},
        {"%C3%28", "%C3("},
        {"%C0%80", "%C0%80"},
        {"%ED%A0%80", "%ED%A0%80"},
        {"%F4%90%80%80", "%F4%90%80%80"},
        {"%FF%FE", "%FF%FE"},
    };
    for (const Case& c : cases) EXPECT_EQ(dehex(c.input), c.expected) << c.input;
    Cell u = file_url::make_decoded("http://x/%7Eme", 14);
    EXPECT_EQ(cell::type(&u), type_url);
    EXPECT_EQ(utf8(&u), "http://x/~me");
}

TEST_F(FileUrlTest, EnhexKeepsLocatorCharactersOnlyForUrls) {
    Cell* s = text("a/b:c d\xC3\xA9");
    EXPECT_EQ(enhex(s, file_url::mode_unreserved), "a%2Fb%3Ac%20d%C3%A9");
    EXPECT_EQ(enhex(s, file_url::mode_url), "a/b:c%20d%C3%A9");
}

TEST_F(FileUrlTest, FilesMoldSoTheyLoadBack) {
    struct Case {
        const char* name;
        const char* expected;
    } cases[] = {
        {"/tmp/a.txt", "%/tmp/a.txt"},
        {"/c/Program Files/x.txt", "%\"/c/Program Files/x.txt\""},
        {"", "%\"\""},
        {"caf\xC3\xA9", "%caf\xC3\xA9"},
        {"say \"hi\"", "%\"say ^(22)hi^(22)\""},
        {"a(b)c:d@e", "%\"a(b)c:d@e\""},
        {"a^b", "%\"a^^b\""},
        {"tab\there", "%\"tab^-here\""},
        {"100%", "%\"100%\""},
    };
    for (const Case& c : cases) {
        Cell* f = text(c.name, type_file);
        std::string molded = mold(*f);
        EXPECT_EQ(molded, c.expected) << c.name;
        EXPECT_EQ(load_file(molded), c.name) << molded;
    }
}

TEST_F(FileUrlTest, LocalPathsArePosix) {
    auto local = [&](const char* path, bool full) {
        Cell* out = push(string::make_cell(8));
        file_url::to_local_path(text(path, type_file), out->w2, full);
        return utf8(out);
    };
    EXPECT_EQ(local("/tmp/a", false), "/tmp/a");
    EXPECT_EQ(local("/tmp/a", true), "/tmp/a");
    EXPECT_EQ(local("a/b", false), "a/b");
    Cell* dir = push(file_url::current_dir());
    std::string cwd = utf8(dir);
    ASSERT_FALSE(cwd.empty());
    EXPECT_EQ(cwd.back(), '/');
    EXPECT_EQ(local("a/b", true), cwd + "a/b");
    EXPECT_EQ(local("", true), cwd);

    Cell f = file_url::from_local_path("/srv/x\\y", 8);
    EXPECT_EQ(cell::type(&f), type_file);
    EXPECT_EQ(utf8(&f), "/srv/x\\y");  // a backslash is part of a POSIX name

    EXPECT_EQ(file_url::to_os_path(text("/tmp/\xC3\xA9", type_file)), "/tmp/\xC3\xA9");
    Cell* with_nul = text("/tmp/a", type_file);
    string::poke_char(with_nul->w2, 4, 0);
    EXPECT_EQ(error_id(caught([&] { file_url::to_os_path(with_nul); })), "invalid-arg");
}

// A name from the system that is not UTF-8 comes back byte for byte: each
// byte outside well-formed UTF-8 stands as U+DC00 plus the byte.
TEST_F(FileUrlTest, SystemPathsKeepBytesThatAreNotUtf8) {
    auto chars = [&](const Cell* f) {
        std::u32string out;
        for (int32_t i = 0; i < string::length(f->w2); i++) out += char32_t(string::char_at(f->w2, i));
        return out;
    };
    struct Case {
        std::string bytes;
        std::u32string chars;
    } cases[] = {
        {"caf\xE9 x", U"caf\xDCE9 x"},
        {"a\xE2\x82z", U"a\xDCE2\xDC82z"},          // a sequence cut short: every byte kept
        {"\xED\xA0\x80", U"\xDCED\xDCA0\xDC80"},    // an encoded surrogate is three bytes
        {"\xC3\xA9\xFF\xF0\x9F\x98\x80", U"\xE9\xDCFF\U0001F600"},
        {"\xEF\xBF\xBE/", U"\xFFFE/"},
    };
    for (const Case& c : cases) {
        Cell* f = push(file_url::from_local_path(c.bytes.data(), int32_t(c.bytes.size())));
        EXPECT_EQ(cell::type(f), type_file);
        EXPECT_TRUE(chars(f) == c.chars) << c.bytes;
        EXPECT_EQ(file_url::to_os_path(f), c.bytes);
    }
}

TEST_F(FileUrlTest, PathsJoinWithOneSlash) {
    Cell* r = push({type_none, 0, 0, 0});
    auto join = [&](const Cell* base, const Cell* selector) {
        actions::PathStep step{};
        step.parent = base;
        step.element = selector;
        step.index = -1;
        actions::lookup<actions::slot_eval_path>(base)(step, r);
        return utf8(r);
    };
    Cell* dir = text("dir", type_file);
    EXPECT_EQ(join(dir, push(context::load_word("file"))), "dir/file");
    EXPECT_EQ(cell::type(r), type_file);
    Cell* site = text("http://x/", type_url);
    EXPECT_EQ(join(site, text("/y")), "http://x/y");
    EXPECT_EQ(cell::type(r), type_url);
    EXPECT_EQ(utf8(site), "http://x/");
    EXPECT_EQ(join(site, text("y")), "http://x/y");
    EXPECT_EQ(join(text("http://x", type_url), text("y")), "http://x/y");

    actions::PathStep set{};
    set.parent = site;
    set.element = text("y");
    set.value = text("z");
    set.index = -1;
    EXPECT_EQ(error_id(caught([&] { actions::lookup<actions::slot_eval_path>(site)(set, r); })),
              "bad-path-set");
}

TEST_F(FileUrlTest, UrlFromABlockOfParts) {
    Cell block = {type_block, 0, memory::alloc_cells(8), 0};
    Cell* b = push(block);
    *series::alloc_tail(b) = context::load_word("http");
    *series::alloc_tail(b) = string::from_utf8("example.org");
    *series::alloc_tail(b) = {type_integer, 0, 8080, 0};
    *series::alloc_tail(b) = context::load_word("a");
    *series::alloc_tail(b) = context::load_word("b");
    Cell* u = to(type_url, b);
    EXPECT_EQ(cell::type(u), type_url);
    EXPECT_EQ(utf8(u), "http://example.org:8080/a/b");

    Cell* empty = push({type_block, 0, memory::alloc_cells(1), 0});
    EXPECT_EQ(error_id(caught([&] { to(type_url, empty); })), "bad-to-arg");
    // file! takes the string! path: the parts run together.
    EXPECT_EQ(utf8(to(type_file, b)), "httpexample.org8080ab");
}

// The network services are still to come; files hand their actions to the
// file services, all but the encodings and access rights.
TEST_F(FileUrlTest, WhatTheIoActionsDoNotDoYet) {
    Cell* u = text("http://x/", type_url);
    Cell* f = text("/no-such-dir-here/x", type_file);
    Cell* encoding = push(context::load_word("utf-16"));
    Cell* r = push({type_none, 0, 0, 0});
    Cell two;
    Cell* part = push(*cell::make_integer(&two, 2));
    using namespace actions;
    // Refused before any request goes out.
    EXPECT_EQ(error_id(caught([&] { lookup<slot_read>(u)(u, part, nullptr, false, false, false, nullptr, r); })),
              "not-done");
    EXPECT_EQ(error_id(caught([&] { lookup<slot_read>(f)(f, nullptr, nullptr, false, false, false, encoding, r); })),
              "not-done");
    EXPECT_EQ(error_id(caught([&] {
                  lookup<slot_write>(f)(f, u, false, false, false, false, nullptr, nullptr, u, nullptr, r);
              })),
              "not-done");
    EXPECT_EQ(error_id(caught([&] { lookup<slot_read>(f)(f, nullptr, nullptr, false, false, false, nullptr, r); })),
              "cannot-open");
    lookup<slot_delete>(f)(f, r);
    EXPECT_TRUE(cell::type(r) == type_logic && r->w1 == 0);
    // Sorting and trimming a locator are not supported.
    EXPECT_EQ(datatype::handler(type_url, slot_sort), nullptr);
    EXPECT_EQ(datatype::handler(type_file, slot_trim), nullptr);
    EXPECT_EQ(datatype::handler(type_file, slot_open), nullptr);
}

}  // namespace
