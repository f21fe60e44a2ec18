#include "base/error-catalogue.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "memory-fixture.h"
#include "memory/cycle-guard.h"
#include "memory/raise-error.h"
#include "memory/unicode.h"

using namespace vum;
using namespace vum::error_catalogue;

namespace {

const Entry* entry(int32_t category, const char* id) {
    int32_t index = find_id(category, id);
    return index < 0 ? nullptr : &categories[category].ids[index - 2];
}

std::string message_of(int32_t category, const char* id) {
    const Entry* e = entry(category, id);
    if (!e) return "<no such id>";
    std::string out;
    for (int32_t i = 0; i < e->part_count; i++) {
        if (i) out += ' ';
        out += e->parts[i].is_field ? ":" + std::string(e->parts[i].text) : '"' + std::string(e->parts[i].text) + '"';
    }
    return out;
}

TEST(ErrorCatalogue, CategoriesFollowTheRaisersOrder) {
    struct Case {
        errors::Category index;
        const char* name;
        const char* title;
    } cases[] = {
        {errors::category_throw, "throw", "Throw Error"},
        {errors::category_note, "note", "Note"},
        {errors::category_syntax, "syntax", "Syntax Error"},
        {errors::category_script, "script", "Script Error"},
        {errors::category_math, "math", "Math Error"},
        {errors::category_access, "access", "Access Error"},
        {errors::category_reserved1, "reserved1", "Reserved Error"},
        {errors::category_reserved2, "reserved2", "Reserved Error"},
        {errors::category_user, "user", "User Error"},
        {errors::category_internal, "internal", "Internal Error"},
    };
    ASSERT_EQ(category_count, int32_t(std::size(cases)));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Category& category = categories[c.index];
        EXPECT_STREQ(category.name, c.name);
        EXPECT_STREQ(category.title, c.title);
        EXPECT_EQ(category.code, c.index * 100);
        EXPECT_EQ(find_category(c.name), c.index);
    }
}

// Raisers and make error! rely on these places; moving any id changes the
// meaning of every numeric code after it.
TEST(ErrorCatalogue, FixedPositionsGiveTheirCodes) {
    struct Case {
        errors::Category category;
        const char* id;
        int32_t index;
        int32_t code;
    } cases[] = {
        {errors::category_script, "no-value", 2, 300},
        {errors::category_script, "need-value", 3, 301},
        {errors::category_script, "not-defined", 4, 302},
        {errors::category_script, "not-in-context", 5, 303},
        {errors::category_script, "expect-arg", 7, 305},
        {errors::category_script, "invalid-arg", 11, 309},
        {errors::category_script, "invalid-type", 12, 310},
        {errors::category_script, "invalid-data", 18, 316},
        {errors::category_script, "out-of-range", 43, 341},
        {errors::category_script, "invalid-compare", 45, 343},
        {errors::category_script, "bad-make-arg", 55, 353},
        {errors::category_script, "bad-to-arg", 56, 354},
        {errors::category_math, "zero-divide", 2, 400},
        {errors::category_math, "overflow", 3, 401},
        {errors::category_access, "cannot-open", 2, 500},
        {errors::category_access, "no-create", 13, 511},
        {errors::category_access, "no-codec", 14, 512},
        {errors::category_internal, "not-done", 11, 909},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        int32_t index = find_id(c.category, c.id);
        EXPECT_EQ(index, c.index);
        EXPECT_EQ(c.category * 100 + index - 2, c.code);
        EXPECT_STREQ(categories[c.category].ids[c.index - 2].id, c.id);
    }
    // make error! of a string makes the user category's first id, code 800,
    // with the text as arg1: that id must show arg1 and nothing else.
    ASSERT_GE(categories[errors::category_user].id_count, 1);
    EXPECT_EQ(message_of(errors::category_user, categories[errors::category_user].ids[0].id), ":arg1");
}

TEST(ErrorCatalogue, IdsAreUniqueWordsWithUsableMessages) {
    static const char* const fields[] = {"code", "type", "id",   "arg1",  "arg2",
                                         "arg3", "near", "where", "stack", "files"};
    for (int32_t c = 0; c < category_count; c++) {
        const Category& category = categories[c];
        SCOPED_TRACE(category.name);
        EXPECT_LE(category.id_count, 100) << "codes would run into the next category";
        EXPECT_EQ(category.ids == nullptr, category.id_count == 0);
        for (int32_t i = 0; i < category.id_count; i++) {
            const Entry& e = category.ids[i];
            SCOPED_TRACE(e.id);
            ASSERT_NE(e.id, nullptr);
            EXPECT_NE(e.id[0], '\0');
            // The first id with this spelling is this one: no earlier repeat,
            // whatever the case of its letters.
            EXPECT_EQ(find_id(c, e.id), i + 2);
            ASSERT_NE(e.parts, nullptr);
            EXPECT_GT(e.part_count, 0);
            for (int32_t p = 0; p < e.part_count; p++) {
                ASSERT_NE(e.parts[p].text, nullptr);
                EXPECT_NE(e.parts[p].text[0], '\0');
                if (!e.parts[p].is_field) continue;
                bool known = false;
                for (const char* f : fields) known = known || std::strcmp(f, e.parts[p].text) == 0;
                EXPECT_TRUE(known) << e.parts[p].text << " is not a field of an error";
            }
        }
    }
}

TEST(ErrorCatalogue, MessagesKeepTextAndFieldsInOrder) {
    struct Case {
        errors::Category category;
        const char* id;
        const char* message;
    } cases[] = {
        {errors::category_script, "expect-arg", R"(:arg1 "does not allow" :arg2 "for its" :arg3 "argument")"},
        {errors::category_script, "no-value", R"(:arg1 "has no value")"},
        {errors::category_script, "not-in-context", R"("context for" :arg1 "is not available")"},
        // The path comes first among the arguments but last in the text.
        {errors::category_script, "invalid-path", R"("cannot access" :arg2 "in path" :arg1)"},
        {errors::category_throw, "throw", R"("no catch for throw:" :arg1)"},
        {errors::category_math, "zero-divide", R"("attempt to divide by zero")"},
        {errors::category_internal, "no-memory", R"("not enough memory")"},
        {errors::category_internal, "routines",
         R"("routines require compilation, from OS shell: `vum -r <script.vum>`")"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        EXPECT_EQ(message_of(c.category, c.id), c.message);
    }
}

TEST(ErrorCatalogue, LookupsRejectWhatTheCatalogueLacks) {
    EXPECT_EQ(find_id(errors::category_script, "No-Value"), 2);
    EXPECT_EQ(find_category("SCRIPT"), errors::category_script);
    struct Case {
        int32_t category;
        const char* id;
    } misses[] = {
        {errors::category_script, "no-such-error"},
        {errors::category_script, "no-val"},          // a prefix of an id
        {errors::category_script, "no-value-x"},      // an id is a prefix of it
        {errors::category_script, "code"},            // fields, not ids
        {errors::category_script, "type"},
        {errors::category_script, ""},
        {errors::category_script, nullptr},
        {errors::category_math, "no-value"},          // an id of another category
        {errors::category_note, "no-value"},          // a category without ids
        {-1, "no-value"},
        {category_count, "no-value"},
    };
    for (const Case& c : misses) {
        SCOPED_TRACE(testing::Message() << c.category << " " << (c.id ? c.id : "null"));
        EXPECT_EQ(find_id(c.category, c.id), -1);
    }
    EXPECT_EQ(find_category("scripts"), -1);
    EXPECT_EQ(find_category(""), -1);
    EXPECT_EQ(find_category(nullptr), -1);
}

// Every designation the memory core raises must name an id the catalogue
// holds, or the error value could not be built from it.
using ErrorCatalogueRaisers = MemoryTest;

TEST_F(ErrorCatalogueRaisers, CoreRaisersNameCatalogueIds) {
    gc::state.enabled = 1;
    cycles::init();
    static const uint8_t noncharacter[] = {0xEF, 0xBF, 0xBE, 0};
    struct Case {
        const char* what;
        void (*raise)();
        errors::Category category;
        const char* id;
    } cases[] = {
        {"negative allocation", [] { memory::alloc_cells(-1); }, errors::category_internal, "no-memory"},
        {"code point past Unicode", [] { unicode::utf8_length(0x110000); }, errors::category_script,
         "invalid-char"},
        {"noncharacter in checked decoding",
         [] {
             int32_t count = 3;
             unicode::decode_utf8_checked(noncharacter, &count);
         },
         errors::category_access, "invalid-utf8"},
        {"nesting past the cycle guard",
         [] {
             for (uint32_t n = 1; n <= uint32_t(cycles::capacity); n++) cycles::push(n);
         },
         errors::category_internal, "too-deep"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_STREQ(raised(c.raise), c.id);
        EXPECT_EQ(errors::last_raised.category, c.category);
        EXPECT_GE(find_id(errors::last_raised.category, errors::last_raised.id), 2);
    }
}

// The converter that turns the catalogue file into the table above runs in
// the build; a catalogue it cannot vouch for must stop the build, not yield a
// table with shifted codes.
class ErrorCatalogueConverter : public testing::Test {
protected:
    std::string dir;

    void SetUp() override {
        char name[] = "/tmp/vum-catalogue-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir = name;
    }
    void TearDown() override {
        std::remove((dir + "/in.vum").c_str());
        std::remove((dir + "/out.cpp").c_str());
        std::remove((dir + "/out.cpp.tmp").c_str());
        std::remove((dir + "/errors.txt").c_str());
        rmdir(dir.c_str());
    }

    static std::string converter() {
        std::string here = __FILE__;
        return here.substr(0, here.rfind("tests/unit/")) + "tools/catalogue-to-cpp.py";
    }
    static std::string read(const std::string& path) {
        std::ifstream f(path);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }

    // A complete catalogue with the given body in place of the script ids.
    static std::string catalogue(const std::string& script_body) {
        const char* names[] = {"throw",  "note",      "syntax",    "script", "math",
                               "access", "reserved1", "reserved2", "user",   "internal"};
        std::string text = "Vum [Title: \"test\"]\n";
        for (int i = 0; i < 10; i++) {
            text += std::string(names[i]) + ": object [\n\tcode: " + std::to_string(i * 100) + "\n\ttype: \"T\"\n";
            if (i == 3) text += script_body;
            text += "]\n";
        }
        return text;
    }

    // Exit status of the converter run on text; its messages go to errors.
    int convert(const std::string& text, std::string* errors = nullptr) {
        std::ofstream(dir + "/in.vum") << text;
        std::string command = "python3 '" + converter() + "' '" + dir + "/in.vum' '" + dir + "/out.cpp' 2>'" +
                              dir + "/errors.txt'";
        int status = std::system(command.c_str());
        if (errors) *errors = read(dir + "/errors.txt");
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

TEST_F(ErrorCatalogueConverter, WritesEscapesAndFieldsIntoTheTable) {
    ASSERT_EQ(convert(catalogue("\tone: [\"a^/b^\"c^^d^-e\" :arg2] ; a comment [\n\ttwo: \"x\"\n")), 0);
    std::string out = read(dir + "/out.cpp");
    EXPECT_NE(out.find(R"({{false, "a\nb\"c^d\te"}, {true, "arg2"}})"), std::string::npos) << out;
    EXPECT_NE(out.find(R"({"script", "T", 300, ids_3, 2})"), std::string::npos) << out;
    EXPECT_NE(out.find(R"({"note", "T", 100, nullptr, 0})"), std::string::npos) << out;
}

TEST_F(ErrorCatalogueConverter, RefusesMalformedCataloguesLoudly) {
    std::string valid = catalogue("\tone: \"x\"\n");
    auto replaced = [&](const std::string& from, const std::string& to) {
        std::string text = valid;
        text.replace(text.find(from), from.size(), to);
        return text;
    };
    struct Case {
        const char* what;
        std::string text;
        const char* complaint;
    } cases[] = {
        {"no header", valid.substr(valid.find('\n') + 1), "line 1"},
        {"unterminated string", catalogue("\tone: \"x\n"), "unterminated string"},
        {"unknown escape", catalogue("\tone: \"x^q\"\n"), "unknown escape"},
        {"unclosed category", valid.substr(0, valid.rfind(']')), "not closed"},
        {"empty message", catalogue("\tone: []\n"), "empty"},
        {"message of a number", catalogue("\tone: 5\n"), "string or a block"},
        {"number inside a message", catalogue("\tone: [\"x\" 5]\n"), "strings"},
        {"unknown field", catalogue("\tone: [\"x\" :agr1]\n"), "not a field"},
        {"repeated id", catalogue("\tone: \"x\"\n\tOne: \"y\"\n"), "repeats"},
        {"id named like a field", catalogue("\tcode: \"x\"\n"), "set twice"},
        {"category out of order", replaced("math:", "maths:"), "must be 'math'"},
        {"wrong code", replaced("code: 400", "code: 401"), "code 400"},
        {"title missing", replaced("\tcode: 400\n\ttype: \"T\"\n", "\tcode: 400\n"), "type"},
        {"category missing", valid.substr(0, valid.find("internal:")), "'internal' is missing"},
        {"category past the last", valid + "extra: object [code: 1000 type: \"T\"]\n", "past the last"},
        {"unreadable token", catalogue("\tone: #x\n"), "cannot read"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::remove((dir + "/out.cpp").c_str());
        std::string errors;
        EXPECT_EQ(convert(c.text, &errors), 1);
        EXPECT_NE(errors.find(c.complaint), std::string::npos) << errors;
        EXPECT_EQ(access((dir + "/out.cpp").c_str(), F_OK), -1) << "a refused catalogue left a table";
    }
    std::string too_many;
    for (int i = 0; i <= 100; i++) too_many += "\tid" + std::to_string(i) + ": \"x\"\n";
    std::string errors;
    EXPECT_EQ(convert(catalogue(too_many), &errors), 1);
    EXPECT_NE(errors.find("more than 100 ids"), std::string::npos) << errors;
}

}  // namespace
