// Index files through the core: save, load (copied and mapped), the same records, ids
// and answers; a damaged file is refused and a failed save leaves nothing behind.
#include <gtest/gtest.h>

#include <filesystem>

#include "index/compact_family.hpp"
#include "index/turbo_family.hpp"
#include "io/index_file.hpp"
#include "rng.hpp"
#include "test_data.hpp"

namespace quillane {
namespace {

template <class Family> void round_trip(typename Family::Quantizer q) {
    const auto dir = std::filesystem::temp_directory_path() / ("ql-io-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "index.qli").string();
    FlatIndex<Family> index(q);
    SeededRng rng(4);
    for (uint64_t i = 0; i < 70; ++i) ASSERT_TRUE(index.add(i * 3, rng.standard_normal_vec(q.dim())));
    ASSERT_TRUE(io::save_index(index, path));
    const auto query = rng.standard_normal_vec(q.dim());
    const auto expected = *index.search(query, 9);
    for (bool map : {false, true}) {
        auto loaded = io::load_index<Family>(path, map, true);
        ASSERT_TRUE(loaded) << loaded.error().message;
        EXPECT_EQ(loaded->read_only(), map);
        ASSERT_TRUE(std::ranges::equal(loaded->record_bytes(), index.record_bytes()));
        ASSERT_TRUE(std::ranges::equal(loaded->id_list(), index.id_list()));
        const auto found = *loaded->search(query, 9);
        for (size_t r = 0; r < expected.size(); ++r) {
            EXPECT_EQ(found[r].id, expected[r].id);
            EXPECT_EQ(testing_data::bits(found[r].score), testing_data::bits(expected[r].score));
        }
    }
    const auto mapped = *io::map_file(path);
    std::vector<uint8_t> image(mapped->begin(), mapped->end());
    image[image.size() / 2] ^= 0x10;
    const auto refused = io::read_index<Family>(image, true);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().os_errno, 0);
    const auto missing = io::save_index(index, (dir / "no" / "index.qli").string());
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().os_errno, ENOENT);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);
    std::filesystem::remove_all(dir);
}

TEST(IndexFiles, RoundTripBothFamilies) {
    round_trip<CompactFamily>(*CompactQuantizer::make(33, 3, 5));
    round_trip<TurboFamily>(*TurboQuantizer::make(10, 4, 6, 5));
}

// Direct writes through buffers of several sizes (the image crosses their edges), pieces
// no disk takes directly (refused at the first write: ordinary writes from the start),
// ordinary writes, and a memory filesystem: the same bytes.
TEST(IndexFiles, EveryWayOfWritingGivesTheImage) {
    const auto q = *CompactQuantizer::make(40, 4, 2);
    FlatIndex<CompactFamily> index(q);
    SeededRng rng(6);
    for (uint64_t i = 0; i < 300; ++i) ASSERT_TRUE(index.add(i, rng.standard_normal_vec(q.dim())));
    std::vector<uint8_t> image(io::image_size(index));
    io::write_image(io::header_of(index), index.id_list(), index.record_bytes(), image.data());
    std::vector<std::filesystem::path> dirs = {std::filesystem::temp_directory_path()};
    if (std::filesystem::is_directory("/dev/shm")) dirs.push_back("/dev/shm");
    for (const auto& base : dirs) {
        const auto dir = base / ("ql-io-direct-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir);
        for (size_t buffer : {size_t{0}, io::DIRECT_BLOCK, 2 * io::DIRECT_BLOCK, io::DIRECT_BLOCK + 100, io::DIRECT_BUFFER}) {
            const std::string path = (dir / "index.qli").string();
            ASSERT_TRUE(io::save_image(path, io::header_of(index), index.id_list(), index.record_bytes(), buffer));
            const auto written = *io::map_file(path);
            ASSERT_TRUE(std::ranges::equal(*written, image)) << base << " buffer " << buffer;
        }
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);
        std::filesystem::remove_all(dir);
    }
}

}  // namespace
}  // namespace quillane
