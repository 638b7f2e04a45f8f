#include "run/read_multiple.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <ostream>

#include "exception/exception.hpp"

namespace norvik {
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

}  // namespace

ReadMultipleFH::ReadMultipleFH(Options options) {
    std::vector<Reading> reads;
    reads.reserve(options.filehandles.size());
    for (auto& h : options.filehandles) {
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
            _fh_buffer[r.handle.fd] = buf;
            r.buffer = buf.get();
        }
    }

    // The input side.
    int in_fd = -1;
    std::string in_buf;
    size_t in_off = 0;
    std::function<bool(std::string&)> next_chunk;
    if (options.input && options.input->fd >= 0) {
        in_fd = options.input->fd;
        set_nonblocking(in_fd);
        in_buf = std::move(options.input->text);
        next_chunk = std::move(options.input->next_chunk);
    }
    auto close_input = [&] {
        if (in_fd >= 0) ::close(in_fd);
        in_fd = -1;
    };
    // Refills the input buffer; false when there is nothing left to write.
    auto refill = [&]() -> bool {
        while (in_off >= in_buf.size()) {
            in_buf.clear();
            in_off = 0;
            if (!next_chunk || !next_chunk(in_buf)) {
                next_chunk = nullptr;
                return false;
            }
        }
        return true;
    };

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
        while ((open_reads > 0 || in_fd >= 0) && (overall <= 0 || left > 0)) {
            if (in_fd >= 0 && !refill()) {
                close_input();
                if (open_reads == 0) break;
            }
            fds.clear();
            for (size_t i = 0; i < reads.size(); ++i)
                if (open[i]) fds.push_back({reads[i].handle.fd, POLLIN, 0});
            if (in_fd >= 0) fds.push_back({in_fd, POLLOUT, 0});

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
                if (!re) continue;
                auto& r = reads[i];
                ssize_t got = ::read(r.handle.fd, chunk.get(), CHUNK_SIZE);
                if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
                if (got <= 0) {
                    open[i] = false;
                    if (--open_reads == 0 && in_fd < 0) all_done = true;
                    continue;
                }
                const bool collected = r.handle.out_fd < 0 && !r.handle.out_stream;
                size_t keep = static_cast<size_t>(got);
                if (collected) {
                    const size_t room =
                        r.buffer->size() < options.capture_limit ? options.capture_limit - r.buffer->size() : 0;
                    if (keep > room) {
                        r.dropped += keep - room;
                        keep = room;
                    }
                }
                r.buffer->append(chunk.get(), keep);
                if (r.handle.out_fd >= 0) {
                    write_all_to(r.handle.out_fd, *r.buffer, idle);
                    r.buffer->clear();
                } else if (r.handle.out_stream) {
                    r.handle.out_stream->write(r.buffer->data(), static_cast<std::streamsize>(r.buffer->size()));
                    r.handle.out_stream->flush();
                    r.buffer->clear();
                }
            }
            if (all_done) break;
            if (in_fd >= 0 && k < fds.size() && fds[k].revents) {
                ssize_t w = ::write(in_fd, in_buf.data() + in_off, in_buf.size() - in_off);
                if (w > 0) {
                    in_off += static_cast<size_t>(w);
                } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
                    input_errno_ = errno;
                    input_unwritten_ = in_buf.size() - in_off;
                    close_input();
                } else if (fds[k].revents & (POLLERR | POLLHUP)) {
                    input_errno_ = EPIPE;
                    input_unwritten_ = in_buf.size() - in_off;
                    close_input();
                }
            }
            // Once every output has ended, input nobody reads any more is moot.
            if (open_reads == 0 && !reads.empty()) break;
            if (overall > 0) left = overall - seconds_since(start);
        }
    } catch (...) {
        close_input();
        throw;
    }
    close_input();
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

}  // namespace norvik
