#include "platform/window-system/clipboard.h"

#include <mutex>

#include "platform/window-system/clipboard-x11.h"
#include "platform/window-system/drivers/display-driver.h"
#include "platform/window-system/windows.h"

namespace vum::clip {

namespace {

class InProcessClipboard : public Clipboard {
public:
    bool write(const Content& content) override {
        std::lock_guard<std::mutex> hold(lock_);
        content_ = content;
        return true;
    }
    ReadStatus read(Content& content) override {
        std::lock_guard<std::mutex> hold(lock_);
        if (content_.kind == Content::Kind::none) return ReadStatus::empty;
        content = content_;
        return ReadStatus::ok;
    }

private:
    std::mutex lock_;
    Content content_;
};

bool unreserved(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' || c == '-' ||
           c == '_' || c == '.' || c == '~';
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::unique_ptr<Clipboard> make_in_process_clipboard() { return std::make_unique<InProcessClipboard>(); }

Clipboard& in_process_clipboard() {
    static InProcessClipboard shared;
    return shared;
}

Clipboard& system_clipboard() { return win::running() ? win::driver().clipboard() : display_clipboard(); }

Clipboard& display_clipboard() {
    static std::unique_ptr<Clipboard> x11;
    static std::once_flag tried;
    std::call_once(tried, [] {
        if (!win::headless_wanted()) x11 = make_x11_clipboard();
    });
    return x11 ? *x11 : in_process_clipboard();
}

std::string files_to_uri_list(const std::vector<std::string>& files) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (const std::string& path : files) {
        out += "file://";
        for (unsigned char c : path) {
            if (unreserved(c)) {
                out += char(c);
            } else {
                out += '%';
                out += digits[c >> 4];
                out += digits[c & 15];
            }
        }
        out += "\r\n";
    }
    return out;
}

std::vector<std::string> uri_list_to_files(const std::string& list) {
    std::vector<std::string> files;
    size_t start = 0;
    while (start < list.size()) {
        size_t end = list.find('\n', start);
        if (end == std::string::npos) end = list.size();
        std::string line = list.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind("file://", 0) != 0) continue;  // comments, other schemes
        // file://host/path: the path starts at the first slash after the host.
        size_t slash = line.find('/', 7);
        if (slash == std::string::npos) continue;
        std::string path;
        bool good = true;
        for (size_t i = slash; i < line.size(); ++i) {
            if (line[i] != '%') {
                path += line[i];
                continue;
            }
            int high = i + 2 < line.size() ? hex_value(line[i + 1]) : -1;
            int low = i + 2 < line.size() ? hex_value(line[i + 2]) : -1;
            if (high < 0 || low < 0) {
                good = false;
                break;
            }
            path += char(high * 16 + low);
            i += 2;
        }
        if (good && !path.empty()) files.push_back(path);
    }
    return files;
}

}  // namespace vum::clip
