// Reads several non-blocking pipes at once (poll), under an overall limit and
// an idle limit, collecting each into a text or copying it to a target as it
// arrives. Optionally feeds one input pipe in the same loop, so that a child
// which writes before it has read all its input cannot stall either side.
#pragma once

#include <functional>
#include <iosfwd>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace norvik::run {

class ReadMultipleFH {
public:
    static constexpr double DEFAULT_TIMEOUT = 600;
    static constexpr double DEFAULT_READ_TIMEOUT = 0;
    static constexpr size_t CHUNK_SIZE = 131072;
    // Most bytes kept of one collected stream; the rest is read and dropped,
    // and a marker line at the end says how much.
    static constexpr size_t CAPTURE_LIMIT = 16 * 1024 * 1024;

    // One read handle and where its data goes: nowhere given -> a private
    // buffer (get_buffer); `text` -> appended there; `out_fd` / `out_stream`
    // -> copied there as data arrives (no buffer kept).
    struct Handle {
        int fd = -1;
        std::string* text = nullptr;
        int out_fd = -1;
        std::ostream* out_stream = nullptr;
    };

    // Input fed to `fd` while reading; the reader closes `fd` when done
    // (or when the reader of the pipe went away).
    struct Input {
        int fd = -1;
        std::string text{};                                    // written first
        std::function<bool(std::string& chunk)> next_chunk{};  // then chunks until false
    };

    struct Options {
        std::vector<Handle> filehandles{};
        std::optional<double> timeout{};       // default 600; 0 = none
        std::optional<double> read_timeout{};  // default 0 = none
        std::optional<Input> input{};
        size_t capture_limit = CAPTURE_LIMIT;  // per collected stream (not for targets)
    };

    // Reading is complete when this returns.
    explicit ReadMultipleFH(Options options);

    // Collected text of a handle without a target (nullptr for others).
    const std::string* get_buffer(int fd) const;
    bool did_finish() const { return _finished; }
    // The limit that expired, else 0.
    double timed_out() const { return _timed_out; }
    // Set when writing the input failed for another reason than a closed
    // reader: errno and the bytes still unwritten.
    int input_error() const { return input_errno_; }
    size_t input_unwritten() const { return input_unwritten_; }
    // Bytes of a collected stream that were over the limit and dropped.
    size_t dropped(int fd) const;

    // The line appended to a stream that lost its end.
    static std::string dropped_marker(size_t bytes);

private:
    std::map<int, std::shared_ptr<std::string>> _fh_buffer{};
    std::map<int, size_t> dropped_{};
    bool _finished = false;
    double _timed_out = 0;
    int input_errno_ = 0;
    size_t input_unwritten_ = 0;
};

}  // namespace norvik::run
