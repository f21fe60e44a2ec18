// Faults of the systems layer end the process with a numbered report on
// standard error and the number as exit status; checked on a real process.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <ostream>
#include <cstdio>
#include <string>

namespace {

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

std::string slurp(const std::string& path) {
    std::string text;
    if (FILE* f = std::fopen(path.c_str(), "r")) {
        std::array<char, 4096> chunk;
        size_t n;
        while ((n = std::fread(chunk.data(), 1, chunk.size(), f)) > 0) text.append(chunk.data(), n);
        std::fclose(f);
    }
    return text;
}

Outcome probe(const std::string& args) {
    std::string dir = testing::TempDir();
    // ctest runs the cases in parallel processes: keep their files apart.
    std::string stem = dir + "probe-" + std::to_string(getpid());
    std::string out = stem + ".out", err = stem + ".err";
    std::string cmd = std::string(VUM_FAULT_PROBE) + " " + args + " >" + out + " 2>" + err;
    int raw = std::system(cmd.c_str());
    int status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 1000 + WTERMSIG(raw);
    return {status, slurp(out), slurp(err)};
}

struct FaultCase {
    const char* what;
    int status;
    const char* report;  // first line on standard error; empty: silent
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.what; }

class FaultReport : public testing::TestWithParam<FaultCase> {};

TEST_P(FaultReport, EndsWithNumberedReport) {
    if (VUM_SANITIZED) GTEST_SKIP() << "the sanitizers take over fault handling";
    const FaultCase& c = GetParam();
    Outcome o = probe(c.what);
    EXPECT_EQ(o.status, c.status) << o.err;
    if (*c.report) {
        ASSERT_EQ(o.err.rfind(c.report, 0), 0u) << o.err;
        size_t at = o.err.find("\n*** at: ");
        ASSERT_NE(at, std::string::npos) << o.err;
        // At least eight hexadecimal digits and the "h".
        std::string address = o.err.substr(at + 9);
        EXPECT_GE(address.find('h'), 8u) << o.err;
    } else {
        EXPECT_EQ(o.err, "");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FaultReport,
    testing::Values(FaultCase{"null-write", 1, "*** Runtime Error 1: access violation\n"},
                    FaultCase{"stack-overflow", 19, "*** Runtime Error 19: stack error or overflow\n"},
                    FaultCase{"divide-by-zero", 13, "*** Runtime Error 13: integer divide by zero\n"},
                    FaultCase{"illegal-instruction", 17, "*** Runtime Error 17: illegal instruction\n"},
                    FaultCase{"uncaught-throw", 95, "*** Runtime Error 95: no CATCH for THROW\n"},
                    FaultCase{"out-of-memory", 94, "*** Runtime Error 94: out of memory\n"},
                    FaultCase{"runtime-error", 6, "*** Runtime Error 6: float denormal operan\n"},
                    FaultCase{"silent-throw", 0, ""},
                    FaultCase{"interrupt", 0, ""},
                    FaultCase{"nothing", 0, ""}),
    [](const testing::TestParamInfo<FaultCase>& info) {
        std::string name = info.param.what;
        for (char& ch : name)
            if (ch == '-') ch = '_';
        return name;
    });

TEST(FaultReport, ArgumentsReachTheRunTimeRecord) {
    Outcome o = probe("args one 'two words' \xc3\xa9");
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, "one\ntwo words\n\xc3\xa9\n");
}

}  // namespace
