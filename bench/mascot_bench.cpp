// Cost of the mascot animation: one motion step, and one whole frame (a tick
// of the strip plus the repaint it requests) on a 3840 x 94 strip lying on a
// white curtain, against the bare cost of clearing that strip, against
// repainting the whole strip every frame, and against a whole frame drawn the
// former way (every picture smoothly scaled at its fractional position); and
// a frame in which nothing visible changes.
#include <benchmark/benchmark.h>
#include <QApplication>
#include <QImage>
#include <QPaintEvent>
#include <QPainter>
#include <QTemporaryDir>
#include <QWidget>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "mascotgeometry.h"
#include "mascotimages.h"
#include "mascotwalk.h"
#include "petmotion.h"

namespace umbrafold {
namespace {

constexpr int kStripWidth = 3840;
constexpr int kStripHeight = 94;
constexpr double kFrameSeconds = 1.0 / 60;

class SteppedClock : public MediaClock {
 public:
  double now() const override { return time; }
  double time = 1000;
};

// The application object, and the example sprite sheets loaded into the
// process-wide cache so frames are drawn as pictures, not names. False when
// the sheets are missing.
bool prepare() {
  if (!QCoreApplication::instance()) {
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static int argc = 1;
    static char name[] = "umbrafold_bench";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);
  }
  static const bool loaded = [] {
    namespace fs = std::filesystem;
    const fs::path examples = UMBRAFOLD_EXAMPLE_SHEETS;
    QTemporaryDir data;
    const char* saved = std::getenv("XDG_DATA_HOME");
    const std::string previous = saved ? saved : "";
    std::error_code error;
    fs::create_directories(data.path().toStdString() + "/Umbrafold", error);
    fs::copy(examples, data.path().toStdString() + "/Umbrafold/Characters", error);
    setenv("XDG_DATA_HOME", data.path().toUtf8().constData(), 1);
    const bool found = !mascotimages::clawd().empty() && !mascotimages::codexPet().empty() &&
                       !mascotimages::codexLeft().empty();
    if (saved) {
      setenv("XDG_DATA_HOME", previous.c_str(), 1);
    } else {
      unsetenv("XDG_DATA_HOME");
    }
    return found;
  }();
  return loaded;
}

// Draws the highest value of every interval: each mascot rests 1.1 s at
// first.
class HighestDraws : public RandomSource {
 public:
  std::uint64_t next64() override { return (std::uint64_t{1} << 53) << 10; }
};

void BM_PetMotionAdvance(benchmark::State& state) {
  SecureRandomSource random;
  PetMotion pet(kStripWidth / 2.0, random);
  for (auto _ : state) {
    pet.advance(kFrameSeconds, kStripWidth, 48);
    benchmark::DoNotOptimize(pet);
  }
}
BENCHMARK(BM_PetMotionAdvance);

// Reference: clearing the strip's pixels, which every repaint includes.
void BM_MascotStripClear(benchmark::State& state) {
  QImage image(kStripWidth, kStripHeight, QImage::Format_ARGB32_Premultiplied);
  for (auto _ : state) {
    image.fill(Qt::white);
    benchmark::DoNotOptimize(image.constBits());
  }
}
BENCHMARK(BM_MascotStripClear)->Unit(benchmark::kMicrosecond);

std::vector<WorkingAgent> workingAgents(int count) {
  const char* notes[] = {"Testing", "Using terminal", "Thinking…", "Editing files"};
  std::vector<WorkingAgent> working;
  for (int i = 0; i < count; ++i) {
    working.emplace_back("agent-" + std::to_string(i),
                         i % 2 ? WorkingAgent::Kind::codex : WorkingAgent::Kind::claude,
                         notes[i % 4]);
  }
  return working;
}

// Percent of one core the animation takes at 60 frames per second: the time
// per frame times 60, times 100 (printed with an "s" unit).
void reportCorePercent(benchmark::State& state) {
  state.counters["core_percent_at_60fps"] =
      benchmark::Counter(static_cast<double>(state.iterations()) / 6000,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Adds up the area of the regions the strip is asked to paint.
class PaintedArea : public QObject {
 public:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) {
      for (const QRect& rect : static_cast<QPaintEvent*>(event)->region())
        pixels += static_cast<double>(rect.width()) * rect.height();
    }
    return false;
  }
  double pixels = 0;
};

// A white curtain shown on the headless screen with a strip of `agents`
// mascots along its bottom, and the area of the strip's repaints counted.
struct ShownStrip {
  ShownStrip(std::shared_ptr<RandomSource> random, std::shared_ptr<const MediaClock> clock,
             int agents) {
    QPalette white = curtain.palette();
    white.setColor(QPalette::Window, Qt::white);
    curtain.setPalette(white);
    curtain.setAutoFillBackground(true);
    curtain.resize(kStripWidth, 2 * kStripHeight);
    walk = new MascotWalk(
        MascotWalk::Services{std::move(random), std::move(clock), [] { return false; }}, &curtain);
    walk->setGeometry(0, kStripHeight, kStripWidth, kStripHeight);
    curtain.show();
    walk->show(AgentActivity(workingAgents(agents)));
    QCoreApplication::processEvents();
    walk->installEventFilter(&area);
  }
  ~ShownStrip() { walk->show(AgentActivity{}); }

  // Delivers the repaints a frame asked for.
  static void settle() {
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
  }
  // The core share, and the share of the strip repainted per frame in percent.
  void report(benchmark::State& state) const {
    reportCorePercent(state);
    state.counters["strip_percent_painted"] =
        100 * area.pixels / static_cast<double>(state.iterations()) / (kStripWidth * kStripHeight);
  }

  QWidget curtain;
  MascotWalk* walk = nullptr;  // owned by the curtain
  PaintedArea area;
};

// One frame as the screen gets it: a tick, then the repaint of the region it
// marked (the curtain's white beneath, then the strip), in the headless
// window's backing store.
void BM_MascotFrame(benchmark::State& state) {
  if (!prepare()) return state.SkipWithError("no sprite sheets");
  auto clock = std::make_shared<SteppedClock>();
  ShownStrip strip(std::make_shared<SecureRandomSource>(), clock, static_cast<int>(state.range(0)));
  for (auto _ : state) {
    clock->time += kFrameSeconds;
    strip.walk->tick();
    ShownStrip::settle();
  }
  strip.report(state);
}
BENCHMARK(BM_MascotFrame)->Arg(1)->Arg(10)->Arg(100)->Unit(benchmark::kMicrosecond);

// Reference: a tick followed by a repaint of the whole strip over white, as
// when every frame repaints everything.
void BM_MascotFullFrame(benchmark::State& state) {
  if (!prepare()) return state.SkipWithError("no sprite sheets");
  auto clock = std::make_shared<SteppedClock>();
  MascotWalk walk(
      MascotWalk::Services{std::make_shared<SecureRandomSource>(), clock, [] { return false; }});
  walk.resize(kStripWidth, kStripHeight);
  walk.show(AgentActivity(workingAgents(static_cast<int>(state.range(0)))));
  QImage image(kStripWidth, kStripHeight, QImage::Format_ARGB32_Premultiplied);
  for (auto _ : state) {
    clock->time += kFrameSeconds;
    walk.tick();
    image.fill(Qt::white);
    walk.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    benchmark::DoNotOptimize(image.constBits());
  }
  walk.show(AgentActivity{});
  reportCorePercent(state);
}
BENCHMARK(BM_MascotFullFrame)->Arg(1)->Arg(10)->Arg(100)->Unit(benchmark::kMicrosecond);

// Reference: a tick followed by a whole-strip repaint drawn the former way:
// every sprite frame smoothly scaled into its rectangle at the mascot's
// fractional position (mirrored for Claude walking left), over white.
void BM_MascotFullFrameSmoothed(benchmark::State& state) {
  if (!prepare()) return state.SkipWithError("no sprite sheets");
  auto clock = std::make_shared<SteppedClock>();
  MascotWalk walk(
      MascotWalk::Services{std::make_shared<SecureRandomSource>(), clock, [] { return false; }});
  walk.resize(kStripWidth, kStripHeight);
  const std::vector<WorkingAgent> agents = workingAgents(static_cast<int>(state.range(0)));
  walk.show(AgentActivity(agents));
  const double side = mascotSide(kStripWidth, agents.size());
  QImage image(kStripWidth, kStripHeight, QImage::Format_ARGB32_Premultiplied);
  for (auto _ : state) {
    clock->time += kFrameSeconds;
    walk.tick();
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
    for (const WorkingAgent& agent : agents) {
      const PetMotion& pet = walk.pets().at(agent.id);
      const bool claude = agent.kind == WorkingAgent::Kind::claude;
      const std::vector<QImage>& frames =
          claude ? mascotimages::clawd()
                 : (pet.facesLeft() ? mascotimages::codexLeft() : mascotimages::codexPet());
      const QImage& frame = frames[frameIndex(pet.stride(), frames.size())];
      const StripRect rect = flipped(
          mascotImageRect(pet.x(), pet.y(), side, frame.width(), frame.height()), kStripHeight);
      painter.save();
      if (claude && pet.facesLeft()) {
        painter.translate(2 * pet.x(), 0);
        painter.scale(-1, 1);
      }
      painter.drawImage(QRectF(rect.x, rect.y, rect.width, rect.height), frame);
      painter.restore();
    }
    painter.end();
    benchmark::DoNotOptimize(image.constBits());
  }
  walk.show(AgentActivity{});
  reportCorePercent(state);
}
BENCHMARK(BM_MascotFullFrameSmoothed)->Arg(1)->Arg(10)->Arg(100)->Unit(benchmark::kMicrosecond);

// A frame in which nothing visible changes (every mascot resting): the tick
// finds no change and nothing is repainted.
void BM_MascotQuietFrame(benchmark::State& state) {
  if (!prepare()) return state.SkipWithError("no sprite sheets");
  auto clock = std::make_shared<SteppedClock>();
  ShownStrip strip(std::make_shared<HighestDraws>(), clock, static_cast<int>(state.range(0)));
  for (auto _ : state) {
    clock->time += 1e-9;  // a billion frames before the first mascot stands up
    benchmark::DoNotOptimize(strip.walk->tick().quietSeconds);
    ShownStrip::settle();
  }
  strip.report(state);
}
BENCHMARK(BM_MascotQuietFrame)->Arg(1)->Arg(10)->Arg(100)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace umbrafold
