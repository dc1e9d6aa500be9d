#include "main_window.h"

#include <QAccessible>
#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTest>
#include <QTextDocumentFragment>
#include <QTimer>
#include <QToolTip>
#include <QWindow>

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "fake_port.h"
#include "lamp_pixels.h"
#include "layout.h"
#include "pictures.h"

namespace velkaro {
namespace {

QRect Pixels(const layout::TwipRect& r) {
  return {r.left / 15, r.top / 15, r.width / 15, r.height / 15};
}

class MainWindowTest : public testing::Test {
 protected:
  MainWindowTest() {
    testing_support::ScriptTheScan(comm);
    form.on_scan_failure = [this](const QString& what) { failures.push_back(what); };
    form.show();
    form.activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(&form));
  }

  template <typename T = QWidget>
  T* Child(const char* name) {
    T* child = form.findChild<T*>(name);
    if (child == nullptr) ADD_FAILURE() << "no control " << name;
    return child;
  }

  // The window's scale as Windows would give it: 96 at 1x, 192 at 2x.
  int Dpi() const { return static_cast<int>(96 * form.devicePixelRatioF()); }

  // Checks every port's 16 by 16 spot in a fresh rendering of the window
  // against the picture of the expected lamp over the window's background.
  void ExpectLampsShown(const std::string& seen) {
    const QImage shot = form.grab().toImage().convertToFormat(QImage::Format_RGB32);
    const QColor window = form.palette().color(QPalette::Window);
    const pictures::Rgb background{static_cast<std::uint8_t>(window.red()),
                                   static_cast<std::uint8_t>(window.green()),
                                   static_cast<std::uint8_t>(window.blue())};
    auto pixel_at = [&shot](int x, int y) {
      const QRgb p = shot.pixel(x, y);
      return pictures::Rgb{static_cast<std::uint8_t>(qRed(p)), static_cast<std::uint8_t>(qGreen(p)),
                           static_cast<std::uint8_t>(qBlue(p))};
    };
    for (int port = 1; port <= kPortCount; ++port) {
      const char c = seen[static_cast<std::size_t>(port - 1)];
      const int wrong = testing_support::WrongLampPixels(pixel_at, port, testing_support::LampOf(c),
                                                         background, Dpi());
      EXPECT_EQ(wrong, 0) << "port " << port << " does not show lamp '" << c << "' in " << seen;
      // Assistive technology must hear of one lamp per port.
      int shown = 0;
      for (LampKind kind : kStackingOrder) {
        shown += Child(layout::LampName(port, kind).c_str())->isVisibleTo(&form) ? 1 : 0;
      }
      EXPECT_EQ(shown, 1) << "port " << port << " in " << seen;
    }
  }

  // A tick by hand, and the probe it started brought back to the window.
  // What a tooltip shows, as text.
  std::string Tip(const char* name) {
    return QTextDocumentFragment::fromHtml(Child(name)->toolTip()).toPlainText().toStdString();
  }

  static void Tick(Form1& f) {
    f.Timer1_Timer();
    ASSERT_TRUE(QTest::qWaitFor([&f] { return !f.scan().probe_out(); }, 10000));
  }

  FakeSerialPort comm;
  Form1 form{comm};
  std::vector<QString> failures;
};

TEST_F(MainWindowTest, ControlsSitWhereTheLayoutTableSaysWithTheirTextsAndFonts) {
  EXPECT_EQ(form.windowTitle(), "Velkaro");
  EXPECT_EQ(form.size(), QSize(259, 169));
  EXPECT_EQ(form.minimumSize(), form.maximumSize()) << "the window must not resize";
  EXPECT_FALSE(form.windowFlags() & (Qt::WindowMaximizeButtonHint | Qt::WindowMinimizeButtonHint));

  const QImage shot = form.grab().toImage().convertToFormat(QImage::Format_RGB32);
  for (const layout::Control& control : layout::kControls) {
    const std::string name(control.name);
    SCOPED_TRACE(name);
    QWidget* widget = Child(name.c_str());
    ASSERT_NE(widget, nullptr);
    EXPECT_EQ(widget->geometry(), Pixels(control.rect));
    const QString text = widget->property("text").toString();
    EXPECT_EQ(text.toStdString(), control.text);
    if (control.font != layout::Font::kPlatformDefault) {
      EXPECT_EQ(widget->font().family(), "Arial");
      EXPECT_DOUBLE_EQ(widget->font().pointSizeF(), 9.75);
      EXPECT_EQ(widget->font().bold(), control.font == layout::Font::kPortLabel);
    }
    if (control.text_colour) {
      const QColor want(control.text_colour->r, control.text_colour->g, control.text_colour->b);
      EXPECT_EQ(widget->palette().color(QPalette::WindowText), want);
      int inked = 0;  // the rendered text shows the colour, not just the palette
      const qreal ratio = shot.devicePixelRatio();
      const QRect box(widget->geometry().topLeft() * ratio, widget->geometry().size() * ratio);
      for (int y = box.top(); y <= box.bottom(); ++y) {
        for (int x = box.left(); x <= box.right(); ++x) {
          if (shot.pixel(x, y) == want.rgb()) ++inked;
        }
      }
      EXPECT_GT(inked, 10);
    }
  }
  EXPECT_TRUE(Child<QLabel>("Label7")->wordWrap());
  EXPECT_EQ(Child<QLabel>("Label4")->text(), "COM: 3");
  EXPECT_EQ(Child<QLabel>("Label3")->text(), "COM: 4");
  EXPECT_EQ(Child("Off1")->geometry(), QRect(219, 24, 16, 16));
  EXPECT_EQ(Child("test5")->geometry(), QRect(219, 117, 16, 16));
}

// A dark theme changes the labels' colour while the window is open, and a
// larger desktop font makes the caption no wider than the button's frame.
TEST_F(MainWindowTest, LabelsAndCaptionStayReadableWithTheDesktopsThemeAndFont) {
  const QPalette light = QApplication::palette();
  QPalette dark = light;
  dark.setColor(QPalette::Window, QColor(0x2a, 0x2e, 0x32));  // as Breeze Dark
  dark.setColor(QPalette::WindowText, QColor(0xfc, 0xfc, 0xfc));
  // Qt tells the widgets of a new palette or font through posted events.
  auto label_colour_on = [this](const QPalette& palette) {
    QApplication::setPalette(palette);
    QApplication::processEvents();
    return Child("Label3")->palette().color(QPalette::WindowText);
  };
  EXPECT_EQ(label_colour_on(dark), QColor(0xfc, 0xfc, 0xfc));
  EXPECT_EQ(label_colour_on(light), QColor(64, 0, 64)) << "back to the light theme";

  auto* button = Child<QPushButton>("Command1");
  const QFont desktop = QApplication::font();
  const int frame = button->style()->pixelMetric(QStyle::PM_DefaultFrameWidth);
  const int margin = frame + button->style()->pixelMetric(QStyle::PM_ButtonMargin) / 2;
  for (double points : {desktop.pointSizeF(), 11.0, 14.0}) {
    QFont f = desktop;
    f.setPointSizeF(points);
    QApplication::setFont(f);
    QApplication::processEvents();
    const QImage shot = button->grab().toImage().convertToFormat(QImage::Format_RGB32);
    QApplication::setFont(desktop);
    QApplication::processEvents();
    const qreal ratio = shot.devicePixelRatio();
    QRect ink;  // dark pixels within the frame
    const int edge = static_cast<int>(std::ceil(frame * ratio));
    for (int y = edge; y < shot.height() - edge; ++y) {
      for (int x = edge; x < shot.width() - edge; ++x) {
        if (qGray(shot.pixel(x, y)) < 100) ink |= QRect(x, y, 1, 1);
      }
    }
    const QRect inside(
        QPoint(margin, frame) * ratio,
        QPoint(button->width() - margin, button->height() - frame) * ratio - QPoint(1, 1));
    EXPECT_TRUE(inside.contains(ink)) << points << " pt: ink " << ink.left() << ".." << ink.right()
                                      << " in " << inside.left() << ".." << inside.right();
    EXPECT_GT(ink.width(), 40 * ratio) << points << " pt: the caption must still be shown";
  }
  EXPECT_EQ(button->font(), desktop) << "a caption that fits keeps the desktop's font";
}

TEST_F(MainWindowTest, StackingPutsTheButtonOnTopAndThePortLabelsAtTheBottom) {
  const QObjectList& order = form.children();  // bottom of the stack first
  auto at = [&](const char* name) { return order.indexOf(Child<QObject>(name)); };
  for (int port = 1; port <= kPortCount; ++port) {
    const std::string n = std::to_string(port);
    const std::string off = (port == 1 ? "Off" : "off") + n;
    EXPECT_LT(at(("Label" + n).c_str()), at(off.c_str()));
    EXPECT_LT(at(off.c_str()), at(("ok" + n).c_str()));
    EXPECT_LT(at(("ok" + n).c_str()), at(("bad" + n).c_str()));
    EXPECT_LT(at(("bad" + n).c_str()), at(("test" + n).c_str()));
    EXPECT_LT(at(("test" + n).c_str()), at("Label7"));
  }
  EXPECT_LT(at("Label7"), at("Command1"));
}

TEST_F(MainWindowTest, TheButtonHoldsTheFocusAndTheKeyboardPressesIt) {
  auto* button = Child<QPushButton>("Command1");
  EXPECT_EQ(QApplication::focusWidget(), button);
  QTest::keyClick(&form, Qt::Key_Tab);
  EXPECT_EQ(QApplication::focusWidget(), button) << "nothing else takes the focus";
  for (const char* label : {"Label1", "Label4", "Label7", "Off1"}) {
    EXPECT_EQ(Child(label)->focusPolicy(), Qt::NoFocus) << label;
  }
  // Around the focus chain the controls come in their tab order: Command1,
  // Label1, Label2, Label3 ("COM: 4"), Label4 ("COM: 3") ... Label7.
  std::vector<std::string> chain;
  QWidget* widget = button;
  do {
    for (const layout::Control& control : layout::kControls) {
      if (widget->objectName().toStdString() == control.name) chain.emplace_back(control.name);
    }
    widget = widget->nextInFocusChain();
  } while (widget != button);
  EXPECT_EQ(chain, (std::vector<std::string>{"Command1", "Label1", "Label2", "Label3", "Label4",
                                             "Label5", "Label6", "Label7"}));

  // Assistive technology meets a window named Velkaro, and the port labels
  // in the order of their rows.
  QAccessibleInterface* window = QAccessible::queryAccessibleInterface(&form);
  EXPECT_EQ(window->role(), QAccessible::Window);
  EXPECT_EQ(window->text(QAccessible::Name), "Velkaro");
  QStringList rows;
  for (int i = 0; i < window->childCount(); ++i) {
    if (window->child(i)->object()->objectName().startsWith("Label")) {
      rows << window->child(i)->text(QAccessible::Name);
    }
  }
  EXPECT_EQ(rows.join(", ").toStdString(), "COM: 1, COM: 2, COM: 3, COM: 4, COM: 5, COM: 6, " +
                                               std::string(layout::kControls[7].text));

  auto* timer = Child<QTimer>("Timer1");
  EXPECT_FALSE(timer->isActive());
  QTest::keyClick(button, Qt::Key_Space);
  EXPECT_TRUE(timer->isActive());
  timer->stop();
  QTest::keyClick(button, Qt::Key_Return);
  EXPECT_TRUE(timer->isActive()) << "Enter presses the button too";
}

// Ctrl+W closes the window as on any desktop, and the window offers the plug
// at every size a desktop may show it, so none is scaled.
TEST_F(MainWindowTest, CtrlWClosesItAndItsIconComesInEverySize) {
  const QList<QSize> sizes = ProgramIcon().availableSizes();
  for (int size : {16, 24, 32, 48, 64, 128, 256}) {
    EXPECT_TRUE(sizes.contains(QSize(size, size))) << size;
  }
  QTest::keyClick(&form, Qt::Key_W, Qt::ControlModifier);
  EXPECT_FALSE(form.isVisible());
}

TEST_F(MainWindowTest, EachTickShowsTheLampsOfTheScan) {
  constexpr char kLong[] =
      "present, in use by <h1>my  x (pid 7); 16550A UART at I/O 0x3f8, IRQ 4, on PnP 00:00 "
      "(PNP0501)";
  comm.SetOpenOutcome(4, kNoSuchPort, kLong);
  ExpectLampsShown("......");
  QTest::mouseClick(Child("Command1"), Qt::LeftButton);
  Child<QTimer>("Timer1")->stop();  // step the scan by hand
  for (std::string_view seen : testing_support::kLampsAfterTick) {
    Tick(form);
    ExpectLampsShown(std::string(seen));
  }
  EXPECT_EQ(form.scan().ScanStep, 0);

  // Assistive technology hears one lamp per port, with what was found; the
  // port's label and lamp tell the same as their tooltip.
  const auto* ok2 = Child("ok2");
  EXPECT_TRUE(ok2->isVisible());
  EXPECT_EQ(ok2->accessibleName(), "COM: 2");
  EXPECT_EQ(ok2->accessibleDescription(), "present; COM2 (fake/COM2): present, free");
  EXPECT_EQ(Tip("Label2"), "COM2 (fake/COM2): present, free");
  EXPECT_EQ(ok2->toolTip(), Child("Label2")->toolTip());
  EXPECT_EQ(Child("Label2")->accessibleDescription(), "COM2 (fake/COM2): present, free");
  EXPECT_FALSE(Child("off2")->isVisible());
  EXPECT_EQ(Child("bad1")->accessibleDescription(),
            "absent; COM1 (fake/COM1): absent: no device node");
  // A program may name itself like HTML; its tooltip still shows the name.
  EXPECT_EQ(Tip("Label3"), std::string("COM4 (fake/COM4): ") + kLong);  // "COM: 4"
  // Every tooltip wraps alike, long or short, looking like HTML or not.
  for (const char* label : {"Label1", "Label2", "Label3"}) {
    const QString tip = Child(label)->toolTip();
    QToolTip::showText(Child(label)->mapToGlobal(QPoint(1, 1)), tip, Child(label));
    const QLabel* shown = nullptr;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      if (widget->inherits("QTipLabel") && widget->isVisible())
        shown = qobject_cast<QLabel*>(widget);
    }
    ASSERT_NE(shown, nullptr);
    EXPECT_TRUE(shown->wordWrap()) << label;
    // No wider than a line of 80 characters, the most a reader follows.
    EXPECT_LE(shown->width(), shown->fontMetrics().averageCharWidth() * 80) << label;
    QToolTip::hideText();
  }

  // A press shows every lamp unlit at once, not at the next tick, and
  // forgets what the last scan found.
  QTest::mouseClick(Child("Command1"), Qt::LeftButton);
  ExpectLampsShown("......");
  EXPECT_EQ(Tip("Label2"), "COM2 (fake/COM2): not probed yet");
  Child<QTimer>("Timer1")->stop();
  Tick(form);
  Tick(form);
  EXPECT_EQ(Tip("Label2"), "COM2 (fake/COM2): present, free");
  EXPECT_EQ(Child("test3")->accessibleDescription(), "next; COM3 (fake/COM3): not probed yet");
}

// Moved to a screen of twice the scale, and to one of one and a half, the
// window draws its lamps again in whole pixels for each, centred in their
// spots.
TEST_F(MainWindowTest, LampsStaySharpOnScreensOfOtherScales) {
  ASSERT_EQ(QGuiApplication::screens().size(), 3);
  const qreal first = form.devicePixelRatioF();
  QTest::mouseClick(Child("Command1"), Qt::LeftButton);
  Child<QTimer>("Timer1")->stop();  // step the scan by hand
  Tick(form);
  for (const auto& [name, scale] : {std::pair{"two", 2.0}, std::pair{"three", 1.5}}) {
    SCOPED_TRACE(scale);
    QScreen* screen = nullptr;
    for (QScreen* each : QGuiApplication::screens()) {
      if (each->name() == QLatin1String(name)) screen = each;
    }
    ASSERT_NE(screen, nullptr);
    // Taken to the other screen while hidden, and shown there: its lamps,
    // drawn at the first scale, are drawn again. (Moved while shown, Qt
    // 6.8's offscreen platform would keep the window's size in device
    // pixels.)
    form.hide();
    form.setScreen(screen);
    form.move(screen->geometry().topLeft() + QPoint(10, 10));
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    ASSERT_TRUE(QTest::qWaitFor([&] { return form.devicePixelRatioF() == scale * first; }, 5000))
        << "the window's scale is still " << form.devicePixelRatioF() << " on "
        << form.screen()->name().toStdString();
    ExpectLampsShown("ry....");
  }
}

// Holding Enter presses the button many times a tick; the scan goes on at
// its pace all the same.
TEST_F(MainWindowTest, PressesDuringAScanDoNotHoldUpItsTicks) {
  QTest::mouseClick(Child("Command1"), Qt::LeftButton);
  for (int press = 0; press < 12; ++press) {
    QTest::qWait(100);
    QTest::keyClick(Child("Command1"), Qt::Key_Return);
  }
  EXPECT_GE(comm.OpenAttempts().size(), 3u) << "the presses restarted the timer's countdown";
}

// Whatever a broken serial layer throws stops at the window: the timer
// stops and the failure is told.
TEST_F(MainWindowTest, AFailedTickStopsTheTimerAndIsTold) {
  struct ThrowingSerialPort : RefusingSerialPort {
    ErrorNumber SetCommPort(std::int16_t) override { throw 42; }
  };
  RefusingSerialPort refusing;
  ThrowingSerialPort throwing;
  for (SerialPort* port : std::initializer_list<SerialPort*>{&refusing, &throwing}) {
    Form1 broken(*port);
    std::vector<QString> told;
    broken.on_scan_failure = [&told](const QString& what) { told.push_back(what); };
    QTest::mouseClick(broken.findChild<QWidget*>("Command1"), Qt::LeftButton);
    Tick(broken);
    EXPECT_FALSE(broken.findChild<QTimer*>("Timer1")->isActive());
    EXPECT_EQ(told.size(), 1u);
  }
}

// A probe whose open waits on the system leaves the window answering: what
// is posted to it is handled, a press shows every lamp unlit at once, and the
// probe's result, when it comes, is dropped.
TEST_F(MainWindowTest, AProbeThatWaitsLeavesTheWindowAnswering) {
  comm.HoldOpen(2);
  QTest::mouseClick(Child("Command1"), Qt::LeftButton);
  Child<QTimer>("Timer1")->stop();
  Tick(form);
  form.Timer1_Timer();
  ASSERT_TRUE(comm.WaitUntilOpenHeld());
  bool handled = false;
  const auto mark_handled = [&handled] { handled = true; };
  QMetaObject::invokeMethod(&form, mark_handled, Qt::QueuedConnection);
  EXPECT_TRUE(QTest::qWaitFor([&handled] { return handled; }, 5000));
  QTest::mouseClick(Child("Command1"), Qt::LeftButton);
  Child<QTimer>("Timer1")->stop();
  ExpectLampsShown("......");
  comm.ReleaseOpen();
  ASSERT_TRUE(QTest::qWaitFor([this] { return !form.scan().probe_out(); }, 10000));
  ExpectLampsShown("......");
  EXPECT_EQ(Tip("Label2"), "COM2 (fake/COM2): not probed yet");
  Tick(form);
  ExpectLampsShown("..ry..");

  // The end waits for a probe that holds its port, not for one still opening.
  for (const auto where : {FakeSerialPort::Hold::kHoldingPort, FakeSerialPort::Hold::kInOpen}) {
    FakeSerialPort held;
    held.SetOpenOutcome(1, kNoError);
    held.HoldOpen(1, where);
    auto closing = std::make_unique<Form1>(held);
    closing->show();
    QTest::mouseClick(closing->findChild<QWidget*>("Command1"), Qt::LeftButton);
    closing->Timer1_Timer();
    ASSERT_TRUE(held.WaitUntilOpenHeld());
    closing->close();
    EXPECT_FALSE(closing->isVisible()) << "the window waited to go";
    std::atomic<bool> released = false;
    std::thread release([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      released = true;
      held.ReleaseOpen();
    });
    closing.reset();
    EXPECT_EQ(released, where == FakeSerialPort::Hold::kHoldingPort);
    release.join();
    ProbeWorker::JoinLeftBehind();
    EXPECT_FALSE(held.is_open());
  }
}

TEST_F(MainWindowTest, TheRealTimerRunsAWholeScan) {
  QTest::mouseClick(Child("Command1"), Qt::LeftButton);
  auto* timer = Child<QTimer>("Timer1");
  EXPECT_EQ(timer->interval(), 300);
  EXPECT_TRUE(QTest::qWaitFor([&] { return !timer->isActive(); }, 5000));
  EXPECT_EQ(comm.OpenAttempts(), (std::vector<std::int16_t>{1, 2, 3, 4, 5, 6}));
  ExpectLampsShown("rgrrgr");
}

}  // namespace
}  // namespace velkaro

int main(int argc, char** argv) {
  // Three screens, the second of twice the scale and the third of one and a
  // half, for a window moved between them. Before QApplication, and also when CTest lists the tests
  // at build time. The scale is Qt's own factor for the screen: since Qt 6.6 the offscreen platform
  // gives no window the "dpr" of its screen.
  const std::string screens = "/tmp/velkaro-screens-" + std::to_string(::getpid()) + ".json";
  std::ofstream(screens) << R"({"screens": [{"name": "one", "width": 800, "height": 600},)"
                         << R"( {"name": "two", "x": 800, "width": 800, "height": 600},)"
                         << R"( {"name": "three", "x": 1600, "width": 800, "height": 600}]})";
  ::setenv("QT_QPA_PLATFORM", ("offscreen:configfile=" + screens).c_str(), 1);
  ::setenv("QT_SCREEN_SCALE_FACTORS", "one=1;two=2;three=1.5", 1);
  QApplication app(argc, argv);
  std::filesystem::remove(screens);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
