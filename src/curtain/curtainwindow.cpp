#include "curtainwindow.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QStringList>

#include <utility>
#include <vector>

namespace umbrafold {

namespace {

constexpr int kFieldWidth = 260;
constexpr int kButtonSide = 24;
constexpr int kButtonInset = 4;
constexpr int kTextInset = 30;
constexpr int kMascotHeight = 94;
constexpr int kNoteGap = 8;  // between the field and the keyboard note, and within the note
constexpr int kNotePixels = 13;
constexpr int kEntryMargin = 4;  // around the field and the note, for their frames and ink

const QString kCapsLockOn = QStringLiteral("Caps Lock is on");

// The round arrow that submits the entry: a filled circle in black at half
// opacity with a white right-pointing arrow, drawn at 18 points, medium
// weight, without a border. Never takes keyboard focus.
class UnlockButton : public QAbstractButton {
 public:
  explicit UnlockButton(QWidget* parent) : QAbstractButton(parent) {
    setFocusPolicy(Qt::NoFocus);
    setCursor(Qt::ArrowCursor);
  }

  QSize sizeHint() const override { return {kButtonSide, kButtonSide}; }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal glyph = 18;
    const QPointF centre = QRectF(rect()).center();
    // The symbol's circle fills about nine tenths of its point size.
    const qreal radius = glyph * 0.47;
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0, 0, 0, isDown() ? 178 : 128));
    painter.drawEllipse(centre, radius, radius);

    // Medium weight: a stroke of about a ninth of the glyph.
    QPen arrow(Qt::white, glyph * 0.11, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    painter.setPen(arrow);
    painter.setBrush(Qt::NoBrush);
    const qreal half = radius * 0.48;
    const qreal head = radius * 0.40;
    const QPointF tip = centre + QPointF(half, 0);
    painter.drawLine(centre - QPointF(half, 0), tip - QPointF(arrow.widthF() * 0.3, 0));
    QPainterPath chevron;
    chevron.moveTo(tip + QPointF(-head, -head));
    chevron.lineTo(tip);
    chevron.lineTo(tip + QPointF(-head, head));
    painter.drawPath(chevron);
  }
};

// One line of the keyboard note under the field, in the type of an error
// line: the system font at 13 pixels, plain text, in `colour`.
QLabel* makeNoteLine(QWidget* parent, const QColor& colour) {
  auto* line = new QLabel(parent);
  QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
  font.setPixelSize(kNotePixels);
  line->setFont(font);
  line->setTextFormat(Qt::PlainText);
  QPalette palette = line->palette();
  palette.setColor(QPalette::WindowText, colour);
  line->setPalette(palette);
  line->setAttribute(Qt::WA_TransparentForMouseEvents);
  line->hide();
  return line;
}

bool isControlCombination(const QKeyEvent* event) {
  return event->modifiers() & Qt::ControlModifier;
}

}  // namespace

struct CurtainWindow::State {
  SecureField* field = nullptr;
  UnlockButton* button = nullptr;
  MascotWalk* mascots = nullptr;
  QLabel* capsLock = nullptr;  // "Caps Lock is on", red
  QLabel* layout = nullptr;    // the active layout's name, secondary
  std::unique_ptr<IdleTimer> idleTimer;
  bool forwarding = false;  // a keystroke is being handed to the field
};

CurtainWindow::CurtainWindow(const QRect& frame, MascotWalk::Services services,
                             std::unique_ptr<IdleTimer> idleTimer)
    : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                           Qt::X11BypassWindowManagerHint),
      d(std::make_unique<State>()) {
  d->field = new SecureField(this);
  d->button = new UnlockButton(this);
  d->mascots = new MascotWalk(std::move(services), this);
  d->capsLock = makeNoteLine(this, QColor(0xFF, 0x3B, 0x30));
  d->layout = makeNoteLine(this, QColor(0, 0, 0, 128));
  d->idleTimer = idleTimer ? std::move(idleTimer) : std::make_unique<QtIdleTimer>();

  setAttribute(Qt::WA_DeleteOnClose, false);
  // A name of its own, so that nothing looking for the setup window by its
  // title finds a curtain.
  setWindowTitle(QStringLiteral("Umbrafold curtain"));
  // Focus reaches the window only when given explicitly: a click on the
  // white background leaves the field's focus where it is.
  setFocusPolicy(Qt::NoFocus);
  QPalette white = palette();
  white.setColor(QPalette::Window, Qt::white);
  setPalette(white);
  setAutoFillBackground(true);
  setGeometry(frame);

  QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
  font.setPixelSize(16);
  d->field->setFont(font);
  d->field->setPlaceholderText(QStringLiteral("Curtain password"));
  d->field->setAccessibleName(QStringLiteral("Curtain password. Press Return to unlock."));
  QPalette fieldColours = d->field->palette();
  fieldColours.setColor(QPalette::Base, Qt::white);
  fieldColours.setColor(QPalette::Text, Qt::black);
  d->field->setPalette(fieldColours);
  d->field->setTrailingInset(kTextInset);
  connect(d->field, &SecureField::returnPressed, this, &CurtainWindow::submit);
  connect(d->field, &SecureField::changed, this, &CurtainWindow::entryAreaChanged);
  // Only edits count: taking the focus without typing starts no idle period.
  connect(d->field, &SecureField::textEdited, this, &CurtainWindow::entryEdited);
  d->field->installEventFilter(this);

  d->button->installEventFilter(this);
  d->button->setAccessibleName(QStringLiteral("Unlock curtain"));
  d->button->hide();
  connect(d->button, &QAbstractButton::clicked, this, &CurtainWindow::submit);

  d->mascots->raise();

  d->idleTimer->onTimeout = [this] { clearEntry(); };
  layOut();
  // The window, not the field, holds the focus when it becomes active.
  setFocus(Qt::OtherFocusReason);
}

CurtainWindow::~CurtainWindow() {
  // The children outlive this part of the window; none may call back into it.
  d->field->removeEventFilter(this);
  d->button->removeEventFilter(this);
  d->field->disconnect(this);
  d->button->disconnect(this);
  d->idleTimer->stop();
  d->idleTimer->onTimeout = nullptr;
}

SecureField* CurtainWindow::passwordField() const { return d->field; }

MascotWalk* CurtainWindow::mascots() const { return d->mascots; }

QAbstractButton* CurtainWindow::unlockButton() const { return d->button; }

void CurtainWindow::showKeyboardNote(bool capsLock, const QString& layout) {
  if (d->capsLock->isVisibleTo(this) == capsLock && d->layout->text() == layout &&
      d->layout->isVisibleTo(this) == !layout.isEmpty()) {
    return;
  }
  const QRect before = noteArea();
  d->capsLock->setText(capsLock ? kCapsLockOn : QString());
  d->capsLock->setVisible(capsLock);
  d->layout->setText(layout);
  d->layout->setVisible(!layout.isEmpty());
  layOut();
  // Screen readers hear the note with the field it belongs to.
  d->field->setAccessibleDescription(keyboardNote());
  QAccessibleEvent described(d->field, QAccessible::DescriptionChanged);
  QAccessible::updateAccessibility(&described);
  emit contentChanged(before | noteArea());
}

QString CurtainWindow::keyboardNote() const {
  QStringList parts;
  if (d->capsLock->isVisibleTo(this)) parts << d->capsLock->text();
  if (d->layout->isVisibleTo(this)) parts << d->layout->text();
  return parts.join(QStringLiteral(", "));
}

QRect CurtainWindow::entryArea() const {
  const int fieldHeight = d->field->sizeHint().height();
  const int noteHeight = d->capsLock->fontMetrics().height();
  const int top = (height() - fieldHeight) / 2 - kEntryMargin;
  return {0, top, width(), kEntryMargin + fieldHeight + kNoteGap + noteHeight + kEntryMargin};
}

QRect CurtainWindow::noteArea() const {
  QRect area;
  for (const QLabel* line : {d->capsLock, d->layout}) {
    if (line->isVisibleTo(this)) area |= line->geometry();
  }
  return area;
}

void CurtainWindow::clearEntry() {
  d->idleTimer->stop();
  // Emptied while it still has the focus, so an input method's pending
  // composition is discarded with the text.
  d->field->clear();
  if (d->field->hasFocus()) d->field->clearFocus();
  d->button->hide();
  setFocus(Qt::OtherFocusReason);
  entryAreaChanged();
}

void CurtainWindow::takeEntry(CurtainWindow& other) {
  if (&other == this) return;
  clearEntry();
  d->field->takeText(*other.d->field);
  other.clearEntry();
  if (!d->field->isEmpty()) {
    d->field->setFocus(Qt::OtherFocusReason);
    entryEdited();
  }
}

void CurtainWindow::submit() {
  QString text = d->field->text();
  clearEntry();
  // Called through a copy: the callback may replace onSubmit or destroy this
  // window, and must not be destroyed while it runs.
  if (const auto callback = onSubmit) callback(text);
  // Overwrite our copy of the attempt before it is released.
  text.fill(QChar(u'\0'));
}

void CurtainWindow::entryAreaChanged() {
  emit contentChanged(d->field->geometry() | d->button->geometry());
}

void CurtainWindow::entryEdited() {
  d->button->setVisible(!d->field->isEmpty());
  entryAreaChanged();
  d->idleTimer->start(kIdlePeriod);
}

void CurtainWindow::keyPressEvent(QKeyEvent* event) {
  // Every key that reaches the window is consumed here; none goes further.
  event->accept();
  if (event->key() == Qt::Key_Escape) {
    clearEntry();
    return;
  }
  if (event->type() != QEvent::KeyPress) return;
  if (event->modifiers() & (Qt::ControlModifier | Qt::MetaModifier)) return;
  if (event->text().isEmpty()) return;
  // A key the field passed back while it was being handed over ends here.
  if (d->forwarding) return;
  if (!d->field->isEnabled() || !d->field->isVisible()) return;
  d->field->setFocus(Qt::OtherFocusReason);
  d->forwarding = true;
  const QPointer<CurtainWindow> alive(this);
  QCoreApplication::sendEvent(d->field, event);
  // A Return handed over may have submitted, and onSubmit destroyed the window.
  if (!alive) return;
  d->forwarding = false;
  event->accept();
}

bool CurtainWindow::event(QEvent* event) {
  switch (event->type()) {
    case QEvent::ShortcutOverride:
      if (isControlCombination(static_cast<QKeyEvent*>(event))) {
        event->accept();
        return true;
      }
      break;
    default:
      break;
  }
  return QWidget::event(event);
}

void CurtainWindow::mousePressEvent(QMouseEvent* event) {
  event->accept();
  if (const auto callback = onPress) callback();
}

bool CurtainWindow::eventFilter(QObject* watched, QEvent* event) {
  if ((watched == d->field || watched == d->button) && event->type() == QEvent::MouseButtonPress) {
    if (const auto callback = onPress) callback();
    return false;
  }
  if (watched == d->field && event->type() == QEvent::ShortcutOverride &&
      isControlCombination(static_cast<QKeyEvent*>(event))) {
    event->accept();
    return true;
  }
  return QWidget::eventFilter(watched, event);
}

bool CurtainWindow::focusNextPrevChild(bool) {
  // Tab and Backtab move nowhere: the field is the only place to type.
  return false;
}

void CurtainWindow::closeEvent(QCloseEvent* event) {
  // Closing takes the window off the screen; its owner destroys it.
  event->accept();
}

void CurtainWindow::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  layOut();
  emit contentChanged(rect());
}

void CurtainWindow::layOut() {
  const int w = width();
  const int h = height();
  d->mascots->setGeometry(0, h - kMascotHeight, w, kMascotHeight);

  const int fieldHeight = d->field->sizeHint().height();
  const QRect field((w - kFieldWidth) / 2, (h - fieldHeight) / 2, kFieldWidth, fieldHeight);
  d->field->setGeometry(field);

  const int buttonRight = field.x() + field.width() - kButtonInset;
  d->button->setGeometry(buttonRight - kButtonSide, field.y() + (fieldHeight - kButtonSide) / 2,
                         kButtonSide, kButtonSide);

  // The keyboard note: its shown lines side by side, centred under the field.
  std::vector<QLabel*> shown;
  int noteWidth = 0;
  for (QLabel* line : {d->capsLock, d->layout}) {
    if (!line->isVisibleTo(this)) continue;
    noteWidth += (shown.empty() ? 0 : kNoteGap) + line->sizeHint().width();
    shown.push_back(line);
  }
  int x = (w - noteWidth) / 2;
  for (QLabel* line : shown) {
    const QSize size = line->sizeHint();
    line->setGeometry(x, field.bottom() + 1 + kNoteGap, size.width(), size.height());
    x += size.width() + kNoteGap;
  }
}

}  // namespace umbrafold
