// Draws a mascot strip through the X server's strip screen, frame after
// frame, and reads back what the window shows after each one: pictures
// alone, meeting, crossing and leaving, places with nothing left in them,
// places that overlap each other, and the strip after another window covered
// it. Prints "same <frames>" when every pixel of every frame is the strip
// blended in memory (each channel within 2, for the two blenders'
// rounding), else "differs frame <i> at <x>,<y>: got <rgb> want <rgb>".

#include <xcb/xcb.h>
#include <QApplication>
#include <QPainter>
#include <QRadialGradient>
#include <QWidget>
#include <QWindow>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "x11stripscreen.h"
#include "xcbconnection.h"

namespace {

using umbrafold::StripScreen;

// A soft disc with a transparent margin, like a scaled sprite frame.
QImage disc(QColor colour) {
  QImage image(40, 40, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  QRadialGradient gradient(QPointF(20, 20), 16);
  gradient.setColorAt(0, colour);
  gradient.setColorAt(0.7, colour);
  gradient.setColorAt(1, Qt::transparent);
  painter.setPen(Qt::NoPen);
  painter.setBrush(gradient);
  painter.drawEllipse(QPointF(20, 20), 16, 14);
  return image;
}

// Half-transparent all over, like a bubble's shadow.
QImage veil() {
  QImage image(30, 24, QImage::Format_ARGB32_Premultiplied);
  image.fill(QColor(0, 0, 255, 128));
  return image;
}

struct Sprite {
  const QImage* image;
  QPoint at;
  QRect rect() const { return {at, image->size()}; }
};

class Strip {
 public:
  Strip(QWidget* window, QRect place) : window_(window), place_(place) {
    reference_ = QImage(place.size(), QImage::Format_RGB32);
    reference_.fill(Qt::white);
  }

  // Draws `area` with the sprites that touch it, there and in memory.
  void draw(std::span<const QRect> area, std::span<const Sprite> sprites) {
    std::vector<StripScreen::Layer> layers;
    for (const Sprite& sprite : sprites) {
      for (const QRect& rect : area) {
        if (!rect.intersects(sprite.rect())) continue;
        layers.push_back({sprite.image, sprite.at});
        break;
      }
    }
    if (!screen->draw(window_->winId(), place_, area, layers)) std::exit(1);
    QRegion clip;
    for (const QRect& rect : area) clip += rect;
    QPainter painter(&reference_);
    painter.setClipRegion(clip);
    painter.fillRect(reference_.rect(), Qt::white);
    for (const StripScreen::Layer& layer : layers) {
      QImage picture = *layer.image;
      picture.setDevicePixelRatio(1);  // `at` and the picture are device pixels
      painter.drawImage(layer.at, picture);
    }
  }

  void drawWhole(std::span<const Sprite> sprites) {
    const QRect all(QPoint(0, 0), place_.size());
    draw({&all, 1}, sprites);
  }

  // Whether the window shows what was drawn in memory; says where not.
  bool shown(int frame) const {
    xcb_connection_t* c = umbrafold::x11::qtConnection();
    auto image = umbrafold::x11::reply(xcb_get_image_reply(
        c,
        xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, static_cast<xcb_window_t>(window_->winId()),
                      static_cast<std::int16_t>(place_.x()), static_cast<std::int16_t>(place_.y()),
                      static_cast<std::uint16_t>(place_.width()),
                      static_cast<std::uint16_t>(place_.height()), ~0u),
        nullptr));
    if (!image || xcb_get_image_data_length(image.get()) < place_.width() * place_.height() * 4) {
      std::printf("no image of frame %d\n", frame);
      return false;
    }
    const auto* pixels = reinterpret_cast<const std::uint32_t*>(xcb_get_image_data(image.get()));
    for (int y = 0; y < place_.height(); ++y) {
      for (int x = 0; x < place_.width(); ++x) {
        const QRgb got = pixels[y * place_.width() + x];
        const QRgb want = reference_.pixel(x, y);
        if (std::abs(qRed(got) - qRed(want)) > 2 || std::abs(qGreen(got) - qGreen(want)) > 2 ||
            std::abs(qBlue(got) - qBlue(want)) > 2) {
          std::printf("differs frame %d at %d,%d: got %06x want %06x\n", frame, x, y,
                      got & 0xffffff, want & 0xffffff);
          return false;
        }
      }
    }
    return true;
  }

  std::unique_ptr<StripScreen> screen = umbrafold::x11::makeStripScreen();

 private:
  QWidget* window_;
  QRect place_;
  QImage reference_;
};

void waitFor(const std::function<bool()>& condition) {
  for (int i = 0; i < 500 && !condition(); ++i) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
}

// Maps another window over the strip and takes it away again.
void cover(QRect rect) {
  xcb_connection_t* c = umbrafold::x11::qtConnection();
  const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  const xcb_window_t window = xcb_generate_id(c);
  const std::uint32_t values[] = {screen->black_pixel, 1};
  xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root,
                    static_cast<std::int16_t>(rect.x()), static_cast<std::int16_t>(rect.y()),
                    static_cast<std::uint16_t>(rect.width()),
                    static_cast<std::uint16_t>(rect.height()), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                    XCB_COPY_FROM_PARENT, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
  xcb_map_window(c, window);
  std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
  xcb_destroy_window(c, window);
  std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QWidget window;
  window.setWindowFlag(Qt::X11BypassWindowManagerHint);
  window.setAutoFillBackground(true);
  window.setPalette(QPalette(Qt::white));
  window.setGeometry(0, 0, 420, 140);
  window.show();
  waitFor([&] { return window.windowHandle()->isExposed(); });

  Strip strip(&window, QRect(10, 70, 400, 60));
  if (!strip.screen) {
    std::printf("no strip screen\n");
    return 1;
  }
  int losses = 0;
  strip.screen->onLost([&] { ++losses; });

  const QImage red = disc(QColor(220, 40, 30));
  QImage green = disc(QColor(30, 160, 60));
  green.setDevicePixelRatio(2);  // as a strip at twice the points draws it
  const QImage blue = veil();
  std::vector<Sprite> sprites = {{&red, {10, 12}}, {&green, {200, 16}}, {&blue, {330, 20}}};
  strip.drawWhole(sprites);
  int frame = 0;
  if (!strip.shown(frame)) return 1;

  // Red walks right and green left, past each other; blue stands still,
  // then leaves; each place is where a sprite was and is, as one rectangle.
  std::vector<QRect> area;
  for (frame = 1; frame <= 60; ++frame) {
    area.clear();
    std::vector<Sprite> next = sprites;
    next[0].at += QPoint(3, frame % 2 == 0 ? 1 : -1);
    next[1].at -= QPoint(2, 0);
    if (frame == 40) next.pop_back();
    for (std::size_t i = 0; i < sprites.size(); ++i) {
      const QRect was = sprites[i].rect();
      if (i >= next.size()) {
        area.push_back(was);
        continue;
      }
      area.push_back(was.united(next[i].rect()));
    }
    if (frame % 10 == 0) area.push_back(QRect(0, 0, 400, 6));  // nothing in it
    sprites = next;
    strip.draw(area, sprites);
    if (!strip.shown(frame)) return 1;
  }

  // Covered and uncovered: the screen tells, and the strip is drawn whole.
  QCoreApplication::processEvents();  // the exposure of the first showing
  losses = 0;
  cover(QRect(0, 60, 300, 50));
  waitFor([&] { return losses > 0; });
  if (losses == 0) {
    std::printf("no loss told\n");
    return 1;
  }
  strip.drawWhole(sprites);
  if (!strip.shown(frame)) return 1;
  std::printf("same %d\n", frame + 1);
  return 0;
}
