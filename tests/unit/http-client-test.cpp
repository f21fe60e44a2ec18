// The HTTP client's failures that need no server: only http and https are
// ever spoken, and a port where nothing listens fails at once.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/http-client.h"

namespace {

using namespace vum::platform::http;

// A loopback port bound and let go, so nothing listens on it.
int closed_port() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t n = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &n);
    close(s);
    return ntohs(a.sin_port);
}

TEST(HttpClient, FailsWithAReasonWhereNothingListens) {
    Request r;
    r.method = "GET";
    r.url = "http://127.0.0.1:" + std::to_string(closed_port()) + "/";
    Reply reply;
    std::string reason;
    EXPECT_EQ(perform(r, &reply, &reason), Outcome::failed);
    EXPECT_FALSE(reason.empty());
}

TEST(HttpClient, SpeaksNoOtherProtocol) {
    for (const char* url : {"file:///etc/hostname", "ftp://127.0.0.1/", "dict://127.0.0.1/"}) {
        Request r;
        r.method = "GET";
        r.url = url;
        Reply reply;
        EXPECT_EQ(perform(r, &reply), Outcome::failed) << url;
        EXPECT_TRUE(reply.body.empty()) << url;
    }
}

}  // namespace
