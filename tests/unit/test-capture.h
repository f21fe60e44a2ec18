// Captures what the systems layer's console output writes while fn runs.
#pragma once
#include <unistd.h>

#include <string>

#include "base/console-output.h"

template <class Fn>
std::string capture_output(Fn fn) {
    int fds[2];
    if (pipe(fds) != 0) return "<no pipe>";
    vum::output::set_descriptor(fds[1]);
    fn();
    vum::output::flush();
    vum::output::set_descriptor(STDOUT_FILENO);
    close(fds[1]);
    std::string text;
    char chunk[4096];
    ssize_t n;
    while ((n = read(fds[0], chunk, sizeof chunk)) > 0) text.append(chunk, size_t(n));
    close(fds[0]);
    return text;
}
