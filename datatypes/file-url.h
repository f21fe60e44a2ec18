// url! (id 9, child of string!) and file! (id 8, child of url!): text kinds
// that keep their text like any string and add how they are written, the
// percent escapes of locators, joining with "/", and the hand-over of their
// I/O actions to the file and network services.
//
// File paths are POSIX paths: the language's form and the platform's are
// the same text, so converting between them never rewrites a name.
#pragma once
#include <cstdint>
#include <string>

#include "datatypes/actions.h"
#include "memory/cell.h"

namespace vum::file_url {

// ---- Percent escapes ----

enum EncodeMode : int32_t { mode_unreserved = 254, mode_url = 255 };

// Whether the byte stands as itself in a URL (mode_url) or in the strict
// unreserved set.
bool allowed(uint8_t byte, int32_t mode);
// The byte itself (returns 1) or "%" and two upper-case digits (returns 3).
int32_t encode_byte(int32_t mode, uint8_t byte, char out[3]);
// The byte of "%" and two hexadecimal digits at p, when p holds them.
bool decode_escape(const uint8_t* p, const uint8_t* end, uint8_t* byte);
// Appends the decoded text of a text value to a string node (dehex). With
// `keep_delimiters`, an escaped "%" or URL delimiter (one of
// "!#$&'()*+,/:=?@") stays escaped: decoded, it would mean something else.
void decode_string(const Cell* source, uint32_t target, bool keep_delimiters = false);
// Appends the UTF-8 bytes of a text value, each through encode_byte (enhex).
void encode_string(const Cell* source, uint32_t target, int32_t mode);
// A url! from UTF-8 text with its escapes decoded; for a URL
// (`keep_delimiters`) those of "%" and the delimiters stay as written.
Cell make_decoded(const char* text, int32_t length, bool keep_delimiters = false);

// ---- Paths ----

// The process's current directory, ending in "/", as a new string.
Cell current_dir();
// Appends the platform's form of a file! to a string node; with `full`, a
// relative path gets the current directory in front.
void to_local_path(const Cell* file, uint32_t target, bool full);
// The code point that stands for a byte of a system path that is not UTF-8
// is this base plus the byte (U+DC80 to U+DCFF).
constexpr uint32_t escaped_byte_base = 0xDC00;
// A platform path as file! text: its UTF-8, each byte outside well-formed
// UTF-8 kept as escaped_byte_base + byte, so no name is lost.
Cell from_local_path(const char* path, int32_t length);
// The NUL-free bytes the file services open (any text kind): UTF-8, each
// U+DC80-U+DCFF as the one byte it stands for. A name holding a NUL
// character raises script invalid-arg (the system would cut it there).
std::string to_os_path(const Cell* file);

// ---- Handlers (datatypes/actions.h signatures) ----

void url_make(const Cell* prototype, const Cell* spec, int32_t type, Cell* result);
void url_to(const Cell* prototype, const Cell* spec, int32_t type, Cell* result);
int32_t url_mold(const Cell* value, uint32_t buffer, bool only, bool all, bool flat, const Cell* arg, int32_t limit,
                 int32_t indent);
int32_t file_mold(const Cell* value, uint32_t buffer, bool only, bool all, bool flat, const Cell* arg,
                  int32_t limit, int32_t indent);
void eval_path(const actions::PathStep& step, Cell* result);

void url_open(const Cell* spec, bool new_port, bool read, bool write, bool seek, const Cell* allow, Cell* result);

// A port! (not opened) for a URL that is not http: the environment's
// decode-url splits it into the port's spec. (url!'s read and write,
// io/file-url-actions.h, take this road for such a URL.)
Cell open_port(const Cell* url);

}  // namespace vum::file_url

// The I/O actions (url!'s read and write; file!'s delete, query, read,
// rename and write) are the file and network services' own: io/ fills
// those slots after the types register (io/file-url-actions.h).
namespace vum::url_type {
// Registers url!; string! registers first.
void init();
}  // namespace vum::url_type

namespace vum::file_type {
// Registers file!; url! registers first.
void init();
}  // namespace vum::file_type
