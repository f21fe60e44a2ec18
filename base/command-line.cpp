#include "base/command-line.h"

#include "base/runtime-record.h"

namespace vum::command_line {

namespace {

bool is_separator(char c) { return c == ' ' || c == '\t'; }

// Whether the argument, with a quote added in front (lead) and at the end
// (trail), comes back from the split as itself: every separator inside
// lies in a quoted stretch, the quotes balance so that the separator after
// the argument splits, and the quotes the split strips are the added ones.
bool splits_back(std::string_view argument, bool lead, bool trail) {
    if (argument.empty()) return lead && trail;
    if (argument.front() == '"' && !lead) return false;
    if (argument.back() == '"' && !trail) return false;
    int32_t quotes = lead ? 1 : 0;
    for (char c : argument) {
        if (c == '"') quotes++;
        else if (is_separator(c) && quotes % 2 == 0) return false;
    }
    if (trail) quotes++;
    return quotes % 2 == 0;
}

}  // namespace

std::string quote(std::string_view argument) {
    // Bare first, then quoted at both ends, then at one end.
    static constexpr bool forms[4][2] = {{false, false}, {true, true}, {true, false}, {false, true}};
    for (const auto& form : forms)
        if (splits_back(argument, form[0], form[1]))
            return std::string(form[0] ? "\"" : "") + std::string(argument) + (form[1] ? "\"" : "");
    return "\"" + std::string(argument) + "\"";
}

std::string join(const char* const* arguments, int32_t count) {
    std::string text;
    for (int32_t i = 0; i < count; i++) {
        if (i) text += ' ';
        text += quote(arguments[i] ? arguments[i] : "");
    }
    return text;
}

std::string text() { return join(rt.args, rt.arg_count); }

}  // namespace vum::command_line
