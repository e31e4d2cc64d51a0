#pragma once

#include <QImage>
#include <QString>

#include <filesystem>
#include <string>
#include <vector>

namespace umbrafold {

// The five process-wide mascot pictures. Each is produced the first time it
// is asked for (at most once, even from several threads) and then kept
// unchanged until the process ends. A null QImage means "no icon".
namespace mascotimages {

const std::vector<QImage>& clawd();      // frames of the "Claude" sheet
const std::vector<QImage>& codexPet();   // frames of the "Codex" sheet
const std::vector<QImage>& codexLeft();  // frames of the "Codex-left" sheet
const QImage& claudeIcon();              // the Claude desktop application's icon
const QImage& codexIcon();               // the Codex application's icon

// Loads the three sheets on a thread of its own, so that the first frame
// that needs them finds them ready (or waits only for what is left of that
// one bounded read). Returns at once.
void preloadSheets();

// The sheet file for a sheet name: "<name>.png" in Umbrafold/Characters of
// the per-user data folder (~/.local/share, or $XDG_DATA_HOME).
QString sheetPath(const QString& name);

// The frames of the sprite sheet at `file`: 8 equal columns side by side in
// one row, frame 0 leftmost, each as an image of w/8 x h pixels at device
// pixel ratio 1. Empty when the file is not a regular file of at most
// 16 MiB, does not load, or its width is below 8 or not a multiple of 8.
std::vector<QImage> frames(const QString& file);

// The picture named by a desktop entry's Icon= value: an absolute path is
// loaded as a file, anything else is looked up in the icon theme. Null when
// nothing loads.
QImage entryIcon(const std::string& icon);

// The Claude application's icon: the Icon= of the entry
// "com.anthropic.claudefordesktop.desktop" in `directories`; null when
// there is no such entry or no loadable icon.
QImage claudeIconIn(const std::vector<std::filesystem::path>& directories);

// The Codex application's icon, from the entry "com.openai.codex.desktop" in
// `directories`: "icon-codex-light.png" beside the entry's executable
// (Exec='s first word, bare names looked up in `searchPath`); else the
// entry's Icon= when its Name= is exactly "Codex"; else null.
QImage codexIconIn(const std::vector<std::filesystem::path>& directories,
                   const std::string& searchPath);

}  // namespace mascotimages
}  // namespace umbrafold
