#include "record/VrDurableFile.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "support/TempDir.h"

namespace {
std::string Contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Limits the size of files this process writes; writes past it fail with
// EFBIG instead of raising SIGXFSZ. Restores both on destruction.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &m_old);
    m_oldHandler = signal(SIGXFSZ, SIG_IGN);
    rlimit limit = m_old;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &m_old);
    signal(SIGXFSZ, m_oldHandler);
  }

 private:
  rlimit m_old{};
  sighandler_t m_oldHandler = SIG_DFL;
};
}  // namespace

TEST(VrDurableFile, BytesReachTheFileOnCommitAndAnExistingNameIsNeverReused) {
  TempDir dir;
  const std::string path = dir.file("a.mp4");
  VrDurableFile file;
  ASSERT_EQ(file.open(path), 0);
  avio_write(file.io(), reinterpret_cast<const unsigned char*>("fragment-1"), 10);
  EXPECT_EQ(Contents(path), "");  // still in the context's buffer
  EXPECT_EQ(file.commit(), 0);
  EXPECT_EQ(Contents(path), "fragment-1");
  EXPECT_EQ(file.commit(), 0);  // nothing new
  avio_write(file.io(), reinterpret_cast<const unsigned char*>("+2"), 2);
  EXPECT_EQ(file.close(), 0);
  EXPECT_EQ(Contents(path), "fragment-1+2");
  EXPECT_EQ(file.io(), nullptr);

  VrDurableFile again;
  EXPECT_EQ(again.open(path), VrDurableFile::kCreateFailed);
  EXPECT_EQ(again.error(), "File exists");
  EXPECT_EQ(Contents(path), "fragment-1+2");
  EXPECT_EQ(again.open(dir.file("missing/b.mp4")), VrDurableFile::kCreateFailed);
  EXPECT_EQ(again.error(), "No such file or directory");
}

TEST(VrDurableFile, AFailedWriteIsReportedOnceAndStaysFailed) {
  TempDir dir;
  const std::string path = dir.file("full.mp4");
  VrDurableFile file;
  ASSERT_EQ(file.open(path), 0);
  const std::string fragment(3000, 'f');
  {
    FileSizeLimit limit(4096);
    avio_write(file.io(), reinterpret_cast<const unsigned char*>(fragment.data()), 3000);
    EXPECT_EQ(file.commit(), 0);
    avio_write(file.io(), reinterpret_cast<const unsigned char*>(fragment.data()), 3000);
    EXPECT_EQ(file.commit(), VrDurableFile::kWriteFailed);
  }
  EXPECT_EQ(file.error(), "File too large");
  // The space is back, but the file stays failed: its end is unknown.
  avio_write(file.io(), reinterpret_cast<const unsigned char*>(fragment.data()), 10);
  EXPECT_EQ(file.commit(), VrDurableFile::kWriteFailed);
  EXPECT_EQ(file.close(), VrDurableFile::kWriteFailed);
  EXPECT_EQ(Contents(path).substr(0, 3000), fragment);
  EXPECT_LE(std::filesystem::file_size(path), 4096u);
}
