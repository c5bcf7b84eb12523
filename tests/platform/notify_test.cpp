#include <gtest/gtest.h>

#include "platform/notify.h"

#ifndef _WIN32
#include <unistd.h>

TEST(Notification, FullPipeDropsTheMessageInsteadOfBlocking) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  int posted = 0;
  // A pipe holds 64 KiB by default; far fewer than 100000 messages fit.
  for (int i = 0; i < 100000; ++i)
    if (platform::postNotification(static_cast<uintptr_t>(fds[1]), 1526, 1, 2)) ++posted;
  EXPECT_GT(posted, 0);
  EXPECT_LT(posted, 100000);
  close(fds[0]);
  close(fds[1]);
}
#endif

TEST(Notification, NoWindowPostsNothing) { EXPECT_FALSE(platform::postNotification(0, 1526, 1, 2)); }
