// Bad-sector lists as long as a disk has sectors, read by lorvex-scan as
// people run it (no memory limit): they cost the memory of the areas they
// merge to, not of their lines, and the summary says how many of each there
// were. And a damage map that is no file is refused at once.
#include "support/Measured.h"
#include "support/Volumes.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cstdio>
#include <filesystem>
#include <sys/stat.h>

namespace lorvex::test {
namespace {

namespace fs = std::filesystem;

// A small NTFS volume of its own, made here.
class DamageList : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = TempPath("lorvex-damage-list");
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        image_ = dir_ / "ntfs.img";
    }
    void TearDown() override { fs::remove_all(dir_); }

    void MakeVolume() {
        std::FILE* f = std::fopen(image_.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fclose(f);
        fs::resize_file(image_, std::uintmax_t{8} << 20);
        ASSERT_EQ(std::system(("mkntfs -q -F -f " + Quote(image_) + " >/dev/null 2>&1").c_str()),
                  0);
    }

    // Sectors 0 to count - 1 but those in `gaps`, one a line after a
    // comment, written fast.
    fs::path WriteList(std::uint64_t count, const std::vector<std::uint64_t>& gaps) {
        const fs::path list = dir_ / "sectors.txt";
        std::FILE* f = std::fopen(list.c_str(), "wb");
        EXPECT_NE(f, nullptr);
        std::fputs("# bad sectors\n", f);
        std::vector<char> buffer(std::size_t{1} << 20);
        std::size_t used = 0;
        auto gap = gaps.begin();
        for (std::uint64_t s = 0; s < count; ++s) {
            if (gap != gaps.end() && *gap == s) {
                ++gap;
                continue;
            }
            if (buffer.size() - used < 32) {
                std::fwrite(buffer.data(), 1, used, f);
                used = 0;
            }
            const auto end = std::to_chars(buffer.data() + used, buffer.data() + buffer.size(), s);
            *end.ptr = '\n';
            used = static_cast<std::size_t>(end.ptr + 1 - buffer.data());
        }
        std::fwrite(buffer.data(), 1, used, f);
        std::fclose(f);
        return list;
    }

    // lorvex-scan over the volume with the list; at most 20 s and 200 MB.
    void ExpectReadWithin(const fs::path& list, const std::string& summary) {
        const Measured m = RunMeasured(
            {LORVEX_SCAN, image_.string(), "--damage", list.string(), "--sector-size", "512"}, 60);
        EXPECT_EQ(m.status, 3) << m.err;
        EXPECT_NE(m.out.find(summary), std::string::npos)
            << m.out.substr(m.out.size() - std::min<std::size_t>(m.out.size(), 300));
        EXPECT_LT(m.seconds, 20.0 * kSanitizerRoom);
        EXPECT_LT(static_cast<double>(m.peakBytes), 200.0 * (1 << 20) * kSanitizerRoom);
    }

    fs::path dir_;
    fs::path image_;
};

// Every sector of a 2 GiB disk but four, in the volume's first 8 MiB: five
// areas there, and the rest past the volume's end, set aside.
TEST_F(DamageList, FourMillionSectorsCostTheirAreasNotTheirLines) {
    MakeVolume();
    const auto list = WriteList(std::uint64_t{1} << 22, {1000, 2000, 3000, 4000});
    ExpectReadWithin(list, "4194301 lines read (4194300 sectors): 5 bad areas");
}

// Every sector of a 64 GiB disk, 134 million lines (1.2 GB).
TEST_F(DamageList, LongEverySectorOfA64GiBDisk) {
    MakeVolume();
    const auto list = WriteList(std::uint64_t{1} << 27, {});
    ExpectReadWithin(list, "134217729 lines read (134217728 sectors): 1 bad areas");
}

// A FIFO would wait for a writer that never comes.
TEST_F(DamageList, AFifoIsRefusedAtOnce) {
    MakeVolume();
    const fs::path fifo = dir_ / "map.fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::vector<std::string>& extra :
         {std::vector<std::string>{}, std::vector<std::string>{"--sector-size", "512"}}) {
        std::vector<std::string> args{LORVEX_SCAN, image_.string(), "--damage", fifo.string()};
        args.insert(args.end(), extra.begin(), extra.end());
        const Measured m = RunMeasured(args, 20);
        EXPECT_EQ(m.status, 1);
        EXPECT_NE(m.err.find(fifo.string() + ": a FIFO, not a regular file"), std::string::npos)
            << m.err;
        EXPECT_LT(m.seconds, 5.0 * kSanitizerRoom);
    }
}

} // namespace
} // namespace lorvex::test
