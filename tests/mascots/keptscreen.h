#pragma once

#include <QImage>
#include <QPainter>
#include <QRegion>

#include "stripscreen.h"

namespace umbrafold::testing {

// A screen that keeps the strip in `kept`, drawn only where it is told to:
// a strip that forgets to draw a place shows there what was drawn before,
// or black where nothing ever was.
class KeptScreen : public StripScreen {
 public:
  explicit KeptScreen(QImage* kept) : kept_(kept) {}

  bool draw(WId /*window*/, const QRect& place, std::span<const QRect> area,
            std::span<const Layer> layers) override {
    ++draws;
    if (kept_->size() != place.size()) {
      *kept_ = QImage(place.size(), QImage::Format_RGB32);
      kept_->fill(Qt::black);
    }
    QRegion clip;
    for (const QRect& rect : area) clip += rect;
    QPainter painter(kept_);
    painter.setClipRegion(clip);
    painter.fillRect(kept_->rect(), Qt::white);
    for (const Layer& layer : layers) {
      QImage picture = *layer.image;
      picture.setDevicePixelRatio(1);  // `at` and the picture are device pixels
      painter.drawImage(layer.at, picture);
    }
    return true;
  }

  // Like a window taken away: what was kept is gone.
  void withdraw() override {
    kept_->fill(Qt::black);
    ++withdrawals;
  }

  // Like a window uncovered: what was kept is gone, and the strip is told.
  void lose() {
    kept_->fill(Qt::black);
    lost();
  }

  int draws = 0;
  int withdrawals = 0;

 private:
  QImage* kept_;
};

}  // namespace umbrafold::testing
