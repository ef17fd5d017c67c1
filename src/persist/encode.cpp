// The saved-file writer: the record as nested MessagePack arrays in field
// order, streamed through a BufferedWriter. Bulk parts (leaves, stems,
// slices) are formatted into stack buffers and written in one call each;
// that keeps the per-value cost to a few stores.
#include <algorithm>
#include <cstdint>
#include <string_view>

#include "common/text.hpp"
#include "persist/codec.hpp"
#include "persist/encode.hpp"
#include "persist/encode_msgpack.hpp"

namespace vicinor::persist {
namespace {

using kdtree::B;
using kdtree::K;
using kdtree::LeafNode;

void write_str(BufferedWriter& out, std::string_view text) {
    std::uint8_t header[msgpack::kMaxHeaderBytes];
    out.write(header, static_cast<std::size_t>(msgpack::put_str_header(header, text.size()) - header));
    out.write(text.data(), text.size());
}

void write_array_header(BufferedWriter& out, std::uint64_t count) {
    std::uint8_t header[msgpack::kMaxHeaderBytes];
    out.write(header, static_cast<std::size_t>(msgpack::put_array_header(header, count) - header));
}

// `c` is a Unicode scalar value (check_encodable).
void write_char(BufferedWriter& out, char32_t c) {
    std::uint8_t bytes[5];
    const std::size_t n = static_cast<std::size_t>(
        text::put_code_point(static_cast<std::uint32_t>(c), bytes + 1) - (bytes + 1));
    bytes[0] = static_cast<std::uint8_t>(0xa0 | n);
    out.write(bytes, n + 1);
}

void write_columns(BufferedWriter& out, const std::vector<std::string>& columns) {
    write_array_header(out, columns.size());
    for (const std::string& name : columns) write_str(out, name);
}

void write_slices(BufferedWriter& out, const std::vector<StringSlice>& slices) {
    constexpr std::size_t kChunk = 128;
    std::uint8_t buffer[kChunk * (1 + 2 * msgpack::kMaxIntBytes)];
    write_array_header(out, slices.size());
    for (std::size_t first = 0; first < slices.size() && !out.failed(); first += kChunk) {
        std::size_t last = std::min(slices.size(), first + kChunk);
        std::uint8_t* p = buffer;
        for (std::size_t i = first; i < last; ++i) {
            *p++ = 0x92;
            p = msgpack::put_int(p, slices[i].offset);
            p = msgpack::put_uint(p, slices[i].len);
        }
        out.write(buffer, static_cast<std::size_t>(p - buffer));
    }
}

void write_stems(BufferedWriter& out, const std::vector<double>& stems) {
    constexpr std::size_t kChunk = 128;
    std::uint8_t buffer[kChunk * msgpack::kF64Bytes];
    write_array_header(out, stems.size());
    for (std::size_t first = 0; first < stems.size() && !out.failed(); first += kChunk) {
        std::size_t last = std::min(stems.size(), first + kChunk);
        std::uint8_t* p = buffer;
        for (std::size_t i = first; i < last; ++i) p = msgpack::put_f64(p, stems[i]);
        out.write(buffer, static_cast<std::size_t>(p - buffer));
    }
}

// All 32 slots go out whatever `size` says: unused slots are part of the
// format and must round-trip.
constexpr std::size_t kLeafMaxBytes = 1 + 3 + K * B * msgpack::kF64Bytes + 3 +
                                      B * msgpack::kMaxIntBytes + msgpack::kMaxIntBytes;

std::uint8_t* format_leaf(std::uint8_t* p, const LeafNode& leaf) {
    *p++ = 0x93;
    p = msgpack::put_array_header(p, K * B);  // dc 00 60
    for (std::size_t d = 0; d < K; ++d)
        for (std::size_t j = 0; j < B; ++j) p = msgpack::put_f64(p, leaf.content_points[d][j]);
    p = msgpack::put_array_header(p, B);  // dc 00 20
    for (std::size_t j = 0; j < B; ++j) p = msgpack::put_uint(p, leaf.content_items[j]);
    return msgpack::put_uint(p, leaf.size);
}

void write_tree(BufferedWriter& out, const kdtree::ImmutableKdTree& tree) {
    std::uint8_t buffer[kLeafMaxBytes];
    out.put(0x93);
    write_array_header(out, tree.leaves.size());
    for (const LeafNode& leaf : tree.leaves) {
        if (out.failed()) return;
        out.write(buffer, static_cast<std::size_t>(format_leaf(buffer, leaf) - buffer));
    }
    write_stems(out, tree.stems);
    std::uint8_t size[msgpack::kMaxIntBytes];
    out.write(size, static_cast<std::size_t>(msgpack::put_uint(size, tree.size) - size));
}

// An upper bound of the encoded size, so the memory form allocates once.
std::size_t encoded_size_bound(const ReverseGeocoder& geocoder) {
    std::size_t size = 64 + geocoder.csv.size();
    for (const std::string& name : geocoder.columns) size += msgpack::kMaxHeaderBytes + name.size();
    size += geocoder.indexed_data.size() * (1 + 2 * msgpack::kMaxIntBytes);
    size += geocoder.tree.leaves.size() * kLeafMaxBytes;
    size += geocoder.tree.stems.size() * msgpack::kF64Bytes;
    return size;
}

}  // namespace

Error encode_write_error(const Error& write_error) {
    return Error(kEncodeWriteMessage, Error(kEncodeWriteCause, write_error));
}

Status finish_encoding(BufferedWriter& out) {
    Status flushed = out.flush();
    if (!flushed.ok()) return encode_write_error(flushed.error());
    return {};
}

Status encode_saved_geocoder(BufferedWriter& out, const ReverseGeocoder& geocoder) {
    // Refused before the first byte: a value that does not fit its field
    // would otherwise go out truncated and corrupt the file silently.
    Status encodable = check_encodable(geocoder);
    if (!encodable.ok()) return encodable;
    return write_saved_geocoder(out, geocoder);
}

Status write_saved_geocoder(BufferedWriter& out, const ReverseGeocoder& geocoder) {
    // A writer that already failed keeps its first error, and every write
    // after it is dropped, so checking once at the end reports the first
    // failure; the checks inside the loops only stop wasted formatting.
    out.put(0x95);
    write_str(out, geocoder.csv);
    write_char(out, geocoder.value_sep);
    write_columns(out, geocoder.columns);
    write_slices(out, geocoder.indexed_data);
    write_tree(out, geocoder.tree);
    if (out.failed()) return encode_write_error(out.status().error());
    return {};
}

Result<std::vector<std::uint8_t>> encode_to_bytes(const ReverseGeocoder& geocoder) {
    // Checked before reserving: the bound of a record too large to save
    // could itself be a huge allocation.
    Status encodable = check_encodable(geocoder);
    if (!encodable.ok()) return std::move(encodable).error();
    MemorySink sink;
    sink.reserve(encoded_size_bound(geocoder));
    BufferedWriter out(sink);
    Status status = write_saved_geocoder(out, geocoder);
    if (status.ok()) status = finish_encoding(out);
    if (!status.ok()) return std::move(status).error();
    return sink.take();
}

}  // namespace vicinor::persist
