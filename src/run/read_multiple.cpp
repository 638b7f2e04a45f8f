#include "run/read_multiple.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <ostream>

#include "exception/exception.hpp"

namespace norvik::run {
namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

void set_nonblocking(int fd) {
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) throw PlainError("ReadMultipleFH: descriptor " + std::to_string(fd) + " is not open.");
    if (!(flags & O_NONBLOCK)) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

// Waits up to `seconds` (< 0: forever) for the events; returns poll's result.
int wait_for(pollfd* fds, nfds_t n, double seconds) {
    if (seconds < 0) return ::ppoll(fds, n, nullptr, nullptr);
    timespec ts;
    ts.tv_sec = static_cast<time_t>(seconds);
    ts.tv_nsec = static_cast<long>((seconds - static_cast<double>(ts.tv_sec)) * 1e9);
    return ::ppoll(fds, n, &ts, nullptr);
}

// Writes everything to a descriptor target; a target that stays full for
// longer than the idle limit loses the rest (the reader must not stall).
void write_all_to(int fd, const std::string& data, double idle) {
    size_t off = 0;
    while (off < data.size()) {
        ssize_t w = ::write(fd, data.data() + off, data.size() - off);
        if (w > 0) {
            off += static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && errno == EAGAIN) {
            pollfd p{fd, POLLOUT, 0};
            if (wait_for(&p, 1, idle > 0 ? idle : -1) == 0) return;
            continue;
        }
        return;
    }
}

struct Reading {
    ReadMultipleFH::Handle handle;
    std::string* buffer = nullptr;  // where data is collected
    std::string scratch;            // for handles with an output target
    size_t dropped = 0;             // bytes over the capture limit
};

// The handles made non-blocking, each with the buffer its data goes to
// (a private one is kept in `buffers`).
std::vector<Reading> start_reads(const std::vector<ReadMultipleFH::Handle>& handles,
                                 std::map<int, std::shared_ptr<std::string>>& buffers) {
    std::vector<Reading> reads;
    reads.reserve(handles.size());
    for (auto& h : handles) {
        if (h.fd < 0) throw PlainError("ReadMultipleFH: an invalid read handle was given.");
        set_nonblocking(h.fd);
        Reading r;
        r.handle = h;
        reads.push_back(std::move(r));
    }
    for (auto& r : reads) {
        if (r.handle.text) {
            r.buffer = r.handle.text;
        } else if (r.handle.out_fd >= 0 || r.handle.out_stream) {
            r.buffer = &r.scratch;
        } else {
            auto buf = std::make_shared<std::string>();
            buffers[r.handle.fd] = buf;
            r.buffer = buf.get();
        }
    }
    return reads;
}

// One read of a handle the poll found ready, kept (up to the capture
// limit) or passed on to its target. False once the handle has ended.
bool take_chunk(Reading& r, char* chunk, size_t capture_limit, double idle) {
    ssize_t got = ::read(r.handle.fd, chunk, ReadMultipleFH::CHUNK_SIZE);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) return true;
    if (got <= 0) return false;
    const bool collected = r.handle.out_fd < 0 && !r.handle.out_stream;
    size_t keep = static_cast<size_t>(got);
    if (collected) {
        const size_t room = r.buffer->size() < capture_limit ? capture_limit - r.buffer->size() : 0;
        if (keep > room) {
            r.dropped += keep - room;
            keep = room;
        }
    }
    r.buffer->append(chunk, keep);
    if (r.handle.out_fd >= 0) {
        write_all_to(r.handle.out_fd, *r.buffer, idle);
        r.buffer->clear();
    } else if (r.handle.out_stream) {
        r.handle.out_stream->write(r.buffer->data(), static_cast<std::streamsize>(r.buffer->size()));
        r.handle.out_stream->flush();
        r.buffer->clear();
    }
    return true;
}

// The input side: its text first, then the chunks the caller hands out;
// closed by the reader when done or when the child stopped taking it.
class InputFeed {
public:
    explicit InputFeed(std::optional<ReadMultipleFH::Input>& input) {
        if (!input || input->fd < 0) return;
        fd_ = input->fd;
        set_nonblocking(fd_);
        buf_ = std::move(input->text);
        next_chunk_ = std::move(input->next_chunk);
    }
    InputFeed(const InputFeed&) = delete;
    InputFeed& operator=(const InputFeed&) = delete;

    bool open() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    // Refills the buffer; false when there is nothing left to write.
    bool refill() {
        while (off_ >= buf_.size()) {
            buf_.clear();
            off_ = 0;
            if (!next_chunk_ || !next_chunk_(buf_)) {
                next_chunk_ = nullptr;
                return false;
            }
        }
        return true;
    }

    // One write once the poll found the descriptor ready. A failure, or a
    // reader that went away (EPIPE), closes it: the errno is returned and
    // `unwritten` set; else 0.
    int write_ready(short revents, size_t& unwritten) {
        ssize_t w = ::write(fd_, buf_.data() + off_, buf_.size() - off_);
        if (w > 0) {
            off_ += static_cast<size_t>(w);
            return 0;
        }
        int err = 0;
        if (w < 0 && errno != EAGAIN && errno != EINTR) err = errno;
        else if (revents & (POLLERR | POLLHUP)) err = EPIPE;
        else return 0;
        unwritten = buf_.size() - off_;
        close();
        return err;
    }

private:
    int fd_ = -1;
    std::string buf_;
    size_t off_ = 0;
    std::function<bool(std::string&)> next_chunk_;
};

}  // namespace

ReadMultipleFH::ReadMultipleFH(Options options) {
    std::vector<Reading> reads = start_reads(options.filehandles, _fh_buffer);
    InputFeed input(options.input);

    const double overall = options.timeout.value_or(DEFAULT_TIMEOUT);
    const double idle = options.read_timeout.value_or(DEFAULT_READ_TIMEOUT);
    const auto start = Clock::now();
    double left = overall;

    // Not zeroed: a read touches only the pages it fills, where zeroing would
    // fault in all of them on every run.
    static thread_local std::unique_ptr<char[]> chunk(new char[CHUNK_SIZE]);

    std::vector<pollfd> fds;
    size_t open_reads = reads.size();
    std::vector<bool> open(reads.size(), true);

    try {
        while ((open_reads > 0 || input.open()) && (overall <= 0 || left > 0)) {
            if (input.open() && !input.refill()) {
                input.close();
                if (open_reads == 0) break;
            }
            fds.clear();
            for (size_t i = 0; i < reads.size(); ++i)
                if (open[i]) fds.push_back({reads[i].handle.fd, POLLIN, 0});
            if (input.open()) fds.push_back({input.fd(), POLLOUT, 0});

            double wait = -1;
            if (overall > 0) wait = left;
            if (idle > 0 && (wait < 0 || idle < wait)) wait = idle;

            int n = wait_for(fds.data(), fds.size(), wait);
            if (n == 0) {
                _timed_out = (idle > 0 && wait == idle) ? idle : overall;
                break;
            }
            if (n < 0) {
                if (overall > 0) left = overall - seconds_since(start);
                continue;
            }
            size_t k = 0;
            bool all_done = false;
            for (size_t i = 0; i < reads.size() && !all_done; ++i) {
                if (!open[i]) continue;
                short re = fds[k++].revents;
                if (!re || take_chunk(reads[i], chunk.get(), options.capture_limit, idle)) continue;
                open[i] = false;
                if (--open_reads == 0 && !input.open()) all_done = true;
            }
            if (all_done) break;
            if (input.open() && k < fds.size() && fds[k].revents) {
                if (int err = input.write_ready(fds[k].revents, input_unwritten_)) input_errno_ = err;
            }
            // Once every output has ended, input nobody reads any more is moot.
            if (open_reads == 0 && !reads.empty()) break;
            if (overall > 0) left = overall - seconds_since(start);
        }
    } catch (...) {
        input.close();
        throw;
    }
    input.close();
    for (auto& r : reads) {
        if (!r.dropped) continue;
        dropped_[r.handle.fd] = r.dropped;
        r.buffer->append(dropped_marker(r.dropped));
    }
    _finished = (open_reads == 0);
    if (!_finished && _timed_out == 0 && overall > 0) _timed_out = overall;
}

size_t ReadMultipleFH::dropped(int fd) const {
    auto it = dropped_.find(fd);
    return it == dropped_.end() ? 0 : it->second;
}

std::string ReadMultipleFH::dropped_marker(size_t bytes) {
    return "\n[" + std::to_string(bytes) + " more bytes were not kept]\n";
}

const std::string* ReadMultipleFH::get_buffer(int fd) const {
    auto it = _fh_buffer.find(fd);
    return it == _fh_buffer.end() ? nullptr : it->second.get();
}

}  // namespace norvik::run
