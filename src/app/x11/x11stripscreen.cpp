#include "x11stripscreen.h"

#include <xcb/render.h>
#include <xcb/xcb.h>
#include <QAbstractEventDispatcher>
#include <QAbstractNativeEventFilter>
#include <QByteArray>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QSysInfo>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <unordered_map>
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

class X11StripScreen final : public StripScreen, public QAbstractNativeEventFilter {
 public:
  X11StripScreen(xcb_connection_t* c, Formats formats) : c_(c), formats_(std::move(formats)) {
    QCoreApplication::instance()->installNativeEventFilter(this);
  }

  // What the strips drew goes to the server once the main thread is about
  // to wait: the strips of every curtain, drawn in one frame, in one write,
  // which the server handles in one wake-up.
  static void flushSoon(xcb_connection_t* c) {
    static bool pending = false;
    static const bool connected = [c] {
      QObject::connect(QAbstractEventDispatcher::instance(),
                       &QAbstractEventDispatcher::aboutToBlock, [c] {
                         if (!pending) return;
                         pending = false;
                         xcb_flush(c);
                       });
      return true;
    }();
    (void)connected;
    pending = true;
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

  bool draw(WId window, const QRect& place, std::span<const QRect> area,
            std::span<const Layer> layers) override {
    if (place.isEmpty() || area.empty()) return true;  // nothing to show
    if (!prepare(static_cast<xcb_window_t>(window), place)) return false;
    ++frame_;
    // White, then the pictures, in the strip's own pixmap and clipped to the
    // area; then only the area is copied to the window, so the window never
    // shows a frame half drawn.
    rects_.clear();
    for (const QRect& rect : area) rects_.push_back(rectangle(rect));
    const auto count = static_cast<std::uint32_t>(rects_.size());
    xcb_render_set_picture_clip_rectangles(c_, strip_, 0, 0, count, rects_.data());
    xcb_render_fill_rectangles(c_, XCB_RENDER_PICT_OP_SRC, strip_, kWhite, count, rects_.data());
    for (const Layer& layer : layers) {
      const Picture* picture = upload(*layer.image);
      if (!picture) continue;
      xcb_render_composite(c_, XCB_RENDER_PICT_OP_OVER, picture->picture, XCB_NONE, strip_, 0, 0, 0,
                           0, static_cast<std::int16_t>(layer.at.x()),
                           static_cast<std::int16_t>(layer.at.y()), picture->width,
                           picture->height);
    }
    for (const xcb_rectangle_t& rect : rects_) copyToWindow(rect);
    forgetUnused();
    flushSoon(c_);
    return true;
  }

  void withdraw() override {
    if (window_ == 0) return;
    releaseWindow();
    flushSoon(c_);
  }

  // The server lost part of the window (it was covered, or mapped at last):
  // the strip's pixmap always holds all of it.
  bool nativeEventFilter(const QByteArray& type, void* message, qintptr* /*result*/) override {
    if (window_ == 0 || type != "xcb_generic_event_t") return false;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    if ((event->response_type & 0x7f) != XCB_EXPOSE) return false;
    const auto* expose = reinterpret_cast<const xcb_expose_event_t*>(event);
    if (expose->window != window_) return false;
    copyToWindow({static_cast<std::int16_t>(expose->x), static_cast<std::int16_t>(expose->y),
                  expose->width, expose->height});
    flushSoon(c_);
    return true;
  }

 private:
  struct Picture {
    xcb_pixmap_t pixmap = 0;
    xcb_render_picture_t picture = 0;
    std::uint16_t width = 0;
    std::uint16_t height = 0;
    std::uint64_t used = 0;  // the last frame that drew it
  };

  static constexpr xcb_render_color_t kWhite{0xffff, 0xffff, 0xffff, 0xffff};

  // Pictures not drawn for this many frames go once there are more than
  // kKeptPictures: the sprite frames in use stay, old bubbles leave.
  static constexpr std::size_t kKeptPictures = 64;
  static constexpr std::uint64_t kUnusedFrames = 120;

  // A window at `place` in `parent` and a pixmap of its size, made or moved
  // as needed. False when no window can be made there.
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
    if (place.size() != place_.size() || pixmap_ == 0) makePixmap(place.size());
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
    depth_ = geometry->depth;
    parent_ = parent;
    window_ = xcb_generate_id(c_);
    // White where nothing was copied yet; exposures are reported so the
    // pixmap can be copied again. Pointer events are not asked for, so
    // they go on to the curtain beneath.
    const std::uint32_t values[] = {whitePixel(c_, attributes->visual, depth_),
                                    XCB_EVENT_MASK_EXPOSURE};
    xcb_create_window(c_, XCB_COPY_FROM_PARENT, window_, parent,
                      static_cast<std::int16_t>(place.x()), static_cast<std::int16_t>(place.y()),
                      static_cast<std::uint16_t>(place.width()),
                      static_cast<std::uint16_t>(place.height()), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      XCB_COPY_FROM_PARENT, XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK, values);
    xcb_map_window(c_, window_);
    return true;
  }

  void makePixmap(QSize size) {
    if (strip_) xcb_render_free_picture(c_, strip_);
    if (pixmap_) xcb_free_pixmap(c_, pixmap_);
    pixmap_ = xcb_generate_id(c_);
    xcb_create_pixmap(c_, depth_, pixmap_, window_, static_cast<std::uint16_t>(size.width()),
                      static_cast<std::uint16_t>(size.height()));
    strip_ = xcb_generate_id(c_);
    xcb_render_create_picture(c_, strip_, pixmap_, format_, 0, nullptr);
    // A new pixmap holds anything; it is white until the strip is drawn.
    const xcb_rectangle_t all = rectangle(QRect(QPoint(0, 0), size));
    xcb_render_fill_rectangles(c_, XCB_RENDER_PICT_OP_SRC, strip_, kWhite, 1, &all);
    if (!gc_) {
      // Copies report no exposures: every copy would otherwise send an event.
      gc_ = xcb_generate_id(c_);
      const std::uint32_t noExposures = 0;
      xcb_create_gc(c_, gc_, pixmap_, XCB_GC_GRAPHICS_EXPOSURES, &noExposures);
    }
  }

  void copyToWindow(const xcb_rectangle_t& rect) {
    xcb_copy_area(c_, pixmap_, window_, gc_, rect.x, rect.y, rect.x, rect.y, rect.width,
                  rect.height);
  }

  // The picture kept for `image`, sent now if it is new.
  const Picture* upload(const QImage& image) {
    const auto found = pictures_.find(image.cacheKey());
    if (found != pictures_.end()) {
      found->second.used = frame_;
      return &found->second;
    }
    if (image.isNull() || image.width() > 0x7fff || image.height() > 0x7fff) return nullptr;
    const QImage argb = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    Picture picture{xcb_generate_id(c_), xcb_generate_id(c_),
                    static_cast<std::uint16_t>(argb.width()),
                    static_cast<std::uint16_t>(argb.height()), frame_};
    xcb_create_pixmap(c_, 32, picture.pixmap, window_, picture.width, picture.height);
    if (!uploadGc_) {
      uploadGc_ = xcb_generate_id(c_);
      xcb_create_gc(c_, uploadGc_, picture.pixmap, 0, nullptr);
    }
    // In bands of rows that each fit in one request.
    const auto stride = static_cast<std::size_t>(argb.bytesPerLine());
    const std::size_t room = std::size_t{xcb_get_maximum_request_length(c_)} * 4 - 64;
    const int rows = static_cast<int>(std::max<std::size_t>(1, room / stride));
    for (int y = 0; y < argb.height(); y += rows) {
      const int band = std::min(rows, argb.height() - y);
      xcb_put_image(c_, XCB_IMAGE_FORMAT_Z_PIXMAP, picture.pixmap, uploadGc_, picture.width,
                    static_cast<std::uint16_t>(band), 0, static_cast<std::int16_t>(y), 0, 32,
                    static_cast<std::uint32_t>(stride * static_cast<std::size_t>(band)),
                    argb.constScanLine(y));
    }
    xcb_render_create_picture(c_, picture.picture, picture.pixmap, formats_.argb, 0, nullptr);
    return &pictures_.emplace(image.cacheKey(), picture).first->second;
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
    xcb_render_free_picture(c_, picture.picture);
    xcb_free_pixmap(c_, picture.pixmap);
  }

  // The window goes with its parent too, so an error destroying it is
  // expected and dropped.
  void releaseWindow() {
    if (strip_) xcb_render_free_picture(c_, strip_);
    if (pixmap_) xcb_free_pixmap(c_, pixmap_);
    if (gc_) xcb_free_gc(c_, gc_);
    if (window_) xcb_discard_reply(c_, xcb_destroy_window_checked(c_, window_).sequence);
    strip_ = pixmap_ = gc_ = window_ = parent_ = 0;
    place_ = QRect();
  }

  xcb_connection_t* c_;
  Formats formats_;
  xcb_window_t parent_ = 0;
  xcb_window_t window_ = 0;
  QRect place_;
  std::uint8_t depth_ = 0;
  xcb_render_pictformat_t format_ = 0;
  xcb_pixmap_t pixmap_ = 0;
  xcb_render_picture_t strip_ = 0;
  xcb_gcontext_t gc_ = 0;
  xcb_gcontext_t uploadGc_ = 0;
  std::unordered_map<qint64, Picture> pictures_;
  std::uint64_t frame_ = 0;
  std::vector<xcb_rectangle_t> rects_;  // kept from frame to frame
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
