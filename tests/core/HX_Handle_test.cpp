#include "core/HX_Handle.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <utility>
#include <vector>

namespace {
// A fake C handle type and a release call that records every handle it frees.
struct FakeHandle {
  int id;
};
std::vector<int> g_freed;
void FreeFake(FakeHandle* handle) {
  g_freed.push_back(handle->id);
  delete handle;
}
using FakePtr = HX_Owned<FakeHandle, &FreeFake>;

class HX_OwnedTest : public ::testing::Test {
 protected:
  void SetUp() override { g_freed.clear(); }
};

bool IsOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

// Two ends of a fresh pipe; the test owns both until it hands them on.
std::pair<int, int> MakePipe() {
  int fds[2] = {-1, -1};
  EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  return {fds[0], fds[1]};
}
}  // namespace

TEST_F(HX_OwnedTest, FreesOnceThroughTheReleaseCallAndNeverFreesNull) {
  { FakePtr empty; }
  EXPECT_TRUE(g_freed.empty());
  {
    FakePtr owned(new FakeHandle{7});
    FakePtr moved(std::move(owned));
    EXPECT_FALSE(owned);
    FakePtr assigned;
    assigned = std::move(moved);
    EXPECT_TRUE(g_freed.empty());  // moves hand the handle on, they free nothing
  }
  EXPECT_EQ(g_freed, std::vector<int>{7});
}

TEST_F(HX_OwnedTest, ResetFreesTheOldHandleAndReleaseGivesItUp) {
  FakePtr owned(new FakeHandle{1});
  owned.reset(new FakeHandle{2});
  EXPECT_EQ(g_freed, std::vector<int>{1});
  FakeHandle* raw = owned.release();
  owned.reset();
  EXPECT_EQ(g_freed, std::vector<int>{1});
  FreeFake(raw);
  FakePtr other(new FakeHandle{3});
  owned = std::move(other);  // an empty target frees nothing
  owned = FakePtr(new FakeHandle{4});
  EXPECT_EQ(g_freed, (std::vector<int>{1, 2, 3}));
  owned.reset();
  EXPECT_EQ(g_freed, (std::vector<int>{1, 2, 3, 4}));
}

TEST(HX_UniqueFd, ClosesItsDescriptorExactlyOnce) {
  auto [readEnd, writeEnd] = MakePipe();
  {
    HX_UniqueFd fd(readEnd);
    EXPECT_TRUE(fd.valid());
    EXPECT_EQ(fd.get(), readEnd);
    EXPECT_TRUE(IsOpen(readEnd));
    fd.reset();
    EXPECT_FALSE(IsOpen(readEnd));
    // Another descriptor takes the freed number; neither the emptied owner
    // nor its destruction may close it a second time.
    ASSERT_EQ(::dup2(writeEnd, readEnd), readEnd);
  }
  EXPECT_TRUE(IsOpen(readEnd));
  HX_UniqueFd target;
  {
    HX_UniqueFd moved(readEnd);
    target = std::move(moved);
  }
  EXPECT_TRUE(IsOpen(readEnd));  // the moved-from owner closed nothing
  target.reset();
  EXPECT_FALSE(IsOpen(readEnd));
  ::close(writeEnd);
}

TEST(HX_UniqueFd, MoveHandsTheDescriptorOnWithoutClosingIt) {
  auto [readEnd, writeEnd] = MakePipe();
  HX_UniqueFd first(readEnd);
  HX_UniqueFd second(std::move(first));
  EXPECT_FALSE(first.valid());
  EXPECT_EQ(first.get(), -1);
  EXPECT_TRUE(IsOpen(readEnd));

  HX_UniqueFd third(writeEnd);
  third = std::move(second);  // closes the write end, takes the read end
  EXPECT_FALSE(IsOpen(writeEnd));
  EXPECT_TRUE(IsOpen(readEnd));
  EXPECT_EQ(third.get(), readEnd);

  HX_UniqueFd& same = third;
  third = std::move(same);  // self-move keeps the descriptor open
  EXPECT_TRUE(IsOpen(readEnd));
  third.reset();
  EXPECT_FALSE(IsOpen(readEnd));
}

TEST(HX_UniqueFd, ReleaseGivesUpAndResetReplaces) {
  auto [readEnd, writeEnd] = MakePipe();
  HX_UniqueFd fd(readEnd);
  EXPECT_EQ(fd.release(), readEnd);
  EXPECT_FALSE(fd);
  EXPECT_TRUE(IsOpen(readEnd));  // released, not closed

  fd.reset(readEnd);
  fd.reset(readEnd);  // the same descriptor again is kept, not closed
  EXPECT_TRUE(IsOpen(readEnd));
  fd.reset(writeEnd);
  EXPECT_FALSE(IsOpen(readEnd));
  EXPECT_TRUE(IsOpen(writeEnd));
  fd.reset();
  EXPECT_FALSE(IsOpen(writeEnd));
  fd.reset();  // nothing held: nothing closed
  EXPECT_FALSE(fd.valid());
}

TEST(HX_UniqueFd, ClosingKeepsTheCallersErrno) {
  auto [readEnd, writeEnd] = MakePipe();
  ::close(writeEnd);
  HX_UniqueFd fd(readEnd);
  errno = ECONNREFUSED;
  fd.reset();
  EXPECT_EQ(errno, ECONNREFUSED);
  EXPECT_FALSE(IsOpen(readEnd));
}
