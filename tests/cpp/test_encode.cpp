#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "persist/codec.hpp"
#include "persist/encode.hpp"
#include "persist/encode_msgpack.hpp"

namespace vicinor::persist {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes encode(const ReverseGeocoder& geocoder, std::size_t capacity = 1 << 16) {
    MemorySink sink;
    BufferedWriter out(sink, capacity);
    Status status = encode_saved_geocoder(out, geocoder);
    EXPECT_TRUE(status.ok()) << status.error().render();
    Status flushed = finish_encoding(out);
    EXPECT_TRUE(flushed.ok());
    return sink.take();
}

void append(Bytes& out, std::initializer_list<int> bytes) {
    for (int b : bytes) out.push_back(static_cast<std::uint8_t>(b));
}

void append_f64(Bytes& out, double v) {
    std::uint64_t bits = std::bit_cast<std::uint64_t>(v);
    out.push_back(0xcb);
    for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(bits >> shift));
}

Bytes uint_bytes(std::uint64_t v) {
    std::uint8_t buffer[msgpack::kMaxIntBytes];
    return Bytes(buffer, msgpack::put_uint(buffer, v));
}

Bytes int_bytes(std::int64_t v) {
    std::uint8_t buffer[msgpack::kMaxIntBytes];
    return Bytes(buffer, msgpack::put_int(buffer, v));
}

// No rows: every part of the record is in its shortest form.
ReverseGeocoder worked_pieces_geocoder() {
    ReverseGeocoder g;
    g.value_sep = U',';
    g.columns = {"lat", "lon", "name"};
    g.indexed_data = {{27, 300}};
    g.tree.stems = {kdtree::kUnsetStem};
    return g;
}

TEST(EncodeSavedGeocoder, WorkedPiecesInTheirPlaces) {
    Bytes expected;
    append(expected, {0x95, 0xa0, 0xa1, 0x2c});
    append(expected, {0x93, 0xa3, 0x6c, 0x61, 0x74, 0xa3, 0x6c, 0x6f, 0x6e, 0xa4, 0x6e, 0x61, 0x6d, 0x65});
    append(expected, {0x91, 0x92, 0x1b, 0xcd, 0x01, 0x2c});
    append(expected, {0x93, 0x90, 0x91, 0xcb, 0x7f, 0xf0, 0, 0, 0, 0, 0, 0, 0x00});
    EXPECT_EQ(encode(worked_pieces_geocoder()), expected);
}

TEST(EncodeSavedGeocoder, OneRowGeocoderWritesEverySlotOfItsLeaf) {
    ReverseGeocoder g;
    g.csv = "lat,lon,name\n1,2,a\n";
    g.columns = {"lat", "lon", "name"};
    g.indexed_data = {{13, 5}};
    kdtree::LeafNode leaf;
    leaf.content_points[0][0] = 0.25;  // exactly representable as float32: still float64
    leaf.content_points[1][0] = -0.0;
    leaf.content_points[2][0] = 0.1;
    leaf.content_items[0] = 0;
    leaf.content_items[31] = 200;  // an unused slot still goes out as it is
    leaf.size = 1;
    g.tree.leaves = {leaf};
    g.tree.stems = {kdtree::kUnsetStem};
    g.tree.size = 1;

    Bytes expected;
    append(expected, {0x95, 0xb3});
    expected.insert(expected.end(), g.csv.begin(), g.csv.end());
    append(expected, {0xa1, 0x2c, 0x93, 0xa3, 'l', 'a', 't', 0xa3, 'l', 'o', 'n', 0xa4, 'n', 'a', 'm', 'e'});
    append(expected, {0x91, 0x92, 0x0d, 0x05});
    append(expected, {0x93, 0x91, 0x93, 0xdc, 0x00, 0x60});
    for (std::size_t d = 0; d < 3; ++d)
        for (std::size_t j = 0; j < 32; ++j) append_f64(expected, leaf.content_points[d][j]);
    append(expected, {0xdc, 0x00, 0x20});
    for (std::size_t j = 0; j < 31; ++j) expected.push_back(0x00);
    append(expected, {0xcc, 200});
    append(expected, {0x01});
    append(expected, {0x91});
    append_f64(expected, kdtree::kUnsetStem);
    append(expected, {0x01});

    EXPECT_EQ(encode(g), expected);
}

TEST(EncodeSavedGeocoder, FloatBitsAreKeptExactly) {
    ReverseGeocoder g;
    double quiet_nan_with_payload = std::bit_cast<double>(std::uint64_t{0x7ff8000000000123});
    g.tree.stems = {kdtree::kUnsetStem, -std::numeric_limits<double>::infinity(), quiet_nan_with_payload,
                    std::numeric_limits<double>::denorm_min()};
    Bytes expected;
    append(expected, {0x95, 0xa0, 0xa1, 0x2c, 0x90, 0x90, 0x93, 0x90, 0x94});
    for (double stem : g.tree.stems) append_f64(expected, stem);
    append(expected, {0x00});
    EXPECT_EQ(encode(g), expected);
}

TEST(EncodeSavedGeocoder, ValueSeparatorIsItsUtf8Encoding) {
    struct Case {
        char32_t sep;
        Bytes bytes;
    };
    for (const Case& c : {Case{U';', {0xa1, 0x3b}}, Case{U'\u00e9', {0xa2, 0xc3, 0xa9}},
                          Case{U'\u20ac', {0xa3, 0xe2, 0x82, 0xac}},
                          Case{U'\U0001F600', {0xa4, 0xf0, 0x9f, 0x98, 0x80}}}) {
        ReverseGeocoder g;
        g.value_sep = c.sep;
        Bytes got = encode(g);
        EXPECT_EQ(Bytes(got.begin() + 2, got.begin() + 2 + c.bytes.size()), c.bytes);
    }
}

TEST(EncodeSavedGeocoder, StrLengthsTakeTheShortestForm) {
    struct Case {
        std::size_t length;
        Bytes header;
    };
    for (const Case& c : {Case{31, {0xbf}}, Case{32, {0xd9, 0x20}}, Case{255, {0xd9, 0xff}},
                          Case{256, {0xda, 0x01, 0x00}}, Case{65535, {0xda, 0xff, 0xff}},
                          Case{65536, {0xdb, 0x00, 0x01, 0x00, 0x00}}}) {
        ReverseGeocoder g;
        g.csv.assign(c.length, 'x');
        Bytes got = encode(g);
        ASSERT_EQ(got.size(), 1 + c.header.size() + c.length + 2 + 1 + 1 + 4);
        EXPECT_EQ(Bytes(got.begin() + 1, got.begin() + 1 + c.header.size()), c.header) << c.length;
        EXPECT_EQ(got[1 + c.header.size() + c.length], 0xa1);  // value_sep right after the text
    }
}

TEST(EncodeSavedGeocoder, ArrayLengthsTakeTheShortestForm) {
    struct Case {
        std::size_t count;
        Bytes header;
    };
    for (const Case& c : {Case{15, {0x9f}}, Case{16, {0xdc, 0x00, 0x10}}, Case{65535, {0xdc, 0xff, 0xff}},
                          Case{65536, {0xdd, 0x00, 0x01, 0x00, 0x00}}}) {
        ReverseGeocoder g;
        g.columns.assign(c.count, "");
        Bytes got = encode(g);
        EXPECT_EQ(Bytes(got.begin() + 4, got.begin() + 4 + c.header.size()), c.header) << c.count;
        EXPECT_EQ(got.size(), 4 + c.header.size() + c.count + 1 + 4);
    }
}

TEST(MessagePackIntegers, UnsignedBoundaries) {
    EXPECT_EQ(uint_bytes(0), Bytes({0x00}));
    EXPECT_EQ(uint_bytes(127), Bytes({0x7f}));
    EXPECT_EQ(uint_bytes(128), Bytes({0xcc, 0x80}));
    EXPECT_EQ(uint_bytes(255), Bytes({0xcc, 0xff}));
    EXPECT_EQ(uint_bytes(256), Bytes({0xcd, 0x01, 0x00}));
    EXPECT_EQ(uint_bytes(65535), Bytes({0xcd, 0xff, 0xff}));
    EXPECT_EQ(uint_bytes(65536), Bytes({0xce, 0x00, 0x01, 0x00, 0x00}));
    EXPECT_EQ(uint_bytes(4294967295u), Bytes({0xce, 0xff, 0xff, 0xff, 0xff}));
    EXPECT_EQ(uint_bytes(4294967296u), Bytes({0xcf, 0, 0, 0, 1, 0, 0, 0, 0}));
}

TEST(MessagePackIntegers, SignedBoundaries) {
    EXPECT_EQ(int_bytes(0), Bytes({0x00}));
    EXPECT_EQ(int_bytes(200), Bytes({0xcc, 0xc8}));  // positive values use the unsigned forms
    EXPECT_EQ(int_bytes(-1), Bytes({0xff}));
    EXPECT_EQ(int_bytes(-32), Bytes({0xe0}));
    EXPECT_EQ(int_bytes(-33), Bytes({0xd0, 0xdf}));
    EXPECT_EQ(int_bytes(-128), Bytes({0xd0, 0x80}));
    EXPECT_EQ(int_bytes(-129), Bytes({0xd1, 0xff, 0x7f}));
    EXPECT_EQ(int_bytes(-32768), Bytes({0xd1, 0x80, 0x00}));
    EXPECT_EQ(int_bytes(-32769), Bytes({0xd2, 0xff, 0xff, 0x7f, 0xff}));
    EXPECT_EQ(int_bytes(INT32_MIN), Bytes({0xd2, 0x80, 0x00, 0x00, 0x00}));
    EXPECT_EQ(int_bytes(std::int64_t{INT32_MIN} - 1),
              Bytes({0xd3, 0xff, 0xff, 0xff, 0xff, 0x7f, 0xff, 0xff, 0xff}));
}

TEST(EncodeSavedGeocoder, NegativeOffsetUsesTheSignedForm) {
    ReverseGeocoder g;
    g.indexed_data = {{-1, 0}, {-200, 1}};
    Bytes got = encode(g);
    EXPECT_EQ(Bytes(got.begin() + 5, got.begin() + 14),
              Bytes({0x92, 0x92, 0xff, 0x00, 0x92, 0xd1, 0xff, 0x38, 0x01}));
}

// A record big enough that every part crosses buffer boundaries.
ReverseGeocoder several_leaves_geocoder() {
    ReverseGeocoder g;
    g.csv = std::string(1000, 'c');
    g.value_sep = U'\u00e9';
    g.columns = {"a", std::string(40, 'b')};
    for (std::int64_t i = 0; i < 300; ++i)
        g.indexed_data.push_back({i * 3, static_cast<std::uint64_t>(i % 70)});
    for (std::uint32_t l = 0; l < 5; ++l) {
        kdtree::LeafNode leaf;
        for (std::size_t j = 0; j < 32; ++j) {
            leaf.content_points[0][j] = l + j / 64.0;
            leaf.content_items[j] = l * 70000 + static_cast<std::uint32_t>(j);
        }
        leaf.size = 32 - l;
        g.tree.leaves.push_back(leaf);
    }
    g.tree.stems.assign(8, kdtree::kUnsetStem);
    g.tree.stems[1] = 0.5;
    g.tree.size = 150;
    return g;
}

TEST(EncodeSavedGeocoder, BytesDoNotDependOnTheBufferSize) {
    ReverseGeocoder g = several_leaves_geocoder();
    Bytes reference = encode(g);
    for (std::size_t capacity : {1, 2, 7, 64, 1000, 4096}) EXPECT_EQ(encode(g, capacity), reference) << capacity;
    Result<Bytes> in_memory = encode_to_bytes(g);
    ASSERT_TRUE(in_memory.ok());
    EXPECT_EQ(in_memory.value(), reference);
}

// Accepts `budget` bytes, then fails every write with `failure`.
class FailingSink final : public ByteSink {
public:
    FailingSink(std::size_t budget, std::string failure) : budget_(budget), failure_(std::move(failure)) {}
    Status write_all(const std::uint8_t* data, std::size_t size) override {
        std::size_t taken = std::min(size, budget_);
        written_.insert(written_.end(), data, data + taken);
        budget_ -= taken;
        if (taken < size) return Error(failure_);
        return {};
    }
    const Bytes& written() const { return written_; }

private:
    std::size_t budget_;
    std::string failure_;
    Bytes written_;
};

void expect_encode_chain(const Status& status, const std::string& write_error) {
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error().message(),
              "invalid value write: error while writing multi-byte MessagePack value");
    EXPECT_EQ(status.error().causes(),
              std::vector<std::string>({"error while writing multi-byte MessagePack value", write_error}));
}

TEST(EncodeSavedGeocoder, FailedWriteGivesTheEncodeErrorChainAtEveryPoint) {
    ReverseGeocoder g = several_leaves_geocoder();
    Bytes reference = encode(g);
    for (std::size_t capacity : {std::size_t{3}, std::size_t{1} << 16}) {
        for (std::size_t budget = 0; budget < reference.size(); budget += 97) {
            FailingSink sink(budget, "No space left on device (os error 28)");
            BufferedWriter out(sink, capacity);
            Status status = encode_saved_geocoder(out, g);
            if (status.ok()) status = finish_encoding(out);
            expect_encode_chain(status, "No space left on device (os error 28)");
            // What went out before the failure is the start of the encoding.
            EXPECT_EQ(sink.written(), Bytes(reference.begin(), reference.begin() + budget));
        }
    }
}

TEST(EncodeSavedGeocoder, WriteZeroRendersAsTheWholeChain) {
    FailingSink sink(0, kWriteZero);
    BufferedWriter out(sink, 1);
    Status status = encode_saved_geocoder(out, worked_pieces_geocoder());
    expect_encode_chain(status, "failed to write whole buffer");
    EXPECT_EQ(status.error().render(),
              "invalid value write: error while writing multi-byte MessagePack value\n\nCaused by:\n"
              "    0: error while writing multi-byte MessagePack value\n"
              "    1: failed to write whole buffer");
}

TEST(CheckEncodable, RejectsValuesBeyondTheFileFields) {
    EXPECT_TRUE(check_encodable(several_leaves_geocoder()).ok());

    ReverseGeocoder far_offset;
    far_offset.indexed_data = {{0, 1}, {std::int64_t{1} << 31, 1}};
    Status status = check_encodable(far_offset);
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error().message(),
              "cannot save geocoder: row 1 starts at byte 2147483648, but a saved file holds offsets "
              "from -2147483648 to 2147483647");

    ReverseGeocoder long_row;
    long_row.indexed_data = {{0, std::uint64_t{1} << 32}};
    EXPECT_FALSE(check_encodable(long_row).ok());

    ReverseGeocoder big_tree;
    big_tree.tree.size = std::size_t{1} << 32;
    status = check_encodable(big_tree);
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error().message(),
              "cannot save geocoder: the number of indexed points is 4294967296, but a saved file holds at "
              "most 4294967295");
    Result<Bytes> bytes = encode_to_bytes(big_tree);
    ASSERT_FALSE(bytes.ok());
    EXPECT_EQ(bytes.error().message(), status.error().message());
    // The streaming form refuses before its first byte rather than
    // writing a truncated field.
    MemorySink sink;
    BufferedWriter out(sink, 1);
    EXPECT_FALSE(encode_saved_geocoder(out, big_tree).ok());
    EXPECT_TRUE(finish_encoding(out).ok());
    EXPECT_TRUE(sink.bytes().empty());

    ReverseGeocoder surrogate_sep;
    surrogate_sep.value_sep = 0xD800;
    EXPECT_FALSE(check_encodable(surrogate_sep).ok());
}

}  // namespace
}  // namespace vicinor::persist
