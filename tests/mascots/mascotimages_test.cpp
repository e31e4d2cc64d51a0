#include "mascotimages.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <QColor>
#include <QImage>
#include <QTemporaryDir>

#include <fstream>

#include "qtapp.h"

namespace umbrafold {
namespace {

namespace fs = std::filesystem;
using namespace mascotimages;

// A sheet whose frame i is filled with red = 10 * i, and whose every pixel
// column x carries blue = x mod 256.
QImage sheet(int width, int height) {
  QImage image(width, height, QImage::Format_ARGB32);
  const int frameWidth = std::max(1, width / 8);
  for (int x = 0; x < width; ++x)
    for (int y = 0; y < height; ++y) image.setPixel(x, y, qRgb(10 * (x / frameWidth), 0, x % 256));
  return image;
}

class MascotImagesTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { testing::application(); }

  QString file(const QString& name) const { return dir.filePath(name); }
  fs::path path(const std::string& name) const { return fs::path(dir.path().toStdString()) / name; }

  void writeEntry(const std::string& id, const std::string& text) {
    fs::create_directories(path("applications"));
    std::ofstream(path("applications") / (id + ".desktop")) << text;
  }
  QImage solid(const std::string& name, QRgb colour) {
    QImage image(4, 4, QImage::Format_ARGB32);
    image.fill(colour);
    image.save(QString::fromStdString(path(name).string()));
    return image;
  }

  QTemporaryDir dir;
};

TEST_F(MascotImagesTest, SheetIsCutIntoEightFramesLeftToRight) {
  ASSERT_TRUE(sheet(800, 100).save(file("Claude.png")));
  const std::vector<QImage> cut = frames(file("Claude.png"));
  ASSERT_EQ(cut.size(), 8u);
  for (std::size_t i = 0; i < cut.size(); ++i) {
    EXPECT_EQ(cut[i].size(), QSize(100, 100));
    EXPECT_EQ(cut[i].devicePixelRatio(), 1);
    EXPECT_EQ(qRed(cut[i].pixel(50, 50)), int(10 * i));
  }
  EXPECT_EQ(qBlue(cut[0].pixel(0, 0)), 0);
  EXPECT_EQ(qBlue(cut[0].pixel(99, 0)), 99);
  EXPECT_EQ(qBlue(cut[1].pixel(0, 0)), 100);
}

TEST_F(MascotImagesTest, UnusableSheetsGiveNoFrames) {
  ASSERT_TRUE(sheet(804, 100).save(file("wide.png")));
  ASSERT_TRUE(sheet(4, 4).save(file("narrow.png")));
  std::ofstream(path("broken.png")) << "not an image";
  EXPECT_TRUE(frames(file("wide.png")).empty());
  EXPECT_TRUE(frames(file("narrow.png")).empty());
  EXPECT_TRUE(frames(file("broken.png")).empty());
  EXPECT_TRUE(frames(file("missing/Codex.png")).empty());
  EXPECT_EQ(frames(QString()).size(), 0u);
}

TEST_F(MascotImagesTest, ClaudeIconIsTheEntrysIcon) {
  EXPECT_TRUE(claudeIconIn({path("applications")}).isNull());
  const QImage icon = solid("claude.png", qRgb(200, 100, 50));
  writeEntry("com.anthropic.claudefordesktop",
             "[Desktop Entry]\nName=Claude\nIcon=" + path("claude.png").string() + "\n");
  EXPECT_EQ(claudeIconIn({path("applications")}).pixel(1, 1), icon.pixel(1, 1));
  writeEntry("com.anthropic.claudefordesktop", "[Desktop Entry]\nName=Claude\n");
  EXPECT_TRUE(claudeIconIn({path("applications")}).isNull());
}

TEST_F(MascotImagesTest, CodexIconPrefersTheLightIconBesideItsProgram) {
  fs::create_directories(path("opt/codex"));
  std::ofstream(path("opt/codex/codex-app")) << "#!/bin/sh\n";
  ::chmod(path("opt/codex/codex-app").c_str(), 0755);
  const QImage entryIcon = solid("entry.png", qRgb(0, 0, 255));
  writeEntry("com.openai.codex", "[Desktop Entry]\nName=Codex\nExec=codex-app %U\nIcon=" +
                                     path("entry.png").string() + "\n");
  const std::string searchPath = path("opt/codex").string();

  // No light icon: the entry named "Codex" gives its own icon.
  EXPECT_EQ(codexIconIn({path("applications")}, searchPath).pixel(0, 0), entryIcon.pixel(0, 0));

  const QImage light = solid("opt/codex/icon-codex-light.png", qRgb(0, 255, 0));
  EXPECT_EQ(codexIconIn({path("applications")}, searchPath).pixel(0, 0), light.pixel(0, 0));
  EXPECT_TRUE(codexIconIn({path("applications")}, "").pixel(0, 0) == entryIcon.pixel(0, 0));
}

TEST_F(MascotImagesTest, CodexUnderAnotherNameWithoutLightIconHasNone) {
  solid("entry.png", qRgb(0, 0, 255));
  writeEntry("com.openai.codex", "[Desktop Entry]\nName=Codex Beta\nExec=codex\nIcon=" +
                                     path("entry.png").string() + "\n");
  EXPECT_TRUE(codexIconIn({path("applications")}, "").isNull());
  EXPECT_TRUE(codexIconIn({path("nowhere")}, "").isNull());
}

// Files that would block a read for good or take long (a FIFO, a device
// through a symlink, a directory, a 100 MiB file) are never read: as a sheet
// they give no frames, as an entry's icon no picture, as the entry itself no
// entry. A blocking read would hang the test.
TEST_F(MascotImagesTest, FilesThatAreNotSanePicturesAreNeverRead) {
  ASSERT_EQ(::mkfifo(path("fifo.png").c_str(), 0600), 0);
  fs::create_symlink("/dev/zero", path("zero.png"));
  fs::create_directories(path("directory.png"));
  std::ofstream(path("huge.png")).close();
  fs::resize_file(path("huge.png"), std::uintmax_t{100} << 20);
  for (const char* name : {"fifo.png", "zero.png", "directory.png", "huge.png"}) {
    EXPECT_TRUE(frames(file(QString::fromLatin1(name))).empty()) << name;
    writeEntry("com.anthropic.claudefordesktop",
               "[Desktop Entry]\nName=Claude\nIcon=" + path(name).string() + "\n");
    EXPECT_TRUE(claudeIconIn({path("applications")}).isNull()) << name;
  }
  fs::remove(path("applications/com.anthropic.claudefordesktop.desktop"));
  ASSERT_EQ(::mkfifo(path("applications/com.anthropic.claudefordesktop.desktop").c_str(), 0600), 0);
  EXPECT_TRUE(claudeIconIn({path("applications")}).isNull());
}

}  // namespace
}  // namespace umbrafold
