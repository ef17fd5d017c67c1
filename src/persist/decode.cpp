// Reading the saved geocoder: the record shapes on top of the value layer.
// Records come as arrays (what the writer produces), maps keyed by field
// name or position, or bin values standing for arrays of small integers.
#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/text.hpp"
#include "geocoder/construction.hpp"
#include "persist/codec.hpp"
#include "persist/decode_bytes.hpp"
#include "persist/decode_markers.hpp"
#include "persist/decode_utf8.hpp"
#include "persist/decode_values.hpp"

namespace vicinor::persist {

using namespace msgpack;

namespace {

struct RecordShape {
    std::string_view expected;  // "struct StringSlice"
    std::span<const std::string_view> fields;
};

constexpr std::array<std::string_view, 5> kGeocoderFields = {"csv", "value_sep", "columns",
                                                             "indexed_data", "tree"};
constexpr std::array<std::string_view, 2> kSliceFields = {"offset", "len"};
constexpr std::array<std::string_view, 3> kTreeFields = {"leaves", "stems", "size"};
constexpr std::array<std::string_view, 3> kLeafFields = {"content_points", "content_items", "size"};

constexpr RecordShape kGeocoderShape{"struct ReverseGeocoder", kGeocoderFields};
constexpr RecordShape kSliceShape{"struct StringSlice", kSliceFields};
constexpr RecordShape kTreeShape{"struct ImmutableKdTree", kTreeFields};
constexpr RecordShape kLeafShape{"struct LeafNode", kLeafFields};

constexpr std::string_view kExpectString = "a string";
constexpr std::string_view kExpectSequence = "a sequence";
// Built from the leaf's bucket size and dimension count.
const std::string kExpectPoints = "an array of arrays, dimensions of " +
                                  std::to_string(kdtree::B) + "x" + std::to_string(kdtree::K);
const std::string kExpectItems = "an array of length " + std::to_string(kdtree::B);

constexpr std::size_t kPointValues = kdtree::K * kdtree::B;

std::string invalid_length(std::size_t length, std::string_view expected) {
    return "invalid length " + std::to_string(length) + ", expected " + std::string(expected);
}

std::string invalid_record_length(std::size_t length, const RecordShape& shape) {
    return invalid_length(length, std::string(shape.expected) + " with " +
                                      std::to_string(shape.fields.size()) + " elements");
}

std::string incorrect_array_length(std::size_t expected) {
    return "array had incorrect length, expected " + std::to_string(expected);
}

std::string byte_of_wrong_type(std::uint8_t byte, std::string_view expected) {
    return "invalid type: " + describe_integer({false, byte}) + ", expected " +
           std::string(expected);
}

class GeocoderDecoder : public ValueReader {
public:
    using ValueReader::ValueReader;

private:
    // The bin form of a record whose first field cannot be a byte.
    auto byte_rejected_by(std::string_view expected) {
        return [this, expected](std::size_t, std::uint8_t byte) {
            return fail(byte_of_wrong_type(byte, expected));
        };
    }

public:
    bool read_geocoder(ReverseGeocoder& g) {
        return read_record(
            kGeocoderShape,
            [&](std::size_t field) {
                switch (field) {
                    case 0: return read_text(g.csv);
                    case 1: {
                        char32_t value_sep = 0;
                        if (!read_char(value_sep)) return false;
                        set_value_sep(g, value_sep);
                        return true;
                    }
                    case 2: return read_list(g.columns, kExpectString,
                                             [&](std::string& s) { return read_text(s); });
                    case 3: return read_list(g.indexed_data, kSliceShape.expected,
                                             [&](StringSlice& s) { return read_slice(s); });
                    default: return read_tree(g.tree);
                }
            },
            byte_rejected_by(kExpectString));
    }

private:
    // The three record forms. `read_field(i)` reads field i from the input;
    // `field_from_byte(i, b)` sets it from byte b of a bin form.
    template <class ReadField, class FieldFromByte>
    bool read_record(const RecordShape& shape, ReadField&& read_field,
                     FieldFromByte&& field_from_byte) {
        std::uint8_t m;
        if (!read_marker(m)) return false;
        const std::size_t n = shape.fields.size();
        if (is_array(m)) {
            std::uint32_t length;
            if (!read_length(m, length) || !enter()) return false;
            for (std::size_t i = 0; i < n; ++i) {
                if (i >= length) return fail(invalid_record_length(i, shape));
                if (!read_field(i)) return false;
            }
            if (length > n) return fail(incorrect_array_length(n));
            leave();
            return true;
        }
        if (is_map(m)) {
            std::uint32_t entries;
            if (!read_length(m, entries) || !enter()) return false;
            unsigned seen = 0;
            for (std::uint32_t e = 0; e < entries; ++e) {
                std::size_t field;
                if (!read_field_identifier(shape, field)) return false;
                if (field >= n) {
                    if (!skip_value()) return false;
                    continue;
                }
                if (seen & (1u << field)) {
                    return fail("duplicate field `" + std::string(shape.fields[field]) + "`");
                }
                seen |= 1u << field;
                if (!read_field(field)) return false;
            }
            for (std::size_t i = 0; i < n; ++i) {
                if (!(seen & (1u << i))) {
                    return fail("missing field `" + std::string(shape.fields[i]) + "`");
                }
            }
            leave();
            return true;
        }
        if (is_bin(m)) {
            std::uint32_t length;
            if (!read_length(m, length) || !read_payload(length)) return false;
            for (std::size_t i = 0; i < n; ++i) {
                if (i >= payload_.size()) return fail(invalid_record_length(i, shape));
                if (!field_from_byte(i, static_cast<std::uint8_t>(payload_[i]))) return false;
            }
            return true;
        }
        return fail_invalid_type(m, shape.expected);
    }

    // A map key: a field name (str or bin) or position (unsigned integer).
    // `field` is past the end for keys that select no field.
    bool read_field_identifier(const RecordShape& shape, std::size_t& field) {
        std::uint8_t m;
        if (!read_marker(m)) return false;
        field = shape.fields.size();
        if (is_str(m) || is_bin(m)) {
            std::uint32_t length;
            if (!read_length(m, length) || !read_payload(length)) return false;
            for (std::size_t i = 0; i < shape.fields.size(); ++i) {
                if (payload_ == shape.fields[i]) field = i;
            }
            return true;
        }
        if (is_unsigned_int(m)) {
            DecodedInteger position;
            if (!read_integer(m, position)) return false;
            if (position.bits < shape.fields.size()) {
                field = static_cast<std::size_t>(position.bits);
            }
            return true;
        }
        if (m == kReserved) return fail_wrong_marker(m);
        return fail_invalid_type(m, "field identifier");
    }

    bool read_text(std::string& out) {
        std::uint8_t m;
        if (!read_marker(m)) return false;
        if (is_str(m)) {
            std::uint32_t length;
            if (!read_length(m, length) || !read_payload(length) || !check_payload_utf8()) {
                return false;
            }
            out = take_payload();
            return true;
        }
        if (is_bin(m)) {
            std::uint32_t length;
            if (!read_length(m, length) || !read_payload(length)) return false;
            if (!utf8_valid_payload()) return fail("invalid value: byte array, expected a string");
            out = take_payload();
            return true;
        }
        if (m == kReserved) return fail_wrong_marker(m);
        return fail_invalid_type(m, kExpectString);
    }

    bool read_char(char32_t& out) {
        std::uint8_t m;
        if (!read_marker(m)) return false;
        if (m == kReserved) return fail_wrong_marker(m);
        if (!is_str(m)) return fail_invalid_type(m, "a character");
        std::uint32_t length;
        if (!read_length(m, length) || !read_payload(length) || !check_payload_utf8()) return false;
        if (text::count_characters(payload_) != 1) {
            return fail("invalid value: " + describe_string(payload_) + ", expected a character");
        }
        out = decode_single_character(payload_);
        return true;
    }

    static char32_t decode_single_character(std::string_view utf8) {
        const auto lead = static_cast<std::uint8_t>(utf8[0]);
        if (utf8.size() == 1) return lead;
        char32_t code = lead & (0x7f >> utf8.size());
        for (std::size_t i = 1; i < utf8.size(); ++i) {
            code = (code << 6) | (static_cast<std::uint8_t>(utf8[i]) & 0x3f);
        }
        return code;
    }

    bool utf8_valid_payload();

    // Lists grow as their elements arrive; see up_front_count.
    template <class T, class ReadElement>
    bool read_list(std::vector<T>& out, std::string_view element_expected,
                   ReadElement&& read_element) {
        std::uint8_t m;
        if (!read_marker(m)) return false;
        if (is_array(m)) {
            std::uint32_t length;
            if (!read_length(m, length) || !enter()) return false;
            out.clear();
            out.reserve(up_front_count<T>(length));
            for (std::uint32_t i = 0; i < length; ++i) {
                out.emplace_back();
                if (!read_element(out.back())) return false;
            }
            leave();
            return true;
        }
        if (is_bin(m)) {
            std::uint32_t length;
            if (!read_length(m, length) || !read_payload(length)) return false;
            if (!payload_.empty()) {
                return fail(byte_of_wrong_type(static_cast<std::uint8_t>(payload_[0]),
                                               element_expected));
            }
            out.clear();
            return true;
        }
        if (m == kReserved) return fail_wrong_marker(m);
        return fail_invalid_type(m, kExpectSequence);
    }

    bool read_stems(std::vector<double>& out) {
        std::uint8_t m;
        if (!read_marker(m)) return false;
        out.clear();
        if (is_array(m)) {
            std::uint32_t length;
            if (!read_length(m, length) || !enter()) return false;
            out.reserve(up_front_count<double>(length));
            constexpr std::size_t kChunk = 4096;
            while (out.size() < length) {
                const std::size_t done = out.size();
                const std::size_t chunk = std::min<std::size_t>(length - done, kChunk);
                out.resize(done + chunk);
                if (!read_f64_run(out.data() + done, chunk)) return false;
            }
            leave();
            return true;
        }
        if (is_bin(m)) {
            std::uint32_t length;
            if (!read_length(m, length) || !read_payload(length)) return false;
            for (char byte : payload_) out.push_back(static_cast<std::uint8_t>(byte));
            return true;
        }
        if (m == kReserved) return fail_wrong_marker(m);
        return fail_invalid_type(m, kExpectSequence);
    }

    bool read_slice(StringSlice& slice) {
        // The writer's shape (fixarray 2, two non-negative 32-bit integers)
        // straight from the buffer; everything else goes the general way.
        constexpr std::size_t kMaxWriterBytes = 1 + 2 * kFastU32MaxBytes;
        if (in_.buffered().size() < kMaxWriterBytes) (void)in_.fill(kMaxWriterBytes);
        const std::span<const std::uint8_t> buffered = in_.buffered();
        if (buffered.size() >= kMaxWriterBytes && buffered[0] == 0x92) {
            std::uint32_t offset;
            std::uint32_t len;
            const std::size_t offset_width = parse_fast_u32(buffered.data() + 1, offset);
            if (offset_width != 0 && offset <= static_cast<std::uint32_t>(INT32_MAX)) {
                const std::size_t len_width =
                    parse_fast_u32(buffered.data() + 1 + offset_width, len);
                if (len_width != 0) {
                    in_.consume(1 + offset_width + len_width);
                    slice.offset = offset;
                    slice.len = len;
                    return true;
                }
            }
        }
        return read_record(
            kSliceShape,
            [&](std::size_t field) {
                if (field == 0) return read_i32(slice.offset, "isize");
                std::uint32_t len;
                if (!read_u32(len, "usize")) return false;
                slice.len = len;
                return true;
            },
            [&](std::size_t field, std::uint8_t byte) {
                if (field == 0) {
                    slice.offset = byte;
                } else {
                    slice.len = byte;
                }
                return true;
            });
    }

    bool read_tree(kdtree::ImmutableKdTree& tree) {
        return read_record(
            kTreeShape,
            [&](std::size_t field) {
                switch (field) {
                    case 0:
                        return read_list(tree.leaves, kLeafShape.expected,
                                         [&](kdtree::LeafNode& leaf) { return read_leaf(leaf); });
                    case 1: return read_stems(tree.stems);
                    default: {
                        std::uint32_t size;
                        if (!read_u32(size, "usize")) return false;
                        tree.size = size;
                        return true;
                    }
                }
            },
            byte_rejected_by(kExpectSequence));
    }

    bool read_leaf(kdtree::LeafNode& leaf) {
        return read_record(
            kLeafShape,
            [&](std::size_t field) {
                switch (field) {
                    case 0: return read_content_points(leaf);
                    case 1: return read_content_items(leaf);
                    default: return read_u32(leaf.size, "usize");
                }
            },
            byte_rejected_by(kExpectPoints));
    }

    // One flat run of 96 floats: the 32 x values, then the y and z values.
    bool read_content_points(kdtree::LeafNode& leaf) {
        std::uint8_t m;
        if (!read_marker(m)) return false;
        if (is_array(m)) {
            std::uint32_t length;
            if (!read_length(m, length) || !enter()) return false;
            for (std::size_t d = 0; d < kdtree::K; ++d) {
                const std::size_t start = d * kdtree::B;
                if (length <= start) break;
                const std::size_t count = std::min<std::size_t>(length - start, kdtree::B);
                if (!read_f64_run(leaf.content_points[d], count)) return false;
            }
            // The count in this message is fixed, whatever the array held.
            if (length < kPointValues) return fail(invalid_length(kdtree::K, kExpectPoints));
            if (length > kPointValues) return fail(incorrect_array_length(kPointValues));
            leave();
            return true;
        }
        if (is_bin(m)) {
            std::uint32_t length;
            if (!read_length(m, length) || !read_payload(length)) return false;
            if (length < kPointValues) return fail(invalid_length(kdtree::K, kExpectPoints));
            for (std::size_t i = 0; i < kPointValues; ++i) {
                leaf.content_points[i / kdtree::B][i % kdtree::B] =
                    static_cast<std::uint8_t>(payload_[i]);
            }
            return true;
        }
        if (m == kReserved) return fail_wrong_marker(m);
        return fail_invalid_type(m, kExpectPoints);
    }

    bool read_content_items(kdtree::LeafNode& leaf) {
        std::uint8_t m;
        if (!read_marker(m)) return false;
        if (is_array(m)) {
            std::uint32_t length;
            if (!read_length(m, length) || !enter()) return false;
            const std::size_t count = std::min<std::size_t>(length, kdtree::B);
            if (!read_u32_run(leaf.content_items, count, "u32")) return false;
            // As with the points, the count in this message is fixed.
            if (length < kdtree::B) return fail(invalid_length(kdtree::B, kExpectItems));
            if (length > kdtree::B) return fail(incorrect_array_length(kdtree::B));
            leave();
            return true;
        }
        if (is_bin(m)) {
            std::uint32_t length;
            if (!read_length(m, length) || !read_payload(length)) return false;
            if (length < kdtree::B) return fail(invalid_length(kdtree::B, kExpectItems));
            for (std::size_t i = 0; i < kdtree::B; ++i) {
                leaf.content_items[i] = static_cast<std::uint8_t>(payload_[i]);
            }
            return true;
        }
        if (m == kReserved) return fail_wrong_marker(m);
        return fail_invalid_type(m, kExpectItems);
    }
};

bool GeocoderDecoder::utf8_valid_payload() { return !utf8_error_detail(payload_).has_value(); }

}  // namespace

Result<ReverseGeocoder> decode_saved_geocoder(BufferedReader& in) {
    GeocoderDecoder decoder(in);
    ReverseGeocoder geocoder;
    if (!decoder.read_geocoder(geocoder)) return decoder.take_error();
    return geocoder;
}

Result<ReverseGeocoder> decode_from_bytes(std::span<const std::uint8_t> bytes) {
    MemorySource source(bytes);
    BufferedReader reader(source);
    return decode_saved_geocoder(reader);
}

}  // namespace vicinor::persist
