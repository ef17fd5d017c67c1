// Saving to and loading from files.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "common/error.hpp"
#include "geocoder/record.hpp"
#include "persist/file.hpp"

namespace vicinor::persist {

// Rejects a decoded record that lookups could not use safely (slices outside
// the text, items beyond the rows, over-full leaves, mismatched stems).
Status check_loaded_geocoder(const ReverseGeocoder& geocoder);

// `path` is UTF-8 (or the host's raw path text). Replaces the target
// atomically where it can, so a failed save leaves the old file intact.
// A save stopped at a signal fails the same way.
Status save_geocoder(const std::string& path, const ReverseGeocoder& geocoder,
                     const Interruption& interruption = kRetryInterrupted);

// Decodes and checks the record held in memory (what save writes).
Result<ReverseGeocoder> load_geocoder_from_bytes(std::span<const std::uint8_t> bytes);

// Decodes and checks the file's record.
Result<ReverseGeocoder> load_geocoder(const std::string& path,
                                      const Interruption& interruption = kRetryInterrupted);

}  // namespace vicinor::persist
