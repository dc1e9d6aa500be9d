// The start-up floor beside velkaro: a Qt window with the same widgets,
// texts, fonts and places, from the same layout table, and no logic, no
// icon and no pictures. bench/startup_bench.sh starts both.
#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QWidget>

#include "layout.h"

int main(int argc, char** argv) {
  using namespace velkaro::layout;
  QApplication app(argc, argv);
  QWidget window(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                              Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  window.setWindowTitle(QString::fromUtf8(kTitle.data(), static_cast<int>(kTitle.size())));
  window.setFixedSize(kClientWidth / kTwipsPerPixel, kClientHeight / kTwipsPerPixel);
  QFont font(QString::fromUtf8(kFontFamily.data(), static_cast<int>(kFontFamily.size())));
  font.setPointSizeF(kFontPointSize);
  for (const Control& control : kControls) {
    const QString text =
        QString::fromUtf8(control.text.data(), static_cast<int>(control.text.size()));
    const PixelRect r = ToPixels(control.rect);
    QWidget* widget = nullptr;
    if (control.font == Font::kPlatformDefault) {
      widget = new QPushButton(text, &window);
    } else {
      auto* label = new QLabel(text, &window);
      label->setWordWrap(control.font == Font::kDescription);
      QFont own = font;
      own.setBold(control.font == Font::kPortLabel);
      label->setFont(own);
      widget = label;
    }
    widget->setGeometry(r.left, r.top, r.width, r.height);
  }
  for (int port = 1; port <= velkaro::kPortCount; ++port) {
    const PixelRect r = ToPixels(LampRect(port));
    for (int kind = 0; kind < 4; ++kind) {
      auto* lamp = new QLabel(&window);
      lamp->setGeometry(r.left, r.top, r.width, r.height);
      lamp->setVisible(kind == 0);
    }
  }
  window.show();
  return QApplication::exec();
}
