// The reader against hostile input: cut files, lengths that announce far
// more than the input holds, and nesting meant to exhaust the stack.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>

#include "decode_test_support.hpp"
#include "geocoder/construction.hpp"
#include "persist/byte_stream.hpp"

// Records the largest single allocation, to show that announced lengths are
// not trusted. GCC cannot see that these new and delete forms pair up.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
namespace {
std::atomic<std::size_t> g_largest_allocation{0};

void note_allocation(std::size_t size) {
    std::size_t seen = g_largest_allocation.load();
    while (size > seen && !g_largest_allocation.compare_exchange_weak(seen, size)) {
    }
}
}  // namespace

void* operator new(std::size_t size) {
    note_allocation(size);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t size, std::align_val_t align) {
    note_allocation(size);
    const std::size_t a = static_cast<std::size_t>(align);
    if (void* p = std::aligned_alloc(a, (std::max<std::size_t>(size, 1) + a - 1) / a * a)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

namespace vicinor::persist {
namespace {

using testing::decode;
using testing::decode_error;
using testing::Pack;
using testing::reference_file;

TEST(DecodeLimits, EveryCutOfAValidFileIsAnIoError) {
    Pack map_form = Pack().map(6).str("tree").raw({0x93, 0x90, 0x91, 0xca, 0, 0, 0, 0, 0x00});
    map_form.str("csv").bin("lat,lon").uint(1).str(",").str("columns").array(1).str("lat");
    map_form.str("skipped").raw({0xc7, 0x02, 0x01, 0xaa, 0xbb}).str("indexed_data").array(0);
    for (const Pack& whole : {reference_file(), map_form}) {
        ASSERT_TRUE(decode(whole).ok());
        for (std::size_t cut = 0; cut < whole.bytes.size(); ++cut) {
            std::span<const std::uint8_t> prefix(whole.bytes.data(), cut);
            Result<ReverseGeocoder> r = decode_from_bytes(prefix);
            ASSERT_FALSE(r.ok()) << "cut at " << cut;
            EXPECT_TRUE(r.error().message().starts_with("IO error while reading "))
                << "cut at " << cut << ": " << r.error().message();
            ASSERT_EQ(r.error().causes().size(), 1u);
        }
    }
}

// The same cuts through a reader whose buffer is smaller than one float, so
// that every bulk path crosses buffer refills.
TEST(DecodeLimits, TinyReadBufferGivesTheSameResults) {
    const Pack whole = reference_file();
    for (std::size_t cut = 0; cut <= whole.bytes.size(); ++cut) {
        std::span<const std::uint8_t> prefix(whole.bytes.data(), cut);
        MemorySource source(prefix);
        BufferedReader tiny(source, 3);
        Result<ReverseGeocoder> small = decode_saved_geocoder(tiny);
        Result<ReverseGeocoder> normal = decode_from_bytes(prefix);
        ASSERT_EQ(small.ok(), normal.ok()) << "cut at " << cut;
        if (!small.ok()) {
            EXPECT_EQ(small.error().message(), normal.error().message()) << "cut at " << cut;
        } else {
            testing::expect_reference(small.value());
        }
    }
}

TEST(DecodeLimits, ReadsNoByteAfterTheRecord) {
    Pack p = reference_file();
    const std::size_t size = p.bytes.size();
    p.raw({0x01, 0x02});
    MemorySource source(p.bytes);
    BufferedReader reader(source, 1);
    ASSERT_TRUE(decode_saved_geocoder(reader).ok());
    EXPECT_EQ(source.position(), size);
}

// A memory source that keeps quiet about how much it holds, as a pipe does.
class UntoldSource final : public ByteSource {
public:
    explicit UntoldSource(std::span<const std::uint8_t> bytes) : inner_(bytes) {}
    Result<std::size_t> read_some(std::uint8_t* data, std::size_t size) override {
        return inner_.read_some(data, size);
    }

private:
    MemorySource inner_;
};

// A table text many times the read-ahead is read whole when the input is
// known to hold it and in steps when not: the same record either way, and a
// cut inside the text is an IO error either way.
TEST(DecodeLimits, LargeTextsReadWholeOrInStepsAlike) {
    std::string csv = "lat,lon,name\n";
    for (int i = 0; i < 20'000; ++i) {
        csv += std::to_string(i % 89) + "," + std::to_string(i % 179) + ",place " +
               std::to_string(i) + "\n";
    }
    Result<ReverseGeocoder> built = build_geocoder(csv, U',', false);
    ASSERT_TRUE(built.ok());
    Result<std::vector<std::uint8_t>> encoded = encode_to_bytes(built.value());
    ASSERT_TRUE(encoded.ok());
    const std::vector<std::uint8_t>& bytes = encoded.value();
    const std::size_t text_at =
        std::search(bytes.begin(), bytes.end(), csv.begin(), csv.end()) - bytes.begin();
    ASSERT_LT(text_at, bytes.size());

    for (const std::size_t cut : {bytes.size(), text_at + 1, text_at + csv.size() / 2,
                                  text_at + csv.size() - 1}) {
        const std::span<const std::uint8_t> prefix(bytes.data(), cut);
        Result<ReverseGeocoder> whole = decode_from_bytes(prefix);
        UntoldSource untold(prefix);
        BufferedReader reader(untold, 4096);
        Result<ReverseGeocoder> stepwise = decode_saved_geocoder(reader);
        ASSERT_EQ(whole.ok(), cut == bytes.size()) << cut;
        ASSERT_EQ(stepwise.ok(), whole.ok()) << cut;
        if (whole.ok()) {
            EXPECT_EQ(whole.value().csv, csv);
            EXPECT_EQ(stepwise.value().csv, csv);
        } else {
            EXPECT_EQ(whole.error().render(), stepwise.error().render()) << cut;
        }
    }
}

TEST(DecodeLimits, HugeAnnouncedLengthsFailWithoutHugeAllocations) {
    const std::uint8_t f = 0xff;
    struct Hostile {
        const char* what;
        Pack file;
        std::string message;
    };
    const std::vector<Hostile> cases = {
        {"str32 csv", Pack().array(5).raw({0xdb, f, f, f, f, 'a', 'b'}),
         "IO error while reading data: unexpected end of file"},
        {"bin32 csv", Pack().array(5).raw({0xc6, f, f, f, f, 'a'}),
         "IO error while reading data: unexpected end of file"},
        {"bin32 record", Pack().raw({0xc6, f, f, f, f, 0x01}),
         "IO error while reading data: unexpected end of file"},
        {"array32 columns", Pack().array(5).str("").str(",").raw({0xdd, f, f, f, f, 0xa0}),
         "IO error while reading marker: failed to fill whole buffer"},
        {"array32 slices", Pack().array(5).str("").str(",").array(0).raw({0xdd, f, f, f, f, 0x92, 1, 2}),
         "IO error while reading marker: failed to fill whole buffer"},
        {"array32 leaves", Pack().array(5).str("").str(",").array(0).array(0).array(3).raw({0xdd, f, f, f, f}),
         "IO error while reading marker: failed to fill whole buffer"},
        {"array32 stems", reference_file({{"stems", Pack().raw({0xdd, f, f, f, f}).f64(1)}}),
         "IO error while reading marker: failed to fill whole buffer"},
        {"map32 record", Pack().raw({0xdf, f, f, f, f, 0x05, 0x01}),
         "IO error while reading marker: failed to fill whole buffer"},
        {"skipped str32", Pack().map(1).str("x").raw({0xdb, f, f, f, f, 'a'}),
         "IO error while reading data: unexpected end of file"},
        {"skipped ext32", Pack().map(1).str("x").raw({0xc9, f, f, f, f, 0x01}),
         "IO error while reading data: unexpected end of file"},
        {"skipped map32", Pack().map(1).str("x").raw({0xdf, f, f, f, f, 0x01}),
         "IO error while reading marker: failed to fill whole buffer"},
    };
    for (const Hostile& c : cases) {
        g_largest_allocation = 0;
        EXPECT_EQ(decode_error(c.file), c.message) << c.what;
        // The reader's 64 KiB buffer and at most 1 MiB for a list.
        EXPECT_LE(g_largest_allocation.load(), std::size_t{1} << 20) << c.what;
    }
}

Pack nested_arrays(std::size_t depth) {
    Pack p;
    for (std::size_t i = 0; i < depth; ++i) p.array(i + 1 == depth ? 0 : 1);
    return p;
}

// The top-level map holds one container; 1022 more fit, 1023 do not.
TEST(DecodeLimits, SkippedValuesNestOnlyToTheDepthLimit) {
    Pack too_deep = Pack().map(1).str("ignored").append(nested_arrays(1023));
    EXPECT_EQ(decode_error(too_deep), "depth limit exceeded");

    const Pack whole = reference_file();
    const std::size_t tree_starts = reference_file({{"tree", Pack()}}).bytes.size();
    Pack fits = Pack().map(6).str("ignored").append(nested_arrays(1022)).uint(0).str(testing::kReferenceCsv);
    fits.uint(1).str(",").uint(2).array(2).str("lat").str("lon");
    fits.uint(3).array(1).array(2).uint(8).uint(5).uint(4);
    fits.bytes.insert(fits.bytes.end(), whole.bytes.begin() + tree_starts, whole.bytes.end());
    Result<ReverseGeocoder> g = decode(fits);
    ASSERT_TRUE(g.ok()) << g.error().render();
    testing::expect_reference(g.value());

    Pack ext_too_deep = Pack().map(1).str("ignored").append(nested_arrays(1022));
    ext_too_deep.bytes.back() = 0x91;
    ext_too_deep.raw({0xd4, 0x01, 0x00});
    EXPECT_EQ(decode_error(ext_too_deep), "depth limit exceeded");
}

TEST(DecodeLimits, HostileNestingNeverExhaustsTheStack) {
    Pack p = Pack().map(1).str("ignored");
    p.bytes.insert(p.bytes.end(), 1'000'000, 0x91);
    EXPECT_EQ(decode_error(p), "depth limit exceeded");

    Pack maps = Pack().map(1).str("ignored");
    for (int i = 0; i < 200'000; ++i) maps.raw({0x81, 0x00});
    EXPECT_EQ(decode_error(maps), "depth limit exceeded");
}

}  // namespace
}  // namespace vicinor::persist
