#include "base/console-input.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "base/console-output.h"

namespace vum::input {

namespace {
void write(const std::string& text) { output::write_raw(text.data(), int32_t(text.size())); }

// Turns the terminal's echo off for its lifetime.
class EchoOff {
public:
    EchoOff() {
        if (::tcgetattr(STDIN_FILENO, &saved_) != 0) return;
        termios quiet = saved_;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        changed_ = ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
    }
    ~EchoOff() {
        if (changed_) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_);
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

private:
    termios saved_{};
    bool changed_ = false;
};

// One line from the shared standard input stream, so that the console's
// loop and `ask` read in turn from the same buffer.
bool read_line(std::string* line) {
    char* text = nullptr;
    size_t capacity = 0;
    ssize_t n = ::getline(&text, &capacity, stdin);
    if (n >= 0) line->assign(text, size_t(n));
    std::free(text);
    if (n < 0) return false;
    if (!line->empty() && line->back() == '\n') line->pop_back();
    if (!line->empty() && line->back() == '\r') line->pop_back();
    return true;
}
}  // namespace

bool ask(const std::string& prompt, bool hide, std::string* line) {
    write(prompt);
    const bool terminal = ::isatty(STDIN_FILENO) == 1;
    bool got;
    if (terminal && hide) {
        EchoOff quiet;
        got = read_line(line);
        write("\n");
    } else {
        got = read_line(line);
    }
    if (!got) {
        write("\n");
        return false;
    }
    if (!terminal) {
        size_t characters = 0;
        for (unsigned char c : *line) characters += (c & 0xC0) != 0x80;
        write((hide ? std::string(characters, '*') : *line) + "\n");
    }
    return true;
}

}  // namespace vum::input
