#include "platform/http-client.h"

#include "platform/module-loader.h"

namespace vum::platform::http {

namespace {

using Entry = Outcome (*)(const Request&, Reply*, std::string*);

}  // namespace

Outcome perform(const Request& request, Reply* reply, std::string* reason) {
    static std::string why;
    static const Entry entry = reinterpret_cast<Entry>(module_symbol(module_name, module_entry, &why));
    if (!entry) {
        *reply = Reply{};
        if (reason) *reason = why;
        return Outcome::failed;
    }
    return entry(request, reply, reason);
}

}  // namespace vum::platform::http
