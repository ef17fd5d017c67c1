#include "persist/decode_values.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <optional>
#include <vector>

#include "common/large_pages.hpp"
#include "persist/decode_bytes.hpp"
#include "persist/decode_markers.hpp"
#include "persist/decode_utf8.hpp"

namespace vicinor::persist {

using namespace msgpack;

namespace {

// Payloads arrive in pieces of this size, so the buffer only grows as far as
// the input really reaches.
constexpr std::size_t kPayloadChunk = std::size_t{1} << 16;
constexpr std::size_t kInitialPayloadCapacity = 128;

DecodedInteger from_signed(std::int64_t v) { return {v < 0, static_cast<std::uint64_t>(v)}; }

}  // namespace

ValueReader::ValueReader(BufferedReader& in) : in_(in) {
    payload_.reserve(kInitialPayloadCapacity);
}

bool ValueReader::fail(std::string message) { return fail(Error(std::move(message))); }

bool ValueReader::fail(Error error) {
    error_.emplace(std::move(error));
    return false;
}

bool ValueReader::fail_wrong_marker(std::uint8_t m) {
    return fail("wrong msgpack marker " + marker_name(m));
}

bool ValueReader::fail_invalid_type(std::uint8_t m, std::string_view expected) {
    std::string found;
    if (!describe(m, found)) return false;
    return fail("invalid type: " + found + ", expected " + std::string(expected));
}

bool ValueReader::describe(std::uint8_t m, std::string& found) {
    if (is_integer(m)) {
        DecodedInteger value;
        if (!read_integer(m, value)) return false;
        found = describe_integer(value);
        return true;
    }
    if (is_float(m)) {
        double value;
        if (!read_float(m, value)) return false;
        found = describe_float(value);
        return true;
    }
    if (is_str(m)) {
        std::uint32_t length;
        if (!read_length(m, length) || !read_payload(length) || !check_payload_utf8()) return false;
        found = describe_string(payload_);
        return true;
    }
    if (is_bin(m)) {
        std::uint32_t length;
        if (!read_length(m, length) || !read_payload(length)) return false;
        found = "byte array";
        return true;
    }
    switch (m) {
        case kNil: found = "unit value"; return true;
        case kFalse: found = "boolean `false`"; return true;
        case kTrue: found = "boolean `true`"; return true;
        case kReserved: return fail_wrong_marker(m);
        default: break;
    }
    std::uint32_t length;
    if (!read_length(m, length)) return false;
    found = is_array(m) ? "sequence" : is_map(m) ? "map" : "newtype struct";
    return true;
}

bool ValueReader::read_marker(std::uint8_t& m) {
    Status s = in_.read_exact(&m, 1);
    if (s.ok()) return true;
    const Error& io = s.error();
    return fail(Error("IO error while reading marker: " + io.message(), io));
}

bool ValueReader::read_data(void* out, std::size_t size) {
    Status s = in_.read_exact(out, size);
    if (s.ok()) return true;
    const Error& io = s.error();
    return fail(Error("IO error while reading data: " + io.message(), io));
}

bool ValueReader::read_length(std::uint8_t m, std::uint32_t& length) {
    if (is_fixmap(m) || is_fixarray(m)) {
        length = m & 0x0f;
        return true;
    }
    if (is_fixstr(m)) {
        length = m & 0x1f;
        return true;
    }
    if (m >= kFixExt1 && m <= kFixExt16) {
        length = std::uint32_t{1} << (m - kFixExt1);
        return true;
    }
    std::uint8_t bytes[4];
    switch (m) {
        case kStr8: case kBin8: case kExt8:
            if (!read_data(bytes, 1)) return false;
            length = bytes[0];
            return true;
        case kStr16: case kBin16: case kExt16: case kArray16: case kMap16:
            if (!read_data(bytes, 2)) return false;
            length = load_be16(bytes);
            return true;
        default:
            if (!read_data(bytes, 4)) return false;
            length = load_be32(bytes);
            return true;
    }
}

bool ValueReader::read_payload(std::uint32_t length) {
    payload_.clear();
    // Read whole when the input is known to hold that many bytes (a large
    // table text): sized once, each page touched once, and all but the
    // buffered bytes go straight from the source into place. Otherwise
    // grown as the bytes arrive, so an announced length alone allocates
    // little.
    std::size_t step = kPayloadChunk;
    if (length > kPayloadChunk) {
        const std::optional<std::uint64_t> left = in_.bytes_left();
        if (left && length <= *left) step = length;
    }
    std::optional<LargePageAdvice> advice;
    if (step == length) {
        payload_.reserve(length);
        advice.emplace(payload_.data(), length);
    }
    std::size_t done = 0;
    while (done < length) {
        const std::size_t chunk = std::min<std::size_t>(length - done, step);
        payload_.resize(done + chunk);
        Status s = in_.read_payload(payload_.data() + done, chunk);
        if (!s.ok()) {
            const Error& io = s.error();
            return fail(Error("IO error while reading data: " + io.message(), io));
        }
        done += chunk;
    }
    return true;
}

bool ValueReader::discard_payload(std::uint64_t length) {
    while (length != 0) {
        Status filled = in_.fill(1);
        if (!filled.ok()) {
            const Error& io = filled.error();
            return fail(Error("IO error while reading data: " + io.message(), io));
        }
        const std::size_t have = in_.buffered().size();
        if (have == 0) {
            Error io(kUnexpectedEof);
            return fail(Error("IO error while reading data: " + io.message(), io));
        }
        const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(have, length));
        in_.consume(take);
        length -= take;
    }
    return true;
}

bool ValueReader::check_payload_utf8() {
    std::optional<std::string> detail = utf8_error_detail(payload_);
    if (!detail) return true;
    Error cause(*detail);
    return fail(Error("string found to be invalid utf8: " + *detail, cause));
}

std::string ValueReader::take_payload() {
    std::string text = std::move(payload_);
    payload_ = std::string();
    return text;
}

bool ValueReader::read_integer(std::uint8_t m, DecodedInteger& value) {
    if (is_pos_fixint(m)) {
        value = {false, m};
        return true;
    }
    if (is_neg_fixint(m)) {
        value = from_signed(static_cast<std::int8_t>(m));
        return true;
    }
    std::uint8_t b[8];
    switch (m) {
        case kU8:
            if (!read_data(b, 1)) return false;
            value = {false, b[0]};
            return true;
        case kU16:
            if (!read_data(b, 2)) return false;
            value = {false, load_be16(b)};
            return true;
        case kU32:
            if (!read_data(b, 4)) return false;
            value = {false, load_be32(b)};
            return true;
        case kU64:
            if (!read_data(b, 8)) return false;
            value = {false, load_be64(b)};
            return true;
        case kI8:
            if (!read_data(b, 1)) return false;
            value = from_signed(static_cast<std::int8_t>(b[0]));
            return true;
        case kI16:
            if (!read_data(b, 2)) return false;
            value = from_signed(static_cast<std::int16_t>(load_be16(b)));
            return true;
        case kI32:
            if (!read_data(b, 4)) return false;
            value = from_signed(static_cast<std::int32_t>(load_be32(b)));
            return true;
        default:
            if (!read_data(b, 8)) return false;
            value = from_signed(static_cast<std::int64_t>(load_be64(b)));
            return true;
    }
}

bool ValueReader::read_float(std::uint8_t m, double& value) {
    std::uint8_t b[8];
    if (m == kF32) {
        if (!read_data(b, 4)) return false;
        // Widening keeps a NaN's sign and payload bits.
        value = static_cast<double>(std::bit_cast<float>(load_be32(b)));
        return true;
    }
    if (!read_data(b, 8)) return false;
    value = load_be_double(b);
    return true;
}

bool ValueReader::enter() {
    if (--depth_ == 0) return fail("depth limit exceeded");
    return true;
}

bool ValueReader::read_u32(std::uint32_t& out, std::string_view expected) {
    std::uint8_t m;
    if (!read_marker(m)) return false;
    if (is_pos_fixint(m)) {
        out = m;
        return true;
    }
    if (is_integer(m)) {
        DecodedInteger value;
        if (!read_integer(m, value)) return false;
        if (value.negative || value.bits > UINT32_MAX) {
            return fail("invalid value: " + describe_integer(value) + ", expected " +
                        std::string(expected));
        }
        out = static_cast<std::uint32_t>(value.bits);
        return true;
    }
    if (is_float(m) || is_nil_or_bool(m)) return fail_invalid_type(m, expected);
    return fail_wrong_marker(m);
}

bool ValueReader::read_i32(std::int64_t& out, std::string_view expected) {
    std::uint8_t m;
    if (!read_marker(m)) return false;
    if (is_integer(m)) {
        DecodedInteger value;
        if (!read_integer(m, value)) return false;
        const bool in_range = value.negative ? value.as_signed() >= INT32_MIN
                                             : value.bits <= static_cast<std::uint64_t>(INT32_MAX);
        if (!in_range) {
            return fail("invalid value: " + describe_integer(value) + ", expected " +
                        std::string(expected));
        }
        out = value.negative ? value.as_signed() : static_cast<std::int64_t>(value.bits);
        return true;
    }
    if (is_float(m) || is_nil_or_bool(m)) return fail_invalid_type(m, expected);
    return fail_wrong_marker(m);
}

bool ValueReader::read_f64(double& out) {
    std::uint8_t m;
    if (!read_marker(m)) return false;
    if (is_float(m)) return read_float(m, out);
    if (is_integer(m)) {
        DecodedInteger value;
        if (!read_integer(m, value)) return false;
        out = value.negative ? static_cast<double>(value.as_signed())
                             : static_cast<double>(value.bits);
        return true;
    }
    if (is_nil_or_bool(m)) return fail_invalid_type(m, "f64");
    return fail_wrong_marker(m);
}

bool ValueReader::read_f64_run(double* out, std::size_t count) {
    constexpr std::size_t kWidth = 9;  // F64 marker + 8 bytes
    std::size_t i = 0;
    while (i < count) {
        if (in_.buffered().size() < kWidth) {
            // A failed fill is not reported here: the slow path below reads
            // again and reports the failure where it belongs (marker or data).
            (void)in_.fill((count - i) * kWidth);
        }
        const std::span<const std::uint8_t> buffered = in_.buffered();
        const std::size_t limit = std::min(buffered.size() / kWidth, count - i);
        const std::uint8_t* p = buffered.data();
        std::size_t k = 0;
        while (k < limit && p[k * kWidth] == kF64) {
            out[i + k] = load_be_double(p + k * kWidth + 1);
            ++k;
        }
        in_.consume(k * kWidth);
        i += k;
        if (k == limit && limit != 0) continue;
        if (i < count) {
            if (!read_f64(out[i])) return false;
            ++i;
        }
    }
    return true;
}

bool ValueReader::read_u32_run(std::uint32_t* out, std::size_t count, std::string_view expected) {
    std::size_t i = 0;
    while (i < count) {
        if (in_.buffered().size() < kFastU32MaxBytes) {
            (void)in_.fill((count - i) * kFastU32MaxBytes);
        }
        const std::span<const std::uint8_t> buffered = in_.buffered();
        std::size_t used = 0;
        while (i < count && buffered.size() - used >= kFastU32MaxBytes) {
            const std::size_t width = parse_fast_u32(buffered.data() + used, out[i]);
            if (width == 0) break;
            used += width;
            ++i;
        }
        in_.consume(used);
        if (used != 0) continue;
        if (i < count) {
            if (!read_u32(out[i], expected)) return false;
            ++i;
        }
    }
    return true;
}

bool ValueReader::skip_value() {
    // Values still to read in each open container, outermost first. enter()
    // bounds the nesting, so this stays small however the input is built.
    std::vector<std::uint64_t> open;
    std::uint64_t remaining = 1;
    for (;;) {
        while (remaining == 0) {
            if (open.empty()) return true;
            remaining = open.back();
            open.pop_back();
            leave();
        }
        --remaining;
        std::uint8_t m;
        if (!read_marker(m)) return false;
        if (is_array(m) || is_map(m)) {
            std::uint32_t length;
            if (!read_length(m, length) || !enter()) return false;
            open.push_back(remaining);
            remaining = is_map(m) ? std::uint64_t{length} * 2 : length;
            continue;
        }
        if (!skip_scalar(m)) return false;
    }
}

// Skips one value that is neither an array nor a map.
bool ValueReader::skip_scalar(std::uint8_t m) {
    std::uint8_t scratch[8];
    if (is_pos_fixint(m) || is_neg_fixint(m) || is_nil_or_bool(m)) return true;
    if (m == kReserved) return fail_wrong_marker(m);
    if (is_integer(m)) {
        DecodedInteger ignored;
        return read_integer(m, ignored);
    }
    if (is_float(m)) return read_data(scratch, m == kF32 ? 4 : 8);
    std::uint32_t length;
    if (is_str(m) || is_bin(m)) return read_length(m, length) && discard_payload(length);
    // ext: a type byte and `length` data bytes, counted as one nesting level.
    if (!enter() || !read_length(m, length) || !read_data(scratch, 1) || !discard_payload(length)) {
        return false;
    }
    leave();
    return true;
}

}  // namespace vicinor::persist
