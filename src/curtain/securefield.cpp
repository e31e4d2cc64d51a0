#include "securefield.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QFocusEvent>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QInputMethod>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QStyleHints>
#include <QTextBoundaryFinder>
#include <QTimer>

#include <algorithm>
#include <cmath>

#include "securebuffer.h"

namespace umbrafold {

namespace {

// Grapheme boundaries of a text that stays where it is: QTextBoundaryFinder
// reads the characters in place and keeps no copy of them.
QTextBoundaryFinder graphemes(QStringView text) {
  return QTextBoundaryFinder(QTextBoundaryFinder::Grapheme, text.data(), text.size());
}

// Number of user-perceived characters that start before `end`.
int graphemesBefore(QStringView text, qsizetype end) {
  if (text.isEmpty() || end <= 0) return 0;
  QTextBoundaryFinder finder = graphemes(text);
  int count = 0;
  qsizetype position = 0;
  while (position < end && position < text.size()) {
    ++count;
    position = finder.toNextBoundary();
    if (position < 0) break;
  }
  return count;
}

int graphemeCount(QStringView text) { return graphemesBefore(text, text.size()); }

qsizetype nextBoundary(QStringView text, qsizetype from) {
  if (from >= text.size()) return text.size();
  QTextBoundaryFinder finder = graphemes(text);
  finder.setPosition(from);
  const qsizetype next = finder.toNextBoundary();
  return next < 0 ? text.size() : next;
}

qsizetype previousBoundary(QStringView text, qsizetype from) {
  if (from <= 0) return 0;
  QTextBoundaryFinder finder = graphemes(text);
  finder.setPosition(from);
  const qsizetype previous = finder.toPreviousBoundary();
  return previous < 0 ? 0 : previous;
}

// The code-unit offset at which the `index`-th user-perceived character starts
// (the text's length past the last one).
qsizetype boundaryAt(QStringView text, int index) {
  qsizetype position = 0;
  for (int i = 0; i < index && position < text.size(); ++i) position = nextBoundary(text, position);
  return position;
}

// Typed or committed text is accepted unless it holds a control character or
// a lone surrogate; format characters (joiners, selectors) are kept, so every
// emoji sequence can be typed.
bool isTypable(QStringView text) {
  if (text.isEmpty()) return false;
  for (qsizetype i = 0; i < text.size(); ++i) {
    const QChar c = text[i];
    char32_t codePoint = c.unicode();
    if (c.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
      codePoint = QChar::surrogateToUcs4(c, text[i + 1]);
      ++i;
    } else if (c.isSurrogate()) {
      return false;
    }
    if (QChar::category(codePoint) == QChar::Other_Control) return false;
  }
  return true;
}

bool isForbiddenEditCommand(const QKeyEvent* event) {
  return event->matches(QKeySequence::Paste) || event->matches(QKeySequence::Copy) ||
         event->matches(QKeySequence::Cut) || event->matches(QKeySequence::Undo) ||
         event->matches(QKeySequence::Redo) || event->matches(QKeySequence::SelectAll);
}

// Exposes the field as a protected (password) text entry. Its value is never
// the text: assistive technology reads only the name and description.
class SecureFieldAccessible : public QAccessibleWidget {
 public:
  explicit SecureFieldAccessible(QWidget* widget)
      : QAccessibleWidget(widget, QAccessible::EditableText) {}

  QAccessible::State state() const override {
    QAccessible::State state = QAccessibleWidget::state();
    state.passwordEdit = true;
    state.editable = true;
    state.focusable = true;
    return state;
  }

  QString text(QAccessible::Text kind) const override {
    if (kind == QAccessible::Value) return {};
    return QAccessibleWidget::text(kind);
  }
};

QAccessibleInterface* secureFieldAccessibleFactory(const QString& className, QObject* object) {
  if (object != nullptr && object->isWidgetType() &&
      className == QLatin1String(SecureField::staticMetaObject.className())) {
    return new SecureFieldAccessible(static_cast<QWidget*>(object));
  }
  return nullptr;
}

}  // namespace

struct SecureField::State {
  std::unique_ptr<SecureBuffer> buffer;
  qsizetype cursor = 0;      // code units, at a grapheme boundary
  bool allSelected = false;  // set by selectAll, dropped by any other action
  int preeditBullets = 0;    // user-perceived characters of the pre-edit text
  QString placeholder;
  int trailingInset = 0;
  bool caretShown = true;
  QTimer caretBlink;

  QStringView view() const { return buffer->view(); }
};

SecureField::SecureField(QWidget* parent) : SecureField(nullptr, parent) {}

SecureField::SecureField(std::unique_ptr<SecureBuffer> buffer, QWidget* parent)
    : QWidget(parent), d(std::make_unique<State>()) {
  static const bool accessibleInstalled = [] {
    QAccessible::installFactory(secureFieldAccessibleFactory);
    return true;
  }();
  (void)accessibleInstalled;

  d->buffer = buffer ? std::move(buffer) : std::make_unique<SecureBuffer>(kCapacity);

  setFocusPolicy(Qt::StrongFocus);
  setAttribute(Qt::WA_InputMethodEnabled);
  setContextMenuPolicy(Qt::PreventContextMenu);
  setAcceptDrops(false);
  setCursor(Qt::IBeamCursor);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);

  QPalette colours = palette();
  colours.setColor(QPalette::Base, Qt::white);
  colours.setColor(QPalette::Text, Qt::black);
  colours.setColor(QPalette::PlaceholderText, QColor(0, 0, 0, 128));
  setPalette(colours);

  connect(&d->caretBlink, &QTimer::timeout, this, [this] {
    d->caretShown = !d->caretShown;
    refresh();
  });
}

SecureField::~SecureField() = default;

void SecureField::refresh() {
  update();
  emit changed();
}

QString SecureField::text() const { return d->view().toString(); }

bool SecureField::isEmpty() const { return d->buffer->empty(); }

void SecureField::clear() {
  // The input method drops its composition first, so nothing it still
  // delivers can land in the emptied field.
  if (d->preeditBullets > 0 && hasFocus()) QGuiApplication::inputMethod()->reset();
  d->buffer->clear();
  d->cursor = 0;
  d->allSelected = false;
  d->preeditBullets = 0;
  refresh();
}

void SecureField::takeText(SecureField& other) {
  if (&other == this) return;
  clear();
  d->buffer->replace(0, 0, other.d->view());
  d->cursor = static_cast<qsizetype>(d->buffer->size());
  other.clear();
  refresh();
}

void SecureField::setPlaceholderText(const QString& text) {
  d->placeholder = text;
  refresh();
}

QString SecureField::placeholderText() const { return d->placeholder; }

void SecureField::setTrailingInset(int inset) {
  d->trailingInset = std::max(inset, 0);
  updateGeometry();
  refresh();
}

int SecureField::trailingInset() const { return d->trailingInset; }

void SecureField::selectAll() {
  d->cursor = d->view().size();
  d->allSelected = !d->buffer->empty();
  setFocus(Qt::OtherFocusReason);
  refresh();
}

bool SecureField::hasPreeditText() const { return d->preeditBullets > 0; }

namespace {

// Geometry shared by painting, hit testing and the size hints.
struct FieldMetrics {
  QFontMetricsF font;
  int pixelSize;
  qreal margin;  // horizontal text margin inside the bezel, each side

  FieldMetrics(const QFont& f, qreal height)
      : font(f),
        pixelSize(QFontInfo(f).pixelSize()),
        margin(std::max(6.0, std::round(height * 0.3))) {}

  static qreal heightFor(const QFontMetricsF& metrics) { return std::ceil(metrics.height()) + 14; }
  // Each character shows as a bullet: a filled dot of 0.36 of the
  // font's size, centred on the x-height, in cells of 0.625 em, so the dots
  // look the same whatever glyphs the font has.
  qreal em() const { return std::max(1, pixelSize); }
  qreal bulletAdvance() const { return std::round(em() * 0.625); }
  qreal bulletDiameter() const { return em() * 0.36; }
};

}  // namespace

QSize SecureField::sizeHint() const {
  const QFontMetricsF metrics(font());
  const qreal height = FieldMetrics::heightFor(metrics);
  const FieldMetrics field(font(), height);
  const qreal width = 2 * field.margin + d->trailingInset + 20 * metrics.averageCharWidth();
  return QSizeF(width, height).toSize();
}

QSize SecureField::minimumSizeHint() const {
  const QFontMetricsF metrics(font());
  const qreal height = FieldMetrics::heightFor(metrics);
  const FieldMetrics field(font(), height);
  const qreal width = 2 * field.margin + d->trailingInset + 2 * field.bulletAdvance();
  return QSizeF(width, height).toSize();
}

void SecureField::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const FieldMetrics metrics(font(), height());

  // Bezel: a white capsule with a hairline grey border; while focused, a
  // soft blue ring lies over the border.
  const QRectF bezel = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
  const qreal radius = std::min(bezel.height(), bezel.width()) / 2;
  painter.setPen(QPen(QColor(0, 0, 0, 60), 1));
  painter.setBrush(palette().color(QPalette::Base));
  painter.drawRoundedRect(bezel, radius, radius);
  if (hasFocus()) {
    const QRectF ring = QRectF(rect()).adjusted(1.5, 1.5, -1.5, -1.5);
    const qreal ringRadius = std::min(ring.height(), ring.width()) / 2;
    painter.setPen(QPen(QColor(0, 122, 255, 150), 3));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(ring, ringRadius, ringRadius);
  }

  painter.setFont(font());
  const qreal lineHeight = metrics.font.height();
  const qreal top = (height() - lineHeight) / 2;
  const qreal baseline = top + metrics.font.ascent();
  const QRectF text(metrics.margin, top,
                    std::max(0.0, width() - 2 * metrics.margin - d->trailingInset), lineHeight);

  const QStringView typed = d->view();
  const int typedBullets = graphemeCount(typed);
  const int bullets = typedBullets + d->preeditBullets;
  if (bullets == 0 && !d->placeholder.isEmpty()) {
    const QRectF area(metrics.margin, top, std::max(0.0, width() - 2 * metrics.margin), lineHeight);
    painter.setPen(palette().color(QPalette::PlaceholderText));
    painter.drawText(area, Qt::AlignLeft | Qt::AlignVCenter,
                     metrics.font.elidedText(d->placeholder, Qt::ElideRight, area.width()));
  }

  const qreal advance = metrics.bulletAdvance();
  const int caretIndex = graphemesBefore(typed, d->cursor) + d->preeditBullets;
  // Scrolls just enough to keep the caret inside the text area.
  const qreal scroll = std::max(0.0, caretIndex * advance - (text.width() - 2));
  painter.save();
  painter.setClipRect(text.adjusted(0, -top, 0, top));
  if (d->allSelected && typedBullets > 0) {
    painter.fillRect(QRectF(text.left() - scroll, text.top(), typedBullets * advance, lineHeight),
                     QColor(179, 215, 255));
  }
  if (bullets > 0) {
    painter.setPen(Qt::NoPen);
    painter.setBrush(palette().color(QPalette::Text));
    const qreal dot = metrics.bulletDiameter() / 2;
    const qreal centreY = baseline - metrics.font.xHeight() / 2;
    const int first = std::max(0, static_cast<int>(scroll / advance));
    const int last = std::min(bullets, static_cast<int>((scroll + text.width()) / advance) + 1);
    for (int i = first; i < last; ++i) {
      const qreal centreX = text.left() - scroll + (i + 0.5) * advance;
      painter.drawEllipse(QPointF(centreX, centreY), dot, dot);
    }
    if (d->preeditBullets > 0) {
      const qreal start = text.left() - scroll + (caretIndex - d->preeditBullets) * advance;
      const qreal underline = baseline + metrics.font.underlinePos() + 1;
      painter.setPen(QPen(palette().color(QPalette::Text), 1));
      painter.drawLine(QPointF(start, underline),
                       QPointF(start + d->preeditBullets * advance, underline));
    }
  }
  if (hasFocus() && d->caretShown && !d->allSelected) {
    const qreal x = std::round(text.left() - scroll + caretIndex * advance);
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.fillRect(QRectF(x, top, 1.5, lineHeight), palette().color(QPalette::Text));
  }
  painter.restore();
}

void SecureField::keyPressEvent(QKeyEvent* event) {
  if (isForbiddenEditCommand(event)) {
    event->accept();
    return;
  }
  if (event->modifiers() & (Qt::ControlModifier | Qt::MetaModifier)) {
    event->ignore();
    return;
  }

  const QStringView typed = d->view();
  const qsizetype oldSize = typed.size();
  bool edited = false;
  switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
      event->accept();
      emit returnPressed();
      return;
    case Qt::Key_Escape:
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
      event->ignore();
      return;
    case Qt::Key_Backspace:
    case Qt::Key_Delete:
      if (d->allSelected) {
        edited = d->buffer->replace(0, static_cast<std::size_t>(oldSize), {});
        d->cursor = 0;
      } else if (event->key() == Qt::Key_Backspace && d->cursor > 0) {
        const qsizetype from = previousBoundary(typed, d->cursor);
        edited = d->buffer->replace(static_cast<std::size_t>(from),
                                    static_cast<std::size_t>(d->cursor - from), {});
        d->cursor = from;
      } else if (event->key() == Qt::Key_Delete && d->cursor < oldSize) {
        const qsizetype to = nextBoundary(typed, d->cursor);
        edited = d->buffer->replace(static_cast<std::size_t>(d->cursor),
                                    static_cast<std::size_t>(to - d->cursor), {});
      }
      break;
    case Qt::Key_Left:
      d->cursor = d->allSelected ? 0 : previousBoundary(typed, d->cursor);
      break;
    case Qt::Key_Right:
      d->cursor = d->allSelected ? oldSize : nextBoundary(typed, d->cursor);
      break;
    case Qt::Key_Home:
    case Qt::Key_Up:
      d->cursor = 0;
      break;
    case Qt::Key_End:
    case Qt::Key_Down:
      d->cursor = oldSize;
      break;
    default: {
      const QString typedText = event->text();
      if (!isTypable(typedText)) {
        event->ignore();
        return;
      }
      const std::size_t from = d->allSelected ? 0 : static_cast<std::size_t>(d->cursor);
      const std::size_t length = d->allSelected ? static_cast<std::size_t>(oldSize) : 0;
      edited = d->buffer->replace(from, length, typedText);
      if (edited) d->cursor = static_cast<qsizetype>(from) + typedText.size();
      // A keystroke beyond the capacity is dropped and keeps the selection.
      if (!edited) {
        event->accept();
        return;
      }
      break;
    }
  }
  d->allSelected = false;
  d->caretShown = true;
  if (d->caretBlink.isActive()) d->caretBlink.start();
  event->accept();
  refresh();
  if (edited) emit textEdited();
}

void SecureField::inputMethodEvent(QInputMethodEvent* event) {
  const int preedit = graphemeCount(event->preeditString());
  const QString commit = event->commitString();
  bool edited = false;
  if (isTypable(commit)) {
    const qsizetype oldSize = d->view().size();
    const std::size_t from = d->allSelected ? 0 : static_cast<std::size_t>(d->cursor);
    const std::size_t length = d->allSelected ? static_cast<std::size_t>(oldSize) : 0;
    edited = d->buffer->replace(from, length, commit);
    if (edited) {
      d->cursor = static_cast<qsizetype>(from) + commit.size();
      d->allSelected = false;
    }
  }
  if (preedit > 0) d->allSelected = false;
  d->preeditBullets = preedit;
  event->accept();
  refresh();
  if (edited) emit textEdited();
}

QVariant SecureField::inputMethodQuery(Qt::InputMethodQuery query) const {
  switch (query) {
    case Qt::ImEnabled:
      return true;
    case Qt::ImHints:
      return static_cast<int>(Qt::ImhHiddenText | Qt::ImhSensitiveData | Qt::ImhNoPredictiveText);
    case Qt::ImFont:
      return font();
    case Qt::ImCursorRectangle: {
      const FieldMetrics metrics(font(), height());
      const qreal lineHeight = metrics.font.height();
      const qreal x =
          metrics.margin + graphemesBefore(d->view(), d->cursor) * metrics.bulletAdvance();
      const qreal visible = std::max(0.0, width() - 2 * metrics.margin - d->trailingInset);
      return QRectF(std::min(x, metrics.margin + visible), (height() - lineHeight) / 2, 1,
                    lineHeight)
          .toAlignedRect();
    }
    case Qt::ImCursorPosition:
    case Qt::ImAnchorPosition:
      return 0;
    case Qt::ImSurroundingText:
    case Qt::ImCurrentSelection:
    case Qt::ImTextBeforeCursor:
    case Qt::ImTextAfterCursor:
      return QString();
    case Qt::ImMaximumTextLength:
      return static_cast<int>(d->buffer->capacity());
    case Qt::ImReadOnly:
      return false;
    default:
      return QWidget::inputMethodQuery(query);
  }
}

void SecureField::focusInEvent(QFocusEvent* event) {
  QWidget::focusInEvent(event);
  d->caretShown = true;
  const int flash = QGuiApplication::styleHints()->cursorFlashTime();
  if (flash > 0) d->caretBlink.start(flash / 2);
  refresh();
  emit editingBegan();
}

void SecureField::focusOutEvent(QFocusEvent* event) {
  QWidget::focusOutEvent(event);
  d->caretBlink.stop();
  d->allSelected = false;
  refresh();
}

void SecureField::mousePressEvent(QMouseEvent* event) {
  event->accept();
  if (event->button() != Qt::LeftButton) return;
  setFocus(Qt::MouseFocusReason);
  const FieldMetrics metrics(font(), height());
  const QStringView typed = d->view();
  const qreal advance = metrics.bulletAdvance();
  const int count = graphemeCount(typed);
  const qreal textWidth = std::max(0.0, width() - 2 * metrics.margin - d->trailingInset);
  const int caretIndex = graphemesBefore(typed, d->cursor) + d->preeditBullets;
  const qreal scroll = std::max(0.0, caretIndex * advance - (textWidth - 2));
  const qreal offset = event->position().x() - metrics.margin + scroll;
  const int index = advance > 0 ? static_cast<int>(std::lround(offset / advance)) : count;
  d->cursor = boundaryAt(typed, std::clamp(index, 0, count));
  d->allSelected = false;
  d->caretShown = true;
  refresh();
}

bool SecureField::event(QEvent* event) {
  switch (event->type()) {
    case QEvent::ShortcutOverride: {
      // Keys the field handles itself, and the edit commands it refuses,
      // never trigger shortcuts while it has focus.
      auto* key = static_cast<QKeyEvent*>(event);
      const bool plain = !(key->modifiers() & (Qt::ControlModifier | Qt::MetaModifier));
      if (isForbiddenEditCommand(key) ||
          (plain && key->key() != Qt::Key_Escape && key->key() != Qt::Key_Tab &&
           key->key() != Qt::Key_Backtab)) {
        key->accept();
        return true;
      }
      break;
    }
    case QEvent::ContextMenu:
      event->accept();
      return true;
    case QEvent::FontChange:
      updateGeometry();
      break;
    default:
      break;
  }
  return QWidget::event(event);
}

}  // namespace umbrafold
