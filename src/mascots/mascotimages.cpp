#include "mascotimages.h"

#include <QIcon>
#include <QStandardPaths>

#include <cstdlib>

#include "desktopentry.h"

namespace umbrafold::mascotimages {

namespace {

constexpr int kFramesPerSheet = 8;
constexpr int kIconPixels = 128;

QImage loadedIcon(const std::filesystem::path& file) {
  const QString name = QString::fromStdString(file.string());
  QImage image(name);
  if (image.isNull()) image = QIcon(name).pixmap(kIconPixels, kIconPixels).toImage();
  return image;
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
  const QImage sheet(file);
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
  if (icon.front() == '/') return loadedIcon(icon);
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
      const auto light = executable->parent_path() / "icon-codex-light.png";
      std::error_code error;
      if (std::filesystem::is_regular_file(light, error)) {
        QImage image(QString::fromStdString(light.string()));
        if (!image.isNull()) return image;
      }
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

const QImage& claudeIcon() {
  static const QImage image = claudeIconIn(applicationDirectories());
  return image;
}

const QImage& codexIcon() {
  static const QImage image = codexIconIn(applicationDirectories(), searchPathNow());
  return image;
}

}  // namespace umbrafold::mascotimages
