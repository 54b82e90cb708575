#include "checker/checker.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <ostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/scratch_tree.h"

namespace {

enum class uci_state { fine, link, foreign };

struct check_case {
  const char* name;
  const char* config;                 // null: no file
  std::vector<std::string> programs;  // executable files, relative to sup/
  const char* record;                 // ../data/.bootchk, null: none
  uci_state uci;
  int status;
  const char* expected;         // a line, or part of one, that must be printed
  const char* tools = nullptr;  // non-null: PATH holds only these host commands
};

const char* const worked_example = R"({"__watch":{"processes":[
    {"base":"probe","excheck":true},{"base":"collector"},
    {"base":"corvex-dpi-inner","excheck":false}]}})";
const std::vector<std::string> worked_programs = {"probe", "collector", "corvex-dpi-inner"};
// The worked example without its default program, whose name is one too long.
const char* const demo = R"({"__watch":{"processes":[
    {"base":"probe","excheck":true},{"base":"collector"}]}})";
const std::vector<std::string> demo_programs = {"probe", "collector"};

// Rows are shown by name only.
void PrintTo(const check_case& row, std::ostream* out) { *out << row.name; }

std::string one(const char* element) {
  return std::string(R"({"__watch":{"processes":[)") + element + "]}}";
}

class checker_test : public ::testing::TestWithParam<check_case> {
 protected:
  void SetUp() override { ENTER_SCRATCH_TREE(); }

  static void make_program(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash != std::string::npos) (void)::mkdir(path.substr(0, slash).c_str(), 0755);
    write_text(path, "#!/bin/sh\n");
    ASSERT_EQ(::chmod(path.c_str(), 0755), 0);
  }

  // Runs the checker on the scratch tree; its output, and its status in *status.
  static std::string check(int* status) {
    std::FILE* out = std::tmpfile();
    *status = run_check("/tmp/case/sup", out);
    std::string text(static_cast<std::size_t>(std::ftell(out)), '\0');
    std::rewind(out);
    text.resize(std::fread(text.data(), 1, text.size(), out));
    (void)std::fclose(out);
    return text;
  }
};

// Puts PATH back as it was when the case ends.
struct path_guard {
  std::string saved = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
  ~path_guard() { (void)::setenv("PATH", saved.c_str(), 1); }
};

// Links each named host command into /tmp/case/tools and makes that PATH.
void only_tools(const std::string& names) {
  ASSERT_EQ(::mkdir("/tmp/case/tools", 0755), 0);
  std::istringstream words(names);
  for (std::string name; words >> name;) {
    const std::string host = "/usr/bin/" + name;
    const std::string target = file_exists(host) ? host : "/bin/" + name;
    ASSERT_EQ(::symlink(target.c_str(), ("/tmp/case/tools/" + name).c_str()), 0) << name;
  }
  ASSERT_EQ(::setenv("PATH", "/tmp/case/tools", 1), 0);
}

TEST_P(checker_test, reports) {
  const check_case& row = GetParam();
  const path_guard path;
  if (row.tools != nullptr) only_tools(row.tools);
  if (row.config != nullptr) write_text("config", row.config);
  for (const auto& program : row.programs) make_program(program);
  if (row.record != nullptr) write_text("../data/.bootchk", row.record);
  if (row.uci == uci_state::link) {
    ASSERT_EQ(::rmdir("/tmp/.uci"), 0);
    ASSERT_EQ(::symlink("/tmp/case", "/tmp/.uci"), 0);
  }
  if (row.uci == uci_state::foreign) {
    ASSERT_EQ(::chown("/tmp/.uci", 4242, 4242), 0);
  }
  int status = -1;
  const std::string text = check(&status);
  EXPECT_EQ(status, row.status) << text;
  EXPECT_NE(text.find(row.expected), std::string::npos) << text;
  // Warnings and refusals are each one line of their own kind.
  const char* kind = row.status == 2 ? "\nrefusal: " : row.status == 1 ? "\nwarning: " : nullptr;
  if (kind != nullptr) {
    EXPECT_NE(text.find(kind + std::string(row.expected)), std::string::npos);
  }
  // Each finding once.
  std::istringstream lines(text);
  std::set<std::string> findings;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("warning: ", 0) == 0 || line.rfind("refusal: ", 0) == 0) {
      EXPECT_TRUE(findings.insert(line).second) << "twice: " << line;
    }
  }
  // A stale record is reported, never removed.
  EXPECT_EQ(file_exists("../data/.bootchk"), row.record != nullptr);
}

const std::string excheck_string = one(R"({"base":"probe","excheck":"true"})");
const std::string excheck_number = one(R"({"base":"probe","EXCHECK":1})");
const std::string four = one(R"({"base":"a"},{"base":"b"},{"base":"c"},{"base":"d"})");
const std::string five = one(R"({"base":"a"},{"base":"b"},{"base":"c"},{"base":"d"},{"base":"e"})");
const std::string twice = one(R"({"base":"probe"},{"base":"probe"})");
const std::string long_name = one(R"({"base":"sixteen-chars-xx"})");
const std::string dash = one(R"({"base":"-probe"})");
const std::string slash = one(R"({"base":"bin/probe"})");
const std::string probe = one(R"({"base":"probe"})");
const std::string no_base = one(R"({"base":"probe"},{"name":"x"},{"base":7})");
const std::string late_number_base =
    one(R"({"base":"a"},{"base":"b"},{"base":"c"},{"base":"d"},{"base":5})");
const char* const plugin_record = R"({"version":"1.0.0.1","plugindata":1})";
const char* const trailing_comma =
    "{\n  \"__watch\": {\"processes\": [\n    {\"base\": \"probe\",}\n]}}";
const std::string oversized = one(R"({"base":"probe"})") + std::string(1024 * 1024, ' ');

INSTANTIATE_TEST_SUITE_P(
    table, checker_test,
    ::testing::Values(
        check_case{"clean", demo, demo_programs, nullptr, uci_state::fine, 0,
                   "result: the daemon starts (0 warnings)"},
        check_case{"excheck_string",
                   excheck_string.c_str(),
                   {"probe"},
                   nullptr,
                   uci_state::fine,
                   1,
                   "\"excheck\" of probe is the string \"true\""},
        check_case{"excheck_number",
                   excheck_number.c_str(),
                   {"probe"},
                   nullptr,
                   uci_state::fine,
                   1,
                   "\"excheck\" of probe is the number 1"},
        check_case{"more_than_four",
                   five.c_str(),
                   {"a", "b", "c", "d", "e"},
                   nullptr,
                   uci_state::fine,
                   1,
                   "5 programs configured: only the first 4 are run"},
        check_case{"exactly_four",
                   four.c_str(),
                   {"a", "b", "c", "d"},
                   nullptr,
                   uci_state::fine,
                   0,
                   "result: the daemon starts (0 warnings)"},
        check_case{"duplicate",
                   twice.c_str(),
                   {"probe"},
                   nullptr,
                   uci_state::fine,
                   1,
                   "two programs are named probe"},
        check_case{"long_name",
                   long_name.c_str(),
                   {"sixteen-chars-xx"},
                   nullptr,
                   uci_state::fine,
                   1,
                   "sixteen-chars-xx is longer than 15 characters"},
        check_case{"dash",
                   dash.c_str(),
                   {"-probe"},
                   nullptr,
                   uci_state::fine,
                   1,
                   "-probe begins with '-'"},
        check_case{"slash",
                   slash.c_str(),
                   {"bin/probe"},
                   nullptr,
                   uci_state::fine,
                   1,
                   "bin/probe contains '/'"},
        check_case{"missing_program",
                   probe.c_str(),
                   {},
                   nullptr,
                   uci_state::fine,
                   1,
                   "program file probe is missing"},
        check_case{"missing_in_data",
                   probe.c_str(),
                   {"probe"},
                   plugin_record,
                   uci_state::fine,
                   1,
                   "program file ../data//probe is missing"},
        check_case{"stale_record",
                   probe.c_str(),
                   {"probe"},
                   R"({"version":"1.0.0.0","plugindata":1})",
                   uci_state::fine,
                   1,
                   "../data//.bootchk is stale"},
        check_case{"non_object_record",
                   probe.c_str(),
                   {"probe"},
                   "[1]",
                   uci_state::fine,
                   1,
                   "../data//.bootchk is valid JSON but not an object"},
        check_case{"record_without_plugindata",
                   probe.c_str(),
                   {"probe"},
                   R"({"version":"1.0.0.1","luadata":1})",
                   uci_state::fine,
                   0,
                   "plugin mode: no (../data//.bootchk has no \"plugindata\"; it stays)"},
        check_case{"plugindata_string",
                   probe.c_str(),
                   {"probe"},
                   R"({"version":"2","plugindata":"1"})",
                   uci_state::fine,
                   0,
                   "plugin mode: no (\"plugindata\" of ../data//.bootchk is 0, not 1; it stays)"},
        check_case{"record_without_version",
                   probe.c_str(),
                   {"probe"},
                   R"({"plugindata":1})",
                   uci_state::fine,
                   0,
                   "has no \"version\" string"},
        check_case{"garbage_record",
                   probe.c_str(),
                   {"probe"},
                   "{",
                   uci_state::fine,
                   0,
                   "is empty, unreadable or not JSON: taken as absent"},
        check_case{"no_config", nullptr, {}, nullptr, uci_state::fine, 2, "no file config"},
        check_case{"empty_config", "", {}, nullptr, uci_state::fine, 2, "config is empty"},
        check_case{"invalid_config",
                   "{\"__watch\":",
                   {},
                   nullptr,
                   uci_state::fine,
                   2,
                   "config is not valid JSON (the parser stopped at line 1, column 12)"},
        check_case{"json_error_position",
                   trailing_comma,
                   {},
                   nullptr,
                   uci_state::fine,
                   2,
                   "config is not valid JSON (the parser stopped at line 3, column 23)"},
        check_case{"oversized_config",
                   oversized.c_str(),
                   {},
                   nullptr,
                   uci_state::fine,
                   2,
                   "config is larger than 1 MiB"},
        check_case{"missing_once",
                   twice.c_str(),
                   {},
                   nullptr,
                   uci_state::fine,
                   1,
                   "program file probe is missing"},
        check_case{"no_killall", demo, demo_programs, nullptr, uci_state::fine, 1,
                   "no killall in PATH", "tar gzip"},
        check_case{"no_tar", demo, demo_programs, nullptr, uci_state::fine, 1, "no tar in PATH",
                   "killall"},
        check_case{"tar_without_gzip", demo, demo_programs, nullptr, uci_state::fine, 1,
                   "/tmp/case/tools/tar cannot read a gzip-compressed archive", "killall tar"},
        check_case{"element_without_base",
                   no_base.c_str(),
                   {"probe"},
                   nullptr,
                   uci_state::fine,
                   2,
                   "processes[1] has no string \"base\""},
        check_case{"fifth_element_with_number_base",
                   late_number_base.c_str(),
                   {},
                   nullptr,
                   uci_state::fine,
                   2,
                   "processes[4] has no string \"base\""},
        check_case{"uci_link", demo, demo_programs, nullptr, uci_state::link, 2,
                   "/tmp/.uci/: it is a symbolic link"},
        check_case{"uci_foreign", demo, demo_programs, nullptr, uci_state::foreign, 2,
                   "/tmp/.uci/: it is owned by another user"}),
    [](const ::testing::TestParamInfo<check_case>& row) { return std::string(row.param.name); });

class checker_output_test : public checker_test {};

TEST_F(checker_output_test, worked_example_in_plugin_mode) {
  write_text("config", worked_example);
  for (const auto& program : worked_programs) make_program("../data/" + program);
  write_text("../data/.bootchk", plugin_record);
  int status = -1;
  EXPECT_EQ(check(&status),
            "directory: /tmp/case/sup\n"
            "warning: corvex-dpi-inner is longer than 15 characters: the kernel cuts process "
            "names there, so the kill by name may miss it\n"
            "plugin mode: yes (../data//.bootchk has \"plugindata\" 1); programs run from "
            "../data/\n"
            "  version \"1.0.0.1\" = 0x01000001, not older than the baseline 1.0.0.1 = "
            "0x01000001\n"
            "watchdog: runs, every 120 s, for probe\n"
            "programs, each with the command line of its first start:\n"
            "  ../data//probe -A /tmp/.uci//probe.alive -T /tmp/.uci/ -D ../data/ -O "
            "pellavora_K2310\n"
            "  ../data//collector -T /tmp/.uci/ -D ../data/ -O pellavora_K2310\n"
            "  ../data//corvex-dpi-inner -T /tmp/.uci/ -D ../data/ -O pellavora_K2310\n"
            "  (any argument to the daemon adds -d to every program, after -r and before -A)\n"
            "result: the daemon starts (1 warning)\n");
  EXPECT_EQ(status, 1);
}

TEST_F(checker_output_test, default_program_and_quoted_names) {
  write_text("config", "{}");
  make_program("corvex-dpi-inner");
  int status = -1;
  std::string text = check(&status);
  EXPECT_NE(text.find("watchdog: does not run"), std::string::npos) << text;
  EXPECT_NE(text.find("\n  corvex-dpi-inner\n"), std::string::npos) << text;
  write_text("config", one(R"({"base":"it's here"})"));
  make_program("it's here");
  text = check(&status);
  EXPECT_NE(text.find("\n  'it'\\''s here'\n"), std::string::npos) << text;
}

// The installed binary: options, and the exit status it passes on.
TEST_F(checker_output_test, the_binary) {
  const auto run = [](const std::string& arguments, std::string* out) {
    std::FILE* pipe = ::popen((std::string(PLUGSUP_CHECK_BINARY) + arguments).c_str(), "r");
    std::array<char, 4096> buffer{};
    out->clear();
    for (std::size_t got; (got = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0;)
      out->append(buffer.data(), got);
    const int status = ::pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  std::string out;
  EXPECT_EQ(run(" --version", &out), 0);
  EXPECT_EQ(out, "plugsup-check " PLUGSUP_PROJECT_VERSION "\n");
  EXPECT_EQ(run(" --help", &out), 0);
  EXPECT_EQ(out.rfind("Usage: plugsup-check [-q] [DIR]\n", 0), 0u) << out;
  EXPECT_EQ(run(" -x 2>/dev/null", &out), 3);
  EXPECT_EQ(run(" a b 2>/dev/null", &out), 3);
  EXPECT_EQ(run(" /tmp/case/sup", &out), 2);  // no config
  write_text("config", probe);
  EXPECT_EQ(run("", &out), 1);  // DIR defaults to here; probe is missing
  make_program("probe");
  EXPECT_EQ(run(" /tmp/case/sup", &out), 0);
  // -q: the status alone.
  EXPECT_EQ(run(" -q /tmp/case/sup", &out), 0);
  EXPECT_EQ(run(" -q /tmp/case 2>&1", &out), 2);
  EXPECT_EQ(out, "");
  EXPECT_EQ(run(" -q -q 2>/dev/null", &out), 3);
}

}  // namespace
