#include "main_window.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QEvent>
#include <QFile>
#include <QFontInfo>
#include <QFontMetrics>
#include <QIcon>
#include <QKeySequence>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QShortcut>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTextDocument>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <exception>
#include <optional>
#include <vector>

#include "layout.h"
#include "pictures.h"

namespace velkaro {
namespace {

QRect ToQRect(const layout::TwipRect& r) {
  const layout::PixelRect p = layout::ToPixels(r);
  return {p.left, p.top, p.width, p.height};
}

QFont FontFor(layout::Font font, const QFont& platform_default) {
  if (font == layout::Font::kPlatformDefault) return platform_default;
  QFont f(QString::fromUtf8(layout::kFontFamily.data(), layout::kFontFamily.size()));
  f.setPointSizeF(layout::kFontPointSize);
  f.setBold(font == layout::Font::kPortLabel);
  return f;
}

QString ToQString(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

pictures::Rgb ToRgb(const QColor& c) {
  return {static_cast<std::uint8_t>(c.red()), static_cast<std::uint8_t>(c.green()),
          static_cast<std::uint8_t>(c.blue())};
}

}  // namespace

void QtTimerSwitch::SetEnabled(bool enabled) {
  // Enabling a running timer leaves its countdown as it is.
  if (!enabled) {
    timer_->stop();
  } else if (!timer_->isActive()) {
    timer_->start();
  }
}

namespace {

// A picture of size by size pixels, top row first, nullopt where transparent;
// each pixel becomes scale by scale pixels of the image.
QImage ToQImage(const std::vector<std::optional<pictures::Rgb>>& pixels, int size, int scale = 1) {
  QImage image(size * scale, size * scale, QImage::Format_ARGB32);
  for (int y = 0; y < image.height(); ++y) {
    auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
    for (int x = 0; x < image.width(); ++x) {
      const std::optional<pictures::Rgb>& rgb =
          pixels[static_cast<std::size_t>(y / scale * size + x / scale)];
      line[x] = rgb ? qRgb(rgb->r, rgb->g, rgb->b) : qRgba(0, 0, 0, 0);
    }
  }
  return image;
}

}  // namespace

QImage IconResourceImage(const QString& path, int size, int scale) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) qFatal("missing built-in picture %s", qPrintable(path));
  const QByteArray bytes = file.readAll();
  // Our own decoder: it keeps the mask as transparency for 24-bit images.
  const std::vector<pictures::IconImage> images =
      pictures::DecodeIcon(std::span(reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                                     static_cast<std::size_t>(bytes.size())));
  for (const pictures::IconImage& decoded : images) {
    if (decoded.size != size) continue;
    return ToQImage(decoded.pixels, size, scale);
  }
  qFatal("built-in picture %s has no %d by %d image", qPrintable(path), size, size);
}

namespace {

// The lamp's spot on the screen, in whole screen pixels.
int LampSpot(qreal device_pixel_ratio) {
  return static_cast<int>(std::floor(pictures::kLampSize * device_pixel_ratio));
}

// Shows a lamp's picture one image pixel to one screen pixel, centred, at
// any scale: Qt would stretch a label's picture to the label's size, and
// smoothly at a scale that is not whole. The picture is drawn again for
// each scale the window is painted at, on any screen.
class LampLabel : public QLabel {
 public:
  LampLabel(LampKind kind, QWidget* parent) : QLabel(parent), kind_(kind) {}

 protected:
  void paintEvent(QPaintEvent*) override {
    const qreal ratio = devicePixelRatioF();
    if (ratio != drawn_for_) {
      picture_ = LampPixmap(kind_, ratio);
      drawn_for_ = ratio;
    }
    QPainter painter(this);
    painter.scale(1 / ratio, 1 / ratio);  // screen pixels from here on
    const int offset = layout::PlaceLamp(LampSpot(ratio)).offset;
    painter.drawPixmap(offset, offset, picture_);
  }

 private:
  LampKind kind_;
  QPixmap picture_;
  qreal drawn_for_ = 0;
};

// A top-level QWidget reaches assistive technology as a plain client area,
// but a screen reader announces a window by its frame: the form is one,
// named by its title.
QAccessibleInterface* FormAccessible(const QString& class_name, QObject* object) {
  if (class_name != QLatin1String(Form1::staticMetaObject.className())) return nullptr;
  return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Window);
}

}  // namespace

QPixmap LampPixmap(LampKind kind, qreal device_pixel_ratio) {
  const QString path = ":/images/" + QString::fromStdString(pictures::LampIconFileName(kind));
  return QPixmap::fromImage(IconResourceImage(
      path, pictures::kLampSize, layout::PlaceLamp(LampSpot(device_pixel_ratio)).scale));
}

QIcon ProgramIcon() {
  // Every size the plug is drawn at, so that no desktop has to scale one.
  std::vector<int> sizes(pictures::kPlugPngSizes.begin(), pictures::kPlugPngSizes.end());
  sizes.insert(sizes.end(), pictures::kPlugIconSizes.begin(), pictures::kPlugIconSizes.end());
  sizes.push_back(pictures::kPlugIconPngSize);
  std::sort(sizes.begin(), sizes.end());
  sizes.erase(std::unique(sizes.begin(), sizes.end()), sizes.end());
  QIcon icon;
  for (int size : sizes)
    icon.addPixmap(QPixmap::fromImage(ToQImage(pictures::PlugImage(size), size)));
  return icon;
}

Form1::Form1(SerialPort& comm, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      on_scan_failure([this](const QString& what) {
        QMessageBox::critical(this, windowTitle(), QString("The scan failed: %1").arg(what));
        QApplication::exit(1);
      }),
      scan_(lamps_, comm, timer_switch_,
            [this] { QMetaObject::invokeMethod(this, &Form1::ProbeDone, Qt::QueuedConnection); }) {
  static const bool accessible_as_a_window = (QAccessible::installFactory(FormAccessible), true);
  (void)accessible_as_a_window;
  setObjectName("Form1");
  setWindowTitle(ToQString(layout::kTitle));
  setWindowIcon(ProgramIcon());
  // The desktop's way to close a window, beside the window manager's.
  for (const char* keys : {"Ctrl+Q", "Ctrl+W"}) {
    connect(new QShortcut(QKeySequence(keys), this), &QShortcut::activated, this, &QWidget::close);
  }
  setFixedSize(layout::kClientWidth / layout::kTwipsPerPixel,
               layout::kClientHeight / layout::kTwipsPerPixel);

  // Widgets made later lie above earlier ones, so build from the bottom of
  // the stack up: port labels, lamps, the sentence, the button.
  // Qt's focus chain follows the order of creation; the port labels do not
  // overlap, so making them in tab order costs the stacking nothing.
  std::array<const layout::Control*, layout::kControls.size()> by_tab_index{};
  for (const layout::Control& control : layout::kControls) {
    by_tab_index.at(static_cast<std::size_t>(control.tab_index)) = &control;
  }
  auto place = [&](QWidget* widget, const layout::Control& control) {
    widget->setObjectName(ToQString(control.name));
    widget->setGeometry(ToQRect(control.rect));
    widget->setFont(FontFor(control.font, font()));
  };
  for (const layout::Control* control : by_tab_index) {
    if (control->font == layout::Font::kPortLabel) {
      auto* label = new QLabel(ToQString(control->text), this);
      place(label, *control);
    }
  }
  for (int port = 1; port <= kPortCount; ++port) {
    port_labels_[static_cast<std::size_t>(port - 1)] =
        findChild<QLabel*>(ToQString(layout::PortLabel(port).name), Qt::FindDirectChildrenOnly);
    for (auto kind = kStackingOrder.rbegin(); kind != kStackingOrder.rend(); ++kind) {
      auto* lamp = new LampLabel(*kind, this);
      lamp->setObjectName(QString::fromStdString(layout::LampName(port, *kind)));
      lamp->setGeometry(ToQRect(layout::LampRect(port)));
      lamp->setAccessibleName(QString("COM: %1").arg(port));
      lamp_widgets_[static_cast<std::size_t>(port - 1)][static_cast<std::size_t>(*kind)] = lamp;
    }
  }
  // Assistive technology meets the window's children in stacking order, so
  // the port labels are stacked in row order, still beneath the first lamp.
  // Nobody sees it, as they do not overlap; the focus chain keeps the tab
  // order they were made in.
  for (QLabel* label : port_labels_) {
    label->stackUnder(lamp_widgets_[0][static_cast<std::size_t>(kStackingOrder.back())]);
  }
  for (const layout::Control& control : layout::kControls) {
    if (control.font == layout::Font::kDescription) {
      auto* label = new QLabel(ToQString(control.text), this);
      place(label, control);
      label->setWordWrap(true);
      label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    }
  }
  Command1 = new QPushButton(ToQString(layout::kControls[0].text), this);
  Command1->setObjectName(ToQString(layout::kControls[0].name));
  Command1->setGeometry(ToQRect(layout::kControls[0].rect));
  ColourPortLabels();
  FitCaption();
  // Enter presses the button too, as in a dialog.
  Command1->setAutoDefault(true);
  connect(Command1, &QPushButton::clicked, this, &Form1::Command1_Click);
  Command1->setFocus();

  Timer1 = new QTimer(this);
  Timer1->setObjectName("Timer1");
  Timer1->setInterval(ScanSequencer::kTickMilliseconds);
  timer_switch_.Attach(Timer1);
  connect(Timer1, &QTimer::timeout, this, &Form1::Timer1_Timer);

  Form_Load();
}

void Form1::ColourPortLabels() {
  const pictures::Rgb background = ToRgb(palette().color(QPalette::Window));
  const pictures::Rgb theme_text = ToRgb(palette().color(QPalette::WindowText));
  for (const layout::Control& control : layout::kControls) {
    if (!control.text_colour) continue;
    auto* label = findChild<QLabel*>(ToQString(control.name), Qt::FindDirectChildrenOnly);
    const pictures::Rgb c = layout::PortLabelColour(background, theme_text, false);
    QPalette colours = label->palette();
    colours.setColor(QPalette::WindowText, QColor(c.r, c.g, c.b));
    label->setPalette(colours);
  }
}

void Form1::FitCaption() {
  const QFont platform = font();
  QStyleOptionButton option;
  option.initFrom(Command1);
  const int frame = style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, Command1);
  // The room the style itself asks for around a caption.
  const int width = Command1->width() - 2 * frame -
                    style()->pixelMetric(QStyle::PM_ButtonMargin, &option, Command1);
  const int height = Command1->height() - 2 * frame;
  auto fits = [&](int pixel_size) {
    QFont f = platform;
    f.setPixelSize(pixel_size);
    const QFontMetrics metrics(f);
    return metrics.horizontalAdvance(Command1->text()) <= width && metrics.height() <= height;
  };
  const int preferred = QFontInfo(platform).pixelSize();
  if (fits(preferred)) {
    Command1->setFont(platform);
    return;
  }
  QFont smaller = platform;
  smaller.setPixelSize(layout::LargestFittingSize(preferred, 1, fits));
  Command1->setFont(smaller);
}

void Form1::changeEvent(QEvent* event) {
  // The desktop's theme or font changed while the window is open.
  if (Command1 != nullptr && event->type() == QEvent::PaletteChange) ColourPortLabels();
  if (Command1 != nullptr && event->type() == QEvent::FontChange) FitCaption();
  QWidget::changeEvent(event);
}

void Form1::Form_Load() {
  scan_.Form_Load();
  ShowLamps();
}

void Form1::Command1_Click() {
  scan_.Command1_Click();
  ShowLamps();
}

void Form1::Timer1_Timer() { Step(&ScanSequencer::Timer1_Timer); }

void Form1::ProbeDone() { Step(&ScanSequencer::ProbeDone); }

void Form1::Step(void (ScanSequencer::*step)()) {
  try {
    (scan_.*step)();
  } catch (...) {
    // Only a broken serial layer gets here; there is no scan to go on with.
    // Nothing may go on through Qt's event loop, whatever was thrown.
    Timer1->stop();
    on_scan_failure(QString::fromStdString(FailureInWords(std::current_exception())));
    return;
  }
  ShowLamps();
}

void Form1::ShowLamps() {
  for (int port = 1; port <= kPortCount; ++port) {
    const std::optional<LampKind> seen = lamps_.SeenLamp(port);
    // Only the seen lamp is shown: the ones beneath it could not be seen
    // anyway, and so assistive technology hears of one lamp per port.
    for (LampKind kind : kStackingOrder) {
      lamp_widgets_[static_cast<std::size_t>(port - 1)][static_cast<std::size_t>(kind)]->setVisible(
          seen == kind);
    }
  }
  ShowFindings();
}

namespace {

// A tooltip that shows the text as it is, even where it looks like HTML, and
// wraps it as Qt wraps rich text, within a width that can be read.
QString PlainToolTip(const QString& text) {
  // Qt takes a tooltip that looks like HTML for HTML, and a program's name
  // may look like anything; plain text it leaves on one line, however long.
  // pre-wrap keeps every space of a name as it is, and still wraps.
  return "<qt><p style=\"white-space:pre-wrap\">" + text.toHtmlEscaped() + "</p></qt>";
}

}  // namespace

void Form1::ShowFindings() {
  for (int port = 1; port <= kPortCount; ++port) {
    const QString summary = QString::fromStdString(scan_.Summary(static_cast<std::int16_t>(port)));
    const QString tip = PlainToolTip(summary);
    QLabel* label = port_labels_[static_cast<std::size_t>(port - 1)];
    if (label->toolTip() == tip) continue;  // nothing new to tell
    label->setToolTip(tip);
    // What assistive technology hears of the label: the words, not the markup.
    label->setAccessibleDescription(summary);
    for (LampKind kind : kStackingOrder) {
      QLabel* lamp =
          lamp_widgets_[static_cast<std::size_t>(port - 1)][static_cast<std::size_t>(kind)];
      lamp->setToolTip(tip);
      // What the lamp shows, then what was found.
      lamp->setAccessibleDescription(ToQString(layout::LampDescription(kind)) + "; " + summary);
    }
  }
}

}  // namespace velkaro
