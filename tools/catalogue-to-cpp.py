#!/usr/bin/env python3
"""Turns the error catalogue (environment/error-catalogue.vum) into the C++
table that base/error-catalogue.h declares, until the runtime can load its
boot data itself. The build runs it:

    python3 tools/catalogue-to-cpp.py environment/error-catalogue.vum OUT.cpp

Only the part of the language's syntax that the catalogue uses is read:
the header, set-words, words, get-words, integers, strings in double quotes
with ^ escapes, blocks and comments. Anything else, and any catalogue whose
shape the runtime cannot rely on, stops the build with a message that names
the line, and no output is written.
"""

import os
import re
import sys

# The runtime names categories by index (memory/raise-error.h), so the file
# must list exactly these, in this order.
CATEGORIES = ["throw", "note", "syntax", "script", "math", "access",
              "reserved1", "reserved2", "user", "internal"]

# The fields of an error value; a message may name any of them.
ERROR_FIELDS = ["code", "type", "id", "arg1", "arg2", "arg3",
                "near", "where", "stack", "files"]

# Codes are category * 100 + id index, so a category holds at most 100 ids.
MAX_IDS = 100

ESCAPES = {"/": "\n", '"': '"', "^": "^", "-": "\t"}
DELIMITERS = set(' \t\r\n[]";')


class CatalogueError(Exception):
    def __init__(self, line, message):
        super().__init__(f"line {line}: {message}")


class Token:
    def __init__(self, kind, value, line):
        self.kind = kind    # word set-word get-word integer string block-open block-close
        self.value = value
        self.line = line

    def describe(self):
        if self.kind == "string":
            return "a string"
        if self.kind in ("block-open", "block-close"):
            return f'"{self.value}"'
        return f"{self.kind} {self.value!r}"


def is_word(text):
    if not text or text[0].isdigit() or (text[0] in "+-" and len(text) > 1 and text[1].isdigit()):
        return False
    return all(c.isalnum() or c in "-_?!*+.~&=<>|" for c in text)


def tokenize(text):
    tokens = []
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
            tokens.append(Token("block-open" if c == "[" else "block-close", c, line))
            i += 1
        elif c == '"':
            start_line = line
            i += 1
            out = []
            while True:
                if i >= n or text[i] == "\n":
                    raise CatalogueError(start_line, "unterminated string")
                c = text[i]
                if c == '"':
                    i += 1
                    break
                if c == "^":
                    if i + 1 >= n or text[i + 1] not in ESCAPES:
                        shown = text[i + 1] if i + 1 < n and text[i + 1] != "\n" else "end of line"
                        raise CatalogueError(line, f"unknown escape ^{shown} in a string")
                    out.append(ESCAPES[text[i + 1]])
                    i += 2
                    continue
                out.append(c)
                i += 1
            tokens.append(Token("string", "".join(out), start_line))
        else:
            start = i
            while i < n and text[i] not in DELIMITERS:
                i += 1
            raw = text[start:i]
            tokens.append(classify(raw, line))
    return tokens


def classify(raw, line):
    if re.fullmatch(r"[+-]?[0-9]+", raw):
        return Token("integer", int(raw), line)
    if raw.endswith(":") and is_word(raw[:-1]):
        return Token("set-word", raw[:-1], line)
    if raw.startswith(":") and is_word(raw[1:]):
        return Token("get-word", raw[1:], line)
    if is_word(raw):
        return Token("word", raw, line)
    raise CatalogueError(line, f"cannot read {raw!r}")


class Reader:
    def __init__(self, tokens, end_line):
        self.tokens = tokens
        self.pos = 0
        self.end_line = end_line

    def peek(self):
        return self.tokens[self.pos] if self.pos < len(self.tokens) else None

    def next(self, expected):
        token = self.peek()
        if token is None:
            raise CatalogueError(self.end_line, f"file ends where {expected} was expected")
        self.pos += 1
        return token

    def expect(self, kind, expected, value=None):
        token = self.next(expected)
        if token.kind != kind or value is not None and token.value != value:
            raise CatalogueError(token.line, f"expected {expected}, found {token.describe()}")
        return token

    def skip_block(self, opening):
        # Header blocks may hold values of any of the kinds read here.
        depth = 1
        while depth:
            token = self.peek()
            if token is None:
                raise CatalogueError(opening.line, 'block is not closed with "]"')
            self.pos += 1
            depth += {"block-open": 1, "block-close": -1}.get(token.kind, 0)


def read_message(reader, id_token):
    token = reader.next(f"the message of {id_token.value}")
    if token.kind == "string":
        return [(False, token.value)]
    if token.kind != "block-open":
        raise CatalogueError(token.line, f"the message of {id_token.value} must be a string or a block, "
                                         f"not {token.describe()}")
    parts = []
    while True:
        part = reader.peek()
        if part is None:
            raise CatalogueError(token.line, f'the message of {id_token.value} is not closed with "]"')
        reader.pos += 1
        if part.kind == "block-close":
            break
        if part.kind == "string":
            parts.append((False, part.value))
        elif part.kind in ("get-word", "word"):
            if part.value.lower() not in ERROR_FIELDS:
                raise CatalogueError(part.line, f"{part.value!r} in the message of {id_token.value} "
                                                f"is not a field of an error")
            parts.append((True, part.value.lower(), part.kind == "word"))
        else:
            raise CatalogueError(part.line, f"the message of {id_token.value} may hold only strings "
                                            f"and field words, not {part.describe()}")
    if not parts:
        raise CatalogueError(token.line, f"the message of {id_token.value} is empty")
    return parts


def read_category(reader, index):
    name = reader.expect("set-word", "a category name")
    if index >= len(CATEGORIES):
        raise CatalogueError(name.line, f"category {name.value!r} is past the last category, "
                                        f"{CATEGORIES[-1]!r}")
    if name.value.lower() != CATEGORIES[index]:
        raise CatalogueError(name.line, f"category {index} must be {CATEGORIES[index]!r}, "
                                        f"not {name.value!r}")
    reader.expect("word", "object", "object")
    opening = reader.expect("block-open", f'"[" after {name.value}: object')
    reader.expect("set-word", f"code: first in {name.value}", "code")
    code = reader.expect("integer", f"an integer code for {name.value}")
    if code.value != index * 100:
        raise CatalogueError(code.line, f"{name.value} must have code {index * 100}, not {code.value}")
    reader.expect("set-word", f"type: second in {name.value}", "type")
    title = reader.expect("string", f"a title string for {name.value}")
    ids = []
    seen = {}
    while True:
        token = reader.peek()
        if token is None:
            raise CatalogueError(opening.line, f'{name.value} is not closed with "]"')
        if token.kind == "block-close":
            reader.pos += 1
            break
        id_token = reader.expect("set-word", f"an id of {name.value} or the closing \"]\"")
        key = id_token.value.lower()
        if key in ("code", "type"):
            raise CatalogueError(id_token.line, f"{id_token.value} is set twice in {name.value}")
        if key in seen:
            raise CatalogueError(id_token.line, f"id {id_token.value} of {name.value} repeats the one "
                                                f"on line {seen[key]}")
        seen[key] = id_token.line
        ids.append((id_token.value, read_message(reader, id_token)))
        if len(ids) > MAX_IDS:
            raise CatalogueError(id_token.line, f"{name.value} has more than {MAX_IDS} ids")
    return (CATEGORIES[index], title.value, code.value, ids)


def parse(text):
    tokens = tokenize(text)
    reader = Reader(tokens, text.count("\n") + 1)
    reader.expect("word", "the header Vum", "Vum")
    reader.skip_block(reader.expect("block-open", 'the header block "[" after Vum'))
    categories = []
    while reader.peek() is not None:
        categories.append(read_category(reader, len(categories)))
    if len(categories) != len(CATEGORIES):
        raise CatalogueError(reader.end_line, f"the catalogue ends after {len(categories)} categories; "
                                              f"{CATEGORIES[len(categories)]!r} is missing")
    return categories


def c_string(text):
    out = ['"']
    for byte in text.encode("utf-8"):
        ch = chr(byte)
        if ch == '"' or ch == "\\":
            out.append("\\" + ch)
        elif ch == "\n":
            out.append("\\n")
        elif ch == "\t":
            out.append("\\t")
        elif 32 <= byte < 127 and ch != "?":
            out.append(ch)
        else:
            out.append(f"\\{byte:03o}")
    out.append('"')
    return "".join(out)


def message_part(part):
    field, text = part[0], part[1]
    optional = len(part) > 2 and part[2]
    return f"{{{'true' if field else 'false'}, {c_string(text)}{', true' if optional else ''}}}"


def generate(categories, source_name):
    lines = [
        f"// Written by tools/catalogue-to-cpp.py from {source_name}; edit that file,",
        "// not this one.",
        '#include "base/error-catalogue.h"',
        "",
        "namespace vum::error_catalogue {",
        "",
        "namespace {",
        "",
    ]
    for c, (name, _, _, ids) in enumerate(categories):
        if not ids:
            continue
        for i, (id_name, parts) in enumerate(ids):
            body = ", ".join(message_part(part) for part in parts)
            lines.append(f"const MessagePart parts_{c}_{i}[] = {{{body}}};")
        lines.append(f"const Entry ids_{c}[] = {{")
        for i, (id_name, parts) in enumerate(ids):
            lines.append(f"    {{{c_string(id_name)}, parts_{c}_{i}, {len(parts)}}},")
        lines.append("};")
        lines.append("")
    lines.append("}  // namespace")
    lines.append("")
    lines.append("const Category categories[] = {")
    for c, (name, title, code, ids) in enumerate(categories):
        table = f"ids_{c}" if ids else "nullptr"
        lines.append(f"    {{{c_string(name)}, {c_string(title)}, {code}, {table}, {len(ids)}}},")
    lines.append("};")
    lines.append(f"const int32_t category_count = {len(categories)};")
    lines.append("")
    lines.append("}  // namespace vum::error_catalogue")
    return "\n".join(lines) + "\n"


def main(argv):
    if len(argv) != 3:
        sys.stderr.write("usage: catalogue-to-cpp.py CATALOGUE.vum OUT.cpp\n")
        return 2
    source, target = argv[1], argv[2]
    try:
        with open(source, encoding="utf-8") as f:
            text = f.read()
    except (OSError, UnicodeDecodeError) as e:
        sys.stderr.write(f"catalogue-to-cpp: cannot read {source}: {e}\n")
        return 1
    try:
        categories = parse(text)
    except CatalogueError as e:
        sys.stderr.write(f"{source}: {e}\n")
        return 1
    output = generate(categories, os.path.basename(source))
    # Written whole under another name first, so that a failed write never
    # leaves a half table for the build to compile.
    directory = os.path.dirname(os.path.abspath(target))
    temporary = target + ".tmp"
    try:
        os.makedirs(directory, exist_ok=True)
        with open(temporary, "w", encoding="utf-8") as f:
            f.write(output)
        os.replace(temporary, target)
    except OSError as e:
        sys.stderr.write(f"catalogue-to-cpp: cannot write {target}: {e}\n")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
