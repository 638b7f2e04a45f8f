#include "run/fork_sync.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "foundation/child_status.hpp"
#include "log/debug.hpp"
#include "run/errno_names.hpp"
#include "run/fork_async.hpp"
#include "run/json_sanitize.hpp"

namespace norvik::run {
namespace {

using nlohmann::json;

// The errno an exception's attributes name: "errno" (a number), or "error"
// as a number, an errno name or an strerror text.
int errno_of(const Exception& e) {
    json n = e.get("errno");
    if (n.is_number_integer() && n.get<int>() != 0) return n.get<int>();
    json err = e.get("error");
    if (err.is_number_integer()) return err.get<int>();
    if (err.is_string()) {
        std::string s = err.get<std::string>();
        if (int by_name = run::get_errno_number_for_name(s)) return by_name;
        for (int i = 1; i < 200; ++i)
            if (run::strerror_text(i) == s) return i;
    }
    return 0;
}

// The record a child sends for an error it caught.
json serializable_exception(const std::exception_ptr& ep) {
    json rec = {{"_return", json::array()}};
    try {
        std::rethrow_exception(ep);
    } catch (const Exception& e) {
        rec["_exception"] = e.get_string();
        std::string full = e.to_string();
        if (!e.longmess().empty()) full += "\n" + e.longmess();
        rec["_full_exception_text"] = full;
        json meta = json::object();
        std::vector<std::string> keys;
        for (auto it = e.params().begin(); it != e.params().end(); ++it) keys.push_back(it.key());
        std::sort(keys.begin(), keys.end());
        for (auto& k : keys) {
            json v = e.get(k);
            if (!v.is_object() && !v.is_array()) meta[k] = v;
        }
        json st = {
            {"class", e.class_name()}, {"string", e.get_string()}, {"longmess", e.longmess()}, {"metadata", meta}};
        if (!e.get("error").is_null()) {
            if (int n = errno_of(e)) st["metadata_errno"] = n;
        }
        rec["_structured_exception"] = st;
    } catch (const json& data) {
        rec["_exception"] = data;
        rec["_structured_exception"] = data;
    } catch (const std::exception& e) {
        rec["_exception"] = e.what();
        rec["_full_exception_text"] = e.what();
    } catch (...) {  // the parent still learns that the child failed
        rec["_exception"] = "unknown error";
        rec["_full_exception_text"] = "unknown error";
    }
    return rec;
}

std::vector<uint8_t> encode(const json& rec) {
    if (!run::is_plain(rec)) return json::to_cbor(run::filter_to_json(rec));
    return json::to_cbor(rec);
}

std::string text_of(const json& v) {
    if (v.is_string()) return v.get<std::string>();
    if (v.is_null()) return "";
    return v.dump();
}

// The child's side: runs the code and sends its record (the value, or what
// it raised) through `wr`; a failure of the code is raised again after.
void send_result(int wr, const ForkSync::Code& code) {
    json rec;
    std::exception_ptr failure;
    int failure_errno = 0;
    try {
        rec = {{"_return", json::array({code()})}};
    } catch (...) {  // a child after fork hands any failure to the parent, then _exits
        failure_errno = errno;
        failure = std::current_exception();
        rec = serializable_exception(failure);
    }
    std::vector<uint8_t> msg;
    try {
        msg = encode(rec);
    } catch (const std::exception&) {  // values that do not encode are filtered down to plain JSON
        msg = json::to_cbor(run::filter_to_json(rec));
    }
    size_t off = 0;
    while (off < msg.size()) {
        ssize_t w = ::write(wr, msg.data() + off, msg.size() - off);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) throw PlainError("Failed to send the result to the parent process: " + run::strerror_text(errno));
        off += static_cast<size_t>(w);
    }
    if (::close(wr) != 0)
        throw PlainError("Failed to close the pipe to the parent process: " + run::strerror_text(errno));
    if (failure) {
        errno = failure_errno;
        std::rethrow_exception(failure);
    }
}

// The child's record, read to the end and decoded; null with `error` set
// when it cannot be had.
json receive_result(int rd, std::string& error) {
    std::string data;
    char buf[65536];
    for (;;) {
        ssize_t got = ::read(rd, buf, sizeof buf);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            error = "Failed to read the result of the subprocess: " + run::strerror_text(errno);
            break;
        }
        if (got == 0) break;
        data.append(buf, static_cast<size_t>(got));
    }
    json msg;
    if (error.empty()) {
        try {
            if (data.empty()) throw PlainError("The subprocess sent no result.");
            msg = json::from_cbor(data);
            if (!msg.is_object()) throw PlainError("The subprocess sent a malformed result.");
        } catch (const std::exception& e) {
            error = e.what();
            msg = json();
        }
    }
    return msg;
}

}  // namespace

ForkSync::ForkSync(const Code& code, bool quiet) { run(nullptr, code, quiet); }

ForkSync ForkSync::new_with_parent_callback(const ParentCode& parent_code, const Code& code, bool quiet) {
    ForkSync fs;
    fs.run(&parent_code, code, quiet);
    return fs;
}

nlohmann::json ForkSync::return_value() const {
    if (_return.is_array() && !_return.empty()) return _return.back();
    return nullptr;
}

int ForkSync::had_error() const {
    return (wait_status_ != 0 || !_exception.empty() || !structured_data_.is_null() || _structured_exception ||
            !_retrieve_err.empty())
               ? 1
               : 0;
}

void ForkSync::run(const ParentCode* parent_code, const Code& code, bool quiet) {
    run::SigchldDefault chld;
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) {
        int err = errno;
        log::log_die("The system failed to create a pipe because of an error: " + run::strerror_text(err));
    }
    const int rd = p[0], wr = p[1];

    auto child = [&]() {
        ::close(rd);
        send_result(wr, code);
    };

    pid_t pid;
    try {
        pid = quiet ? run::do_in_child_quiet(child) : run::do_in_child(child);
    } catch (...) {
        ::close(rd);
        ::close(wr);
        throw;
    }
    if (::close(wr) != 0) log::log_warn("Failed to close the pipe to a subprocess: " + run::strerror_text(errno));

    if (parent_code && *parent_code) {
        try {
            (*parent_code)(pid);
        } catch (const std::exception& e) {
            log::log_warn(exception::get_string(e));
        } catch (...) {  // the child is reaped below whatever the callback threw
            log::log_warn("The parent callback failed.");
        }
    }

    const json msg = receive_result(rd, _retrieve_err);
    if (::close(rd) != 0) log::log_warn("Failed to close the pipe from a subprocess: " + run::strerror_text(errno));

    wait_status_ = run::reap(pid);
    _pid = pid;
    if (msg.is_object()) take_result(msg);
}

void ForkSync::take_result(const nlohmann::json& msg) {
    if (msg.contains("_return") && msg["_return"].is_array()) _return = msg["_return"];
    if (msg.contains("_exception")) _exception = text_of(msg["_exception"]);
    if (msg.contains("_full_exception_text")) _full_exception_text = text_of(msg["_full_exception_text"]);
    if (msg.contains("_structured_exception")) {
        json st = msg["_structured_exception"];
        if (st.is_object() && st.contains("class") && st["class"].is_string()) {
            json meta = st.value("metadata", json::object());
            if (!meta.is_object()) meta = json::object();
            if (st.contains("metadata_errno") && st["metadata_errno"].is_number_integer()) {
                exception_errno_ = st["metadata_errno"].get<int>();
                meta["error"] = run::strerror_text(exception_errno_);
                meta["errno"] = exception_errno_;
            }
            _structured_exception = std::make_shared<UntrustedException>(st["class"].get<std::string>(),
                                                                         text_of(st.value("string", json())),
                                                                         text_of(st.value("longmess", json())), meta);
        } else if (!st.is_null()) {
            structured_data_ = st;
        }
    }
    if (exception_errno_) errno = exception_errno_;
}

std::optional<nlohmann::json> ForkSync::do_in_child(const Code& code) {
    ForkSync fs(code);
    set_child_status(fs.wait_status());
    if (!fs._retrieve_err.empty() || fs.wait_status_ != 0 || fs._return.empty()) return std::nullopt;
    return fs.return_value();
}

}  // namespace norvik::run
