#include "platform/file-system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace vum::platform {

namespace {

constexpr size_t chunk_size = size_t(64) << 10;

// A file descriptor closed on every way out.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    // Keeps errno: the caller reports the failure that came before.
    ~Descriptor() {
        if (fd_ < 0) return;
        const int saved = errno;
        ::close(fd_);
        errno = saved;
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Closing is where some file systems report a failed write.
    bool close() {
        int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

ssize_t read_some(int fd, char* into, size_t length) {
    ssize_t n;
    do n = ::read(fd, into, length);
    while (n < 0 && errno == EINTR);
    return n;
}

bool write_all(int fd, const char* bytes, size_t length) {
    while (length > 0) {
        ssize_t n = ::write(fd, bytes, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        length -= size_t(n);
    }
    return true;
}

// Moves to byte `seek`: by seeking where the file allows it, else by
// reading the bytes before it. False when the file fails; reaching its end
// first is no failure (nothing is left to read).
bool position_at(int fd, int64_t seek) {
    if (seek <= 0) return true;
    if (lseek(fd, off_t(seek), SEEK_SET) >= 0) return true;
    if (errno != ESPIPE) return false;
    char scratch[4096];
    while (seek > 0) {
        ssize_t n = read_some(fd, scratch, size_t(std::min<int64_t>(seek, int64_t(sizeof scratch))));
        if (n < 0) return false;
        if (n == 0) return true;
        seek -= n;
    }
    return true;
}

bool is_directory_at(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

ReadStatus read_file(const char* path, int64_t seek, int64_t part, int64_t limit, std::string* out) {
    Descriptor fd(open(path, O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return ReadStatus::cannot_open;
    struct stat info;
    if (fstat(fd.get(), &info) != 0) return ReadStatus::cannot_open;
    if (S_ISDIR(info.st_mode)) {
        errno = EISDIR;
        return ReadStatus::cannot_open;
    }
    if (!position_at(fd.get(), seek)) return ReadStatus::cannot_open;
    const int64_t wanted = part < 0 ? INT64_MAX : part;
    // A size the file reports is a hint for the buffer and an early answer
    // to the limit; what the reads give is what counts.
    if (S_ISREG(info.st_mode) && info.st_size > 0) {
        int64_t expected = std::min(std::max<int64_t>(0, int64_t(info.st_size) - std::max<int64_t>(seek, 0)), wanted);
        if (expected > limit) return ReadStatus::too_long;
        out->reserve(out->size() + size_t(expected));
    }
    int64_t got = 0;
    while (got < wanted) {
        size_t room = size_t(std::min<int64_t>(wanted - got, int64_t(chunk_size)));
        size_t at = out->size();
        out->resize(at + room);
        ssize_t n = read_some(fd.get(), out->data() + at, room);
        if (n < 0) {
            out->resize(at);
            return ReadStatus::cannot_open;
        }
        out->resize(at + size_t(n));
        if (n == 0) break;
        got += n;
        if (got > limit) return ReadStatus::too_long;
    }
    return ReadStatus::ok;
}

bool write_file(const char* path, const char* bytes, size_t length, int64_t seek, bool append) {
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC;
    if (seek < 0 && !append) flags |= O_TRUNC;
    Descriptor fd(open(path, flags, 0666));
    if (!fd.valid()) return false;
    if (seek >= 0 && lseek(fd.get(), off_t(seek), SEEK_SET) < 0) return false;
    // A pipe or a terminal has no end to move to: it is written as it is.
    if (append && lseek(fd.get(), 0, SEEK_END) < 0 && errno != ESPIPE) return false;
    if (!write_all(fd.get(), bytes, length)) return false;
    return fd.close();
}

bool list_directory(const char* path, std::vector<DirectoryEntry>* entries) {
    DIR* dir = opendir(path);
    if (!dir) return false;
    std::string base(path);
    if (!base.empty() && base.back() != '/') base += '/';
    while (dirent* e = readdir(dir)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        bool directory = e->d_type == DT_DIR;
        if (e->d_type == DT_LNK || e->d_type == DT_UNKNOWN) directory = is_directory_at(base + e->d_name);
        entries->push_back({e->d_name, directory});
    }
    closedir(dir);
    std::sort(entries->begin(), entries->end(),
              [](const DirectoryEntry& a, const DirectoryEntry& b) { return a.name < b.name; });
    return true;
}

bool remove_path(const char* path, bool directory) { return (directory ? rmdir(path) : unlink(path)) == 0; }

bool rename_path(const char* from, const char* to) { return std::rename(from, to) == 0; }

bool path_facts(const char* path, PathFacts* facts) {
    struct stat info;
    if (stat(path, &info) != 0) return false;
    facts->directory = S_ISDIR(info.st_mode);
    facts->regular = S_ISREG(info.st_mode);
    facts->size = int64_t(info.st_size);
    facts->modified_seconds = int64_t(info.st_mtim.tv_sec);
    facts->modified_nanoseconds = int32_t(info.st_mtim.tv_nsec);
    return true;
}

int64_t readable_file_size(const char* path) {
    Descriptor fd(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) return -1;
    struct stat info;
    if (fstat(fd.get(), &info) != 0) return -1;
    return S_ISREG(info.st_mode) ? int64_t(info.st_size) : -2;
}

}  // namespace vum::platform
