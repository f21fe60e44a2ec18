// The file system as the file services need it, over POSIX: whole-file
// reads and writes, directory listings, removal, renaming and the facts a
// query asks for. Paths are UTF-8 text as the system takes it; nothing here
// knows about cells, and nothing raises: each call says how it went, and
// after a failure errno says why (EISDIR for a directory read as a file).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace vum::platform {

enum class ReadStatus {
    ok,
    cannot_open,  // opening, positioning or reading failed
    too_long,     // more bytes than the limit allows
};

// The bytes of a file from byte `seek` on, at most `part` of them (all when
// `part` is negative), appended to `out`. The file is read to its end in
// one pass into a growing buffer, so what reports no size (pipes, files
// under /proc) comes whole and nothing is ever read twice; a file that
// cannot be positioned (a pipe) has the bytes before `seek` read and
// dropped. More than `limit` bytes to keep gives too_long before they are
// read when the size is known, else as soon as the limit is passed.
ReadStatus read_file(const char* path, int64_t seek, int64_t part, int64_t limit, std::string* out);

// Writes bytes to a file, made when missing. Without `seek` (negative) or
// `append` the file is emptied first; `seek` writes from that byte
// (overwriting, or extending the file with zeros); `append` writes at the
// end. False when the file cannot be opened or written whole.
bool write_file(const char* path, const char* bytes, size_t length, int64_t seek, bool append);

struct DirectoryEntry {
    std::string name;
    bool directory;  // following a symbolic link to what it names
};
// The entries of a directory but "." and "..", sorted by their names'
// bytes. False when it cannot be opened.
bool list_directory(const char* path, std::vector<DirectoryEntry>* entries);

// rmdir for a directory (which must be empty), else unlink.
bool remove_path(const char* path, bool directory);
bool rename_path(const char* from, const char* to);

struct PathFacts {
    bool directory;
    bool regular;
    int64_t size;
    int64_t modified_seconds;  // since the epoch, UTC
    int32_t modified_nanoseconds;
};
// What stat says of the path (following links); false when it gives nothing.
bool path_facts(const char* path, PathFacts* facts);

// The size of a regular file that can be opened for reading: -1 when it
// cannot be opened, -2 when it is no regular file (a directory, a pipe, a
// device). A pipe is never waited on for a writer.
int64_t readable_file_size(const char* path);

}  // namespace vum::platform
