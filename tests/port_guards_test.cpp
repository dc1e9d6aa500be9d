#include "port_guards.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <gtest/gtest.h>

namespace velkaro {
namespace {

TEST(PortGuardsTest, LockFilesAreNamedAfterTheDevice) {
  EXPECT_EQ(LockFileName("/dev/ttyS0"), "LCK..ttyS0");
  EXPECT_EQ(LockFileName("/dev/pts/12"), "LCK..pts_12");
  EXPECT_EQ(LockFileName("/tmp/x/ttyUSB1"), "LCK..ttyUSB1");
}

TEST(PortGuardsTest, TtyNumbersDecodeAsTheKernelEncodesThem) {
  EXPECT_EQ(DecodeTtyNr(0x440), makedev(4, 64));    // ttyS0
  EXPECT_EQ(DecodeTtyNr(0x8803), makedev(136, 3));  // pts/3
  // Minors above 255 keep their high bits above the major.
  const unsigned int pts_300 = (136u << 8) | (300u & 0xffu) | ((300u & ~0xffu) << 12);
  EXPECT_EQ(DecodeTtyNr(pts_300), makedev(136, 300));
}

TEST(PortGuardsTest, UnreadableSourcesHoldNothing) {
  const dev_t device = makedev(4, 64);
  EXPECT_FALSE(HeldByLockFile("/dev/ttyS0", {"/nonexistent-lock-dir"}));
  EXPECT_FALSE(IsControllingTerminal(device, "/nonexistent-proc"));
  EXPECT_FALSE(IsActiveConsole(device, "/nonexistent-console"));
}

}  // namespace
}  // namespace velkaro
