// The POSIX layer under the file services, and the path form that makes a
// directory.
#include "platform/file-system.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "io/files.h"

using namespace vum;

namespace {

// A folder of its own under /tmp, removed with what is in it.
class FileSystemTest : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/vum-file-system-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        folder = name;
    }
    void TearDown() override {
        std::string command = "rm -rf '" + folder + "'";
        EXPECT_EQ(std::system(command.c_str()), 0);
    }
    std::string at(const char* name) const { return folder + "/" + name; }
    void put(const char* name, const std::string& bytes) const {
        ASSERT_TRUE(platform::write_file(at(name).c_str(), bytes.data(), bytes.size(), -1, false));
    }
    std::string get(const char* name) const {
        std::string out;
        EXPECT_EQ(platform::read_file(at(name).c_str(), 0, -1, INT32_MAX, &out), platform::ReadStatus::ok);
        return out;
    }
    std::string folder;
};

TEST_F(FileSystemTest, ReadsFromASeekUpToAPart) {
    put("f", "0123456789");
    struct Case {
        int64_t seek, part;
        const char* bytes;
    } cases[] = {
        {0, -1, "0123456789"}, {0, 0, ""}, {0, 3, "012"}, {7, -1, "789"},
        {7, 10, "789"},        {2, 3, "234"}, {10, -1, ""}, {50, 5, ""},
    };
    for (const Case& c : cases) {
        std::string out;
        EXPECT_EQ(platform::read_file(at("f").c_str(), c.seek, c.part, INT32_MAX, &out), platform::ReadStatus::ok);
        EXPECT_EQ(out, c.bytes) << c.seek << " " << c.part;
    }
}

TEST_F(FileSystemTest, RefusesWhatPassesTheLimitWithOrWithoutAKnownSize) {
    put("f", std::string(100, 'x'));
    std::string out;
    EXPECT_EQ(platform::read_file(at("f").c_str(), 0, -1, 99, &out), platform::ReadStatus::too_long);
    EXPECT_EQ(out, "");  // known from the size, before reading
    EXPECT_EQ(platform::read_file(at("f").c_str(), 1, -1, 99, &out), platform::ReadStatus::ok);
    EXPECT_EQ(out.size(), 99u);
    out.clear();
    EXPECT_EQ(platform::read_file(at("f").c_str(), 0, 99, 99, &out), platform::ReadStatus::ok);
    // A pipe tells no size: the limit is met while reading.
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    std::thread writer([&] {
        std::string bytes(200000, 'y');
        for (size_t at = 0; at < bytes.size();) {
            ssize_t n = write(ends[1], bytes.data() + at, bytes.size() - at);
            if (n <= 0) break;
            at += size_t(n);
        }
        close(ends[1]);
    });
    std::string path = "/proc/self/fd/" + std::to_string(ends[0]);
    out.clear();
    EXPECT_EQ(platform::read_file(path.c_str(), 0, -1, 150000, &out), platform::ReadStatus::too_long);
    // What is left unread fits in the pipe: the writer ends on its own.
    writer.join();
    close(ends[0]);
}

TEST_F(FileSystemTest, SeeksAPipeByReadingPastTheBytes) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    std::string bytes;
    for (int i = 0; i < 100000; i++) bytes += char('a' + i % 26);
    std::thread writer([&] {
        for (size_t at = 0; at < bytes.size();) {
            ssize_t n = write(ends[1], bytes.data() + at, bytes.size() - at);
            if (n <= 0) break;
            at += size_t(n);
        }
        close(ends[1]);
    });
    std::string path = "/proc/self/fd/" + std::to_string(ends[0]);
    std::string out;
    EXPECT_EQ(platform::read_file(path.c_str(), 70001, -1, INT32_MAX, &out), platform::ReadStatus::ok);
    writer.join();
    close(ends[0]);
    EXPECT_EQ(out, bytes.substr(70001));
}

TEST_F(FileSystemTest, WritesReplacingAppendingOrFromAPosition) {
    put("f", "abcdef");
    ASSERT_TRUE(platform::write_file(at("f").c_str(), "XY", 2, 2, false));
    EXPECT_EQ(get("f"), "abXYef");
    ASSERT_TRUE(platform::write_file(at("f").c_str(), "gh", 2, -1, true));
    EXPECT_EQ(get("f"), "abXYefgh");
    ASSERT_TRUE(platform::write_file(at("f").c_str(), "!", 1, 10, false));
    EXPECT_EQ(get("f"), std::string("abXYefgh\0\0!", 11));
    ASSERT_TRUE(platform::write_file(at("f").c_str(), "z", 1, -1, false));
    EXPECT_EQ(get("f"), "z");
    EXPECT_FALSE(platform::write_file(at("no-dir/f").c_str(), "z", 1, -1, false));
    EXPECT_FALSE(platform::write_file(folder.c_str(), "z", 1, -1, false));
}

TEST_F(FileSystemTest, DirectoriesAreNeitherReadNorSizedAsFiles) {
    std::string out;
    EXPECT_EQ(platform::read_file(folder.c_str(), 0, -1, INT32_MAX, &out), platform::ReadStatus::cannot_open);
    EXPECT_EQ(platform::readable_file_size(folder.c_str()), -2);
    EXPECT_EQ(platform::readable_file_size(at("missing").c_str()), -1);
    put("f", "abc");
    EXPECT_EQ(platform::readable_file_size(at("f").c_str()), 3);
    // A named pipe without a writer is not waited on.
    ASSERT_EQ(mkfifo(at("fifo").c_str(), 0600), 0);
    EXPECT_EQ(platform::readable_file_size(at("fifo").c_str()), -2);
}

TEST_F(FileSystemTest, ListsEntriesSortedWithDirectoriesMarked) {
    put("b", "");
    ASSERT_EQ(mkdir(at("a").c_str(), 0700), 0);
    ASSERT_EQ(symlink(at("a").c_str(), at("c").c_str()), 0);
    ASSERT_EQ(symlink(at("b").c_str(), at("d").c_str()), 0);
    std::vector<platform::DirectoryEntry> entries;
    ASSERT_TRUE(platform::list_directory(folder.c_str(), &entries));
    ASSERT_EQ(entries.size(), 4u);
    const char* names[] = {"a", "b", "c", "d"};
    const bool directories[] = {true, false, true, false};
    for (size_t i = 0; i < 4; i++) {
        EXPECT_EQ(entries[i].name, names[i]);
        EXPECT_EQ(entries[i].directory, directories[i]) << names[i];
    }
    EXPECT_FALSE(platform::list_directory(at("b").c_str(), &entries));
}

TEST(FilePaths, DirectoryForms) {
    struct Case {
        const char* path;
        bool directory;
    } cases[] = {
        {"/", true},     {"a/", true},     {".", true},      {"..", true},    {"a/.", true},
        {"a/..", true},  {"", false},      {"a", false},     {"a.", false},   {"a..", false},
        {".a", false},   {"a/.b", false},  {"a\\", false},   {"...", false},  {"/tmp", false},
    };
    for (const Case& c : cases) EXPECT_EQ(files::is_directory_path(c.path), c.directory) << c.path;
}

}  // namespace
