#include "waylandstripscreen.h"

#include <QPainter>

#include "stripsurface.h"

namespace umbrafold {

namespace {

class WaylandStripScreen : public StripScreen {
 public:
  explicit WaylandStripScreen(std::shared_ptr<StripSurface> surface)
      : surface_(std::move(surface)) {
    surface_->setHandlers(
        this, [this] { lost(); }, [this] { frameWanted(); });
  }
  ~WaylandStripScreen() override { surface_->dropHandlers(this); }
  WaylandStripScreen(const WaylandStripScreen&) = delete;
  WaylandStripScreen& operator=(const WaylandStripScreen&) = delete;

  bool draw(WId, const QRect& place, std::span<const QRect> area,
            std::span<const Layer> layers) override {
    return surface_->draw(place, area,
                          [layers](QImage& image, QPoint origin, std::span<const QRect> parts) {
                            QPainter painter(&image);
                            painter.translate(origin);
                            for (const QRect& part : parts) {
                              painter.setClipRect(part);
                              painter.fillRect(part, Qt::white);
                              for (const Layer& layer : layers) {
                                if (QRect(layer.at, layer.image->size()).intersects(part))
                                  painter.drawImage(layer.at, *layer.image);
                              }
                            }
                          });
  }

  // The sub-surface keeps its content; the next draw is whole anyway.
  void withdraw() override {}
  void flush() override { surface_->flush(); }
  bool drawsFromAnyThread() const override { return true; }
  bool wantsFrame() const override { return surface_->wantsFrame(); }
  double pixelRatio() const override { return surface_->pixelRatio(); }

 private:
  std::shared_ptr<StripSurface> surface_;
};

}  // namespace

std::unique_ptr<StripScreen> makeWaylandStripScreen(std::shared_ptr<StripSurface> surface) {
  return std::make_unique<WaylandStripScreen>(std::move(surface));
}

}  // namespace umbrafold
