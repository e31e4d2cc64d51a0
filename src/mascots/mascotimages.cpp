#include "mascotimages.h"

#include <QIcon>
#include <QStandardPaths>

#include <cstdlib>
#include <thread>

#include "desktopentry.h"
#include "regularfile.h"

namespace umbrafold::mascotimages {

namespace {

constexpr int kFramesPerSheet = 8;
constexpr int kIconPixels = 128;
// Larger picture files are not read: no sprite sheet or icon needs more, and
// reading one must never hold up the curtain for long.
constexpr std::size_t kMaxPictureBytes = std::size_t{16} << 20;

// The picture in the file at `path` when it is a regular file of a sane
// size; a FIFO, a device, a directory or a huge file is never read.
QImage loadedImage(const std::filesystem::path& path) {
  const std::optional<std::string> bytes = readRegularFile(path, kMaxPictureBytes);
  if (!bytes) return {};
  return QImage::fromData(reinterpret_cast<const uchar*>(bytes->data()),
                          static_cast<int>(bytes->size()));
}

std::string searchPathNow() {
  const char* path = std::getenv("PATH");
  return path ? path : "";
}

}  // namespace

QString sheetPath(const QString& name) {
  return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
         QStringLiteral("/Umbrafold/Characters/") + name + QStringLiteral(".png");
}

std::vector<QImage> frames(const QString& file) {
  std::vector<QImage> result;
  const QImage sheet = loadedImage(file.toStdString());
  if (sheet.isNull()) return result;
  const int width = sheet.width();
  if (width < kFramesPerSheet || width % kFramesPerSheet != 0) return result;
  const int frameWidth = width / kFramesPerSheet;
  for (int i = 0; i < kFramesPerSheet; ++i) {
    QImage frame = sheet.copy(i * frameWidth, 0, frameWidth, sheet.height());
    if (frame.isNull()) continue;
    frame.setDevicePixelRatio(1);
    result.push_back(std::move(frame));
  }
  return result;
}

QImage entryIcon(const std::string& icon) {
  if (icon.empty()) return {};
  if (icon.front() == '/') return loadedImage(icon);
  const QIcon themed = QIcon::fromTheme(QString::fromStdString(icon));
  if (themed.isNull()) return {};
  return themed.pixmap(kIconPixels, kIconPixels).toImage();
}

QImage claudeIconIn(const std::vector<std::filesystem::path>& directories) {
  const auto file = findDesktopEntry("com.anthropic.claudefordesktop.desktop", directories);
  if (!file) return {};
  const auto entry = DesktopEntry::read(*file);
  if (!entry) return {};
  return entryIcon(entry->value("Icon").value_or(""));
}

QImage codexIconIn(const std::vector<std::filesystem::path>& directories,
                   const std::string& searchPath) {
  const auto file = findDesktopEntry("com.openai.codex.desktop", directories);
  if (!file) return {};
  const auto entry = DesktopEntry::read(*file);
  if (!entry) return {};
  if (const auto program = execProgram(entry->value("Exec").value_or(""))) {
    if (const auto executable = resolveProgram(*program, searchPath)) {
      QImage light = loadedImage(executable->parent_path() / "icon-codex-light.png");
      if (!light.isNull()) return light;
    }
  }
  if (entry->value("Name") == "Codex") return entryIcon(entry->value("Icon").value_or(""));
  return {};
}

const std::vector<QImage>& clawd() {
  static const std::vector<QImage> images = frames(sheetPath(QStringLiteral("Claude")));
  return images;
}

const std::vector<QImage>& codexPet() {
  static const std::vector<QImage> images = frames(sheetPath(QStringLiteral("Codex")));
  return images;
}

const std::vector<QImage>& codexLeft() {
  static const std::vector<QImage> images = frames(sheetPath(QStringLiteral("Codex-left")));
  return images;
}

void preloadSheets() {
  std::thread([] {
    clawd();
    codexPet();
    codexLeft();
  }).detach();
}

const QImage& claudeIcon() {
  static const QImage image = claudeIconIn(applicationDirectories());
  return image;
}

const QImage& codexIcon() {
  static const QImage image = codexIconIn(applicationDirectories(), searchPathNow());
  return image;
}

}  // namespace umbrafold::mascotimages
