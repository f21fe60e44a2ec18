// The runtime's side of the window system module: its entries, looked up
// on first use.
#include "platform/window-system/window-system-module.h"

#include "platform/module-loader.h"

namespace vum::clip {

namespace {
constexpr const char* module = "libvum-windows.so";
using ReadFn = int (*)(Content*);
using WriteFn = bool (*)(const Content*);

template <typename Fn>
Fn entry(const char* name) {
    return reinterpret_cast<Fn>(platform::module_symbol(module, name));
}
}  // namespace

ReadStatus read_system_clipboard(Content& content) {
    static ReadFn read = entry<ReadFn>("vum_windows_read_clipboard");
    return read ? ReadStatus(read(&content)) : ReadStatus::failed;
}

bool write_system_clipboard(const Content& content) {
    static WriteFn write = entry<WriteFn>("vum_windows_write_clipboard");
    return write && write(&content);
}

}  // namespace vum::clip
