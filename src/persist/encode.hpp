// Helpers around encode_saved_geocoder (declared in codec.hpp) that the
// save paths share: the one way a failed write is reported, and the check
// that a geocoder fits the file's 32-bit fields at all.
#pragma once

#include "common/error.hpp"
#include "geocoder/record.hpp"
#include "persist/byte_stream.hpp"

namespace vicinor::persist {

inline constexpr const char* kEncodeWriteMessage =
    "invalid value write: error while writing multi-byte MessagePack value";
inline constexpr const char* kEncodeWriteCause = "error while writing multi-byte MessagePack value";

// Wraps a sink's write error into the encode error chain.
Error encode_write_error(const Error& write_error);

// Flushes what `out` still buffers; a failed write is wrapped like every
// other encode failure.
Status finish_encoding(BufferedWriter& out);

// The file stores offsets as signed 32-bit, lengths, sizes and items as
// unsigned 32-bit values, and `value_sep` as one UTF-8 character. A record
// outside those ranges would be written but could never load, so saving
// refuses it before touching any file.
Status check_encodable(const ReverseGeocoder& geocoder);

// encode_saved_geocoder for a geocoder that already passed check_encodable:
// the entry points check once, before they open or reserve anything.
Status write_saved_geocoder(BufferedWriter& out, const ReverseGeocoder& geocoder);

}  // namespace vicinor::persist
