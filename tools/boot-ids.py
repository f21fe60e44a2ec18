#!/usr/bin/env python3
"""Writes the C++ names of the ids that the boot sources give, so that C++
code names a native, a refinement or an error the way the sources do and a
name the sources lack does not compile. The build runs it:

    python3 tools/boot-ids.py NATIVES.vum ACTIONS.vum CATALOGUE.vum NATIVE-IDS.h ERROR-IDS.h

NATIVE-IDS.h holds
  vum::native::NAME          the native's id (its place in the natives table),
  vum::native_names[]        the natives' words in id order (index 0 unused),
  vum::native_id_count       the number of natives,
  vum::refine::FN::NAME      the position of refinement NAME of native or
                             action FN: the k-th refinement of the spec is k
                             (from 0), the index a handler's refinements[]
                             array is read at;
ERROR-IDS.h holds
  vum::err::CATEGORY::NAME   an error id: its category's index and its own
                             index among the category's fields (code is 0,
                             type is 1, so the first id is 2), of type
                             err::In<category>, which converts to err::Id.

Words become C++ names by one rule: lower case; "?" becomes "_q", "!" becomes
"_x", "~" becomes "_t", "-" becomes "_"; a name that is a C++ keyword or
alternative token (if, do, not, and ...) gets a trailing "_". Two words that
become the same name, or a word with any other character, stop the build.
The refinement namespace is "refine" because "ref" belongs to the ref!
datatype.

Only the shape the sources use is read: a top-level definition
`name: make native! [[ spec ] id]` (action! likewise), where the spec holds
strings, words, type blocks and refinements.
"""

import importlib.util
import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

# The catalogue's reader is shared with the tool that writes its table, so
# both see the same ids at the same indexes.
_spec = importlib.util.spec_from_file_location("catalogue_to_cpp", os.path.join(HERE, "catalogue-to-cpp.py"))
catalogue = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(catalogue)

CPP_RESERVED = set("""
alignas alignof and and_eq asm auto bitand bitor bool break case catch char char8_t char16_t
char32_t class compl concept const consteval constexpr constinit const_cast continue co_await
co_return co_yield decltype default delete do double dynamic_cast else enum explicit export
extern false float for friend goto if inline int long mutable namespace new noexcept not not_eq
nullptr operator or or_eq private protected public register reinterpret_cast requires return
short signed sizeof static static_assert static_cast struct switch template this thread_local
throw true try typedef typeid typename union unsigned using virtual void volatile wchar_t while
xor xor_eq
""".split())

CHARACTERS = {"?": "_q", "!": "_x", "~": "_t", "-": "_"}


class SourceError(Exception):
    pass


def cpp_name(word, where):
    out = []
    for c in word.lower():
        if c.isalnum() or c == "_":
            out.append(c)
        elif c in CHARACTERS:
            out.append(CHARACTERS[c])
        else:
            raise SourceError(f"{where}: {word!r} has {c!r}, which has no C++ spelling here")
    name = "".join(out)
    if name[0].isdigit():
        raise SourceError(f"{where}: {word!r} starts with a digit")
    return name + "_" if name in CPP_RESERVED else name


def tokens_of(text, path):
    """(kind, value, line) for strings, blocks and everything else; comments
    dropped."""
    out = []
    i, line, n = 0, 1, len(text)
    while i < n:
        c = text[i]
        if c == "\n":
            line += 1
            i += 1
        elif c in " \t\r":
            i += 1
        elif c == ";":
            while i < n and text[i] != "\n":
                i += 1
        elif c in "[]":
            out.append((c, c, line))
            i += 1
        elif c == '"':
            j = i + 1
            while j < n and text[j] != '"':
                if text[j] == "\n":
                    raise SourceError(f"{path}:{line}: unterminated string")
                j += 2 if text[j] == "^" else 1
            out.append(("string", text[i + 1:j], line))
            i = j + 1
        elif c == "{":
            raise SourceError(f"{path}:{line}: braced strings are not read here")
        else:
            j = i
            while j < n and text[j] not in ' \t\r\n[]";':
                j += 1
            out.append(("word", text[i:j], line))
            i = j
    return out


def read_functions(path, kind):
    """[(word, id, [refinement words])] of the `make KIND` definitions."""
    with open(path, encoding="utf-8") as f:
        tokens = tokens_of(f.read(), path)
    found = []
    depth = 0
    k = 0
    while k < len(tokens):
        t = tokens[k]
        if t[0] == "[":
            depth += 1
        elif t[0] == "]":
            depth -= 1
        elif (depth == 0 and t[0] == "word" and t[1].endswith(":") and k + 4 < len(tokens)
              and tokens[k + 1][1] == "make" and tokens[k + 2][1] == kind):
            name, line = t[1][:-1], t[2]
            if tokens[k + 3][0] != "[" or tokens[k + 4][0] != "[":
                raise SourceError(f"{path}:{line}: {name}: expected [[ after make {kind}")
            j = k + 5
            inner = 1
            refinements = []
            while j < len(tokens) and inner:
                tj = tokens[j]
                if tj[0] == "[":
                    inner += 1
                elif tj[0] == "]":
                    inner -= 1
                elif inner == 1 and tj[0] == "word" and tj[1].startswith("/"):
                    refinements.append(tj[1][1:])
                j += 1
            if j + 1 >= len(tokens) or tokens[j][0] != "word" or not re.fullmatch(r"[0-9]+", tokens[j][1]) \
                    or tokens[j + 1][0] != "]":
                raise SourceError(f"{path}:{line}: {name}: expected the id and \"]\" after the spec")
            found.append((name, int(tokens[j][1]), refinements, line))
            k = j + 2
            continue
        k += 1
    return found


def c_string(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def check_unique(names, where):
    seen = {}
    for cpp, word in names:
        if cpp in seen and seen[cpp] != word:
            raise SourceError(f"{where}: {seen[cpp]!r} and {word!r} both become {cpp}")
        seen[cpp] = word


def native_header(natives, actions, source_names):
    for position, (name, id_, _, line) in enumerate(natives, 1):
        if id_ != position:
            raise SourceError(f"{source_names[0]}:{line}: {name} has id {id_}; natives are numbered "
                              f"in order, so it must be {position}")
    lines = [
        f"// Written by tools/boot-ids.py from {source_names[0]} and {source_names[1]};",
        "// edit those files, not this one.",
        "#pragma once",
        "#include <cstdint>",
        "",
        "namespace vum {",
        "",
        f"inline constexpr int32_t native_id_count = {len(natives)};",
        "",
        "namespace native {",
    ]
    names = [(cpp_name(n, source_names[0]), n) for n, _, _, _ in natives]
    check_unique(names, source_names[0])
    for (cpp, word), (_, id_, _, _) in zip(names, natives):
        lines.append(f"inline constexpr int32_t {cpp} = {id_};  // {word}")
    lines.append("}  // namespace native")
    lines.append("")
    lines.append(f"inline constexpr const char* native_names[{len(natives) + 1}] = {{")
    lines.append("    nullptr,")
    for _, word in names:
        lines.append(f"    {c_string(word)},")
    lines.append("};")
    lines.append("")
    lines.append("namespace refine {")
    functions = [(n, r, source_names[0]) for n, _, r, _ in natives] + \
                [(n, r, source_names[1]) for n, _, r, _ in actions]
    check_unique([(cpp_name(n, s), n) for n, _, s in functions], "natives and actions")
    for name, refinements, source in functions:
        if not refinements:
            continue
        cpp_refinements = [(cpp_name(r, source), r) for r in refinements]
        check_unique(cpp_refinements, f"{source}: {name}")
        lines.append(f"namespace {cpp_name(name, source)} {{")
        for k, (cpp, _) in enumerate(cpp_refinements):
            lines.append(f"inline constexpr int32_t {cpp} = {k};")
        lines.append("}")
    lines.append("}  // namespace refine")
    lines.append("")
    lines.append("}  // namespace vum")
    return "\n".join(lines) + "\n"


def error_header(categories, source_name):
    lines = [
        f"// Written by tools/boot-ids.py from {source_name}; edit that file, not",
        "// this one.",
        "#pragma once",
        "#include <cstdint>",
        "",
        "namespace vum::err {",
        "",
        "// An error: its category's index in the catalogue and its own index",
        "// among the category's fields (the first id is 2).",
        "struct Id {",
        "    int32_t category;",
        "    int32_t index;",
        "};",
        "",
        "// An id of one category: a raiser that serves one category takes only",
        "// its ids.",
        "template <int32_t Category>",
        "struct In : Id {",
        "    explicit constexpr In(int32_t index) : Id{Category, index} {}",
        "};",
        "",
    ]
    for c, (name, _, _, _) in enumerate(categories):
        lines.append(f"using {name.capitalize()} = In<{c}>;")
    lines.append("")
    for c, (name, _, _, ids) in enumerate(categories):
        cpp_category = cpp_name(name, source_name)
        cpp_ids = [(cpp_name(i, source_name), i) for i, _ in ids]
        check_unique(cpp_ids, f"{source_name}: {name}")
        lines.append(f"namespace {cpp_category} {{")
        for k, (cpp, word) in enumerate(cpp_ids, 2):
            lines.append(f"inline constexpr {name.capitalize()} {cpp}{{{k}}};  // {word}")
        lines.append(f"}}  // namespace {cpp_category}")
        lines.append("")
    lines.append("}  // namespace vum::err")
    return "\n".join(lines) + "\n"


def write(target, text):
    # Left alone when unchanged, so that an edit that moves no id rebuilds
    # nothing; else written whole under another name first.
    try:
        with open(target, encoding="utf-8") as f:
            if f.read() == text:
                return
    except OSError:
        pass
    os.makedirs(os.path.dirname(os.path.abspath(target)), exist_ok=True)
    temporary = target + ".tmp"
    with open(temporary, "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(temporary, target)


def main(argv):
    if len(argv) != 6:
        sys.stderr.write("usage: boot-ids.py NATIVES.vum ACTIONS.vum CATALOGUE.vum NATIVE-IDS.h ERROR-IDS.h\n")
        return 2
    natives_path, actions_path, catalogue_path, native_target, error_target = argv[1:]
    try:
        natives = read_functions(natives_path, "native!")
        actions = read_functions(actions_path, "action!")
        with open(catalogue_path, encoding="utf-8") as f:
            categories = catalogue.parse(f.read())
        names = [os.path.basename(p) for p in (natives_path, actions_path)]
        native_text = native_header(natives, actions, names)
        error_text = error_header(categories, os.path.basename(catalogue_path))
    except catalogue.CatalogueError as e:
        sys.stderr.write(f"{catalogue_path}: {e}\n")
        return 1
    except (SourceError, OSError, UnicodeDecodeError) as e:
        sys.stderr.write(f"boot-ids: {e}\n")
        return 1
    try:
        write(native_target, native_text)
        write(error_target, error_text)
    except OSError as e:
        sys.stderr.write(f"boot-ids: cannot write: {e}\n")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
