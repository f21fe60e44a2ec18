// read and write of url! values over HTTP and HTTPS: the language's side of
// platform/http-client. A request is a method word, the URL, an optional
// block of header names and values and optional data; the reply comes back
// as the body (binary!, block of lines or string!), or with `info` as the
// block [status headers body] where headers is a map! of word keys to
// strings (a repeated header: a block of its strings). HTTP statuses are
// values, never errors.
#pragma once
#include <string>

#include "memory/cell.h"

namespace vum::url_io {

// Whether the URL's scheme is served here (its text begins with "http",
// so https as well).
bool is_http(const Cell* url);

// One request. Without a header block the request carries the default
// headers; an empty block sends none. Data is sent for methods other than
// GET and HEAD only: a string! as UTF-8, a binary! as its bytes, anything
// else formed. The result is none when no reply came (no connection, TLS
// refused, reply cut short), and *why (when given) then says why; a reply
// body beyond the 32-bit series size raises script too-long.
void request(const Cell* method, const Cell* url, const Cell* headers, const Cell* data, bool binary, bool lines,
             bool info, Cell* result, std::string* why = nullptr);

// url!'s read and write for http URLs (the datatype's handlers pass them
// on). read is a GET; write takes a request block [method headers data]
// (each part optional, an empty block a GET) or the data of a POST. No
// reply raises access no-connect with the URL and the reason; /part, /seek, /as, /allow
// raise not-done.
void read(const Cell* url, const Cell* part, const Cell* seek, bool binary, bool lines, bool info, const Cell* as,
          Cell* result);
void write(const Cell* url, const Cell* value, bool binary, bool lines, bool info, const Cell* seek,
           const Cell* allow, const Cell* as, Cell* result);

}  // namespace vum::url_io
