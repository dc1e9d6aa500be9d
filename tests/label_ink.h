#pragma once

#include <QImage>

#include <cstdlib>
#include <string>
#include <vector>

#include "layout.h"

namespace velkaro::testing_support {

// What is wrong with the labels' text in a screenshot of the window's client
// area: a label whose ink reaches the last column or row of its box was cut
// there, and one that shows fewer words than its text has lost the rest
// beyond its box. Empty when every label's text is whole inside its box.
inline std::vector<std::string> LabelInkProblems(const QImage& shot, QRgb background) {
  // Anti-aliased edges fade out; only clear ink counts, so that the gaps
  // between letters stay narrower than the gaps between words.
  auto ink = [&](int x, int y) {
    const QRgb p = shot.pixel(x, y);
    return std::abs(qRed(p) - qRed(background)) + std::abs(qGreen(p) - qGreen(background)) +
               std::abs(qBlue(p) - qBlue(background)) >
           96;
  };
  constexpr int kWordGap = 3;  // blank columns between two words, at least
  std::vector<std::string> problems;
  for (const layout::Control& control : layout::kControls) {
    if (!control.name.starts_with("Label")) continue;
    const layout::PixelRect box = layout::ToPixels(control.rect);
    const std::string name(control.name);
    if (box.left + box.width > shot.width() || box.top + box.height > shot.height()) {
      problems.push_back(name + ": outside the screenshot");
      continue;
    }
    int words = 0;
    bool cut = false;
    // Text lines are bands of rows with ink; words are runs of inked columns
    // within a band.
    auto row_has_ink = [&](int y) {
      for (int x = 0; x < box.width; ++x) {
        if (ink(box.left + x, box.top + y)) return true;
      }
      return false;
    };
    for (int top = 0; top < box.height;) {
      if (!row_has_ink(top)) {
        ++top;
        continue;
      }
      int bottom = top;
      while (bottom < box.height && row_has_ink(bottom)) ++bottom;
      cut = cut || bottom == box.height;
      int gap = kWordGap;
      for (int x = 0; x < box.width; ++x) {
        bool column_ink = false;
        for (int y = top; y < bottom && !column_ink; ++y)
          column_ink = ink(box.left + x, box.top + y);
        if (column_ink && gap >= kWordGap) ++words;
        gap = column_ink ? 0 : gap + 1;
        cut = cut || (column_ink && x == box.width - 1);
      }
      top = bottom;
    }
    int want = 0;
    bool in_word = false;
    for (char c : control.text) {
      if (c != ' ' && !in_word) ++want;
      in_word = c != ' ';
    }
    if (cut) problems.push_back(name + ": text cut at the edge of its box");
    if (words != want) {
      problems.push_back(name + ": shows " + std::to_string(words) + " of its " +
                         std::to_string(want) + " words");
    }
  }
  return problems;
}

}  // namespace velkaro::testing_support
