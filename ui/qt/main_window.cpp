#include "main_window.h"

#include <QApplication>
#include <QFile>
#include <QIcon>
#include <QKeySequence>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QShortcut>
#include <QTimer>

#include <algorithm>
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

// A picture of size by size pixels, top row first, nullopt where transparent.
QImage ToQImage(const std::vector<std::optional<pictures::Rgb>>& pixels, int size) {
  QImage image(size, size, QImage::Format_ARGB32);
  for (int y = 0; y < size; ++y) {
    for (int x = 0; x < size; ++x) {
      const std::optional<pictures::Rgb>& rgb = pixels[static_cast<std::size_t>(y * size + x)];
      image.setPixel(x, y, rgb ? qRgb(rgb->r, rgb->g, rgb->b) : qRgba(0, 0, 0, 0));
    }
  }
  return image;
}

}  // namespace

QImage IconResourceImage(const QString& path, int size) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) qFatal("missing built-in picture %s", qPrintable(path));
  const QByteArray bytes = file.readAll();
  // Our own decoder: it keeps the mask as transparency for 24-bit images.
  const std::vector<pictures::IconImage> images =
      pictures::DecodeIcon(std::span(reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                                     static_cast<std::size_t>(bytes.size())));
  for (const pictures::IconImage& decoded : images) {
    if (decoded.size != size) continue;
    return ToQImage(decoded.pixels, size);
  }
  qFatal("built-in picture %s has no %d by %d image", qPrintable(path), size, size);
}

QPixmap LampPixmap(LampKind kind) {
  const QString path = ":/images/" + QString::fromStdString(pictures::LampIconFileName(kind));
  return QPixmap::fromImage(IconResourceImage(path, pictures::kLampSize));
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
      scan_(lamps_, comm, timer_switch_) {
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
      QPalette palette = label->palette();
      const pictures::Rgb c = *control->text_colour;
      palette.setColor(QPalette::WindowText, QColor(c.r, c.g, c.b));
      label->setPalette(palette);
    }
  }
  std::array<QPixmap, kStackingOrder.size()> pixmaps;
  for (LampKind kind : kStackingOrder) pixmaps[static_cast<std::size_t>(kind)] = LampPixmap(kind);
  for (int port = 1; port <= kPortCount; ++port) {
    for (auto kind = kStackingOrder.rbegin(); kind != kStackingOrder.rend(); ++kind) {
      auto* lamp = new QLabel(this);
      lamp->setObjectName(QString::fromStdString(layout::LampName(port, *kind)));
      lamp->setGeometry(ToQRect(layout::LampRect(port)));
      lamp->setPixmap(pixmaps[static_cast<std::size_t>(*kind)]);
      lamp->setAlignment(Qt::AlignLeft | Qt::AlignTop);
      lamp->setAccessibleName(QString("COM: %1").arg(port));
      lamp->setAccessibleDescription(ToQString(layout::LampDescription(*kind)));
      lamp_widgets_[static_cast<std::size_t>(port - 1)][static_cast<std::size_t>(*kind)] = lamp;
    }
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
  place(Command1, layout::kControls[0]);
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

void Form1::Form_Load() {
  scan_.Form_Load();
  ShowLamps();
}

void Form1::Command1_Click() {
  scan_.Command1_Click();
  ShowLamps();
}

void Form1::Timer1_Timer() {
  try {
    scan_.Timer1_Timer();
  } catch (const std::exception& e) {
    // Only a broken serial layer gets here; there is no scan to go on with.
    Timer1->stop();
    on_scan_failure(QString::fromUtf8(e.what()));
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
}

}  // namespace velkaro
