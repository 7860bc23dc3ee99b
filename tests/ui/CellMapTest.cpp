// The cell map's parts without a window: the palette, the zoom picture, and
// the volume queries the map starts from.
#include "ui/CellMap.h"
#include "support/FakeVolumeApi.h"
#include "ui/ZoomPicture.h"
#include "volume/VolumeMap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace {

using namespace lorvex::ui;
using namespace lorvex::volume;

std::uint32_t Rgb(std::uint32_t r, std::uint32_t g, std::uint32_t b) {
    return 0xFF000000U | (r << 16) | (g << 8) | b;
}

TEST(CellPaletteTest, EachStateHasItsColourAndTheRestIsBlack) {
    const Palette& p = CellPalette();
    EXPECT_EQ(p[0], Rgb(0, 0, 0));
    EXPECT_EQ(p[csFree], Rgb(0, 0, 0));
    EXPECT_EQ(p[csUsed], Rgb(0, 0, 255));
    EXPECT_EQ(p[3], Rgb(255, 0, 0));
    EXPECT_EQ(p[csBeyondEnd], Rgb(236, 233, 216));
    EXPECT_EQ(p[csSystem], Rgb(255, 255, 0));
    EXPECT_EQ(p[csDirectory], Rgb(0, 255, 255));
    EXPECT_EQ(p[csFragmented], Rgb(255, 0, 0));
    EXPECT_EQ(p[csMFTZone], Rgb(255, 128, 0));
    EXPECT_EQ(p[csPagefile], Rgb(0, 255, 0));
    EXPECT_EQ(p[csMarked], Rgb(255, 255, 255));
    for (std::size_t i = 11; i < p.size(); ++i) {
        EXPECT_EQ(p[i], Rgb(0, 0, 0)) << i;
    }
}

TEST(ZoomPictureTest, BlocksGridAndCrossInExclusiveOr) {
    std::array<std::uint32_t, 81> block{};
    for (std::size_t i = 0; i < block.size(); ++i) {
        block[i] = Rgb(0, 0, static_cast<std::uint32_t>(i));
    }
    const std::uint32_t bg = 0xFF0F0F0FU;
    const auto p = BuildZoomPixels(block, bg);
    ASSERT_EQ(p.size(), 73U * 73U);
    const auto at = [&p](int x, int y) { return p[static_cast<std::size_t>(y * 73 + x)]; };
    const auto inverted = [](std::uint32_t c) { return c ^ 0x00FFFFFFU; };

    EXPECT_EQ(at(3, 3), block[0]); // inside block (0, 0)
    EXPECT_EQ(at(8 * 2 + 3, 8 * 5 + 3), block[5 * 9 + 2]);
    EXPECT_EQ(at(8, 3), inverted(block[1]));      // a vertical line
    EXPECT_EQ(at(3, 16), inverted(block[2 * 9])); // a horizontal line
    EXPECT_EQ(at(8, 16), block[2 * 9 + 1]);       // a joint: twice, restored
    EXPECT_EQ(at(71, 3), block[8]);               // no line at 72
    EXPECT_EQ(at(72, 10), bg);
    EXPECT_EQ(at(10, 72), bg);
    // The cross on the centre block (4, 4): arms inverted, middle restored,
    // the end points left out.
    const std::uint32_t centre = block[4 * 9 + 4];
    EXPECT_EQ(at(34, 36), inverted(centre));
    EXPECT_EQ(at(38, 36), inverted(centre));
    EXPECT_EQ(at(39, 36), centre);
    EXPECT_EQ(at(36, 34), inverted(centre));
    EXPECT_EQ(at(36, 39), centre);
    EXPECT_EQ(at(36, 36), centre);
}

// The fake answers no bitmap query; this one does, with what a test gives.
class BitmapVolumeApi : public lorvex::test::FakeVolumeApi {
  public:
    std::vector<std::byte> answer; // the whole VOLUME_BITMAP_BUFFER
    bool DeviceIoControl(lorvex::platform::Handle handle, std::uint32_t code,
                         std::span<const std::byte> in, std::span<std::byte> out,
                         std::uint32_t* bytesReturned) override {
        if (code != lorvex::platform::kFsctlGetVolumeBitmap || answer.empty()) {
            return FakeVolumeApi::DeviceIoControl(handle, code, in, out, bytesReturned);
        }
        const std::size_t n = std::min(out.size(), answer.size());
        std::copy_n(answer.begin(), n, out.begin());
        *bytesReturned = static_cast<std::uint32_t>(n);
        return true;
    }
};

std::vector<std::byte> BitmapAnswer(std::int64_t start, std::vector<std::uint8_t> bits) {
    std::vector<std::byte> out(16);
    lorvex::ondisk::StoreLE(out, 0, static_cast<std::uint64_t>(start), 8);
    lorvex::ondisk::StoreLE(out, 8, bits.size() * 8, 8);
    for (const std::uint8_t b : bits) {
        out.push_back(static_cast<std::byte>(b));
    }
    return out;
}

TEST(VolumeMapTest, ClusterCountFromTheVolumeDataOrZero) {
    BitmapVolumeApi api;
    lorvex::test::FakeVolumeData data;
    data.totalClusters = 1'000'000;
    data.bytesPerCluster = 4096;
    api.AddNtfsDrive('C', data);
    api.AddNtfsDrive('D', data).volumeData.clear(); // not NTFS
    api.drives['E'] = {};                           // no volume name

    std::uint32_t bpc = 7;
    EXPECT_EQ(QueryClusterCount(api, "C:\\", bpc), 1'000'000);
    EXPECT_EQ(bpc, 4096U);
    bpc = 7;
    EXPECT_EQ(QueryClusterCount(api, "D:\\", bpc), 0);
    EXPECT_EQ(QueryClusterCount(api, "E:\\", bpc), 0);
    EXPECT_EQ(QueryClusterCount(api, "", bpc), 0);
    EXPECT_EQ(bpc, 7U);
    EXPECT_EQ(api.OpenHandleCount(), 0U);
}

TEST(VolumeMapTest, ClustersOnSourceStopAtTheLastClusterWithBytes) {
    lorvex::test::FakeVolumeApi api;
    lorvex::test::FakeVolumeData data;
    data.totalClusters = 1'000'000;
    data.bytesPerCluster = 4096;
    auto& volume = api.AddNtfsDrive('C', data);
    const auto onSource = [&](std::int64_t bytes) {
        volume.imageSize = bytes;
        return QueryClustersOnSource(api, "C:\\", data.totalClusters, data.bytesPerCluster);
    };
    EXPECT_EQ(onSource(std::int64_t{4096} * 1'000'000), 1'000'000);
    EXPECT_EQ(onSource(std::int64_t{4096} * 2'000'000), 1'000'000);
    EXPECT_EQ(onSource(4096 * 777), 777);
    EXPECT_EQ(onSource(4096 * 777 + 1), 778); // a part of a cluster counts
    EXPECT_EQ(onSource(1), 1);
    EXPECT_EQ(onSource(0), 0);
    EXPECT_EQ(QueryClustersOnSource(api, "D:\\", 10, 4096), 0);
    EXPECT_EQ(api.OpenHandleCount(), 0U);
}

TEST(VolumeMapTest, BitmapComesBackAsAskedAndARefusalLeavesTheBytesAlone) {
    BitmapVolumeApi api;
    lorvex::test::FakeVolumeData data;
    data.totalClusters = 20;
    api.AddNtfsDrive('C', data);

    std::vector<std::uint8_t> refused(3, 0xAA);
    EXPECT_FALSE(ReadVolumeBitmap(api, "C:\\", refused));
    EXPECT_EQ(refused, std::vector<std::uint8_t>(3, 0xAA));

    api.answer = BitmapAnswer(0, {0xFF, 0x01, 0x0F});
    std::vector<std::uint8_t> bits(3, 0);
    ASSERT_TRUE(ReadVolumeBitmap(api, "C:\\", bits));
    EXPECT_EQ(bits, (std::vector<std::uint8_t>{0xFF, 0x01, 0x0F}));

    // A short answer fills only what it covers.
    api.answer = BitmapAnswer(0, {0xFF});
    std::vector<std::uint8_t> shortAnswer(3, 0);
    ASSERT_TRUE(ReadVolumeBitmap(api, "C:\\", shortAnswer));
    EXPECT_EQ(shortAnswer, (std::vector<std::uint8_t>{0xFF, 0, 0}));

    // An answer that does not start at cluster 0 would shift every cell.
    api.answer = BitmapAnswer(8, {0xFF, 0xFF});
    std::vector<std::uint8_t> shifted(3, 0);
    EXPECT_FALSE(ReadVolumeBitmap(api, "C:\\", shifted));
    EXPECT_EQ(shifted, std::vector<std::uint8_t>(3, 0));
    EXPECT_EQ(api.OpenHandleCount(), 0U);
}

} // namespace
