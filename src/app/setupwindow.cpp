#include "setupwindow.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QVBoxLayout>

#include "securefield.h"

namespace umbrafold {

namespace {

constexpr int kWidth = 412;
constexpr int kHeight = 268;
constexpr int kSideMargin = 28;
constexpr int kIconSide = 40;

const QColor kSecondary(0, 0, 0, 128);  // black at 50 % opacity
const QColor kRed(0xFF, 0x3B, 0x30);

QFont systemFont(int pixelSize, QFont::Weight weight = QFont::Normal) {
  QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
  font.setPixelSize(pixelSize);
  font.setWeight(weight);
  return font;
}

void setTextColor(QWidget* widget, const QColor& color) {
  QPalette palette = widget->palette();
  palette.setColor(QPalette::WindowText, color);
  widget->setPalette(palette);
}

QLabel* makeLabel(const QString& text, const QFont& font, bool wrapping) {
  auto* label = new QLabel(text);
  label->setFont(font);
  label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  label->setWordWrap(wrapping);
  label->setTextFormat(Qt::PlainText);
  return label;
}

}  // namespace

// The application icon in a fixed square box, scaled up or down to fill it
// with its aspect ratio kept. Decoration only: hidden from assistive
// technology.
class SetupIcon : public QWidget {
  Q_OBJECT

 public:
  explicit SetupIcon(const QString& file) {
    if (!file.isEmpty()) image_.load(file);
    setFixedSize(kIconSide, kIconSide);
    setFocusPolicy(Qt::NoFocus);
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    if (image_.isNull()) return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    QSizeF size = QSizeF(image_.size()).scaled(QSizeF(this->size()), Qt::KeepAspectRatio);
    QRectF target(QPointF((width() - size.width()) / 2, (height() - size.height()) / 2), size);
    painter.drawPixmap(target, image_, QRectF(image_.rect()));
  }

 private:
  QPixmap image_;
};

namespace {

// Presents the icon to assistive technology as an invisible element without
// a role, so screen readers pass over it.
class HiddenAccessible : public QAccessibleWidget {
 public:
  explicit HiddenAccessible(QWidget* widget) : QAccessibleWidget(widget, QAccessible::NoRole) {}
  QAccessible::State state() const override {
    QAccessible::State state = QAccessibleWidget::state();
    state.invisible = true;
    return state;
  }
};

QAccessibleInterface* hiddenIconFactory(const QString& className, QObject* object) {
  if (className == QLatin1String(SetupIcon::staticMetaObject.className()) && object &&
      object->isWidgetType()) {
    return new HiddenAccessible(static_cast<QWidget*>(object));
  }
  return nullptr;
}

}  // namespace

SetupWindow::SetupWindow(const QString& hint, const QString& iconFile) : hint_(hint) {
  static const bool factoryInstalled = [] {
    QAccessible::installFactory(hiddenIconFactory);
    return true;
  }();
  (void)factoryInstalled;

  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                 Qt::CustomizeWindowHint);
  setWindowTitle(QStringLiteral("Umbrafold"));
  setFixedSize(kWidth, kHeight);

  auto* icon = new SetupIcon(iconFile);
  QLabel* heading =
      makeLabel(QStringLiteral("Set a password"), systemFont(23, QFont::DemiBold), false);

  status_ = makeLabel(hint_, systemFont(13), true);
  setTextColor(status_, kSecondary);

  password_ = new SecureField;
  confirmation_ = new SecureField;
  const QString passwordPlaceholder = QStringLiteral("Password (8+ characters)");
  const QString confirmationPlaceholder = QStringLiteral("Confirm password");
  password_->setPlaceholderText(passwordPlaceholder);
  password_->setAccessibleName(passwordPlaceholder);
  password_->setAccessibleDescription(hint_);
  confirmation_->setPlaceholderText(confirmationPlaceholder);
  confirmation_->setAccessibleName(confirmationPlaceholder);
  for (SecureField* field : {password_, confirmation_}) {
    field->setFont(systemFont(15));
    field->installEventFilter(this);
  }

  QLabel* footnote =
      makeLabel(QStringLiteral("Quitting the curtain reveals your desktop."), systemFont(12), true);
  setTextColor(footnote, kSecondary);

  // A vertical stack, centred vertically, 28 px in from either side: 4 px
  // after the icon, 6 after the heading, 12 after the status line and 9
  // between the rest. The icon and the heading keep their natural widths.
  auto* stack = new QVBoxLayout(this);
  stack->setContentsMargins(kSideMargin, 0, kSideMargin, 0);
  stack->setSpacing(0);
  stack->addStretch(1);
  stack->addWidget(icon, 0, Qt::AlignLeft);
  stack->addSpacing(4);
  stack->addWidget(heading, 0, Qt::AlignLeft);
  stack->addSpacing(6);
  stack->addWidget(status_);
  stack->addSpacing(12);
  stack->addWidget(password_);
  stack->addSpacing(9);
  stack->addWidget(confirmation_);
  stack->addSpacing(9);
  stack->addWidget(footnote);
  stack->addStretch(1);

  setTabOrder(password_, confirmation_);
  password_->setFocus();
}

SetupWindow::~SetupWindow() = default;

void SetupWindow::showHint() {
  status_->setText(hint_);
  setTextColor(status_, kSecondary);
}

void SetupWindow::showError(const QString& text) {
  status_->setText(text);
  setTextColor(status_, kRed);
}

QString SetupWindow::defaultIconFile() {
  const QDir dir(QCoreApplication::applicationDirPath());
  for (const char* relative :
       {"../share/umbrafold/Umbrafold.png", "share/umbrafold/Umbrafold.png"}) {
    const QString candidate = QDir::cleanPath(dir.filePath(QLatin1String(relative)));
    if (QFileInfo(candidate).isFile()) return candidate;
  }
  return {};
}

void SetupWindow::closeEvent(QCloseEvent* event) {
  event->accept();
  emit closing();
}

bool SetupWindow::eventFilter(QObject* watched, QEvent* event) {
  // Tab and Shift+Tab alternate between the two fields and reach nothing
  // else, whatever the rest of the window would take focus.
  if (event->type() == QEvent::KeyPress && (watched == password_ || watched == confirmation_)) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Tab || key == Qt::Key_Backtab) {
      SecureField* other = watched == password_ ? confirmation_ : password_;
      other->setFocus(key == Qt::Key_Tab ? Qt::TabFocusReason : Qt::BacktabFocusReason);
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

}  // namespace umbrafold

#include "setupwindow.moc"
