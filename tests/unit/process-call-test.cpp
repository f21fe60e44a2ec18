// Running another program: the command line's words, the streams in both
// directions at once, files, the shell retry, and the children left behind.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "io/process-call.h"

using namespace vum;

namespace {

process::Request collecting(const std::string& command) {
    process::Request r;
    r.command = command;
    r.output.kind = process::Sink::collect;
    r.error.kind = process::Sink::collect;
    return r;
}

process::Request fed(const std::string& command, std::string input) {
    process::Request r = collecting(command);
    r.input.kind = process::Source::bytes;
    r.input.data = std::move(input);
    return r;
}

std::string pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++) s[i] = char('a' + i % 26);
    return s;
}

// A folder of its own under the system's temporary folder, removed after.
class ProcessFiles : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/vum-process-test-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir = name;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string read(const std::string& path) {
        std::ifstream f(path, std::ios::binary);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }
    std::string dir;
};

TEST(ProcessCommandLine, SplitsAsTheShellWouldWithoutExpanding) {
    using Words = std::vector<std::string>;
    struct Case {
        const char* line;
        Words words;
    };
    const Case cases[] = {
        {"echo hi", {"echo", "hi"}},
        {"  a \t b\n c  ", {"a", "b", "c"}},
        {"", {}},
        {"   ", {}},
        {"'a b' c", {"a b", "c"}},
        {"x'a b'y", {"xa by"}},
        {"\"a \\\" \\\\ \\$ \\` \\n b\"", {"a \" \\ $ ` \\n b"}},
        {"a\\ b c\\\\", {"a b", "c\\"}},
        {"''", {""}},
        {"a \\\n b", {"a", "b"}},
        {"'it''s'", {"its"}},
        {"$HOME *.txt ~ a|b", {"$HOME", "*.txt", "~", "a|b"}},
        {"trailing\\", {"trailing\\"}},
    };
    for (const Case& c : cases) {
        auto words = process::split_command(c.line);
        ASSERT_TRUE(words.has_value()) << c.line;
        EXPECT_EQ(*words, c.words) << c.line;
    }
    for (const char* open : {"'a", "a \"b", "\"a\\\""}) EXPECT_FALSE(process::split_command(open)) << open;
}

TEST(ProcessCommandLine, QuotedWordSplitsBackToItself) {
    for (const char* word : {"/tmp/my prog", "it's", "a\"b\\c$d", "", "plain"}) {
        auto words = process::split_command(process::quote_word(word));
        ASSERT_TRUE(words.has_value()) << word;
        EXPECT_EQ(*words, std::vector<std::string>{word}) << word;
    }
}

TEST(ProcessText, DropsTheByteOrderMarkAndEndsLinesWithLf) {
    const std::pair<std::string, std::string> cases[] = {
        {"a\r\nb", "a\nb"},      {"a\rb\r", "a\nb\n"},   {"\r\r\n\n", "\n\n\n"},
        {"\xEF\xBB\xBFx", "x"}, {"x\xEF\xBB\xBF", "x\xEF\xBB\xBF"}, {"\xEF\xBB", "\xEF\xBB"},
        {"", ""},
    };
    for (auto [in, want] : cases) {
        std::string text = in;
        process::normalise_lines(text);
        EXPECT_EQ(text, want) << in;
    }
}

TEST(ProcessRun, CollectsOutputAndErrorAndGivesTheExitCode) {
    process::Outcome o = process::run(collecting("sh -c 'printf out; printf err >&2; exit 7'"));
    EXPECT_EQ(o.result, 7);
    EXPECT_EQ(o.output, "out");
    EXPECT_EQ(o.error, "err");
    EXPECT_FALSE(o.through_shell);
}

TEST(ProcessRun, SignalEndsShowAsTheShellShowsThem) {
    process::Request r;
    r.command = "sh -c 'kill -TERM $$'";
    r.wait = true;
    EXPECT_EQ(process::run(r).result, 128 + 15);
}

TEST(ProcessRun, WhatIsNoProgramGoesToTheShellOnce) {
    process::Outcome builtin = process::run(collecting("exit 3"));
    EXPECT_EQ(builtin.result, 3);
    EXPECT_TRUE(builtin.through_shell);

    process::Outcome missing = process::run(collecting("vum-surely-no-such-program --flag"));
    EXPECT_EQ(missing.result, 127);
    EXPECT_TRUE(missing.through_shell);
    EXPECT_NE(missing.error.find("vum-surely-no-such-program"), std::string::npos) << missing.error;

    process::Outcome open_quote = process::run(collecting("echo 'unclosed"));
    EXPECT_TRUE(open_quote.through_shell);
    EXPECT_NE(open_quote.result, 0);
    EXPECT_FALSE(open_quote.error.empty());

    process::Request shell = collecting("echo $((6 * 7))");
    EXPECT_EQ(process::run(shell).output, "$((6 * 7))\n");  // no expansion: echo gets the words
    shell.shell = true;
    EXPECT_EQ(process::run(shell).output, "42\n");
}

// Either side may fill its pipe first: the child writes 4 MB of error before
// it reads a byte, then copies 4 MB of input to its output.
TEST(ProcessRun, LargeStreamsBothWaysDoNotBlock) {
    const std::string input = pattern(4 << 20);
    process::Outcome o = process::run(fed("sh -c 'head -c 4194304 /dev/zero >&2; cat'", input));
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.error.size(), size_t(4 << 20));
    EXPECT_TRUE(o.output == input);
}

// A child that stops reading leaves the rest of the input unsent; the broken
// pipe is no signal to this process (the test binary handles none).
TEST(ProcessRun, ChildThatStopsReadingEndsTheFeed) {
    process::Outcome o = process::run(fed("head -c 3", pattern(8 << 20)));
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.output, "abc");
}

TEST(ProcessRun, KeepsNoMoreThanTheLimitButLetsTheChildFinish) {
    process::Request r = collecting("sh -c 'head -c 300000 /dev/zero; exit 4'");
    r.collect_limit = 10;
    process::Outcome o = process::run(r);
    EXPECT_EQ(o.result, 4);
    EXPECT_EQ(o.output.size(), 10u);
    EXPECT_TRUE(o.output_cut);
    EXPECT_FALSE(o.error_cut);
}

// Without an input the child reads the null device, never this process's
// own standard input.
TEST(ProcessRun, InputIsTheNullDeviceUnlessRedirected) {
    process::Outcome o = process::run(collecting("cat"));
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.output, "");
    EXPECT_EQ(process::run(fed("cat", "")).output, "");
}

TEST(ProcessRun, ChildGetsNoOtherDescriptorOfThisProcess) {
    int opened = open("/dev/null", O_RDONLY);
    int kept = dup2(opened, 57);  // inheritable
    close(opened);
    ASSERT_EQ(kept, 57);
    process::Request r;
    r.command = "sh -c 'test -e /dev/fd/57'";
    r.wait = true;
    EXPECT_EQ(process::run(r).result, 1);
    close(kept);
}

TEST_F(ProcessFiles, ReadsAnInputFileAndAppendsToOutputFiles) {
    const std::string in = dir + "/in.txt", out = dir + "/out.txt", err = dir + "/err.txt";
    std::ofstream(in) << "from a file\n";
    std::ofstream(out) << "kept\n";
    process::Request r;
    r.command = "sh -c 'cat; echo e >&2'";
    r.input = {process::Source::file, in};
    r.output = {process::Sink::file, out};
    r.error = {process::Sink::file, err};
    EXPECT_EQ(process::run(r).result, 0);
    EXPECT_EQ(process::run(r).result, 0);
    EXPECT_EQ(read(out), "kept\nfrom a file\nfrom a file\n");
    EXPECT_EQ(read(err), "e\ne\n");
}

TEST_F(ProcessFiles, RedirectionThatCannotBeMadeStartsNothing) {
    const std::string marker = dir + "/ran";
    process::Request r;
    r.command = "touch " + marker;
    r.input = {process::Source::file, dir + "/missing.txt"};
    EXPECT_EQ(process::run(r).result, -1);
    r.input = {};
    r.output = {process::Sink::file, dir + "/no/such/folder/out.txt"};
    EXPECT_EQ(process::run(r).result, -1);
    EXPECT_FALSE(std::filesystem::exists(marker));
}

TEST_F(ProcessFiles, ProgramPathWithSpacesRunsAsOneWord) {
    const std::string program = dir + "/my prog";
    std::ofstream(program) << "#!/bin/sh\nexit 5\n";
    chmod(program.c_str(), 0755);
    process::Request r;
    r.command = process::quote_word(program);
    r.wait = true;
    EXPECT_EQ(process::run(r).result, 5);
}

// A child that is not waited for is reaped once it ends: its /proc entry
// goes instead of staying as a zombie.
TEST(ProcessRun, ChildNotWaitedForLeavesNoZombie) {
    std::vector<int32_t> pids;
    for (int k = 0; k < 5; k++) {
        process::Request r;
        r.command = "true";
        int32_t pid = process::run(r).result;
        ASSERT_GT(pid, 0);
        pids.push_back(pid);
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (int32_t pid : pids) {
        std::string entry = "/proc/" + std::to_string(pid);
        while (std::filesystem::exists(entry) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_FALSE(std::filesystem::exists(entry)) << "child " << pid << " was left behind";
    }
}

// A call whose cancel flag turns true while it waits stops its child
// (SIGTERM, SIGKILL for one that ignores it) and reaps it: its /proc entry
// is gone when the call returns. Each child writes its pid first.
TEST(ProcessRun, CancelStopsAndReapsTheChild) {
    struct Case {
        const char* what;
        const char* command;
        int32_t result;
    };
    const Case cases[] = {
        {"its streams closed, waited for", "sh -c 'echo $$; exec sleep 30 >/dev/null 2>&1'", 128 + 15},
        {"its output still open", "sh -c 'echo $$; exec sleep 30'", 128 + 15},
        {"ignoring SIGTERM", "sh -c 'trap \"\" TERM; echo $$; exec sleep 30'", 128 + 9},
    };
    for (const Case& c : cases) {
        std::atomic<bool> cancel{false};
        process::Request r = collecting(c.command);
        r.cancel = &cancel;
        auto start = std::chrono::steady_clock::now();
        std::thread canceller([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            cancel.store(true);
        });
        process::Outcome o = process::run(r);
        canceller.join();
        auto took = std::chrono::steady_clock::now() - start;
        EXPECT_TRUE(o.cancelled) << c.what;
        EXPECT_EQ(o.result, c.result) << c.what;
        EXPECT_LT(took, std::chrono::seconds(5)) << c.what;
        ASSERT_FALSE(o.output.empty()) << c.what;
        std::string entry = "/proc/" + std::to_string(std::stoi(o.output));
        EXPECT_FALSE(std::filesystem::exists(entry)) << c.what << ": the child was not reaped";
    }
}

TEST(ProcessRun, CancelFlagThatStaysFalseChangesNothing) {
    std::atomic<bool> cancel{false};
    process::Request r = fed("sh -c 'sleep 0.1; cat; exit 4'", "fed");
    r.cancel = &cancel;
    process::Outcome o = process::run(r);
    EXPECT_FALSE(o.cancelled);
    EXPECT_EQ(o.result, 4);
    EXPECT_EQ(o.output, "fed");
}

}  // namespace
