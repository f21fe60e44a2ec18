// The HTTP module: the transfers over libcurl, in a library of their own so
// that start-up maps neither libcurl nor what it pulls in. Its one entry is
// vum_http_perform (the module is built with hidden symbols but this one).
#include "platform/http-client.h"

#include <curl/curl.h>

#include <string.h>
#include <strings.h>

#include <cstdlib>
#include <memory>
#include <mutex>
#include <string_view>

namespace vum::platform::http {

namespace {

void global_init() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct Transfer {
    const Request* request;
    Reply* reply;
    bool too_large = false;
};

size_t on_body(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const size_t n = size * count;
    if (int64_t(t->reply->body.size() + n) > t->request->max_body_bytes) {
        t->too_large = true;
        return 0;  // makes libcurl stop with a write error
    }
    t->reply->body.append(data, n);
    return n;
}

std::string trimmed(std::string_view s) {
    size_t from = 0, to = s.size();
    while (from < to && (s[from] == ' ' || s[from] == '\t')) from++;
    while (to > from && (s[to - 1] == ' ' || s[to - 1] == '\t' || s[to - 1] == '\r' || s[to - 1] == '\n')) to--;
    return std::string(s.substr(from, to - from));
}

// Called once per header line of every reply, redirects and interim
// replies included; each status line starts a new reply, so only the last
// reply's headers stay.
size_t on_header(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const size_t n = size * count;
    std::string_view line(data, n);
    if (line.substr(0, 5) == "HTTP/") {
        t->reply->headers.clear();
        return n;
    }
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) return n;  // the blank line, or a stray line
    t->reply->headers.emplace_back(trimmed(line.substr(0, colon)), trimmed(line.substr(colon + 1)));
    return n;
}

int on_progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto* t = static_cast<Transfer*>(user);
    return t->request->cancel && t->request->cancel->load() ? 1 : 0;
}

struct EasyDeleter {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct ListDeleter {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

bool carries_body(const Request& r) { return r.has_body && r.method != "GET" && r.method != "HEAD"; }

// The request's header lines, and blank overrides that take out the ones
// libcurl would add by itself. A header the caller gives wins over its
// blank override, since curl keeps the first of equal names it is told.
curl_slist* header_list(const Request& r) {
    curl_slist* list = nullptr;
    auto add = [&](const std::string& line) {
        if (curl_slist* grown = curl_slist_append(list, line.c_str())) list = grown;
    };
    auto given = [&](const char* name) {
        for (const auto& [n, v] : r.headers)
            if (strcasecmp(n.c_str(), name) == 0) return true;
        return false;
    };
    for (const auto& [name, value] : r.headers) {
        // "Name;" is curl's way of sending a header with an empty value.
        add(value.empty() ? name + ";" : name + ": " + value);
    }
    for (const char* name : {"Accept", "Expect", "Content-Type"})
        if (!given(name)) add(std::string(name) + ":");
    return list;
}

// Why a transfer failed, as a person needs it: a failed connection names
// the system's reason (refused, unreachable, timed out) rather than curl's
// detailed text with its timing; anything else (a certificate not
// trusted, a reply cut short) is curl's own account.
std::string failure_reason(CURL* c, CURLcode code, const char* error_text) {
    long os_error = 0;
    curl_easy_getinfo(c, CURLINFO_OS_ERRNO, &os_error);
    if (os_error != 0 && (code == CURLE_COULDNT_CONNECT || code == CURLE_OPERATION_TIMEDOUT)) {
        char text[256];
        return std::string(curl_easy_strerror(code)) + ": " + strerror_r(int(os_error), text, sizeof text);
    }
    return error_text[0] ? error_text : curl_easy_strerror(code);
}

}  // namespace

Outcome transfer(const Request& request, Reply* reply, std::string* reason) {
    global_init();
    *reply = Reply{};
    std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
    if (!easy) {
        if (reason) *reason = "cannot start a transfer";
        return Outcome::failed;
    }
    CURL* c = easy.get();
    Transfer transfer{&request, reply};
    std::unique_ptr<curl_slist, ListDeleter> headers(header_list(request));
    char error_text[CURL_ERROR_SIZE] = {};

    curl_easy_setopt(c, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(c, CURLOPT_MAXREDIRS, 20L);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, connect_timeout_seconds);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, low_speed_seconds);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, error_text);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, on_body);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, on_header);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &transfer);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, on_progress);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, &transfer);
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
    // The usual OpenSSL variable names the certificates to trust in place
    // of the system's (a test's own self-signed one, say).
    if (const char* ca = std::getenv("SSL_CERT_FILE"); ca && *ca) curl_easy_setopt(c, CURLOPT_CAINFO, ca);

    if (request.method == "HEAD") {
        curl_easy_setopt(c, CURLOPT_NOBODY, 1L);
    } else if (request.method != "GET") {
        if (carries_body(request)) {
            curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(request.body.size()));
            curl_easy_setopt(c, CURLOPT_POSTFIELDS, request.body.data());
        } else if (request.method == "POST") {
            curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(0));
            curl_easy_setopt(c, CURLOPT_POSTFIELDS, "");
        }
        if (request.method != "POST") curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    }

    const CURLcode code = curl_easy_perform(c);
    if (transfer.too_large) {
        if (reason) *reason = "reply body too large";
        return Outcome::too_large;
    }
    if (code != CURLE_OK) {
        if (reason) *reason = failure_reason(c, code, error_text);
        return Outcome::failed;
    }
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &reply->status);
    return Outcome::done;
}

}  // namespace vum::platform::http

extern "C" __attribute__((visibility("default"))) vum::platform::http::Outcome vum_http_perform(
    const vum::platform::http::Request& request, vum::platform::http::Reply* reply, std::string* reason) {
    return vum::platform::http::transfer(request, reply, reason);
}
