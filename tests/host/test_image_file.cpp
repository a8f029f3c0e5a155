// Reading an image whole on a POSIX system, the way the command line does.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "transport/image_file.h"

namespace {

class ImageFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/flashtool-image-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder = pattern;
  }
  void TearDown() override {
    for (const std::string &path : made) unlink(path.c_str());
    rmdir(folder.c_str());
  }
  std::string Write(const char *name, const std::vector<uint8_t> &bytes) {
    std::string path = folder + "/" + name;
    FILE *file = fopen(path.c_str(), "wb");
    if (!bytes.empty()) fwrite(bytes.data(), 1, bytes.size(), file);
    fclose(file);
    made.push_back(path);
    return path;
  }
  std::string folder;
  std::vector<std::string> made;
};

}  // namespace

TEST_F(ImageFile, LastBlockIsZeroFilledPastTheFilesEnd) {
  std::vector<uint8_t> bytes(BLOCK_SIZE + 1, 0xA5);
  LoadedImage image = LoadImageFile(Write("two.bin", bytes).c_str());
  ASSERT_EQ(image.outcome, IMAGE_LOADED);
  EXPECT_EQ(image.plan.lastIndex, 1);
  EXPECT_EQ(std::vector<uint8_t>(image.blocks, image.blocks + BLOCK_SIZE + 1), bytes);
  EXPECT_EQ(std::vector<uint8_t>(image.blocks + BLOCK_SIZE + 1, image.blocks + 2 * BLOCK_SIZE),
            std::vector<uint8_t>(BLOCK_SIZE - 1, 0));
  FreeImage(image);
  EXPECT_EQ(image.blocks, nullptr);
}

TEST_F(ImageFile, RefusalsSayWhyAndHoldNoMemory) {
  LoadedImage missing = LoadImageFile((folder + "/none.bin").c_str());
  EXPECT_EQ(missing.outcome, IMAGE_NOT_OPENED);
  EXPECT_EQ(missing.systemError, (uint32_t)ENOENT);
  EXPECT_EQ(LoadImageFile(folder.c_str()).outcome, IMAGE_NOT_A_FILE) << "a folder";
  // A pipe nobody writes to would block a plain open for ever.
  std::string pipe = folder + "/pipe.bin";
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  made.push_back(pipe);
  EXPECT_EQ(LoadImageFile(pipe.c_str()).outcome, IMAGE_NOT_A_FILE);
  EXPECT_EQ(LoadImageFile("/dev/zero").outcome, IMAGE_NOT_A_FILE);
  EXPECT_EQ(LoadImageFile(Write("empty.bin", {}).c_str()).outcome, IMAGE_EMPTY);

  // 4 GiB + 100 bytes, sparse: judged on its low 32 bits it would pass as a
  // 100-byte image.
  std::string huge = Write("huge.bin", {});
  ASSERT_EQ(truncate(huge.c_str(), (4LL << 30) + 100), 0);
  LoadedImage tooLarge = LoadImageFile(huge.c_str());
  EXPECT_EQ(tooLarge.outcome, IMAGE_TOO_LARGE);
  EXPECT_EQ(tooLarge.blocks, nullptr);
  ASSERT_EQ(truncate(huge.c_str(), 10485761), 0);
  EXPECT_EQ(LoadImageFile(huge.c_str()).outcome, IMAGE_TOO_LARGE);
}
