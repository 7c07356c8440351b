// Checkpoint files in a real temporary directory: names, listing among stray and hostile
// names, pruning, fall-back order, publishing, and the member secret's protection.
#include "korvane/carrowel/training/checkpoint_directory.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "korvane/common/errors.hpp"

namespace korvane::carrowel::training {
namespace {
namespace fs = std::filesystem;

class CheckpointDirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/korvane-ckpt-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    root_ = tmpl;
  }
  void TearDown() override { fs::remove_all(root_); }

  void touch(const std::string& name, const std::string& text = "x") { std::ofstream(root_ / name) << text; }
  std::string read(const fs::path& p) {
    std::ifstream in(p);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  CheckpointDirectory dir() const { return CheckpointDirectory(root_.string()); }

  fs::path root_;
};

TEST(CheckpointNames, RoundTripAndNothingElseParses) {
  EXPECT_EQ(CheckpointDirectory::file_name(42), "checkpoint-00000042.pt");
  EXPECT_EQ(CheckpointDirectory::file_name(123456789), "checkpoint-123456789.pt");
  for (long long step : {0LL, 7LL, 99999999LL, 123456789LL, 9223372036854775807LL})
    EXPECT_EQ(CheckpointDirectory::step_of(CheckpointDirectory::file_name(step)), step);
  for (const char* bad : {"checkpoint-.pt", "checkpoint-5.pt", "checkpoint-000000005.pt", "checkpoint--0000005.pt",
                          "checkpoint-+0000005.pt", "checkpoint-0000000x.pt", "checkpoint-00000005.pt.tmp",
                          ".checkpoint-00000005.pt.tmp-12", "checkpoint-00000005.PT", "Checkpoint-00000005.pt",
                          "checkpoint-99999999999999999999.pt", "checkpoint-9223372036854775808.pt", ""})
    EXPECT_EQ(CheckpointDirectory::step_of(bad), std::nullopt) << bad;
}

TEST_F(CheckpointDirectoryTest, ListsOnlyCheckpointsAndSkipsStrayAndOutOfRangeNames) {
  for (long long s : {10, 2, 30}) touch(CheckpointDirectory::file_name(s));
  for (const char* stray : {"checkpoint-99999999999999999999.pt", "checkpoint-7.pt", "notes.txt", "member_secret",
                            ".checkpoint-00000040.pt.tmp-99"})
    touch(stray);
  fs::create_directory(root_ / "checkpoint-00000050.pt.d");
  EXPECT_EQ(dir().steps(), (std::vector<long long>{2, 10, 30}));
  EXPECT_EQ(dir().resume_candidates(), (std::vector<long long>{30, 10, 2}));
  EXPECT_EQ(dir().latest(), 30);
  EXPECT_EQ(dir().existing_file_of(10), (root_ / "checkpoint-00000010.pt").string());
  EXPECT_THROW(dir().existing_file_of(7), Error);  // "checkpoint-7.pt" is not step 7's file

  CheckpointDirectory missing((root_ / "none").string());
  EXPECT_TRUE(missing.steps().empty());
  EXPECT_EQ(missing.latest(), std::nullopt);
}

TEST_F(CheckpointDirectoryTest, PublishReplacesTheTemporaryAndKeepsTheLatestTwo) {
  CheckpointDirectory d((root_ / "deep" / "er").string());
  d.create();
  touch("deep/er/keep-me");
  for (long long step : {0, 5, 10, 15}) {
    const std::string tmp = d.temporary_of(step);
    EXPECT_EQ(fs::path(tmp).parent_path(), fs::path(d.path()));  // one file system for the rename
    EXPECT_EQ(CheckpointDirectory::step_of(fs::path(tmp).filename().string()), std::nullopt);
    std::ofstream(tmp) << "state " << step;
    d.publish(tmp, step);
    EXPECT_FALSE(fs::exists(tmp));
  }
  EXPECT_EQ(d.steps(), (std::vector<long long>{10, 15}));
  EXPECT_EQ(read(d.file_of(15)), "state 15");
  EXPECT_TRUE(fs::exists(root_ / "deep/er/keep-me"));  // pruning touches checkpoints only

  EXPECT_THROW(d.publish(d.temporary_of(20), 20), Error);  // nothing was written
  EXPECT_EQ(d.steps(), (std::vector<long long>{10, 15}));
}

TEST_F(CheckpointDirectoryTest, DropAfterRemovesTheAbandonedFuture) {
  for (long long s : {3, 6, 9, 12}) touch(CheckpointDirectory::file_name(s));
  dir().drop_after(6);
  EXPECT_EQ(dir().steps(), (std::vector<long long>{3, 6}));
  dir().prune(1);
  EXPECT_EQ(dir().steps(), (std::vector<long long>{6}));
}

TEST_F(CheckpointDirectoryTest, MemberSecretIsPrivateAndNeverFollowsALink) {
  EXPECT_EQ(dir().read_member_secret(), std::nullopt);
  const mode_t old_mask = ::umask(0);  // the file must be private whatever the umask
  dir().write_member_secret("s3cret");
  ::umask(old_mask);
  struct stat st {};
  ASSERT_EQ(::stat((root_ / "member_secret").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(dir().read_member_secret(), "s3cret");
  dir().write_member_secret("other");
  EXPECT_EQ(dir().read_member_secret(), "other");

  // A link planted where the secret is read, and where its temporary file is written.
  touch("elsewhere", "planted");
  fs::remove(root_ / "member_secret");
  fs::create_symlink(root_ / "elsewhere", root_ / "member_secret");
  EXPECT_THROW(dir().read_member_secret(), Error);
  fs::remove(root_ / "member_secret");
  const std::string tmp = ".member_secret.tmp-" + std::to_string(::getpid());
  fs::create_symlink(root_ / "elsewhere", root_ / tmp);
  dir().write_member_secret("fresh");
  EXPECT_EQ(read(root_ / "elsewhere"), "planted");
  EXPECT_EQ(dir().read_member_secret(), "fresh");
}

TEST_F(CheckpointDirectoryTest, LinksAndOutOfRangeNumbersAreIgnoredAndNamed) {
  touch(CheckpointDirectory::file_name(4));
  touch("checkpoint-99999999999999999999.pt");
  fs::create_symlink("/etc/passwd", root_ / CheckpointDirectory::file_name(9));
  fs::create_directory(root_ / CheckpointDirectory::file_name(7));
  EXPECT_EQ(dir().steps(), (std::vector<long long>{4}));
  EXPECT_THROW(dir().existing_file_of(9), Error);  // the link is never handed to a loader
  const std::vector<std::string> strays = dir().strays();
  ASSERT_EQ(strays.size(), 3u);
  EXPECT_NE(strays[0].find("checkpoint-00000007.pt: not a regular file"), std::string::npos) << strays[0];
  EXPECT_NE(strays[1].find("checkpoint-00000009.pt: a symbolic link"), std::string::npos) << strays[1];
  EXPECT_NE(strays[2].find("checkpoint-99999999999999999999.pt: not a step number"), std::string::npos) << strays[2];
}

TEST_F(CheckpointDirectoryTest, CheckpointFilesArePrivateWhateverTheUmask) {
  const mode_t old_mask = ::umask(0);
  const std::string tmp = dir().prepare_temporary(3);
  std::ofstream(tmp, std::ios::trunc) << "state";  // the loader's writer opens it again, as torch.save does
  dir().publish(tmp, 3);
  ::umask(old_mask);
  struct stat st {};
  ASSERT_EQ(::stat(dir().file_of(3).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(read(dir().file_of(3)), "state");
}

TEST_F(CheckpointDirectoryTest, ASecretWithAnythingButItsCharactersIsRefused) {
  for (const std::string& bad : std::vector<std::string>{"abc\r\n", "abc def", std::string("ab\0c", 4), "", "caf\xc3\xa9"}) {
    touch("member_secret", bad);
    EXPECT_THROW(dir().read_member_secret(), Error) << bad;
  }
  touch("member_secret", "0123abcd");
  EXPECT_EQ(dir().read_member_secret(), "0123abcd");
}

TEST_F(CheckpointDirectoryTest, AnOversizedSecretIsReadOnlyUpToItsBound) {
  touch("member_secret", std::string(10000, 'a'));
  EXPECT_EQ(dir().read_member_secret()->size(), CheckpointDirectory::kMaxSecretBytes);
}

}  // namespace
}  // namespace korvane::carrowel::training
