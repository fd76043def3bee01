#include "console/qt/demo_autoplay.h"

#include <QComboBox>
#include <QPushButton>

#include "console/console.h"
#include "console/qt/main_window.h"
#include "console/qt/tile_button.h"

namespace kv::qt {

namespace {

constexpr int kTickMs = 100;
constexpr int kTilesToLink = 4;
constexpr qint64 kDevicesWaitMs = 15000;
constexpr qint64 kMinuteMs = 60000;

bool isFree(const TileButton* tile) { return tile->text() == "empty"; }

}  // namespace

DemoAutoplay::DemoAutoplay(MainWindow& window, int portIndex, QObject* parent)
    : QObject(parent), window_(window), portIndex_(portIndex) {
  timer_.setInterval(kTickMs);
  connect(&timer_, &QTimer::timeout, this, &DemoAutoplay::tick);
}

void DemoAutoplay::start() {
  clock_.start();
  inStage_.start();
  timer_.start();
}

void DemoAutoplay::next(Stage stage) {
  stage_ = stage;
  inStage_.restart();
}

int DemoAutoplay::occupiedTiles() const {
  int n = 0;
  for (int i = 0; i < kTileCount; ++i) n += !isFree(window_.tile(i));
  return n;
}

bool DemoAutoplay::linkAnotherTile() {
  for (int i = 0; i < kTileCount; ++i) {
    TileButton* tile = window_.tile(i);
    std::uint8_t brand = 0;
    if (isFree(tile) || window_.core().roster.linkedBrand(i, &brand)) continue;
    Q_EMIT step(QString("link tile %1 (%2)").arg(i).arg(tile->text().section('\n', 0, 0)));
    tile->click();
    return true;
  }
  return false;
}

void DemoAutoplay::tick() {
  const qint64 inStage = inStage_.elapsed();
  switch (stage_) {
    case Stage::PickPort:
      if (inStage < 700) return;
      Q_EMIT step("pick the port " + window_.portList()->itemText(portIndex_));
      window_.choosePort(portIndex_);
      next(Stage::Start);
      return;
    case Stage::Start:
      if (inStage < 800) return;
      Q_EMIT step("press Start");
      window_.startButton()->click();
      next(Stage::WaitForDevices);
      return;
    case Stage::WaitForDevices:
      if ((window_.startButton()->text() == "Stop !!!" && occupiedTiles() >= kTilesToLink + 1) ||
          inStage > kDevicesWaitMs) {
        next(Stage::Link);
      }
      return;
    case Stage::Link:
      if (inStage < 500) return;
      if (linked_ < kTilesToLink && linkAnotherTile()) {
        ++linked_;
        inStage_.restart();
        return;
      }
      next(Stage::Settle);
      return;
    case Stage::Settle:
      // The linked tiles show their readings with the next reports.
      if (inStage < 2500) return;
      if (!readySent_) {
        readySent_ = true;
        Q_EMIT ready();
      }
      next(Stage::ClearUseless);
      return;
    case Stage::ClearUseless:
      if (inStage < 10000) return;
      Q_EMIT step("press Clear Useless");
      window_.clearUselessButton()->click();
      next(Stage::LinkOneMore);
      return;
    case Stage::LinkOneMore:
      if (inStage < 5000) return;
      linkAnotherTile();
      next(Stage::StopAtMinute);
      return;
    case Stage::StopAtMinute:
      if (clock_.elapsed() < kMinuteMs) return;
      Q_EMIT step("press Stop");
      window_.startButton()->click();
      next(Stage::Done);
      return;
    case Stage::Done:
      timer_.stop();
      return;
  }
}

}  // namespace kv::qt
