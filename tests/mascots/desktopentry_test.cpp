#include "desktopentry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

namespace umbrafold {
namespace {

namespace fs = std::filesystem;

TEST(DesktopEntry, ReadsOnlyTheUnlocalisedKeysOfItsGroup) {
  const DesktopEntry entry = DesktopEntry::parse(
      "# comment\n"
      "Name=Outside\n"
      "[Desktop Entry]\r\n"
      "Name[de]=Kodex\n"
      "Name = Codex \n"
      "Name=Second\n"
      "Icon=/opt/codex/icon\\spng\n"
      "Comment=a\\\\b\\tc\n"
      "  # indented comment\n"
      "garbage line\n"
      "[Desktop Action new]\n"
      "Exec=other\n");
  EXPECT_EQ(entry.value("Name"), "Codex");
  EXPECT_EQ(entry.value("Icon"), "/opt/codex/icon png");
  EXPECT_EQ(entry.value("Comment"), "a\\b\tc");
  EXPECT_EQ(entry.value("Exec"), std::nullopt);
  EXPECT_EQ(entry.keys.size(), 3u);
}

TEST(DesktopEntry, ExecProgramIsTheFirstUnquotedWord) {
  EXPECT_EQ(execProgram("codex %U"), "codex");
  EXPECT_EQ(execProgram("  /opt/Codex/codex --flag"), "/opt/Codex/codex");
  EXPECT_EQ(execProgram(R"("/opt/My Apps/co\"dex" %F)"), "/opt/My Apps/co\"dex");
  EXPECT_EQ(execProgram(R"("/opt/unterminated)"), std::nullopt);
  EXPECT_EQ(execProgram(""), std::nullopt);
  EXPECT_EQ(execProgram(R"("")"), std::nullopt);
}

class ProgramLookupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root = fs::temp_directory_path() /
           ("mascots-lookup-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root);
    fs::create_directories(root / "bin");
    fs::create_directories(root / "opt/codex");
    fs::create_directories(root / "plain");
  }
  void TearDown() override { fs::remove_all(root); }

  static void write(const fs::path& file, const std::string& text, bool executable = false) {
    std::ofstream(file) << text;
    if (executable) ::chmod(file.c_str(), 0755);
  }

  fs::path root;
};

TEST_F(ProgramLookupTest, BareNamesAreFoundOnTheSearchPathAndLinksResolved) {
  write(root / "plain/codex", "not executable");
  write(root / "opt/codex/codex", "#!/bin/sh\n", true);
  fs::create_symlink(root / "opt/codex/codex", root / "bin/codex");
  const std::string path = (root / "plain").string() + "::" + (root / "bin").string();
  EXPECT_EQ(resolveProgram("codex", path), fs::canonical(root / "opt/codex/codex"));
  EXPECT_EQ(resolveProgram("missing", path), std::nullopt);
  EXPECT_EQ(resolveProgram("bin/codex", root.string()), std::nullopt);
  EXPECT_EQ(resolveProgram((root / "bin/codex").string(), ""),
            fs::canonical(root / "opt/codex/codex"));
}

TEST_F(ProgramLookupTest, EntriesAreFoundInTheFirstDirectoryHoldingThem) {
  fs::create_directories(root / "a");
  fs::create_directories(root / "b");
  write(root / "b/x.desktop", "[Desktop Entry]\nName=B\n");
  EXPECT_EQ(findDesktopEntry("x.desktop", {root / "a", root / "b"}), root / "b/x.desktop");
  write(root / "a/x.desktop", "[Desktop Entry]\nName=A\n");
  const auto found = findDesktopEntry("x.desktop", {root / "a", root / "b"});
  ASSERT_TRUE(found);
  EXPECT_EQ(DesktopEntry::read(*found)->value("Name"), "A");
  EXPECT_EQ(findDesktopEntry("y.desktop", {root / "a", root / "b"}), std::nullopt);
  EXPECT_EQ(DesktopEntry::read(root / "a"), std::nullopt);  // a directory
}

}  // namespace
}  // namespace umbrafold
