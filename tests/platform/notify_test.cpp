#include <gtest/gtest.h>

#include "platform/notify.h"

#ifndef _WIN32
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

TEST(Notification, WritesTwelveLittleEndianBytesWithoutBlocking) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, fds), 0);
  ASSERT_TRUE(platform::postNotification(static_cast<uintptr_t>(fds[0]), 1526, 0x01020304u, 7u));
  unsigned char got[16] = {};
  ASSERT_EQ(recv(fds[1], got, sizeof got, 0), 12);
  const unsigned char want[12] = {0xF6, 0x05, 0, 0, 0x04, 0x03, 0x02, 0x01, 7, 0, 0, 0};
  EXPECT_EQ(std::memcmp(got, want, 12), 0);
  close(fds[0]);
  close(fds[1]);
}

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
