// The saved-file codec: one MessagePack value holding the whole geocoder.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "common/error.hpp"
#include "geocoder/record.hpp"
#include "persist/byte_stream.hpp"

namespace vicinor::persist {

// Streams the record; the only failure is a failed write to the writer's
// sink. The caller flushes `out` afterwards.
Status encode_saved_geocoder(BufferedWriter& out, const ReverseGeocoder& geocoder);

// Reads exactly one value. Does not check the record's invariants (see
// check_loaded_geocoder).
Result<ReverseGeocoder> decode_saved_geocoder(BufferedReader& in);

// Memory-buffer forms, for pickling and tests.
Result<std::vector<std::uint8_t>> encode_to_bytes(const ReverseGeocoder& geocoder);
Result<ReverseGeocoder> decode_from_bytes(std::span<const std::uint8_t> bytes);

}  // namespace vicinor::persist
