#include "platform/desktop-open.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

extern char** environ;

namespace vum::platform {

namespace {

// What the waiting thread learns of the opener, shared with the caller for
// as long as either needs it.
struct ChildEnd {
    std::mutex lock;
    std::condition_variable ended;
    bool done = false;
    bool known = false;  // false when the status went elsewhere (a reaper of all children)
    int status = 0;
};

int wait_for_child(pid_t pid, bool* known) {
    int status = 0;
    pid_t r;
    do r = waitpid(pid, &status, 0);
    while (r < 0 && errno == EINTR);
    *known = r == pid;
    return status;
}

OpenOutcome outcome_of(bool known, int status) {
    if (!known) return OpenOutcome::opened;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? OpenOutcome::opened : OpenOutcome::failed;
}

// The opener starts with a clean signal state: nothing blocked, and the
// signals this process catches or ignores back to their defaults.
bool spawn_opener(const std::string& target, pid_t* pid) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int s : {SIGPIPE, SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGCHLD}) sigaddset(&defaults, s);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSID);
    std::string program = "xdg-open";
    std::string argument = target;
    char* argv[] = {program.data(), argument.data(), nullptr};
    int rc = posix_spawnp(pid, program.c_str(), &actions, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0;
}

}  // namespace

OpenOutcome open_on_desktop(const std::string& target, int grace_milliseconds) {
    pid_t pid;
    if (!spawn_opener(target, &pid)) return OpenOutcome::no_opener;
    auto end = std::make_shared<ChildEnd>();
    try {
        std::thread([end, pid] {
            bool known = false;
            int status = wait_for_child(pid, &known);
            std::lock_guard<std::mutex> hold(end->lock);
            end->done = true;
            end->known = known;
            end->status = status;
            end->ended.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        // With no thread to reap it later, the opener is waited for.
        bool known = false;
        int status = wait_for_child(pid, &known);
        return outcome_of(known, status);
    }
    std::unique_lock<std::mutex> hold(end->lock);
    if (!end->ended.wait_for(hold, std::chrono::milliseconds(grace_milliseconds), [&] { return end->done; }))
        return OpenOutcome::opened;
    return outcome_of(end->known, end->status);
}

}  // namespace vum::platform
