// Draws the Umbrafold icon: a white drape folded over a dark rounded square,
// hanging from a rod, with a small mascot walking out from under its hem.
// The shapes are described once and written both as SVG (Umbrafold.svg) and
// as PNG at every size asked for, so the two never drift apart.
//
//   drawicon OUTDIR SIZE...   writes OUTDIR/Umbrafold.svg and OUTDIR/<SIZE>.png

#include <QColor>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QString>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr double kCanvas = 512;

// One step of a path in canvas units: M x y, L x y, C x1 y1 x2 y2 x y, Z.
struct Step {
  char op;
  std::vector<double> v;
};

struct Shape {
  std::vector<Step> path;
  QColor fill;    // invalid: not filled
  QColor stroke;  // invalid: not stroked
  double strokeWidth = 0;
  QColor gradientTo;  // valid: fill is a vertical gradient fill -> gradientTo
};

std::vector<Step> roundedRect(double x, double y, double w, double h, double r) {
  const double k = 0.5523 * r;  // cubic approximation of a quarter circle
  return {{'M', {x + r, y}},
          {'L', {x + w - r, y}},
          {'C', {x + w - r + k, y, x + w, y + r - k, x + w, y + r}},
          {'L', {x + w, y + h - r}},
          {'C', {x + w, y + h - r + k, x + w - r + k, y + h, x + w - r, y + h}},
          {'L', {x + r, y + h}},
          {'C', {x + r - k, y + h, x, y + h - r + k, x, y + h - r}},
          {'L', {x, y + r}},
          {'C', {x, y + r - k, x + r - k, y, x + r, y}},
          {'Z', {}}};
}

std::vector<Step> circle(double cx, double cy, double r) {
  return roundedRect(cx - r, cy - r, 2 * r, 2 * r, r);
}

std::vector<Shape> shapes() {
  std::vector<Shape> s;
  // Dark rounded square.
  s.push_back({roundedRect(24, 24, 464, 464, 104), QColor("#2E3546"), {}, 0, QColor("#161A24")});
  // The drape: straight top under the rod, sides falling slightly inwards,
  // a scalloped hem.
  s.push_back({{{'M', {112, 116}},
                {'L', {400, 116}},
                {'C', {404, 220, 396, 300, 392, 372}},
                {'C', {372, 392, 348, 392, 326, 376}},
                {'C', {304, 392, 280, 392, 258, 376}},
                {'C', {236, 392, 212, 392, 190, 376}},
                {'C', {168, 392, 142, 392, 120, 372}},
                {'C', {116, 300, 108, 220, 112, 116}},
                {'Z', {}}},
               QColor("#FFFFFF"),
               {},
               0,
               QColor("#E9EDF3")});
  // Folds running down to the hem's dips.
  for (double x : {190.0, 258.0, 326.0}) {
    s.push_back({{{'M', {x + 6, 132}}, {'C', {x - 8, 220, x + 10, 300, x, 368}}},
                 {},
                 QColor("#CBD2DE"),
                 9,
                 {}});
  }
  // Rod with round ends.
  s.push_back({roundedRect(84, 98, 344, 18, 9), QColor("#A7B0C2"), {}, 0, {}});
  s.push_back({circle(88, 107, 15), QColor("#C3CAD8"), {}, 0, {}});
  s.push_back({circle(424, 107, 15), QColor("#C3CAD8"), {}, 0, {}});
  // The mascot: a round-cornered body, two eyes, two feet mid-step.
  s.push_back({roundedRect(318, 396, 84, 56, 22), QColor("#F2A541"), {}, 0, {}});
  s.push_back({roundedRect(328, 446, 18, 16, 7), QColor("#D9892A"), {}, 0, {}});
  s.push_back({roundedRect(374, 446, 18, 16, 7), QColor("#D9892A"), {}, 0, {}});
  s.push_back({circle(368, 418, 6.5), QColor("#1B1F2A"), {}, 0, {}});
  s.push_back({circle(388, 418, 6.5), QColor("#1B1F2A"), {}, 0, {}});
  return s;
}

QPainterPath painterPath(const std::vector<Step>& steps) {
  QPainterPath p;
  for (const Step& st : steps) {
    const auto& v = st.v;
    if (st.op == 'M') p.moveTo(v[0], v[1]);
    if (st.op == 'L') p.lineTo(v[0], v[1]);
    if (st.op == 'C') p.cubicTo(v[0], v[1], v[2], v[3], v[4], v[5]);
    if (st.op == 'Z') p.closeSubpath();
  }
  return p;
}

double top(const std::vector<Step>& steps, bool bottom) {
  double edge = bottom ? 0 : kCanvas;
  for (const Step& st : steps)
    for (std::size_t i = 1; i < st.v.size(); i += 2)
      edge = bottom ? std::max(edge, st.v[i]) : std::min(edge, st.v[i]);
  return edge;
}

std::string svgPath(const std::vector<Step>& steps) {
  std::string d;
  for (const Step& st : steps) {
    d += st.op;
    for (double x : st.v) d += " " + QString::number(x, 'g', 6).toStdString();
    d += " ";
  }
  return d;
}

void writeSvg(const std::string& file) {
  std::ofstream out(file);
  out << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"512\" height=\"512\" "
         "viewBox=\"0 0 512 512\">\n  <defs>\n";
  const auto all = shapes();
  for (std::size_t i = 0; i < all.size(); ++i) {
    const Shape& s = all[i];
    if (!s.gradientTo.isValid()) continue;
    out << "    <linearGradient id=\"g" << i << "\" gradientUnits=\"userSpaceOnUse\" x1=\"0\" y1=\""
        << top(s.path, false) << "\" x2=\"0\" y2=\"" << top(s.path, true) << "\">"
        << "<stop offset=\"0\" stop-color=\"" << s.fill.name().toStdString() << "\"/>"
        << "<stop offset=\"1\" stop-color=\"" << s.gradientTo.name().toStdString() << "\"/>"
        << "</linearGradient>\n";
  }
  out << "  </defs>\n";
  for (std::size_t i = 0; i < all.size(); ++i) {
    const Shape& s = all[i];
    out << "  <path d=\"" << svgPath(s.path) << "\"";
    if (s.gradientTo.isValid())
      out << " fill=\"url(#g" << i << ")\"";
    else if (s.fill.isValid())
      out << " fill=\"" << s.fill.name().toStdString() << "\"";
    else
      out << " fill=\"none\"";
    if (s.stroke.isValid())
      out << " stroke=\"" << s.stroke.name().toStdString() << "\" stroke-width=\"" << s.strokeWidth
          << "\" stroke-linecap=\"round\"";
    out << "/>\n";
  }
  out << "</svg>\n";
}

QImage render(int size) {
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.scale(size / kCanvas, size / kCanvas);
  for (const Shape& s : shapes()) {
    const QPainterPath path = painterPath(s.path);
    if (s.gradientTo.isValid()) {
      QLinearGradient gradient(0, top(s.path, false), 0, top(s.path, true));
      gradient.setColorAt(0, s.fill);
      gradient.setColorAt(1, s.gradientTo);
      painter.fillPath(path, gradient);
    } else if (s.fill.isValid()) {
      painter.fillPath(path, s.fill);
    }
    if (s.stroke.isValid()) {
      painter.strokePath(path, QPen(s.stroke, s.strokeWidth, Qt::SolidLine, Qt::RoundCap));
    }
  }
  return image;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: drawicon OUTDIR SIZE...\n");
    return 2;
  }
  const std::string dir = argv[1];
  writeSvg(dir + "/Umbrafold.svg");
  for (int i = 2; i < argc; ++i) {
    const int size = std::stoi(argv[i]);
    if (!render(size).save(QString::fromStdString(dir + "/" + std::to_string(size) + ".png")))
      return 1;
  }
  return 0;
}
