// A person at the scan window, for the window bench: loaded into the real
// program as one of Qt's generic plugins (QT_QPA_GENERIC_PLUGINS), so that
// any build of the window, this one or an older one, is measured the same
// way without a line of its own for it. It writes to the file
// TAVRIN_PROBE_OUT:
//   painted <ns> <w> <h>  the start of the live picture's first paint that
//                  drew a frame (CLOCK_MONOTONIC, the bench's own clock),
//                  and the picture's size on the window
//   pages <n> <ns> each time the thumbnail strip holds a new page
// and does what a person would:
//   TAVRIN_PROBE_EXIT=1       presses Exit once the first frame is painted
//   TAVRIN_PROBE_PAGES=N      chooses the automatic continuous capture,
//                             presses its button, and presses Exit six
//                             seconds after the strip holds N pages
#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QEvent>
#include <QFile>
#include <QGenericPlugin>
#include <QListWidget>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <time.h>

namespace {

// Control ids of the scan window's template, kept as object names.
constexpr const char* kExitButton = "1030";
constexpr const char* kContinuousButton = "1028";
constexpr const char* kContinuousModeList = "1095";
constexpr const char* kThumbnailStrip = "1029";
constexpr int kAutomaticItem = 1;
constexpr int kPollMs = 100;
constexpr int kExitAfterRunMs = 6000;

long long NowNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1'000'000'000LL + now.tv_nsec;
}

QWidget* FindWidget(const char* name) {
  for (QWidget* top : QApplication::topLevelWidgets()) {
    if (top->objectName() == QLatin1String(name)) return top;
    if (auto* found = top->findChild<QWidget*>(QLatin1String(name))) return found;
  }
  return nullptr;
}

class Probe : public QObject {
 public:
  Probe() {
    out = qEnvironmentVariable("TAVRIN_PROBE_OUT");
    exitAtFirstFrame = qEnvironmentVariableIntValue("TAVRIN_PROBE_EXIT") == 1;
    pagesWanted = qEnvironmentVariableIntValue("TAVRIN_PROBE_PAGES");
    qApp->installEventFilter(this);
    connect(&poll, &QTimer::timeout, this, &Probe::Poll);
  }

  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Paint && watched->objectName() == "TavrinLensPreview") {
      // The preview counts a paint that drew a frame once it has drawn it,
      // so the paint that first drew one started at the last paint before
      // the count turned positive.
      if (watched->property("framesPainted").toULongLong() > 0) {
        qApp->removeEventFilter(this);
        const auto* preview = static_cast<QWidget*>(watched);
        Write(QByteArray("painted ") + QByteArray::number(lastPaintNs) + " " +
              QByteArray::number(preview->width()) + " " + QByteArray::number(preview->height()) +
              "\n");
        QTimer::singleShot(0, this, &Probe::AfterFirstFrame);
      } else {
        lastPaintNs = NowNs();
      }
    }
    return false;
  }

 private:
  void Write(const QByteArray& line) {
    QFile file(out);
    if (file.open(QIODevice::WriteOnly | QIODevice::Append)) file.write(line);
  }

  static void Press(const char* name) {
    if (auto* button = qobject_cast<QAbstractButton*>(FindWidget(name))) button->click();
  }

  void AfterFirstFrame() {
    if (exitAtFirstFrame) {
      Press(kExitButton);
      return;
    }
    if (pagesWanted <= 0) return;
    if (auto* modes = qobject_cast<QComboBox*>(FindWidget(kContinuousModeList)))
      modes->setCurrentIndex(kAutomaticItem);
    Press(kContinuousButton);
    poll.start(kPollMs);
  }

  void Poll() {
    auto* strip = qobject_cast<QListWidget*>(FindWidget(kThumbnailStrip));
    if (strip == nullptr || strip->count() == pages) return;
    pages = strip->count();
    Write(QByteArray("pages ") + QByteArray::number(pages) + " " + QByteArray::number(NowNs()) +
          "\n");
    if (pages >= pagesWanted) {
      // A while with the run's pages in the strip, for the memory after
      // the run to be read, then Exit.
      poll.stop();
      QTimer::singleShot(kExitAfterRunMs, this, [] { Press(kExitButton); });
    }
  }

  QString out;
  bool exitAtFirstFrame = false;
  int pagesWanted = 0;
  int pages = 0;
  long long lastPaintNs = NowNs();
  QTimer poll;
};

}  // namespace

class WindowProbePlugin : public QGenericPlugin {
  Q_OBJECT
  Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "window_probe.json")

 public:
  QObject* create(const QString&, const QString&) override { return new Probe; }
};

#include "window_probe.moc"
