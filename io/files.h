// The file services behind file!'s actions and the natives that take files:
// reading a file whole or in part as a binary!, a string! or a block of
// lines; writing or appending a value; listing a directory; deleting,
// querying and renaming. Paths are file! values, POSIX paths as they stand.
//
// Text is read as UTF-8 with a leading byte-order mark dropped and CR LF
// and lone CR made LF, and written as UTF-8 with LF line ends. Sizes are the
// language's 32-bit sizes: content beyond them raises script too-long
// rather than coming back cut or wrapped.
//
// Cells given by address may be the result slot as well: each is copied
// before the result is written.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "memory/cell.h"

namespace vum::files {

// Raises access cannot-open with the file and, when the system gave one
// (os_error, an errno value, not 0), its reason as the further argument, so
// that a missing file, a refused permission and a folder named without its
// slash read differently.
[[noreturn]] void raise_cannot_open(const Cell* file, int os_error);

// Whether a path names a directory by its form: it ends in "/", or it is,
// or ends in, "." or "..".
bool is_directory_path(std::string_view path);

// file!'s read. A directory path gives the block of its entries (a
// directory's name ending in "/"); any other path gives the bytes from
// byte `seek` (an integer!, or null), at most `part` of them (an integer!,
// or null; negative counts as absent), as a binary!, a block of line
// strings or one string!. Raises access cannot-open with the file when it
// cannot be opened or read, script invalid-refine-arg for a negative seek.
void read(const Cell* file, const Cell* part, const Cell* seek, bool binary, bool lines, Cell* result);

// file!'s write. A string! is written as its UTF-8, a binary! as its bytes
// (both cut to `part` when it is given and shorter), anything else molded;
// with `lines` each value of a block, or the one value, is followed by LF.
// The file is replaced unless `append` (write at the end) or `seek` (write
// from that byte, keeping the rest) is asked. A negative seek writes
// nothing and gives -1; else the result is unset. Raises access
// cannot-open when the file cannot be opened or written.
void write(const Cell* file, const Cell* value, const Cell* part, const Cell* seek, bool append, bool lines,
           Cell* result);

// file!'s delete: an empty directory for a directory path, else a file.
// True when it is gone.
bool remove(const Cell* file);

// file!'s query: the date! (UTC) of the last change to the path's content,
// or none when it does not exist or has a directory's form without being
// one.
void query(const Cell* file, Cell* result);

// file!'s rename. True when done. A new name that is not a file! raises
// script invalid-arg.
bool rename(const Cell* from, const Cell* to);

// size?: the file's size as an integer!, or none for a directory path, a
// file that cannot be opened for reading, or one without a size (a pipe, a
// device). A size beyond integer! raises script too-long.
void size(const Cell* file, Cell* result);

// Bytes read from anywhere as read gives them: a binary!, a block of line
// strings, or one string! (UTF-8, byte-order mark dropped, LF line ends).
void value_of_bytes(const std::string& bytes, bool binary, bool lines, Cell* result);

// A file's bytes, whole (checksum of a file!). Raises as read does.
std::string read_bytes(const Cell* file);

}  // namespace vum::files
