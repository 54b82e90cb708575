#include "startup/config.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "support/scratch_tree.h"

namespace {

struct loaded {
  int result;
  std::unique_ptr<supervisor_state> state;
};

class config_test : public ::testing::Test {
 protected:
  void SetUp() override { ENTER_SCRATCH_TREE(); }

  static loaded load(const std::string& text) {
    write_text("config", text);
    auto state = std::make_unique<supervisor_state>();
    const int result = load_config("config", state.get());
    return {result, std::move(state)};
  }
};

TEST_F(config_test, files_without_a_document_fail) {
  auto state = std::make_unique<supervisor_state>();
  EXPECT_EQ(load_config("config", state.get()), -1);
  for (const char* text : {"", "{", "nonsense"}) EXPECT_EQ(load(text).result, -1) << text;
  EXPECT_EQ(load("{}" + std::string(1024 * 1024, ' ')).result, -1);
}

TEST_F(config_test, no_processes_gives_the_default_process) {
  for (const char* text :
       {"{}", R"({"__watch":{}})", R"({"__watch":{"processes":[]}})",
        R"({"__watch":{"processes":"x"}})", R"({"__watch":{"processes":7}})", "[1,2]"}) {
    const loaded got = load(text);
    EXPECT_EQ(got.result, 0) << text;
    EXPECT_EQ(got.state->process_count, 1) << text;
    EXPECT_STREQ(got.state->slots[0].name.data(), "corvex-dpi-inner") << text;
    EXPECT_STREQ(got.state->slots[0].alive_path.data(), "") << text;
  }
}

TEST_F(config_test, worked_example) {
  const loaded got = load(R"({"__watch":{"processes":[
      {"base":"probe","excheck":true},{"base":"collector"},
      {"base":"corvex-dpi-inner","excheck":false}]}})");
  ASSERT_EQ(got.result, 0);
  ASSERT_EQ(got.state->process_count, 3);
  EXPECT_STREQ(got.state->slots[0].name.data(), "probe");
  EXPECT_STREQ(got.state->slots[0].alive_path.data(), "/tmp/.uci//probe.alive");
  EXPECT_STREQ(got.state->slots[1].name.data(), "collector");
  EXPECT_STREQ(got.state->slots[1].alive_path.data(), "");
  EXPECT_STREQ(got.state->slots[2].name.data(), "corvex-dpi-inner");
  EXPECT_STREQ(got.state->slots[3].name.data(), "");
}

TEST_F(config_test, only_the_literal_true_asks_for_the_check) {
  const loaded got = load(R"({"__WATCH":{"Processes":[
      {"base":"a","excheck":1},{"base":"b","excheck":"true"},{"BASE":"c","EXCHECK":true}]}})");
  ASSERT_EQ(got.result, 0);
  EXPECT_STREQ(got.state->slots[0].alive_path.data(), "");
  EXPECT_STREQ(got.state->slots[1].alive_path.data(), "");
  EXPECT_STREQ(got.state->slots[2].alive_path.data(), "/tmp/.uci//c.alive");
}

TEST_F(config_test, every_element_needs_a_string_base) {
  EXPECT_EQ(load(R"({"__watch":{"processes":[{"base":"a"},{"base":5}]}})").result, -1);
  EXPECT_EQ(load(R"({"__watch":{"processes":[{"base":"a"},"b"]}})").result, -1);
  EXPECT_EQ(load(R"({"__watch":{"processes":[{"base":""}]}})").result, 0);
  // Elements beyond the fourth fill nothing but are still checked.
  const char* six = R"({"__watch":{"processes":[{"base":"a"},{"base":"b"},{"base":"c"},
      {"base":"d"},{"base":"e"},{"base":"f"}]}})";
  const loaded got = load(six);
  EXPECT_EQ(got.result, 0);
  EXPECT_EQ(got.state->process_count, 4);
  EXPECT_STREQ(got.state->slots[3].name.data(), "d");
  EXPECT_EQ(load(R"({"__watch":{"processes":[{"base":"a"},{"base":"b"},{"base":"c"},
      {"base":"d"},{"base":"e"},{}]}})")
                .result,
            -1);
  // A long list: every element is still checked, the last one too.
  std::string many = R"({"__watch":{"processes":[)";
  for (int i = 0; i < 5000; ++i) many += R"({"base":"p"},)";
  EXPECT_EQ(load(many + "{}]}}").result, -1);
  const loaded long_list = load(many + R"({"base":"q"}]}})");
  EXPECT_EQ(long_list.result, 0);
  EXPECT_EQ(long_list.state->process_count, 4);
}

TEST_F(config_test, an_object_of_processes_is_read_like_an_array) {
  const loaded got = load(R"({"__watch":{"processes":{"x":{"base":"a"},"y":{"base":"b"}}}})");
  ASSERT_EQ(got.result, 0);
  EXPECT_EQ(got.state->process_count, 2);
  EXPECT_STREQ(got.state->slots[1].name.data(), "b");
}

TEST_F(config_test, long_names_are_cut_to_their_buffers) {
  const std::string name(5000, 'n');
  const loaded got =
      load(R"({"__watch":{"processes":[{"base":")" + name + R"(","excheck":true}]}})");
  ASSERT_EQ(got.result, 0);
  EXPECT_EQ(std::string(got.state->slots[0].name.data()), name.substr(0, 4095));
  const std::string alive = "/tmp/.uci//" + name;
  EXPECT_EQ(std::string(got.state->slots[0].alive_path.data()), alive.substr(0, 4095));
}

}  // namespace
