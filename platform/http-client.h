// One synchronous HTTP or HTTPS exchange over libcurl: the request goes out,
// the call blocks until the whole reply is in, and the reply comes back as
// plain bytes and text. Nothing here knows the language's values.
//
// - Redirects are followed; the status and headers are those of the final
//   reply only.
// - The caller's headers are all that is sent besides what the framing
//   needs (Host, and Content-Length with a body): libcurl's own Accept,
//   Expect and Content-Type are taken out.
// - GET and HEAD never carry a body, whatever the caller gives.
// - A connection that cannot be made within connect_timeout_seconds, or a
//   transfer slower than one byte a second for low_speed_seconds, fails.
// - Any HTTP status is a reply. A failed transfer (no connection, TLS
//   refused, the reply cut short, a body over max_body_bytes) is a failure
//   with its reason.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vum::platform::http {

constexpr long connect_timeout_seconds = 30;
constexpr long low_speed_seconds = 60;

using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct Request {
    std::string method;  // upper case: GET, HEAD, POST or any other token
    std::string url;
    HeaderList headers;
    bool has_body = false;
    std::string body;
    int64_t max_body_bytes = INT32_MAX;
    // Polled during the transfer: when it reads true the transfer stops and
    // fails. Null: nothing to poll.
    const std::atomic<bool>* cancel = nullptr;
};

struct Reply {
    long status = 0;
    HeaderList headers;  // in the order received, names as sent
    std::string body;
};

enum class Outcome { done, failed, too_large };

// The module that does the transfers, loaded on first use, and its entry,
// whose signature is perform's.
constexpr const char* module_name = "libvum-http.so";
constexpr const char* module_entry = "vum_http_perform";

// Performs the exchange. On `failed` or `too_large` the reply is not to be
// used and *reason (when given) says what went wrong; a module that cannot
// be loaded is a failure too.
Outcome perform(const Request& request, Reply* reply, std::string* reason = nullptr);

}  // namespace vum::platform::http
