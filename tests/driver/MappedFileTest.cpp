#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "core/MappedFile.h"
#include "support/ElfBuilder.h"

namespace {

std::string readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(MapFileTest, MapsTheWholeFileCopyOnWrite) {
    std::vector<uint8_t> bytes(300);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i * 7);
    std::string path = writeTempFile(bytes, "input.elf");

    MappedFile* m = nullptr;
    ASSERT_EQ(mapFile(path.c_str(), &m), 0u);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->size(), 300u);
    EXPECT_EQ(m->sizeLow, 300u);
    EXPECT_EQ(m->sizeHigh, 0u);
    EXPECT_EQ(m->path, path);
    EXPECT_EQ(m->refCount.load(), 1);
    EXPECT_EQ(std::vector<uint8_t>(m->base, m->base + 300), bytes);

    // Writes into the view never reach the disk.
    m->base[0] = 0xAA;
    m->base[299] = 0x55;
    EXPECT_EQ(m->base[0], 0xAA);
    EXPECT_EQ(releaseMappedFile(m), 0);
    EXPECT_EQ(readWholeFile(path), std::string(bytes.begin(), bytes.end()));
}

TEST(MapFileTest, ReleaseCountsReferencesDown) {
    std::string path = writeTempFile(std::vector<uint8_t>(16, 1), "two.bin");
    MappedFile* m = nullptr;
    ASSERT_EQ(mapFile(path.c_str(), &m), 0u);
    m->refCount.fetch_add(1);
    EXPECT_EQ(releaseMappedFile(m), 1);
    EXPECT_EQ(m->base[15], 1);  // still mapped
    EXPECT_EQ(releaseMappedFile(m), 0);
}

TEST(MapFileTest, ResultCodes) {
    MappedFile* m = reinterpret_cast<MappedFile*>(1);
    EXPECT_EQ(mapFile(nullptr, &m), 0x8000FFFFu);
    EXPECT_EQ(mapFile("", &m), 0x8000FFFFu);
    std::string dir = testTempDir();
    EXPECT_EQ(mapFile(dir.c_str(), nullptr), 0x8000FFFFu);

    EXPECT_EQ(mapFile((dir + "/missing.elf").c_str(), &m), 0x80070002u);
    EXPECT_EQ(m, nullptr);
    EXPECT_EQ(mapFile(dir.c_str(), &m), 0x80070005u);  // a directory
    std::string empty = writeTempFile({}, "empty.elf");
    EXPECT_EQ(mapFile(empty.c_str(), &m), 0x80004005u);
    std::string file = writeTempFile({1, 2, 3}, "plain");
    EXPECT_EQ(mapFile((file + "/below").c_str(), &m), 0x80070003u);  // a file used as a directory
    EXPECT_EQ(mapFile(std::string(5000, 'a').c_str(), &m), 0x800700CEu);
    EXPECT_EQ(m, nullptr);
}

TEST(MapFileTest, NonRegularFilesAreRefusedWithoutBlocking) {
    std::string fifo = testTempDir() + "/pipe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    MappedFile* m = nullptr;
    EXPECT_EQ(mapFile(fifo.c_str(), &m), 0x80070005u);
    EXPECT_EQ(mapFile("/dev/null", &m), 0x80070005u);
    EXPECT_EQ(m, nullptr);
}

TEST(MapFileTest, UnreadableFileIsAccessDenied) {
    if (geteuid() == 0) GTEST_SKIP() << "root reads every file";
    std::string path = writeTempFile({1, 2, 3, 4}, "secret");
    ASSERT_EQ(chmod(path.c_str(), 0), 0);
    MappedFile* m = nullptr;
    EXPECT_EQ(mapFile(path.c_str(), &m), 0x80070005u);
}

}  // namespace
