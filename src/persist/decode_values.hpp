// The value layer of the saved-file reader: markers, lengths, numbers and
// payloads pulled from a BufferedReader, the nesting counter, skipping of
// unknown values, and the error texts shared by every place in the record.
// Every method returns false after recording the first error; the record
// layer (decode.cpp) stops at once and hands that error up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/error.hpp"
#include "persist/byte_stream.hpp"
#include "persist/decode_describe.hpp"

namespace vicinor::persist {

// Nothing is reserved from an announced length beyond this many bytes before
// the elements have actually arrived, so a corrupt length cannot make the
// reader allocate gigabytes for a file of a few bytes.
inline constexpr std::size_t kMaxUpFrontBytes = std::size_t{1} << 20;

template <class T>
constexpr std::size_t up_front_count(std::uint64_t announced) {
    constexpr std::uint64_t cap = kMaxUpFrontBytes / sizeof(T);
    return static_cast<std::size_t>(announced < cap ? announced : cap);
}

class ValueReader {
public:
    explicit ValueReader(BufferedReader& in);

    Error take_error() { return std::move(*error_); }

protected:
    bool fail(std::string message);
    bool fail(Error error);
    // "invalid type: {found}, expected {expected}" for marker `m`, reading
    // whatever the description needs (a number, a str payload, a length).
    bool fail_invalid_type(std::uint8_t m, std::string_view expected);
    bool fail_wrong_marker(std::uint8_t m);

    bool read_marker(std::uint8_t& m);
    // Fixed-size data after a marker (lengths, numbers), big-endian.
    bool read_data(void* out, std::size_t size);
    // The element, entry or byte count of a str, bin, array, map or ext marker.
    bool read_length(std::uint8_t m, std::uint32_t& length);
    // Reads a str or bin payload into payload_, growing as bytes arrive.
    bool read_payload(std::uint32_t length);
    bool discard_payload(std::uint64_t length);
    // Fails with the UTF-8 error when payload_ is not valid UTF-8.
    bool check_payload_utf8();
    // Hands the payload's text out; the scratch buffer starts over.
    std::string take_payload();

    bool read_integer(std::uint8_t m, DecodedInteger& value);
    bool read_float(std::uint8_t m, double& value);

    // Containers opened and closed while reading; fails with "depth limit
    // exceeded" when too many are open at once.
    bool enter();
    void leave() noexcept { ++depth_; }

    // Numbers of the record. `expected` is the name in error texts.
    bool read_u32(std::uint32_t& out, std::string_view expected);
    bool read_i32(std::int64_t& out, std::string_view expected);
    bool read_f64(double& out);
    // Runs of numbers: decoded straight from the buffered bytes while they
    // have the writer's shape, one by one through the calls above otherwise.
    bool read_f64_run(double* out, std::size_t count);
    bool read_u32_run(std::uint32_t* out, std::size_t count, std::string_view expected);

    // Reads one well-formed value of any kind and drops it.
    bool skip_value();

    BufferedReader& in_;
    std::string payload_;

private:
    bool describe(std::uint8_t m, std::string& found);
    bool skip_scalar(std::uint8_t m);

    int depth_ = 1024;
    std::optional<Error> error_;
};

}  // namespace vicinor::persist
