// Checks a screenshot of the window's client area: every label's text must
// lie whole inside its box.
//   label_ink_check SCREENSHOT.png
#include <QImage>

#include <cstdio>

#include "label_ink.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s SCREENSHOT.png\n", argv[0]);
    return 2;
  }
  QImage shot(QString::fromLocal8Bit(argv[1]));
  if (shot.isNull()) {
    std::fprintf(stderr, "label_ink_check: cannot read %s as a picture\n", argv[1]);
    return 2;
  }
  shot = shot.convertToFormat(QImage::Format_RGB32);
  const QRgb background = shot.pixel(255, 2);  // a corner with nothing on it
  const std::vector<std::string> problems =
      velkaro::testing_support::LabelInkProblems(shot, background);
  for (const std::string& problem : problems) {
    std::fprintf(stderr, "label_ink_check: %s\n", problem.c_str());
  }
  return problems.empty() ? 0 : 1;
}
