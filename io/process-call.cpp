#include "io/process-call.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <utility>

extern char** environ;

namespace vum::process {

namespace {

constexpr size_t chunk = 64 * 1024;
constexpr const char* shell_path = "/bin/sh";

// A descriptor this side owns, closed when it goes.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    int get() const { return fd_; }
    bool open() const { return fd_ >= 0; }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

// Descriptors 0 to 2 are free only when this process's own standard
// streams are closed. One taken from there would be overwritten while the
// child's streams are put in place, so it moves above them.
Fd above_standard(int fd) {
    if (fd < 0 || fd > 2) return Fd(fd);
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    ::close(fd);
    return Fd(moved);
}

Fd open_file(const char* path, int flags) {
    int fd;
    do fd = ::open(path, flags | O_CLOEXEC, 0666);
    while (fd < 0 && errno == EINTR);
    return above_standard(fd);
}

bool make_pipe(Fd& read_end, Fd& write_end) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return false;
    read_end = above_standard(ends[0]);
    write_end = above_standard(ends[1]);
    return read_end.open() && write_end.open();
}

bool set_nonblocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// The child's three standard streams, and this side's ends of the pipes.
struct Plumbing {
    Fd child[3];
    Fd feed;      // writes the child's input
    Fd drain[2];  // reads its output and its error
};

bool set_up_input(const Source& input, Plumbing& p) {
    switch (input.kind) {
        case Source::null_device: p.child[0] = open_file("/dev/null", O_RDONLY); break;
        case Source::file: p.child[0] = open_file(input.data.c_str(), O_RDONLY); break;
        case Source::bytes: return make_pipe(p.child[0], p.feed) && set_nonblocking(p.feed.get());
    }
    return p.child[0].open();
}

bool set_up_sink(const Sink& sink, Fd& child, Fd& drain) {
    switch (sink.kind) {
        case Sink::null_device: child = open_file("/dev/null", O_WRONLY); break;
        case Sink::file: child = open_file(sink.path.c_str(), O_WRONLY | O_CREAT | O_APPEND); break;
        case Sink::collect: return make_pipe(drain, child) && set_nonblocking(drain.get());
    }
    return child.open();
}

bool set_up(const Request& r, Plumbing& p) {
    return set_up_input(r.input, p) && set_up_sink(r.output, p.child[1], p.drain[0]) &&
           set_up_sink(r.error, p.child[2], p.drain[1]);
}

// Starts the program the words name (through PATH unless it holds a "/")
// with the plumbing's streams, the process's environment and directory, no
// other descriptor of this process, every signal at its default action and
// none blocked. Returns 0 or the error number.
int spawn(const std::vector<std::string>& words, bool search_path, const Plumbing& p, pid_t* pid) {
    std::vector<char*> argv;
    for (const std::string& w : words) argv.push_back(const_cast<char*>(w.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int k = 0; k < 3; k++) posix_spawn_file_actions_adddup2(&actions, p.child[k].get(), k);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    // Descriptors opened elsewhere without close-on-exec stay with us.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
#endif
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, every;
    sigemptyset(&none);
    sigfillset(&every);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &every);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    int failed = search_path ? posix_spawnp(pid, argv[0], &actions, &attributes, argv.data(), environ)
                             : posix_spawn(pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return failed;
}

int spawn_through_shell(const std::string& line, const Plumbing& p, pid_t* pid) {
    return spawn({shell_path, "-c", line}, false, p, pid);
}

// Children that no thread could be made to wait for; each run collects
// those that have ended since.
std::mutex strays_lock;
std::vector<pid_t> strays;

void collect_strays() {
    std::lock_guard<std::mutex> hold(strays_lock);
    std::erase_if(strays, [](pid_t pid) {
        int status;
        return waitpid(pid, &status, WNOHANG) != 0;
    });
}

void* wait_for_child(void* pid) {
    int status;
    while (waitpid(pid_t(reinterpret_cast<intptr_t>(pid)), &status, 0) < 0 && errno == EINTR) {
    }
    return nullptr;
}

// A small detached thread waits for the child. It blocks every signal, so
// that those meant for the process (Ctrl-C) still reach the threads that
// handle them.
void reap_in_background(pid_t pid) {
    sigset_t every, previous;
    sigfillset(&every);
    pthread_sigmask(SIG_BLOCK, &every, &previous);
    pthread_attr_t attributes;
    pthread_t thread;
    bool made = pthread_attr_init(&attributes) == 0 &&
                pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED) == 0 &&
                pthread_attr_setstacksize(&attributes, 256 * 1024) == 0 &&
                pthread_create(&thread, &attributes, wait_for_child,
                               reinterpret_cast<void*>(intptr_t(pid))) == 0;
    pthread_attr_destroy(&attributes);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (made) return;
    std::lock_guard<std::mutex> hold(strays_lock);
    strays.push_back(pid);
}

int32_t wait_for(pid_t pid) {
    int status;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return exit_code(status);
}

// How often a call that can be cancelled looks at its flag while nothing
// else wakes it.
constexpr int cancel_poll_ms = 50;

bool cancelled(const Request& r) { return r.cancel && r.cancel->load(); }

void sleep_ms(int ms) {
    timespec t{0, long(ms) * 1000000L};
    nanosleep(&t, nullptr);
}

// A descriptor that becomes readable when the child ends, where the kernel
// has them; else none, and the waits below sleep in short steps.
Fd exit_notice(pid_t pid) {
#ifdef SYS_pidfd_open
    return above_standard(int(syscall(SYS_pidfd_open, pid, 0)));
#else
    (void)pid;
    return Fd();
#endif
}

// Waits up to ms for the child to end (or a signal to arrive).
void pause_for_child(const Fd& notice, int ms) {
    if (!notice.open()) {
        sleep_ms(std::min(ms, 10));
        return;
    }
    pollfd ready{notice.get(), POLLIN, 0};
    poll(&ready, 1, ms);
}

// Reaps the child if it has ended: its exit code, or nothing yet.
std::optional<int32_t> reap_if_ended(pid_t pid) {
    int status;
    pid_t r;
    do r = waitpid(pid, &status, WNOHANG);
    while (r < 0 && errno == EINTR);
    if (r == 0) return std::nullopt;
    return r < 0 ? -1 : exit_code(status);
}

// Asks the child to end, gives it a moment to clean up, then kills it; it
// is reaped either way, so no zombie stays behind.
int32_t stop(pid_t pid) {
    constexpr int grace_ms = 500;
    Fd notice = exit_notice(pid);
    ::kill(pid, SIGTERM);
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        if (std::optional<int32_t> code = reap_if_ended(pid)) return *code;
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        int64_t waited = (int64_t(now.tv_sec) - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
        if (waited >= grace_ms) break;
        pause_for_child(notice, int(grace_ms - waited));
    }
    ::kill(pid, SIGKILL);
    return wait_for(pid);
}

// wait_for with the request's cancel flag looked at as it goes.
int32_t wait_for(pid_t pid, const Request& r, Outcome& o) {
    if (!r.cancel) return wait_for(pid);
    Fd notice = exit_notice(pid);
    for (;;) {
        if (std::optional<int32_t> code = reap_if_ended(pid)) return *code;
        if (cancelled(r)) {
            o.cancelled = true;
            return stop(pid);
        }
        pause_for_child(notice, cancel_poll_ms);
    }
}

// A write to a pipe whose reader has gone raises SIGPIPE at this thread;
// the write's EPIPE says all there is to know. The signal is held back
// while the pipes are served and, when one was raised here, taken away.
class QuietBrokenPipes {
public:
    QuietBrokenPipes() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        was_pending_ = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &pipe_, &previous_);
    }
    ~QuietBrokenPipes() {
        if (broke && !was_pending_) {
            timespec no_wait{};
            while (sigtimedwait(&pipe_, nullptr, &no_wait) == SIGPIPE) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    QuietBrokenPipes(const QuietBrokenPipes&) = delete;
    QuietBrokenPipes& operator=(const QuietBrokenPipes&) = delete;
    bool broke = false;

private:
    sigset_t pipe_;
    sigset_t previous_;
    bool was_pending_ = false;
};

// Feeds the child's input and collects its output and error as each pipe
// is ready, until the child has closed the ones it reads from and this
// side has written everything (or the child stopped reading).
void serve(Plumbing& p, const Request& r, Outcome& o) {
    const std::string& data = r.input.data;
    size_t sent = 0;
    if (p.feed.open() && data.empty()) p.feed.reset();
    std::string* collected[2] = {&o.output, &o.error};
    bool* cut[2] = {&o.output_cut, &o.error_cut};
    QuietBrokenPipes quiet;
    char buffer[chunk];
    const int timeout = r.cancel ? cancel_poll_ms : -1;
    for (;;) {
        if (cancelled(r)) {
            // The child is stopped next: what it still writes is not wanted.
            p.feed.reset();
            for (Fd& d : p.drain) d.reset();
            return;
        }
        pollfd ready[3];
        Fd* which[3];
        nfds_t n = 0;
        if (p.feed.open()) {
            ready[n] = {p.feed.get(), POLLOUT, 0};
            which[n++] = &p.feed;
        }
        for (Fd& d : p.drain) {
            if (!d.open()) continue;
            ready[n] = {d.get(), POLLIN, 0};
            which[n++] = &d;
        }
        if (n == 0) return;
        if (poll(ready, n, timeout) < 0) {
            if (errno == EINTR) continue;
            // Nothing more can be served: closing the pipes ends the
            // child's use of them.
            p.feed.reset();
            for (Fd& d : p.drain) d.reset();
            return;
        }
        for (nfds_t k = 0; k < n; k++) {
            if (!ready[k].revents) continue;
            Fd& fd = *which[k];
            if (&fd == &p.feed) {
                ssize_t wrote = ::write(fd.get(), data.data() + sent, std::min(chunk, data.size() - sent));
                if (wrote > 0) sent += size_t(wrote);
                else if (wrote < 0 && errno != EAGAIN && errno != EINTR) {
                    quiet.broke = quiet.broke || errno == EPIPE;
                    fd.reset();
                }
                if (sent == data.size()) fd.reset();
                continue;
            }
            int stream = &fd == &p.drain[0] ? 0 : 1;
            ssize_t got = ::read(fd.get(), buffer, chunk);
            if (got > 0) {
                std::string& into = *collected[stream];
                size_t keep = std::min(size_t(got), r.collect_limit - std::min(r.collect_limit, into.size()));
                into.append(buffer, keep);
                if (keep < size_t(got)) *cut[stream] = true;
            } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                fd.reset();
            }
        }
    }
}

}  // namespace

Outcome run(const Request& request) {
    collect_strays();
    Outcome outcome;
    Plumbing plumbing;
    if (!set_up(request, plumbing)) return outcome;

    pid_t pid = 0;
    int failed;
    std::optional<std::vector<std::string>> words;
    if (!request.shell) words = split_command(request.command);
    if (request.shell || !words) {
        outcome.through_shell = true;
        failed = spawn_through_shell(request.command, plumbing, &pid);
    } else {
        failed = words->empty() ? ENOENT : spawn(*words, true, plumbing, &pid);
        if (failed == ENOENT) {
            outcome.through_shell = true;
            failed = spawn_through_shell(request.command, plumbing, &pid);
        }
    }
    if (failed) return outcome;

    // The child holds its own copies now: the pipes end when it closes them.
    for (Fd& c : plumbing.child) c.reset();
    bool redirected = request.input.kind != Source::null_device || request.output.kind != Sink::null_device ||
                      request.error.kind != Sink::null_device;
    if (!request.wait && !redirected) {
        reap_in_background(pid);
        outcome.result = int32_t(pid);
        return outcome;
    }
    serve(plumbing, request, outcome);
    outcome.result = wait_for(pid, request, outcome);
    return outcome;
}

std::optional<std::vector<std::string>> split_command(std::string_view line) {
    std::vector<std::string> words;
    std::string word;
    bool in_word = false;
    size_t i = 0;
    const size_t n = line.size();
    while (i < n) {
        char c = line[i];
        if (c == '\\' && i + 1 < n && line[i + 1] == '\n') {
            i += 2;  // a line continued
            continue;
        }
        if (c == ' ' || c == '\t' || c == '\n') {
            if (in_word) words.push_back(std::move(word));
            word.clear();
            in_word = false;
            i++;
            continue;
        }
        in_word = true;
        if (c == '\'') {
            size_t end = line.find('\'', i + 1);
            if (end == std::string_view::npos) return std::nullopt;
            word.append(line.substr(i + 1, end - i - 1));
            i = end + 1;
        } else if (c == '"') {
            for (i++;; i++) {
                if (i >= n) return std::nullopt;
                char d = line[i];
                if (d == '"') break;
                if (d == '\\' && i + 1 < n) {
                    char e = line[i + 1];
                    if (e == '"' || e == '\\' || e == '$' || e == '`') {
                        word += e;
                        i++;
                        continue;
                    }
                    if (e == '\n') {
                        i++;
                        continue;
                    }
                }
                word += d;
            }
            i++;
        } else if (c == '\\' && i + 1 < n) {
            word += line[i + 1];
            i += 2;
        } else {
            word += c;
            i++;
        }
    }
    if (in_word) words.push_back(std::move(word));
    return words;
}

std::string quote_word(std::string_view word) {
    std::string quoted = "'";
    for (char c : word) {
        if (c == '\'') quoted += "'\\''";
        else quoted += c;
    }
    quoted += '\'';
    return quoted;
}

int32_t exit_code(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

void normalise_lines(std::string& text) {
    size_t from = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    size_t to = 0;
    for (size_t i = from; i < text.size(); i++) {
        char c = text[i];
        if (c == '\r') {
            if (i + 1 < text.size() && text[i + 1] == '\n') i++;
            c = '\n';
        }
        text[to++] = c;
    }
    text.resize(to);
}

}  // namespace vum::process
