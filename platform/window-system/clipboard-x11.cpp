#include "platform/window-system/clipboard-x11.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace vum::clip {

namespace {

// A requestor that vanished mid-answer makes Xlib report BadWindow; that
// is no reason to end the process.
int ignore_x_error(Display*, XErrorEvent*) { return 0; }

struct Atoms {
    Atom clipboard, targets, utf8, text, text_plain, uri_list, png, incr, property;
    explicit Atoms(Display* d)
        : clipboard(XInternAtom(d, "CLIPBOARD", False)),
          targets(XInternAtom(d, "TARGETS", False)),
          utf8(XInternAtom(d, "UTF8_STRING", False)),
          text(XInternAtom(d, "TEXT", False)),
          text_plain(XInternAtom(d, "text/plain;charset=utf-8", False)),
          uri_list(XInternAtom(d, "text/uri-list", False)),
          png(XInternAtom(d, "image/png", False)),
          incr(XInternAtom(d, "INCR", False)),
          property(XInternAtom(d, "VUM_CLIPBOARD", False)) {}
};

Window make_hidden_window(Display* d) {
    return XCreateSimpleWindow(d, DefaultRootWindow(d), -10, -10, 1, 1, 0, 0, 0);
}

// Waits for the answer to a conversion on `window`, at most until `deadline`.
bool wait_selection_notify(Display* d, Window window, XEvent& answer,
                           std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        while (XPending(d)) {
            XNextEvent(d, &answer);
            if (answer.type == SelectionNotify && answer.xselection.requestor == window) return true;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{ConnectionNumber(d), POLLIN, 0};
        poll(&p, 1, int(left.count()));
    }
}

class X11Clipboard : public Clipboard {
public:
    X11Clipboard(Display* server, Display* reader)
        : server_(server), reader_(reader), server_atoms_(server), reader_atoms_(reader) {
        server_window_ = make_hidden_window(server_);
        reader_window_ = make_hidden_window(reader_);
        XFlush(server_);
        XFlush(reader_);
        if (pipe(wake_) != 0) wake_[0] = wake_[1] = -1;
        thread_ = std::thread([this] { serve(); });
    }

    ~X11Clipboard() override {
        send_command('q');
        if (thread_.joinable()) thread_.join();
        XCloseDisplay(server_);
        XCloseDisplay(reader_);
        close(wake_[0]);
        close(wake_[1]);
    }

    bool write(const Content& content) override {
        std::unique_lock<std::mutex> hold(lock_);
        content_ = content;
        answered_ = false;
        hold.unlock();
        send_command('t');
        hold.lock();
        answer_ready_.wait_for(hold, std::chrono::seconds(2), [this] { return answered_; });
        return answered_ && owned_;
    }

    ReadStatus read(Content& content) override {
        {
            std::lock_guard<std::mutex> hold(lock_);
            if (owned_) {
                if (content_.kind == Content::Kind::none) return ReadStatus::empty;
                content = content_;
                return ReadStatus::ok;
            }
        }
        std::lock_guard<std::mutex> reading(read_lock_);
        return read_from_owner(content);
    }

private:
    void send_command(char c) {
        if (wake_[1] >= 0) (void)!::write(wake_[1], &c, 1);
    }

    // ---- The serving thread ----

    void serve() {
        for (;;) {
            pollfd p[2] = {{ConnectionNumber(server_), POLLIN, 0}, {wake_[0], POLLIN, 0}};
            if (!XPending(server_)) poll(p, 2, -1);
            if (p[1].revents & POLLIN) {
                char c = 0;
                if (::read(wake_[0], &c, 1) == 1) {
                    if (c == 'q') return;
                    if (c == 't') take_ownership();
                }
            }
            while (XPending(server_)) {
                XEvent e;
                XNextEvent(server_, &e);
                if (e.type == SelectionRequest) answer(e.xselectionrequest);
                if (e.type == SelectionClear && e.xselectionclear.selection == server_atoms_.clipboard) {
                    std::lock_guard<std::mutex> hold(lock_);
                    owned_ = false;
                }
            }
        }
    }

    void take_ownership() {
        XSetSelectionOwner(server_, server_atoms_.clipboard, server_window_, CurrentTime);
        bool owned = XGetSelectionOwner(server_, server_atoms_.clipboard) == server_window_;
        XFlush(server_);
        std::lock_guard<std::mutex> hold(lock_);
        owned_ = owned;
        answered_ = true;
        answer_ready_.notify_all();
    }

    std::vector<Atom> offered(const Content& c) const {
        const Atoms& a = server_atoms_;
        switch (c.kind) {
        case Content::Kind::text: return {a.targets, a.utf8, a.text_plain, XA_STRING, a.text};
        case Content::Kind::files: return {a.targets, a.uri_list};
        case Content::Kind::png: return {a.targets, a.png};
        case Content::Kind::none: return {a.targets};
        }
        return {};
    }

    void answer(const XSelectionRequestEvent& request) {
        Content c;
        {
            std::lock_guard<std::mutex> hold(lock_);
            c = content_;
        }
        const Atoms& a = server_atoms_;
        Atom property = request.property == None ? request.target : request.property;
        std::vector<Atom> targets = offered(c);
        bool served = false;
        if (request.target == a.targets) {
            XChangeProperty(server_, request.requestor, property, XA_ATOM, 32, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(targets.data()), int(targets.size()));
            served = true;
        } else if (std::find(targets.begin(), targets.end(), request.target) != targets.end()) {
            std::string bytes;
            Atom type = request.target;
            if (c.kind == Content::Kind::text) {
                bytes = c.text;
                type = request.target == XA_STRING ? XA_STRING : a.utf8;
            } else if (c.kind == Content::Kind::files) {
                bytes = files_to_uri_list(c.files);
            } else {
                bytes.assign(c.png.begin(), c.png.end());
            }
            // Larger content would need the incremental protocol.
            long limit = XExtendedMaxRequestSize(server_) ? XExtendedMaxRequestSize(server_) : XMaxRequestSize(server_);
            if (long(bytes.size()) < limit * 4 - 1024) {
                XChangeProperty(server_, request.requestor, property, type, 8, PropModeReplace,
                                reinterpret_cast<const unsigned char*>(bytes.data()), int(bytes.size()));
                served = true;
            }
        }
        XEvent reply{};
        reply.xselection.type = SelectionNotify;
        reply.xselection.display = request.display;
        reply.xselection.requestor = request.requestor;
        reply.xselection.selection = request.selection;
        reply.xselection.target = request.target;
        reply.xselection.property = served ? property : None;
        reply.xselection.time = request.time;
        XSendEvent(server_, request.requestor, False, 0, &reply);
        XFlush(server_);
    }

    // ---- Reading from another owner ----

    // The bytes of one target, false when the owner does not give them.
    bool convert(Atom target, std::string& bytes, Atom& type) {
        Display* d = reader_;
        const Atoms& a = reader_atoms_;
        XDeleteProperty(d, reader_window_, a.property);
        XConvertSelection(d, a.clipboard, target, a.property, reader_window_, CurrentTime);
        XFlush(d);
        XEvent e;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        if (!wait_selection_notify(d, reader_window_, e, deadline) || e.xselection.property == None) return false;
        Atom actual;
        int format;
        unsigned long count, after;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(d, reader_window_, a.property, 0, 0x1FFFFFFF, True, AnyPropertyType, &actual, &format,
                               &count, &after, &data) != Success)
            return false;
        bool ok = actual != a.incr && actual != None;
        if (ok) bytes.assign(reinterpret_cast<const char*>(data), count * (format == 32 ? sizeof(long) : format / 8));
        type = actual;
        if (data) XFree(data);
        return ok;
    }

    ReadStatus read_from_owner(Content& content) {
        const Atoms& a = reader_atoms_;
        if (XGetSelectionOwner(reader_, a.clipboard) == None) return ReadStatus::empty;
        std::string bytes;
        Atom type;
        std::vector<Atom> targets;
        if (convert(a.targets, bytes, type) && type == XA_ATOM) {
            const long* list = reinterpret_cast<const long*>(bytes.data());
            for (size_t i = 0; i < bytes.size() / sizeof(long); ++i) targets.push_back(Atom(list[i]));
        } else {
            targets = {a.utf8, XA_STRING};  // an owner that lists nothing may still give text
        }
        auto has = [&](Atom t) { return std::find(targets.begin(), targets.end(), t) != targets.end(); };
        for (Atom t : {a.utf8, a.text_plain, XA_STRING}) {
            if (has(t) && convert(t, bytes, type)) {
                content = Content{};
                content.kind = Content::Kind::text;
                for (size_t i = 0; i < bytes.size(); ++i)
                    if (!(bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n')) content.text += bytes[i];
                return ReadStatus::ok;
            }
        }
        if (has(a.uri_list) && convert(a.uri_list, bytes, type)) {
            content = Content{};
            content.kind = Content::Kind::files;
            content.files = uri_list_to_files(bytes);
            return ReadStatus::ok;
        }
        if (has(a.png) && convert(a.png, bytes, type)) {
            content = Content{};
            content.kind = Content::Kind::png;
            content.png.assign(bytes.begin(), bytes.end());
            return ReadStatus::ok;
        }
        return ReadStatus::empty;
    }

    Display* server_;
    Display* reader_;
    Atoms server_atoms_;
    Atoms reader_atoms_;
    Window server_window_ = 0;
    Window reader_window_ = 0;
    int wake_[2] = {-1, -1};
    std::thread thread_;
    std::mutex lock_;  // content_, owned_, answered_
    std::condition_variable answer_ready_;
    Content content_;
    bool owned_ = false;
    bool answered_ = false;
    std::mutex read_lock_;
};

}  // namespace

std::unique_ptr<Clipboard> make_x11_clipboard() {
    XInitThreads();
    Display* server = XOpenDisplay(nullptr);
    if (!server) return nullptr;
    Display* reader = XOpenDisplay(nullptr);
    if (!reader) {
        XCloseDisplay(server);
        return nullptr;
    }
    XSetErrorHandler(ignore_x_error);
    return std::make_unique<X11Clipboard>(server, reader);
}

}  // namespace vum::clip
