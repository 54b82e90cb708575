#include "core/state.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

TEST(state_test, every_text_fits_the_pool_at_full_length_and_is_cut_at_4095) {
  auto state = std::make_unique<supervisor_state>();
  EXPECT_STREQ(state->slots[0].name.data(), "");  // zero-filled: empty
  const std::string longest(5000, 'x');
  EXPECT_FALSE(store_text(state.get(), &state->run_file_path, "%s", longest.c_str()));
  for (auto& slot : state->slots) {
    EXPECT_FALSE(store_text(state.get(), &slot.name, "%s", longest.c_str()));
    EXPECT_TRUE(store_text(state.get(), &slot.alive_path, "short"));
  }
  EXPECT_EQ(std::string(state->run_file_path.data()), longest.substr(0, 4095));
  EXPECT_EQ(std::string(state->slots[3].name.data()), longest.substr(0, 4095));
  EXPECT_STREQ(state->slots[3].alive_path.data(), "short");
}

}  // namespace
