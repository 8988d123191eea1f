#include "core/HX_Handle.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <utility>
#include <vector>

namespace {
// A fake C handle type whose release call records every handle it frees.
struct FakeHandle {
  int id;
};
std::vector<int> g_freed;
void FreeFake(FakeHandle* handle) {
  g_freed.push_back(handle->id);
  delete handle;
}
using FakePtr = HX_Owned<FakeHandle, &FreeFake>;

bool IsOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }
}  // namespace

TEST(HX_Owned, FreesEachHandleOnceThroughTheReleaseCallAndNeverNull) {
  g_freed.clear();
  {
    FakePtr target;  // empty: destroying or replacing it frees nothing
    FakePtr owned(new FakeHandle{1});
    owned.reset(new FakeHandle{2});
    EXPECT_EQ(g_freed, std::vector<int>{1});
    FreeFake(owned.release());  // given up: the owner never frees it again
    owned.reset(new FakeHandle{3});
    FakePtr moved(std::move(owned));
    target = std::move(moved);  // moves hand the handle on and free nothing
    EXPECT_EQ(g_freed, (std::vector<int>{1, 2}));
    target = FakePtr(new FakeHandle{4});
    EXPECT_EQ(g_freed, (std::vector<int>{1, 2, 3}));
  }
  EXPECT_EQ(g_freed, (std::vector<int>{1, 2, 3, 4}));
}

TEST(HX_UniqueFd, ClosesItsDescriptorExactlyOnceAndKeepsTheCallersErrno) {
  int fds[2] = {-1, -1};
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  const int readEnd = fds[0], writeEnd = fds[1];
  HX_UniqueFd target(writeEnd);
  {
    HX_UniqueFd first(readEnd);
    HX_UniqueFd second(std::move(first));
    EXPECT_EQ(first.get(), -1);
    target = std::move(second);  // closes the write end, takes the read end
    EXPECT_FALSE(IsOpen(writeEnd));
    HX_UniqueFd& same = target;
    target = std::move(same);
  }
  EXPECT_TRUE(IsOpen(readEnd));  // neither a self-move nor the moved-from owners closed it
  target.reset(readEnd);         // the same descriptor again is kept, not closed
  EXPECT_TRUE(IsOpen(readEnd));
  EXPECT_EQ(target.release(), readEnd);
  EXPECT_FALSE(target.valid());
  EXPECT_TRUE(IsOpen(readEnd));  // released, not closed
  {
    HX_UniqueFd fd(readEnd);
    fd.reset();
    EXPECT_FALSE(IsOpen(readEnd));
    // The number is handed out again; the emptied owner must not close it twice.
    ASSERT_EQ(::dup2(STDERR_FILENO, readEnd), readEnd);
  }
  EXPECT_TRUE(IsOpen(readEnd));
  ::close(readEnd);
  // A cleanup keeps the cause the caller reports, even when its own close fails (EBADF here).
  HX_UniqueFd stale(readEnd);
  errno = ECONNREFUSED;
  stale.reset();
  EXPECT_EQ(errno, ECONNREFUSED);
}
