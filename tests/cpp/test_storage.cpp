#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "geocoder/construction.hpp"
#include "persist/codec.hpp"
#include "persist/file.hpp"
#include "persist/file_replace.hpp"
#include "persist/storage.hpp"

namespace vicinor::persist {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A consistent record with `leaf_count` full leaves, large enough to span
// many write buffers when leaf_count is in the hundreds.
ReverseGeocoder geocoder_with_leaves(std::uint32_t leaf_count) {
    ReverseGeocoder g;
    g.columns = {"lat", "lon", "name"};
    g.csv = "lat,lon,name\n";
    std::uint32_t rows = leaf_count * 32;
    for (std::uint32_t row = 0; row < rows; ++row) {
        std::string line = std::to_string(row) + ",0,r\xc3\xa9";
        g.indexed_data.push_back({static_cast<std::int64_t>(g.csv.size()), line.size()});
        g.csv += line + "\n";
    }
    for (std::uint32_t l = 0; l < leaf_count; ++l) {
        kdtree::LeafNode leaf;
        for (std::uint32_t j = 0; j < 32; ++j) {
            leaf.content_points[0][j] = l * 0.001 + j * 1e-6;
            leaf.content_points[2][j] = -0.0;
            leaf.content_items[j] = l * 32 + j;
        }
        leaf.size = 32;
        g.tree.leaves.push_back(leaf);
    }
    std::size_t stems = 1;
    while (stems < leaf_count) stems *= 2;
    g.tree.stems.assign(stems, kdtree::kUnsetStem);
    for (std::size_t i = 1; i < stems; ++i) g.tree.stems[i] = static_cast<double>(i) / 7;
    g.tree.size = rows;
    return g;
}

void expect_same_record(const ReverseGeocoder& a, const ReverseGeocoder& b) {
    EXPECT_EQ(a.csv, b.csv);
    EXPECT_EQ(a.value_sep, b.value_sep);
    EXPECT_EQ(a.columns, b.columns);
    ASSERT_EQ(a.indexed_data.size(), b.indexed_data.size());
    for (std::size_t i = 0; i < a.indexed_data.size(); ++i) {
        EXPECT_EQ(a.indexed_data[i].offset, b.indexed_data[i].offset);
        EXPECT_EQ(a.indexed_data[i].len, b.indexed_data[i].len);
    }
    ASSERT_EQ(a.tree.leaves.size(), b.tree.leaves.size());
    for (std::size_t i = 0; i < a.tree.leaves.size(); ++i) {
        const kdtree::LeafNode& x = a.tree.leaves[i];
        const kdtree::LeafNode& y = b.tree.leaves[i];
        EXPECT_EQ(std::memcmp(x.content_points, y.content_points, sizeof x.content_points), 0) << i;
        EXPECT_EQ(std::memcmp(x.content_items, y.content_items, sizeof x.content_items), 0) << i;
        EXPECT_EQ(x.size, y.size);
    }
    ASSERT_EQ(a.tree.stems.size(), b.tree.stems.size());
    EXPECT_EQ(std::memcmp(a.tree.stems.data(), b.tree.stems.data(), a.tree.stems.size() * sizeof(double)), 0);
    EXPECT_EQ(a.tree.size, b.tree.size);
}

Bytes encoded(const ReverseGeocoder& g) {
    Result<Bytes> bytes = encode_to_bytes(g);
    EXPECT_TRUE(bytes.ok());
    return bytes.ok() ? bytes.value() : Bytes();
}

class StorageTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/vicinor-storage-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        std::string command = "rm -rf '" + dir_ + "'";
        ASSERT_EQ(std::system(command.c_str()), 0);
    }

    std::string path(const std::string& name) const { return dir_ + "/" + name; }

    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        DIR* d = ::opendir(dir_.c_str());
        while (dirent* e = ::readdir(d)) {
            std::string name = e->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        ::closedir(d);
        std::sort(names.begin(), names.end());
        return names;
    }

    static Bytes read_file(const std::string& file) {
        std::ifstream in(file, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }
    static void write_file(const std::string& file, const Bytes& bytes) {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    static mode_t mode_of(const std::string& file) {
        struct stat st {};
        EXPECT_EQ(::stat(file.c_str(), &st), 0);
        return st.st_mode & 07777;
    }

    std::string dir_;
};

TEST_F(StorageTest, SaveThenLoadGivesTheSameRecord) {
    ReverseGeocoder g = geocoder_with_leaves(40);
    g.value_sep = U';';
    ASSERT_TRUE(save_geocoder(path("g.bin"), g).ok());
    EXPECT_EQ(read_file(path("g.bin")), encoded(g));
    Result<ReverseGeocoder> loaded = load_geocoder(path("g.bin"));
    ASSERT_TRUE(loaded.ok()) << loaded.error().render();
    expect_same_record(loaded.value(), g);
    EXPECT_EQ(entries(), std::vector<std::string>({"g.bin"}));
}

// Tables with repeated and non-finite coordinates, sized around leaf and
// stem boundaries: whatever construction builds, the writer's output must
// read back to the same record and pass the load checks.
TEST(SavedFilesOfBuiltGeocoders, AlwaysPassTheLoadChecks) {
    std::mt19937 random(7);
    for (int n : {0, 1, 31, 32, 33, 64, 65, 100, 257, 1000}) {
        for (bool drop : {false, true}) {
            std::string csv = "lat,lon,name\n";
            for (int row = 0; row < n; ++row) {
                int kind = static_cast<int>(random() % 10);
                std::string lat = kind == 0 ? "10" : kind == 1 ? "nan" : std::to_string(random() % 180 - 90.0);
                std::string lon = kind == 0 ? "20" : std::to_string(random() % 360 - 180.0);
                csv += lat + "," + lon + ",\"pl\u00e4ce " + std::to_string(row) + "\"\n";
            }
            Result<ReverseGeocoder> built = build_geocoder(csv, U',', drop);
            ASSERT_TRUE(built.ok()) << built.error().render();
            Result<Bytes> bytes = encode_to_bytes(built.value());
            ASSERT_TRUE(bytes.ok());
            Result<ReverseGeocoder> decoded = decode_from_bytes(bytes.value());
            ASSERT_TRUE(decoded.ok()) << decoded.error().render();
            Status usable = check_loaded_geocoder(decoded.value());
            EXPECT_TRUE(usable.ok()) << n << " rows: " << usable.error().render();
            expect_same_record(decoded.value(), built.value());
        }
    }
}

TEST_F(StorageTest, SaveOverALargerFileLeavesExactlyTheNewEncoding) {
    ASSERT_TRUE(save_geocoder(path("g.bin"), geocoder_with_leaves(20)).ok());
    ReverseGeocoder small = geocoder_with_leaves(1);
    ASSERT_TRUE(save_geocoder(path("g.bin"), small).ok());
    EXPECT_EQ(read_file(path("g.bin")), encoded(small));
    Result<ReverseGeocoder> loaded = load_geocoder(path("g.bin"));
    ASSERT_TRUE(loaded.ok());
    expect_same_record(loaded.value(), small);
}

TEST_F(StorageTest, LoadIgnoresBytesAfterTheRecord) {
    ReverseGeocoder g = geocoder_with_leaves(1);
    Bytes bytes = encoded(g);
    bytes.insert(bytes.end(), {0xc1, 0xc1, 0x00});
    write_file(path("g.bin"), bytes);
    Result<ReverseGeocoder> loaded = load_geocoder(path("g.bin"));
    ASSERT_TRUE(loaded.ok());
    expect_same_record(loaded.value(), g);
}

TEST_F(StorageTest, PermissionBitsOfAnExistingFileAreKept) {
    for (mode_t mode : {mode_t{0640}, mode_t{0600}, mode_t{0755}}) {
        write_file(path("g.bin"), {1, 2, 3});
        ASSERT_EQ(::chmod(path("g.bin").c_str(), mode), 0);
        ASSERT_TRUE(save_geocoder(path("g.bin"), geocoder_with_leaves(1)).ok());
        EXPECT_EQ(mode_of(path("g.bin")), mode);
    }
}

TEST_F(StorageTest, NewFilesFollowTheUmask) {
    mode_t old_mask = ::umask(027);
    Status saved = save_geocoder(path("new.bin"), geocoder_with_leaves(1));
    ::umask(old_mask);
    ASSERT_TRUE(saved.ok());
    EXPECT_EQ(mode_of(path("new.bin")), mode_t{0640});
}

TEST_F(StorageTest, SaveThroughASymlinkReplacesTheFileItPointsTo) {
    write_file(path("real.bin"), Bytes(5000, 0xee));
    ASSERT_EQ(::symlink("real.bin", path("link.bin").c_str()), 0);
    ReverseGeocoder g = geocoder_with_leaves(1);
    ASSERT_TRUE(save_geocoder(path("link.bin"), g).ok());
    struct stat st {};
    ASSERT_EQ(::lstat(path("link.bin").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(read_file(path("real.bin")), encoded(g));
    EXPECT_EQ(entries(), std::vector<std::string>({"link.bin", "real.bin"}));
}

TEST_F(StorageTest, SaveThroughADanglingSymlinkCreatesItsTarget) {
    ASSERT_EQ(::symlink("made.bin", path("link.bin").c_str()), 0);
    ReverseGeocoder g = geocoder_with_leaves(1);
    ASSERT_TRUE(save_geocoder(path("link.bin"), g).ok());
    EXPECT_EQ(read_file(path("made.bin")), encoded(g));
}

TEST_F(StorageTest, SaveToAFifoWritesStraightThrough) {
    ASSERT_EQ(::mkfifo(path("pipe").c_str(), 0600), 0);
    ReverseGeocoder g = geocoder_with_leaves(30);
    Bytes received;
    std::thread reader([&] { received = read_file(path("pipe")); });
    Status saved = save_geocoder(path("pipe"), g);
    reader.join();
    ASSERT_TRUE(saved.ok()) << saved.error().render();
    EXPECT_EQ(received, encoded(g));
    EXPECT_EQ(entries(), std::vector<std::string>({"pipe"}));
}

// An open waiting on a FIFO with no partner ends only by a signal: each
// interruption asks the hook, the call retries while it says so and fails
// with the interrupted-call error once it does not.
TEST_F(StorageTest, AFileCallInterruptedBySignalsStopsWhenTheHookSaysSo) {
    ASSERT_EQ(::mkfifo(path("pipe").c_str(), 0600), 0);
    struct sigaction on_alarm {};
    on_alarm.sa_handler = [](int) {};  // no SA_RESTART: blocked calls see EINTR
    struct sigaction previous {};
    ASSERT_EQ(::sigaction(SIGALRM, &on_alarm, &previous), 0);
    const itimerval every_10ms{{0, 10000}, {0, 10000}};
    ASSERT_EQ(::setitimer(ITIMER_REAL, &every_10ms, nullptr), 0);

    int asked = 0;
    const Interruption third_stops([](void* count) { return ++*static_cast<int*>(count) < 3; },
                                   &asked);
    Status saved = save_geocoder(path("pipe"), geocoder_with_leaves(1), third_stops);
    ASSERT_FALSE(saved.ok());
    EXPECT_EQ(saved.error().render(), "Interrupted system call (os error 4)");
    EXPECT_EQ(asked, 3);
    asked = 0;
    Result<ReverseGeocoder> loaded = load_geocoder(path("pipe"), third_stops);
    ASSERT_FALSE(loaded.ok());
    EXPECT_EQ(loaded.error().render(), "Interrupted system call (os error 4)");
    EXPECT_EQ(asked, 3);

    const itimerval off{};
    ::setitimer(ITIMER_REAL, &off, nullptr);
    ::sigaction(SIGALRM, &previous, nullptr);
    EXPECT_EQ(entries(), std::vector<std::string>({"pipe"}));
}

void expect_encode_chain(const Status& status, const std::string& write_error) {
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error().message(),
              "invalid value write: error while writing multi-byte MessagePack value");
    EXPECT_EQ(status.error().causes(),
              std::vector<std::string>({"error while writing multi-byte MessagePack value", write_error}));
}

TEST(SaveToDevice, FullDiskIsTheLastCause) {
    expect_encode_chain(save_geocoder("/dev/full", geocoder_with_leaves(1)),
                        "No space left on device (os error 28)");
}

// Runs `save` in a child process (so process-wide limits and identities
// stay out of the test runner) and returns its rendered outcome.
template <class Save>
std::string outcome_in_child(Save save) {
    int report[2];
    if (::pipe(report) != 0) return "pipe failed";
    pid_t child = ::fork();
    if (child < 0) return "fork failed";
    if (child == 0) {
        ::close(report[0]);
        Status status = save();
        std::string text = status.ok() ? "saved" : status.error().render();
        ssize_t ignored = ::write(report[1], text.data(), text.size());
        (void)ignored;
        ::_exit(0);
    }
    ::close(report[1]);
    std::string text;
    char buffer[512];
    for (ssize_t n; (n = ::read(report[0], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
    ::close(report[0]);
    int wait_status = 0;
    ::waitpid(child, &wait_status, 0);
    return text;
}

TEST_F(StorageTest, FailedSaveLeavesTheOldFileAndNoTemporaryFile) {
    ReverseGeocoder old_geocoder = geocoder_with_leaves(1);
    ASSERT_TRUE(save_geocoder(path("g.bin"), old_geocoder).ok());
    Bytes old_bytes = read_file(path("g.bin"));

    // The file size limit makes writes fail part-way, like a full disk.
    std::string text = outcome_in_child([&] {
        ::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit {
            16384, 16384
        };
        ::setrlimit(RLIMIT_FSIZE, &limit);
        return save_geocoder(path("g.bin"), geocoder_with_leaves(100));
    });
    EXPECT_EQ(text,
              "invalid value write: error while writing multi-byte MessagePack value\n\nCaused by:\n"
              "    0: error while writing multi-byte MessagePack value\n"
              "    1: File too large (os error 27)");
    EXPECT_EQ(read_file(path("g.bin")), old_bytes);
    EXPECT_EQ(entries(), std::vector<std::string>({"g.bin"}));
}

TEST_F(StorageTest, AFileTheCallerMayNotWriteIsNotReplaced) {
    write_file(path("g.bin"), {9, 8, 7});
    ASSERT_EQ(::chmod(path("g.bin").c_str(), 0444), 0);
    ASSERT_EQ(::chmod(dir_.c_str(), 0777), 0);  // the folder alone would allow a rename
    std::string text = outcome_in_child([&] {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            return Status(Error("cannot drop privileges"));
        return save_geocoder(path("g.bin"), geocoder_with_leaves(1));
    });
    EXPECT_EQ(text, "Permission denied (os error 13)");
    EXPECT_EQ(read_file(path("g.bin")), Bytes({9, 8, 7}));
    EXPECT_EQ(entries(), std::vector<std::string>({"g.bin"}));
}

TEST_F(StorageTest, AnAbandonedReplacementLeavesTheTargetAlone) {
    using Temporary = FileReplacement::Temporary;
    for (Temporary temporary : {Temporary::kNamed, Temporary::kUnnamedWherePossible}) {
        write_file(path("g.bin"), {9, 8, 7});
        {
            Result<FileReplacement> replacement =
                FileReplacement::begin(path("g.bin"), kRetryInterrupted, temporary);
            ASSERT_TRUE(replacement.ok());
            ASSERT_FALSE(replacement->writes_directly());
            const std::uint8_t bytes[] = {1, 2, 3, 4, 5};
            ASSERT_TRUE(replacement->sink().write_all(bytes, sizeof bytes).ok());
            // A named temporary file sits next to the target; an unnamed
            // one is nowhere to be seen.
            EXPECT_EQ(entries().size(), replacement->writes_unnamed() ? 1u : 2u);
        }
        EXPECT_EQ(read_file(path("g.bin")), Bytes({9, 8, 7}));
        EXPECT_EQ(entries(), std::vector<std::string>({"g.bin"}));
    }
}

TEST_F(StorageTest, BothKindsOfTemporaryFileReplaceTheTarget) {
    using Temporary = FileReplacement::Temporary;
    for (Temporary temporary : {Temporary::kNamed, Temporary::kUnnamedWherePossible}) {
        write_file(path("g.bin"), {9, 8, 7});
        ASSERT_EQ(::chmod(path("g.bin").c_str(), 0640), 0);
        Result<FileReplacement> replacement =
            FileReplacement::begin(path("g.bin"), kRetryInterrupted, temporary);
        ASSERT_TRUE(replacement.ok());
        const std::uint8_t bytes[] = {1, 2, 3, 4, 5};
        ASSERT_TRUE(replacement->sink().write_all(bytes, sizeof bytes).ok());
        ASSERT_TRUE(replacement->commit().ok());
        EXPECT_EQ(read_file(path("g.bin")), Bytes({1, 2, 3, 4, 5}));
        EXPECT_EQ(mode_of(path("g.bin")), 0640u);
        EXPECT_EQ(entries(), std::vector<std::string>({"g.bin"}));
    }
}

// Written in place (here a deleted file reached through /proc), a small
// save over a large file must not keep the large file's tail.
TEST_F(StorageTest, ADirectWriteCutsARegularFileToTheNewLength) {
    ASSERT_TRUE(save_geocoder(path("g.bin"), geocoder_with_leaves(20)).ok());
    int fd = ::open(path("g.bin").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::unlink(path("g.bin").c_str()), 0);
    ReverseGeocoder small = geocoder_with_leaves(1);
    ASSERT_TRUE(save_geocoder("/proc/self/fd/" + std::to_string(fd), small).ok());
    struct stat info {};
    ASSERT_EQ(::fstat(fd, &info), 0);
    EXPECT_EQ(static_cast<std::size_t>(info.st_size), encoded(small).size());
    ::close(fd);
    EXPECT_TRUE(entries().empty());
}

// A killed save's named temporary file is removed by the next save into the
// folder once its process is gone, and only then.
TEST_F(StorageTest, SavesRemoveTemporaryFilesOfGoneProcessesOnly) {
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) ::_exit(0);
    ASSERT_EQ(::waitpid(child, nullptr, 0), child);
    const std::string gone = std::to_string(child);
    const std::string alive = std::to_string(::getppid());
    const std::string hex = "0123456789abcdef";
    const std::vector<std::string> kept = {
        ".vicinor-save-" + alive + "-" + hex + ".tmp",              // its process runs
        ".vicinor-save-" + gone + "-fedcba9876543210.tmp",          // still locked
        ".vicinor-save-" + gone + "-" + hex + "0.tmp",              // not our name
        ".vicinor-save-" + hex + ".tmp",                            // carries no process
        "other-" + gone + "-" + hex + ".tmp",
    };
    for (const std::string& name : kept) write_file(path(name), {1});
    write_file(path(".vicinor-save-" + gone + "-" + hex + ".tmp"), {1});
    int locked = ::open(path(kept[1]).c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(locked, 0);
    ASSERT_EQ(::flock(locked, LOCK_EX), 0);

    ASSERT_TRUE(save_geocoder(path("g.bin"), geocoder_with_leaves(1)).ok());
    std::vector<std::string> expected = kept;
    expected.push_back("g.bin");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(entries(), expected);
    ::close(locked);
}

TEST_F(StorageTest, GeocoderTooLargeForTheFileFailsBeforeTouchingIt) {
    write_file(path("g.bin"), {9, 8, 7});
    ReverseGeocoder g = geocoder_with_leaves(1);
    g.indexed_data.back().offset = std::int64_t{1} << 31;
    for (const std::string& target : {path("g.bin"), path("new.bin")}) {
        Status status = save_geocoder(target, g);
        ASSERT_FALSE(status.ok());
        EXPECT_EQ(status.error().message().rfind("cannot save geocoder: row 31 starts at byte 2147483648", 0), 0u);
    }
    EXPECT_EQ(read_file(path("g.bin")), Bytes({9, 8, 7}));
    EXPECT_EQ(entries(), std::vector<std::string>({"g.bin"}));
}

TEST_F(StorageTest, PathsWithNulTouchNoFile) {
    std::string with_nul = path("a") + std::string(1, '\0') + "b";
    Status saved = save_geocoder(with_nul, geocoder_with_leaves(1));
    ASSERT_FALSE(saved.ok());
    EXPECT_EQ(saved.error().render(), "strings passed to WinAPI cannot contain NULs");
    Result<ReverseGeocoder> loaded = load_geocoder(with_nul);
    ASSERT_FALSE(loaded.ok());
    EXPECT_EQ(loaded.error().render(), "strings passed to WinAPI cannot contain NULs");
    EXPECT_TRUE(entries().empty());
}

TEST_F(StorageTest, OpenFailuresAreTheOsErrorText) {
    Result<ReverseGeocoder> missing = load_geocoder(path("missing.bin"));
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().render(), "No such file or directory (os error 2)");

    Status no_folder = save_geocoder(path("no/such/folder.bin"), geocoder_with_leaves(1));
    ASSERT_FALSE(no_folder.ok());
    EXPECT_EQ(no_folder.error().render(), "No such file or directory (os error 2)");

    // An empty path names nothing, and no temporary file appears in the
    // working folder on the way to saying so.
    char* cwd = ::getcwd(nullptr, 0);
    ASSERT_EQ(::chdir(dir_.c_str()), 0);
    Status empty_path = save_geocoder("", geocoder_with_leaves(1));
    ASSERT_EQ(::chdir(cwd), 0);
    std::free(cwd);
    ASSERT_FALSE(empty_path.ok());
    EXPECT_EQ(empty_path.error().render(), "No such file or directory (os error 2)");
    EXPECT_TRUE(entries().empty());

    ASSERT_EQ(::mkdir(path("folder").c_str(), 0700), 0);
    Status onto_folder = save_geocoder(path("folder"), geocoder_with_leaves(1));
    ASSERT_FALSE(onto_folder.ok());
    EXPECT_EQ(onto_folder.error().render(), "Is a directory (os error 21)");
    EXPECT_EQ(entries(), std::vector<std::string>({"folder"}));
}

TEST_F(StorageTest, LoadReportsDecodeErrorsWithTheirCauses) {
    write_file(path("empty.bin"), {});
    Result<ReverseGeocoder> loaded = load_geocoder(path("empty.bin"));
    ASSERT_FALSE(loaded.ok());
    EXPECT_EQ(loaded.error().render(),
              "IO error while reading marker: failed to fill whole buffer\n\nCaused by:\n"
              "    failed to fill whole buffer");

    Bytes cut = encoded(geocoder_with_leaves(1));
    cut.resize(20);  // inside the text
    write_file(path("cut.bin"), cut);
    loaded = load_geocoder(path("cut.bin"));
    ASSERT_FALSE(loaded.ok());
    EXPECT_EQ(loaded.error().message(), "IO error while reading data: unexpected end of file");
}

TEST_F(StorageTest, LoadRejectsARecordLookupsCannotUse) {
    ReverseGeocoder g = geocoder_with_leaves(1);
    g.tree.leaves[0].content_items[5] = 32;  // one past the last row
    write_file(path("g.bin"), encoded(g));
    Result<ReverseGeocoder> loaded = load_geocoder(path("g.bin"));
    ASSERT_FALSE(loaded.ok());
    EXPECT_EQ(loaded.error().render(),
              "invalid saved geocoder: leaf 0 slot 5 refers to row 32, but there are only 32 rows");
}


// Large payloads are sized up front only from what the input is known to
// still hold; a pipe does not say, and an announced length alone never counts.
TEST_F(StorageTest, SourcesTellHowManyBytesAreLeftOnlyWhenTheyKnow) {
    const Bytes bytes(100'000, 7);
    MemorySource memory(bytes);
    BufferedReader buffered(memory, 4096);
    std::uint8_t first[10];
    ASSERT_TRUE(buffered.read_exact(first, sizeof first).ok());
    EXPECT_EQ(memory.bytes_left(), std::optional<std::uint64_t>(100'000 - 4096));
    EXPECT_EQ(buffered.bytes_left(), std::optional<std::uint64_t>(100'000 - 10));

    const std::string file = path("left.bin");
    write_file(file, bytes);
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    FileSource source(fd);
    BufferedReader from_file(source, 4096);
    ASSERT_TRUE(from_file.read_exact(first, sizeof first).ok());
    EXPECT_EQ(source.bytes_left(), std::optional<std::uint64_t>(100'000 - 4096));
    EXPECT_EQ(from_file.bytes_left(), std::optional<std::uint64_t>(100'000 - 10));
    ::close(fd);

    int pipe_ends[2];
    ASSERT_EQ(::pipe(pipe_ends), 0);
    FileSource from_pipe(pipe_ends[0]);
    EXPECT_EQ(from_pipe.bytes_left(), std::nullopt);
    ::close(pipe_ends[0]);
    ::close(pipe_ends[1]);
}

}  // namespace
}  // namespace vicinor::persist
