#include "io/file-url-actions.h"

#include "datatypes/actions.h"
#include "datatypes/file-url.h"
#include "datatypes/port.h"
#include "io/files.h"
#include "io/url-io.h"
#include "memory/collector.h"
#include "memory/raise-error.h"

namespace vum::file_url_actions {

namespace {

[[noreturn]] void not_done() { errors::raise(err::internal::not_done); }

void url_read(const Cell* source, const Cell* part, const Cell* seek, bool binary, bool lines, bool info,
              const Cell* as, Cell* result) {
    if (url_io::is_http(source)) {
        url_io::read(source, part, seek, binary, lines, info, as, result);
        return;
    }
    gc::Local port(file_url::open_port(source));
    port::read(&port, part, seek, binary, lines, info, as, result);
}

void url_write(const Cell* destination, const Cell* value, bool binary, bool lines, bool info, bool append,
               const Cell* part, const Cell* seek, const Cell* allow, const Cell* as, Cell* result) {
    if (url_io::is_http(destination)) {
        url_io::write(destination, value, binary, lines, info, seek, allow, as, result);
        return;
    }
    gc::Local port(file_url::open_port(destination));
    port::write(&port, value, binary, lines, info, append, part, seek, allow, as, result);
}

void file_read(const Cell* source, const Cell* part, const Cell* seek, bool binary, bool lines, bool,
               const Cell* as, Cell* result) {
    if (as) not_done();
    files::read(source, part, seek, binary, lines, result);
}

void file_write(const Cell* destination, const Cell* value, bool, bool lines, bool, bool append, const Cell* part,
                const Cell* seek, const Cell* allow, const Cell* as, Cell* result) {
    if (allow || as) not_done();
    files::write(destination, value, part, seek, append, lines, result);
}

void file_delete(const Cell* target, Cell* result) { cell::make_logic(result, files::remove(target)); }
void file_query(const Cell* target, Cell* result) { files::query(target, result); }
void file_rename(const Cell* from, const Cell* to, Cell* result) {
    cell::make_logic(result, files::rename(from, to));
}

}  // namespace

void init() {
    using namespace actions;
    fill<slot_read>(type_url, url_read);
    fill<slot_write>(type_url, url_write);
    fill<slot_delete>(type_file, file_delete);
    fill<slot_query>(type_file, file_query);
    fill<slot_read>(type_file, file_read);
    fill<slot_rename>(type_file, file_rename);
    fill<slot_write>(type_file, file_write);
}

}  // namespace vum::file_url_actions
