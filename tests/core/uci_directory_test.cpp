#include "core/uci_directory.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/scratch_tree.h"

namespace {

class uci_directory_test : public ::testing::Test {
 protected:
  void SetUp() override { ENTER_SCRATCH_TREE(); }
};

TEST_F(uci_directory_test, links_and_strangers_directories_are_refused) {
  ASSERT_EQ(::mkdir("own", 0755), 0);
  ASSERT_EQ(::mkdir("foreign", 0755), 0);
  ASSERT_EQ(::symlink("own", "link"), 0);
  write_text("plain", "x");
  const bool may_chown = ::chown("foreign", 4242, 4242) == 0;
  EXPECT_EQ(uci_directory_refusal("own/"), nullptr);
  EXPECT_EQ(uci_directory_refusal("missing/"), nullptr);
  EXPECT_EQ(uci_directory_refusal("plain/"), nullptr);  // the lock reports it
  // The trailing slash must not make the check follow the link.
  EXPECT_STREQ(uci_directory_refusal("link/"), "it is a symbolic link");
  EXPECT_STREQ(uci_directory_refusal("link"), "it is a symbolic link");
  if (may_chown) {
    EXPECT_STREQ(uci_directory_refusal("foreign/"), "it is owned by another user");
  }
}

}  // namespace
