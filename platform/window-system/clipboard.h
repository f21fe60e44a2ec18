// The clipboard: text, a list of files or a PNG image. Under X11 it is the
// display's CLIPBOARD selection (clipboard-x11.h); without a display it
// lives in the process.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vum::clip {

struct Content {
    enum class Kind { none, text, files, png };
    Kind kind = Kind::none;
    std::string text;                // UTF-8, LF line ends
    std::vector<std::string> files;  // absolute POSIX paths
    std::vector<uint8_t> png;        // a PNG file's bytes
};

enum class ReadStatus { ok, empty, failed };

class Clipboard {
public:
    virtual ~Clipboard() = default;
    // Takes the clipboard and holds the content; a `none` content empties
    // it. False when the clipboard could not be taken.
    virtual bool write(const Content& content) = 0;
    // The most preferred content there is: text, then files, then an image.
    virtual ReadStatus read(Content& content) = 0;
};

// A clipboard that only this process sees.
std::unique_ptr<Clipboard> make_in_process_clipboard();

// The process's own clipboard, one for all who use it (the headless
// driver's).
Clipboard& in_process_clipboard();

// The X11 selection when a display is wanted and opens, else the
// in-process one; chosen once (the SDL driver's).
Clipboard& display_clipboard();

// The clipboard the environment's routines use: the running window
// system's driver's, or display_clipboard() when none runs.
Clipboard& system_clipboard();

// Files as a text/uri-list (file:// URIs, CR LF after each) and back;
// lines that are comments or not file URIs are skipped.
std::string files_to_uri_list(const std::vector<std::string>& files);
std::vector<std::string> uri_list_to_files(const std::string& list);

}  // namespace vum::clip
