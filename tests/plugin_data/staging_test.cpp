#include "plugin_data/staging.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "plugin_data/upgrade.h"
#include "support/scratch_tree.h"

namespace {

const std::string data = "/tmp/case/data";
const std::string staged = "/tmp/staged";
const std::string outside = "/tmp/case/outside";

struct merge_case {
  const char* name;
  std::vector<std::string> before;  // the data directory; "t <dir>" mounts a tmpfs there,
                                    // "b <file>" binds the file onto itself
  std::vector<std::string> package;
  const char* after;  // the data directory's listing
  const char* stop;   // null: the merge succeeds; else "<path>: <error text>"
};

void PrintTo(const merge_case& c, std::ostream* out) { *out << c.name; }

class merge_table : public testing::TestWithParam<merge_case> {};

TEST_P(merge_table, moves_entries_by_the_rules) {
  const merge_case& c = GetParam();
  ENTER_SCRATCH_TREE();
  make_tree("/tmp", {"d case/outside", "f case/outside/f outer", "d staged"});
  make_tree(data, c.before);
  for (const std::string& line : c.before) {
    const std::string at = data + "/" + line.substr(2);
    if (line.starts_with("t ")) {
      ASSERT_EQ(::mount("tmpfs", at.c_str(), "tmpfs", 0, nullptr), 0);
    }
    if (line.starts_with("b ")) {
      ASSERT_EQ(::mount(at.c_str(), at.c_str(), nullptr, MS_BIND, nullptr), 0);
    }
  }
  make_tree("/tmp", {"d aside"});
  make_tree(staged, c.package);
  const int from = ::open(staged.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const int to = ::open(data.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const int aside = ::open("/tmp/aside", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  merge_stop stop;
  merge_journal journal;
  const int result = sanitize_staged(from, &stop) == 0 && check_merge(from, to, &stop) == 0 &&
                             merge_staged(from, to, aside, &journal, &stop) == 0
                         ? 0
                         : -1;
  // A failed move is undone whole, and says nothing while it succeeds.
  if (result != 0) {
    EXPECT_EQ(capture_stdout([&] { EXPECT_EQ(undo_merge(from, to, aside, "x", journal), 0); }), "");
  }
  const std::string why = stop.refusal != nullptr ? stop.refusal : std::strerror(stop.error);
  EXPECT_EQ(result == 0 ? std::string("none") : std::string(stop.path.data()) + ": " + why,
            c.stop != nullptr ? c.stop : "none");
  EXPECT_EQ(tree_listing(data), c.after);
  EXPECT_EQ(tree_listing(outside), "f f outer\n");
  if (result != 0) {
    EXPECT_EQ(tree_listing("/tmp/aside"), "");
  }
  ::close(from);
  ::close(to);
  ::close(aside);
}

// "a/a/.../a", `levels` deep.
std::string chain(int levels) {
  std::string path = "a";
  for (int level = 1; level < levels; ++level) path += "/a";
  return path;
}
// The directories of chain(levels) and one file at its bottom.
std::vector<std::string> deep_tree(int levels, const std::string& file) {
  std::vector<std::string> lines;
  for (int level = 1; level <= levels; ++level) lines.push_back("d " + chain(level));
  lines.push_back("f " + chain(levels) + "/" + file);
  return lines;
}
// What tree_listing shows of the given lines, all made.
std::string listing_of(std::vector<std::string> lines) {
  std::sort(lines.begin(), lines.end());
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}
std::vector<std::string> both(std::vector<std::string> first,
                              const std::vector<std::string>& more) {
  first.insert(first.end(), more.begin(), more.end());
  return first;
}
const int deepest = max_merge_depth - 1;  // levels of directories merged into existing ones
const std::string deepest_merged =
    listing_of(both(deep_tree(deepest, "keep k"), {"f " + chain(deepest) + "/x new"}));
const std::string too_deep = listing_of(deep_tree(max_merge_depth, "keep k"));
const std::string too_deep_stop = chain(max_merge_depth) + ": File name too long";

const merge_case merge_cases[] = {
    {"file_over_link", {"l a /tmp/case/outside/f"}, {"f a new"}, "f a new\n", nullptr},
    {"directory_over_file", {"f a old"}, {"d a", "f a/x 1"}, "d a\nf a/x 1\n", nullptr},
    {"directory_over_link",
     {"l plug /tmp/case/outside"},
     {"d plug", "f plug/x 1"},
     "d plug\nf plug/x 1\n",
     nullptr},
    {"directory_into_directory",
     {"d a", "f a/keep k", "f a/x old"},
     {"d a", "f a/x new", "d a/b", "f a/b/y y"},
     "d a\nd a/b\nf a/b/y y\nf a/keep k\nf a/x new\n",
     nullptr},
    {"link_member_over_empty_directory", {"d s"}, {"l s /etc"}, "l s /etc\n", nullptr},
    {"link_member_over_link", {"l s /tmp"}, {"l s /etc"}, "l s /etc\n", nullptr},
    {"file_over_full_directory_moves_nothing",
     {"d a", "f a/x old"},
     {"f b new", "f a new"},
     "d a\nf a/x old\n",
     "a: Directory not empty"},
    // The failure names the whole path of a conflict below merged directories.
    {"file_over_full_directory_below_merged_ones_moves_nothing",
     {"d a", "d a/b", "d a/b/c", "f a/b/c/x old"},
     {"d a", "d a/b", "f a/b/y new", "f a/b/c new"},
     "d a\nd a/b\nd a/b/c\nf a/b/c/x old\n",
     "a/b/c: Directory not empty"},
    // Directories merged into existing ones are followed down to a bound.
    {"merge_at_the_deepest_level", deep_tree(deepest, "keep k"), deep_tree(deepest, "x new"),
     deepest_merged.c_str(), nullptr},
    {"merge_below_the_deepest_level_moves_nothing", deep_tree(max_merge_depth, "keep k"),
     deep_tree(max_merge_depth, "x new"), too_deep.c_str(), too_deep_stop.c_str()},
    {"record_and_temporary_names_stay_out",
     {},
     {"f .bootchk {}", "f .init.bin.AbC123 x", "d .plugsup-unpack.AbC123", "f .bootchkX y"},
     "f .bootchkX y\n",
     nullptr},
    // A mount point inside is found before anything moves.
    {"mount_point_moves_nothing",
     {"f a old", "d m", "t m"},
     {"f a new", "d m", "f m/x 1"},
     "d m mode 1777\nf a old\n",
     "m: Invalid cross-device link"},
    // A rename that fails later (over a mount point) has every move before
    // it undone: the replaced entries come back from aside.
    {"failure_half_way_is_undone",
     {"f a old", "d s", "f s/c old", "d e", "f z old", "b z"},
     {"f z new", "f a new", "d s", "f s/c new", "f s/d new", "d e", "f e/n new", "d n"},
     "d e\nd s\nf a old\nf s/c old\nf z old\n",
     "z: Device or resource busy"},
    // Nothing of a package keeps a set-ID bit or lets others write.
    {"set_id_and_write_bits_dropped",
     {},
     {"f a 1", "m a 06777", "d b", "f b/x 2", "m b/x 04755", "m b 03777"},
     "d b\nf a 1\nf b/x 2\n",
     nullptr},
    // A second name of a file in ../data/ or outside is refused whole, and
    // the file's mode is left alone.
    {"hard_link_into_data_refused",
     {"f victim old", "m victim 0600"},
     {"f a new", "h victim /tmp/case/data/victim"},
     "f victim old\n",
     "victim: it is a hard link, refused"},
    {"hard_link_outside_refused",
     {},
     {"d p", "h p/f /tmp/case/outside/f", "m p 0777"},
     "",
     "p/f: it is a hard link, refused"},
    {"device_refused", {}, {"f a 1", "c mem"}, "", "mem: it is a device, FIFO or socket, refused"},
    {"fifo_refused", {}, {"d p", "p p/q"}, "", "p/q: it is a device, FIFO or socket, refused"},
};

INSTANTIATE_TEST_SUITE_P(table, merge_table, testing::ValuesIn(merge_cases),
                         [](const auto& row) { return std::string(row.param.name); });

// Only a failure of the putting back leaves the data directory changed, and
// each entry it could not put back is named with the place where it is.
TEST(undo_merge, says_where_what_it_could_not_put_back_is) {
  ENTER_SCRATCH_TREE();
  make_tree("/tmp", {"d staged", "d aside"});
  make_tree(data, {"f a old", "f b old"});
  make_tree(staged, {"f a new", "f b new"});
  const int from = ::open(staged.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const int to = ::open(data.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const int aside = ::open("/tmp/aside", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  merge_stop stop;
  merge_journal journal;
  ASSERT_EQ(merge_staged(from, to, aside, &journal, &stop), 0);
  ASSERT_EQ(journal.count, 4);
  // Step 0 set aside the old entry met first; it cannot come back.
  ASSERT_EQ(::rename("/tmp/aside/0", "/tmp/lost"), 0);
  int result = 0;
  const std::string said =
      capture_stdout([&] { result = undo_merge(from, to, aside, "/tmp/aside", journal); });
  EXPECT_EQ(result, -1);
  EXPECT_TRUE(said.starts_with("failed to put back ../data//")) << said;
  EXPECT_TRUE(said.ends_with(": No such file or directory; it is in /tmp/aside/0\n")) << said;
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
  // The other name is back; the lost one's new content went back to staging.
  EXPECT_EQ(tree_listing(data).find(" new"), std::string::npos) << tree_listing(data);
  EXPECT_EQ(tree_listing(data).find("f "), 0U) << tree_listing(data);
  ::close(from);
  ::close(to);
  ::close(aside);
}

// Random trees of a few names, in ../data/ and in the package, with links
// out of ../data/: an installation never changes anything outside ../data/,
// and one that fails changes nothing inside it.
void random_tree(std::mt19937& random, const std::string& at, int depth,
                 std::vector<std::string>* lines) {
  for (const char* name : {"a", "b", "c"}) {
    const std::string path = at + name;
    switch (random() % (depth < 3 ? 4 : 3)) {
      case 0:
        break;
      case 1:
        lines->push_back("f " + path + " " + std::to_string(random() % 100));
        break;
      case 2:
        lines->push_back("l " + path + (random() % 2 ? " " + outside : " ../outside/f"));
        break;
      default:
        lines->push_back("d " + path);
        random_tree(random, path + "/", depth + 1, lines);
    }
  }
}

TEST(install_upgrade_package, random_trees_change_nothing_outside_and_fail_whole) {
  ENTER_SCRATCH_TREE();
  std::mt19937 random(20261209);  // fixed, so a failure reproduces
  for (int round = 0; round < 40; ++round) {
    ASSERT_EQ(
        std::system("rm -rf /tmp/case/data/* /tmp/case/data/.b* /tmp/package /tmp/case/outside"),
        0);
    std::vector<std::string> before, package;
    random_tree(random, "", 0, &before);
    random_tree(random, "", 0, &package);
    make_tree("/tmp", {"d case/outside", "f case/outside/f outer", "d package"});
    make_tree(data, before);
    make_tree("/tmp/package", package);
    const bool torn = random() % 4 == 0;
    ASSERT_EQ(std::system(torn ? "chmod 0777 /tmp/package && tar -czf /tmp/p.tgz -C /tmp/package . "
                                 "&& head -c 40 /tmp/p.tgz > /tmp/.uci/ttupgrade.tgz"
                               : "chmod 0777 /tmp/package && tar -czf /tmp/.uci/ttupgrade.tgz "
                                 "-C /tmp/package ."),
              0);
    // Rollback: a file of ../data/ bound onto itself makes a rename over it
    // fail after others were done (EBUSY, same filesystem).
    std::string pinned;
    for (const std::string& line : random() % 3 == 0 ? before : std::vector<std::string>{})
      if (line.starts_with("f ") && pinned.empty()) pinned = data + "/" + line.substr(2, 1);
    if (!pinned.empty()) {
      ASSERT_EQ(::mount(pinned.c_str(), pinned.c_str(), nullptr, MS_BIND, nullptr), 0);
    }
    const std::string old_data = tree_listing(data);
    const std::string said = capture_stdout([] { install_upgrade_package(130); });
    if (!pinned.empty()) {
      ASSERT_EQ(::umount2(pinned.c_str(), MNT_DETACH), 0);
    }
    const bool installed = read_text(data + "/.bootchk").find("plugindata") != std::string::npos;
    ASSERT_EQ(::unlink((data + "/.bootchk").c_str()), 0);
    EXPECT_EQ(tree_listing(outside), "f f outer\n") << round;
    struct stat status {};
    ASSERT_EQ(::stat(data.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0755U) << round;
    EXPECT_EQ(said.empty(), installed) << round << said;
    const std::string now = tree_listing(data);
    if (!installed) {
      EXPECT_EQ(now, old_data) << round << said;
    }
    for (const std::string& line : installed ? package : std::vector<std::string>{})
      EXPECT_NE(now.find(line + "\n"), std::string::npos) << round << " " << line;
  }
}

}  // namespace
