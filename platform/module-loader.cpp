#include "platform/module-loader.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <map>
#include <mutex>

namespace vum::platform {

namespace {

std::string program_directory() {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return ".";
    std::string p(path, size_t(n));
    size_t slash = p.rfind('/');
    return slash == std::string::npos ? "." : p.substr(0, slash);
}

struct Loaded {
    void* handle = nullptr;
    std::string error;
};

Loaded open_module(const std::string& library) {
    Loaded result;
    std::string directory = program_directory();
    for (const std::string& place : {directory + "/" + library, directory + "/../" + library}) {
        if (access(place.c_str(), R_OK) != 0) continue;
        result.handle = dlopen(place.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (result.handle) return result;
        const char* e = dlerror();
        result.error = e ? e : "cannot load " + place;
        return result;
    }
    result.error = library + " not found beside the program (" + directory + ")";
    return result;
}

}  // namespace

void* module_symbol(const char* library, const char* symbol, std::string* why) {
    // A program linked with the module has the symbol already.
    if (void* linked = dlsym(RTLD_DEFAULT, symbol)) return linked;
    static std::mutex lock;
    static std::map<std::string, Loaded> modules;
    std::lock_guard<std::mutex> hold(lock);
    auto found = modules.find(library);
    if (found == modules.end()) found = modules.emplace(library, open_module(library)).first;
    const Loaded& m = found->second;
    if (!m.handle) {
        if (why) *why = m.error;
        return nullptr;
    }
    void* address = dlsym(m.handle, symbol);
    if (!address && why) *why = std::string(symbol) + " missing from " + library;
    return address;
}

}  // namespace vum::platform
