// The saved-file codec: one MessagePack value holding the whole geocoder.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "common/error.hpp"
#include "geocoder/record.hpp"
#include "persist/byte_stream.hpp"

namespace vicinor::persist {

// Streams the record; fails on a failed write to the writer's sink, or,
// before writing anything, on a record too large for the file's 32-bit
// fields (see check_encodable). The caller flushes `out` afterwards
// (finish_encoding in encode.hpp wraps a failed flush the same way).
Status encode_saved_geocoder(BufferedWriter& out, const ReverseGeocoder& geocoder);

// Reads exactly one value. Does not check the record's invariants (see
// check_loaded_geocoder).
Result<ReverseGeocoder> decode_saved_geocoder(BufferedReader& in);

// Memory-buffer forms, for pickling and tests.
Result<std::vector<std::uint8_t>> encode_to_bytes(const ReverseGeocoder& geocoder);
Result<ReverseGeocoder> decode_from_bytes(std::span<const std::uint8_t> bytes);

}  // namespace vicinor::persist
