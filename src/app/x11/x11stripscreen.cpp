#include "x11stripscreen.h"

#include <xcb/render.h>
#include <xcb/xcb.h>
#include <QAbstractNativeEventFilter>
#include <QByteArray>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QSysInfo>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "xcbconnection.h"

namespace umbrafold::x11 {
namespace {

// The picture formats the strip needs: QImage's premultiplied ARGB, and the
// format of each visual a curtain's window may have.
struct Formats {
  xcb_render_pictformat_t argb = 0;
  std::map<xcb_visualid_t, xcb_render_pictformat_t> visuals;
};

std::optional<Formats> queryFormats(xcb_connection_t* c) {
  auto answer =
      reply(xcb_render_query_pict_formats_reply(c, xcb_render_query_pict_formats(c), nullptr));
  if (!answer) return std::nullopt;
  Formats formats;
  for (auto it = xcb_render_query_pict_formats_formats_iterator(answer.get()); it.rem;
       xcb_render_pictforminfo_next(&it)) {
    const xcb_render_pictforminfo_t& format = *it.data;
    const xcb_render_directformat_t& bits = format.direct;
    if (format.type == XCB_RENDER_PICT_TYPE_DIRECT && format.depth == 32 &&
        bits.alpha_shift == 24 && bits.alpha_mask == 0xff && bits.red_shift == 16 &&
        bits.red_mask == 0xff && bits.green_shift == 8 && bits.green_mask == 0xff &&
        bits.blue_shift == 0 && bits.blue_mask == 0xff) {
      formats.argb = format.id;
    }
  }
  for (auto screen = xcb_render_query_pict_formats_screens_iterator(answer.get()); screen.rem;
       xcb_render_pictscreen_next(&screen)) {
    for (auto depth = xcb_render_pictscreen_depths_iterator(screen.data); depth.rem;
         xcb_render_pictdepth_next(&depth)) {
      for (auto visual = xcb_render_pictdepth_visuals_iterator(depth.data); visual.rem;
           xcb_render_pictvisual_next(&visual)) {
        formats.visuals[visual.data->visual] = visual.data->format;
      }
    }
  }
  if (formats.argb == 0) return std::nullopt;
  return formats;
}

// The pixel value of white in `visual` of depth `depth`.
std::uint32_t whitePixel(xcb_connection_t* c, xcb_visualid_t visual, std::uint8_t depth) {
  for (auto screen = xcb_setup_roots_iterator(xcb_get_setup(c)); screen.rem;
       xcb_screen_next(&screen)) {
    for (auto d = xcb_screen_allowed_depths_iterator(screen.data); d.rem; xcb_depth_next(&d)) {
      for (auto v = xcb_depth_visuals_iterator(d.data); v.rem; xcb_visualtype_next(&v)) {
        if (v.data->visual_id != visual) continue;
        const std::uint32_t colour = v.data->red_mask | v.data->green_mask | v.data->blue_mask;
        return depth == 32 ? 0xffffffffu : colour;
      }
    }
  }
  return 0xffffffu;
}

xcb_rectangle_t rectangle(const QRect& rect) {
  return {static_cast<std::int16_t>(rect.x()), static_cast<std::int16_t>(rect.y()),
          static_cast<std::uint16_t>(rect.width()), static_cast<std::uint16_t>(rect.height())};
}

// The part of `image` that is not wholly transparent.
QRect visiblePart(const QImage& argb) {
  int left = argb.width();
  int right = -1;
  int top = argb.height();
  int bottom = -1;
  for (int y = 0; y < argb.height(); ++y) {
    const auto* line = reinterpret_cast<const QRgb*>(argb.constScanLine(y));
    for (int x = 0; x < argb.width(); ++x) {
      if (qAlpha(line[x]) == 0) continue;
      left = std::min(left, x);
      right = std::max(right, x);
      top = std::min(top, y);
      bottom = y;
    }
  }
  return right < 0 ? QRect() : QRect(QPoint(left, top), QPoint(right, bottom));
}

class X11StripScreen final : public StripScreen, public QAbstractNativeEventFilter {
 public:
  X11StripScreen(xcb_connection_t* c, Formats formats) : c_(c), formats_(std::move(formats)) {
    QCoreApplication::instance()->installNativeEventFilter(this);
  }

  ~X11StripScreen() override {
    if (!qGuiApp) return;  // the connection went with the application
    QCoreApplication::instance()->removeNativeEventFilter(this);
    for (const auto& [key, picture] : pictures_) release(picture);
    if (uploadGc_) xcb_free_gc(c_, uploadGc_);
    releaseWindow();
    xcb_flush(c_);
  }

  X11StripScreen(const X11StripScreen&) = delete;
  X11StripScreen& operator=(const X11StripScreen&) = delete;

  // Each place with at most one picture in it is drawn straight into the
  // window: white, and the picture's visible part as it looks on white.
  // Places where pictures meet are blended one by one in a small pixmap and
  // copied to the window from there. Either way every pixel of the
  // window is written only with its final colour, and the whole frame goes
  // to the server in one batch of requests.
  bool draw(WId window, const QRect& place, std::span<const QRect> area,
            std::span<const Layer> layers) override {
    if (place.isEmpty() || area.empty()) return true;  // nothing to show
    if (!prepare(static_cast<xcb_window_t>(window), place)) return false;
    ++frame_;
    shown_.clear();
    for (const Layer& layer : layers) {
      Picture* picture = pictureOf(*layer.image);
      if (picture && !picture->visible.isEmpty()) {
        shown_.push_back({picture, &layer, picture->visible.translated(layer.at)});
      }
    }
    blended_.clear();
    whites_.clear();
    copies_.clear();
    for (const QRect& rect : area) {
      if (!drawAlone(rect)) blended_.push_back(rectangle(rect));
    }
    // The white around pictures drawn alone touches none of them: one
    // request for all of it, then the pictures.
    if (!whites_.empty()) {
      xcb_poly_fill_rectangle(c_, window_, gc_, static_cast<std::uint32_t>(whites_.size()),
                              whites_.data());
    }
    for (const Copy& copy : copies_) {
      xcb_copy_area(c_, copy.from, window_, gc_, copy.x, copy.y, copy.to.x, copy.to.y,
                    copy.to.width, copy.to.height);
    }
    if (!blended_.empty()) blend();
    keepInk(area);
    forgetUnused();
    return true;
  }

  void withdraw() override {
    if (window_ == 0) return;
    releaseWindow();
    xcb_flush(c_);
  }

  // The strips of every display share the connection: the first flush of a
  // frame writes them all, the others find nothing to write.
  void flush() override { xcb_flush(c_); }

  // xcb is thread-safe, and the window, pixmaps and pictures are this
  // screen's own.
  bool drawsFromAnyThread() const override { return true; }

  // The server lost part of the window (it was covered, or mapped at last).
  // Main thread, while the frame thread may be drawing.
  bool nativeEventFilter(const QByteArray& type, void* message, qintptr* /*result*/) override {
    const xcb_window_t window = shownWindow_.load(std::memory_order_relaxed);
    if (window == 0 || type != "xcb_generic_event_t") return false;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    if ((event->response_type & 0x7f) != XCB_EXPOSE) return false;
    const auto* expose = reinterpret_cast<const xcb_expose_event_t*>(event);
    if (expose->window != window) return false;
    lost();
    return true;
  }

 private:
  // What the server keeps of one image: where it is not transparent, and,
  // made when first needed, that part on white in the window's depth and
  // the whole image as premultiplied ARGB for blending.
  struct Picture {
    QRect visible;
    xcb_pixmap_t onWhite = 0;
    xcb_pixmap_t pixmap = 0;
    xcb_render_picture_t picture = 0;
    std::uint64_t used = 0;  // the last frame that drew it
  };
  // A picture where a frame shows it, in device pixels of the strip.
  struct Shown {
    Picture* picture;
    const Layer* layer;
    QRect visible;
  };

  static constexpr xcb_render_color_t kWhite{0xffff, 0xffff, 0xffff, 0xffff};

  // Pictures not drawn for this many frames go once there are more than
  // kKeptPictures: the sprite frames in use stay, old bubbles leave.
  static constexpr std::size_t kKeptPictures = 64;
  static constexpr std::uint64_t kUnusedFrames = 120;
  // The white margin of a picture on white: more than a mascot's step in a
  // frame, so that one copy also whitens where it stood.
  static constexpr int kMargin = 8;
  static constexpr std::size_t kMostInk = 256;
  static constexpr int kMostScratchPixels = 256 * 128;

  // Leaves what `rect` shows in `whites_` and `copies_` when at most one
  // picture shows in it, wholly inside it. False when it must be blended.
  // Only what may not be white yet is made white: what `ink_` holds in the
  // place, outside the picture. A picture on white carries a white margin,
  // so one copy usually whitens where it stood a step ago as well.
  bool drawAlone(const QRect& rect) {
    const Shown* alone = nullptr;
    for (const Shown& shown : shown_) {
      if (!shown.visible.intersects(rect)) continue;
      if (alone || !rect.contains(shown.visible)) return false;
      alone = &shown;
    }
    inkHere_.clear();
    for (const QRect& ink : ink_) {
      if (ink.intersects(rect)) inkHere_.push_back(ink.intersected(rect));
    }
    if (!alone) {
      for (const QRect& ink : inkHere_) whites_.push_back(rectangle(ink));
      return true;
    }
    const xcb_pixmap_t onWhite = onWhiteOf(*alone->picture, *alone->layer->image);
    const QRect& at = alone->visible;
    QRect stained = at;  // the picture and the ink around it, in the place
    for (const QRect& ink : inkHere_) stained |= ink;
    const QRect padded = at.adjusted(-kMargin, -kMargin, kMargin, kMargin);
    const QRect copied = padded.contains(stained) ? stained : at;
    copies_.push_back({onWhite, static_cast<std::int16_t>(copied.x() - at.x() + kMargin),
                       static_cast<std::int16_t>(copied.y() - at.y() + kMargin),
                       rectangle(copied)});
    if (copied == stained) return true;
    // White around it: above, below, and either side, where ink was.
    const QRect sides[] = {
        QRect(QPoint(rect.left(), rect.top()), QPoint(rect.right(), at.top() - 1)),
        QRect(QPoint(rect.left(), at.bottom() + 1), QPoint(rect.right(), rect.bottom())),
        QRect(QPoint(rect.left(), at.top()), QPoint(at.left() - 1, at.bottom())),
        QRect(QPoint(at.right() + 1, at.top()), QPoint(rect.right(), at.bottom()))};
    for (const QRect& ink : inkHere_) {
      for (const QRect& side : sides) {
        const QRect white = side.intersected(ink);
        if (!white.isEmpty()) whites_.push_back(rectangle(white));
      }
    }
    return true;
  }

  // After a frame: every place of `area` was drawn whole, so the ink inside
  // one is gone, and the pictures drawn are new ink. Ink only ever holds more
  // than was drawn; when it holds too many rectangles, the strip is drawn
  // whole again, which leaves exactly the pictures.
  void keepInk(std::span<const QRect> area) {
    const QRect strip(QPoint(0, 0), place_.size());
    std::erase_if(ink_, [area](const QRect& ink) {
      return std::any_of(area.begin(), area.end(),
                         [&ink](const QRect& rect) { return rect.contains(ink); });
    });
    for (const Shown& shown : shown_) {
      const QRect inked = shown.visible.intersected(strip);
      const bool drawn = std::any_of(
          area.begin(), area.end(), [&inked](const QRect& rect) { return rect.intersects(inked); });
      const bool kept = std::any_of(ink_.begin(), ink_.end(),
                                    [&inked](const QRect& ink) { return ink.contains(inked); });
      if (drawn && !kept) ink_.push_back(inked);
    }
    if (ink_.size() > kMostInk) {
      ink_.assign(1, strip);
      lost();
    }
  }

  // Each place where pictures meet: white, then the pictures in order, in
  // a small pixmap used for every such place (so what is blended stays in
  // the server's caches and needs no clip), then one copy to the window.
  void blend() {
    for (const xcb_rectangle_t& rect : blended_) {
      const QRect place(rect.x, rect.y, rect.width, rect.height);
      const xcb_render_picture_t scratch = scratchOf(place.size());
      const xcb_rectangle_t all{0, 0, rect.width, rect.height};
      xcb_render_fill_rectangles(c_, XCB_RENDER_PICT_OP_SRC, scratch, kWhite, 1, &all);
      for (const Shown& shown : shown_) {
        const QRect part = shown.visible.intersected(place);
        if (part.isEmpty()) continue;
        const QPoint from =
            part.topLeft() - shown.visible.topLeft() + shown.picture->visible.topLeft();
        const QPoint to = part.topLeft() - place.topLeft();
        xcb_render_composite(
            c_, XCB_RENDER_PICT_OP_OVER, argbOf(*shown.picture, *shown.layer->image), XCB_NONE,
            scratch, static_cast<std::int16_t>(from.x()), static_cast<std::int16_t>(from.y()), 0, 0,
            static_cast<std::int16_t>(to.x()), static_cast<std::int16_t>(to.y()),
            static_cast<std::uint16_t>(part.width()), static_cast<std::uint16_t>(part.height()));
      }
      xcb_copy_area(c_, scratch_, window_, gc_, 0, 0, rect.x, rect.y, rect.width, rect.height);
    }
    // A whole strip drawn again is blended as one place; the server need
    // not keep a pixmap that large for the frames after it.
    if (scratchSize_.width() * scratchSize_.height() > kMostScratchPixels) {
      releaseScratch();
      scratchSize_ = QSize();
    }
  }

  // The picture of the pixmap places are blended in, made or grown to hold
  // `size`.
  xcb_render_picture_t scratchOf(QSize size) {
    if (scratch_ && scratchSize_.width() >= size.width() &&
        scratchSize_.height() >= size.height()) {
      return scratchPicture_;
    }
    releaseScratch();
    scratchSize_ = scratchSize_.expandedTo(size);
    scratch_ = xcb_generate_id(c_);
    xcb_create_pixmap(c_, depth_, scratch_, window_,
                      static_cast<std::uint16_t>(scratchSize_.width()),
                      static_cast<std::uint16_t>(scratchSize_.height()));
    scratchPicture_ = xcb_generate_id(c_);
    xcb_render_create_picture(c_, scratchPicture_, scratch_, format_, 0, nullptr);
    return scratchPicture_;
  }

  void releaseScratch() {
    if (scratchPicture_) xcb_render_free_picture(c_, scratchPicture_);
    if (scratch_) xcb_free_pixmap(c_, scratch_);
    scratchPicture_ = scratch_ = 0;
  }

  // A window at `place` in `parent`, made or moved as needed. False when no
  // window can be made there.
  bool prepare(xcb_window_t parent, const QRect& place) {
    if (parent != parent_) {
      releaseWindow();
      if (!makeWindow(parent, place)) return false;
    } else if (place != place_) {
      const std::uint32_t geometry[] = {
          static_cast<std::uint32_t>(place.x()), static_cast<std::uint32_t>(place.y()),
          static_cast<std::uint32_t>(place.width()), static_cast<std::uint32_t>(place.height())};
      xcb_configure_window(c_, window_,
                           XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y | XCB_CONFIG_WINDOW_WIDTH |
                               XCB_CONFIG_WINDOW_HEIGHT,
                           geometry);
    }
    if (place.size() != place_.size()) {
      // Ink beyond a smaller strip is gone with it.
      const QRect strip(QPoint(0, 0), place.size());
      for (QRect& ink : ink_) ink = ink.intersected(strip);
      std::erase_if(ink_, [](const QRect& ink) { return ink.isEmpty(); });
    }
    place_ = place;
    return true;
  }

  bool makeWindow(xcb_window_t parent, const QRect& place) {
    auto attributes =
        reply(xcb_get_window_attributes_reply(c_, xcb_get_window_attributes(c_, parent), nullptr));
    auto geometry = reply(xcb_get_geometry_reply(c_, xcb_get_geometry(c_, parent), nullptr));
    if (!attributes || !geometry) return false;
    const auto format = formats_.visuals.find(attributes->visual);
    if (format == formats_.visuals.end()) return false;
    format_ = format->second;
    if (geometry->depth != depth_) {
      // Pictures on white were made for the old depth.
      for (auto& [key, picture] : pictures_) {
        if (picture.onWhite) xcb_free_pixmap(c_, picture.onWhite);
        picture.onWhite = 0;
      }
    }
    depth_ = geometry->depth;
    const std::uint32_t white = whitePixel(c_, attributes->visual, depth_);
    parent_ = parent;
    window_ = xcb_generate_id(c_);
    // White where nothing was drawn yet; exposures are reported so the
    // strip can be drawn again. Pointer events are not asked for, so they
    // go on to the curtain beneath.
    const std::uint32_t values[] = {white, XCB_EVENT_MASK_EXPOSURE};
    xcb_create_window(c_, XCB_COPY_FROM_PARENT, window_, parent,
                      static_cast<std::int16_t>(place.x()), static_cast<std::int16_t>(place.y()),
                      static_cast<std::uint16_t>(place.width()),
                      static_cast<std::uint16_t>(place.height()), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      XCB_COPY_FROM_PARENT, XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK, values);
    xcb_map_window(c_, window_);
    shownWindow_ = window_;
    // Fills are white; copies report no exposures (every copy would
    // otherwise send an event).
    gc_ = xcb_generate_id(c_);
    const std::uint32_t gcValues[] = {white, 0};
    xcb_create_gc(c_, gc_, window_, XCB_GC_FOREGROUND | XCB_GC_GRAPHICS_EXPOSURES, gcValues);
    return true;
  }

  // What the server keeps of `image`, found by its key; null for an image
  // too large to send.
  Picture* pictureOf(const QImage& image) {
    const auto found = pictures_.find(image.cacheKey());
    if (found != pictures_.end()) {
      found->second.used = frame_;
      return &found->second;
    }
    if (image.isNull() || image.width() > 0x7fff || image.height() > 0x7fff) return nullptr;
    Picture picture;
    picture.visible = visiblePart(image.convertToFormat(QImage::Format_ARGB32_Premultiplied));
    picture.used = frame_;
    return &pictures_.emplace(image.cacheKey(), picture).first->second;
  }

  // The visible part of `image` on white, with a white margin of kMargin
  // pixels, made by the server now if it is new: blended as places where
  // pictures meet are, in the window's depth.
  xcb_pixmap_t onWhiteOf(Picture& picture, const QImage& image) {
    if (picture.onWhite) return picture.onWhite;
    const xcb_render_picture_t argb = argbOf(picture, image);
    const QRect& visible = picture.visible;
    const xcb_rectangle_t all =
        rectangle(QRect(0, 0, visible.width() + 2 * kMargin, visible.height() + 2 * kMargin));
    picture.onWhite = xcb_generate_id(c_);
    xcb_create_pixmap(c_, depth_, picture.onWhite, window_, all.width, all.height);
    const xcb_render_picture_t target = xcb_generate_id(c_);
    xcb_render_create_picture(c_, target, picture.onWhite, format_, 0, nullptr);
    xcb_render_fill_rectangles(c_, XCB_RENDER_PICT_OP_SRC, target, kWhite, 1, &all);
    xcb_render_composite(
        c_, XCB_RENDER_PICT_OP_OVER, argb, XCB_NONE, target, static_cast<std::int16_t>(visible.x()),
        static_cast<std::int16_t>(visible.y()), 0, 0, kMargin, kMargin,
        static_cast<std::uint16_t>(visible.width()), static_cast<std::uint16_t>(visible.height()));
    xcb_render_free_picture(c_, target);
    return picture.onWhite;
  }

  // `image` as premultiplied ARGB, sent now if it is new.
  xcb_render_picture_t argbOf(Picture& picture, const QImage& image) {
    if (picture.picture) return picture.picture;
    const QImage argb = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    picture.pixmap = xcb_generate_id(c_);
    xcb_create_pixmap(c_, 32, picture.pixmap, window_, static_cast<std::uint16_t>(argb.width()),
                      static_cast<std::uint16_t>(argb.height()));
    if (!uploadGc_) {
      uploadGc_ = xcb_generate_id(c_);
      xcb_create_gc(c_, uploadGc_, picture.pixmap, 0, nullptr);
    }
    send(picture.pixmap, argb);
    picture.picture = xcb_generate_id(c_);
    xcb_render_create_picture(c_, picture.picture, picture.pixmap, formats_.argb, 0, nullptr);
    return picture.picture;
  }

  // Puts `image` (32 bits a pixel) into `pixmap`, in bands of rows that each
  // fit in one request.
  void send(xcb_pixmap_t pixmap, const QImage& image) {
    const auto stride = static_cast<std::size_t>(image.bytesPerLine());
    const std::size_t room = std::size_t{xcb_get_maximum_request_length(c_)} * 4 - 64;
    const int rows = static_cast<int>(std::max<std::size_t>(1, room / stride));
    for (int y = 0; y < image.height(); y += rows) {
      const int band = std::min(rows, image.height() - y);
      xcb_put_image(c_, XCB_IMAGE_FORMAT_Z_PIXMAP, pixmap, uploadGc_,
                    static_cast<std::uint16_t>(image.width()), static_cast<std::uint16_t>(band), 0,
                    static_cast<std::int16_t>(y), 0, 32,
                    static_cast<std::uint32_t>(stride * static_cast<std::size_t>(band)),
                    image.constScanLine(y));
    }
  }

  void forgetUnused() {
    if (pictures_.size() <= kKeptPictures) return;
    std::erase_if(pictures_, [this](const auto& entry) {
      if (entry.second.used + kUnusedFrames >= frame_) return false;
      release(entry.second);
      return true;
    });
  }

  void release(const Picture& picture) {
    if (picture.picture) xcb_render_free_picture(c_, picture.picture);
    if (picture.pixmap) xcb_free_pixmap(c_, picture.pixmap);
    if (picture.onWhite) xcb_free_pixmap(c_, picture.onWhite);
  }

  // The window goes with its parent too, so an error destroying it is
  // expected and dropped. The pixmap places are blended in has the window's
  // depth, which the next window may not have.
  void releaseWindow() {
    releaseScratch();
    scratchSize_ = QSize();
    if (gc_) xcb_free_gc(c_, gc_);
    if (window_) xcb_discard_reply(c_, xcb_destroy_window_checked(c_, window_).sequence);
    gc_ = window_ = parent_ = 0;
    shownWindow_ = 0;
    place_ = QRect();
    ink_.clear();
  }

  xcb_connection_t* c_;
  Formats formats_;
  xcb_window_t parent_ = 0;
  xcb_window_t window_ = 0;
  std::atomic<xcb_window_t> shownWindow_ = 0;  // window_, for the event filter
  QRect place_;
  std::uint8_t depth_ = 0;
  xcb_render_pictformat_t format_ = 0;
  xcb_pixmap_t scratch_ = 0;  // where places are blended
  xcb_render_picture_t scratchPicture_ = 0;
  QSize scratchSize_;
  xcb_gcontext_t gc_ = 0;
  xcb_gcontext_t uploadGc_ = 0;
  std::unordered_map<qint64, Picture> pictures_;
  std::uint64_t frame_ = 0;
  // Kept from frame to frame.
  std::vector<Shown> shown_;
  std::vector<xcb_rectangle_t> blended_;
  std::vector<xcb_rectangle_t> whites_;
  struct Copy {
    xcb_pixmap_t from;
    std::int16_t x;
    std::int16_t y;
    xcb_rectangle_t to;
  };
  std::vector<Copy> copies_;
  // Where the window may show something other than white: the pictures
  // drawn, as they were drawn, in device pixels of the strip.
  std::vector<QRect> ink_;
  std::vector<QRect> inkHere_;  // the ink in the place being drawn
};

}  // namespace

std::unique_ptr<StripScreen> makeStripScreen() {
  xcb_connection_t* c = qtConnection();
  if (!c) return nullptr;
  const xcb_query_extension_reply_t* render = xcb_get_extension_data(c, &xcb_render_id);
  if (!render || !render->present) return nullptr;
  // Pictures are sent as QImage keeps them, little-endian words.
  if (xcb_get_setup(c)->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST ||
      QSysInfo::ByteOrder != QSysInfo::LittleEndian) {
    return nullptr;
  }
  static const std::optional<Formats> formats = queryFormats(c);
  if (!formats) return nullptr;
  return std::make_unique<X11StripScreen>(c, *formats);
}

}  // namespace umbrafold::x11
