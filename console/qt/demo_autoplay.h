// The demo's operator: plays the first minute at the console through the
// same paths as a person would, picking the simulated dongle's port,
// starting the scan, linking a few tiles, freeing the rest with "Clear
// Useless", linking one more, and stopping the scan at the end of the
// minute.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

namespace kv::qt {

class MainWindow;

class DemoAutoplay : public QObject {
  Q_OBJECT

 public:
  // `portIndex`: the simulated dongle's entry in the port list.
  DemoAutoplay(MainWindow& window, int portIndex, QObject* parent = nullptr);

  void start();

 Q_SIGNALS:
  // Tiles are linked and their readings are in: a good moment for a picture.
  void ready();
  // Progress, one line per step.
  void step(const QString& what);

 private:
  enum class Stage { PickPort, Start, WaitForDevices, Link, Settle, ClearUseless, LinkOneMore, StopAtMinute, Done };

  void tick();
  void next(Stage stage);
  // Clicks the first occupied tile not linked yet; false when none.
  bool linkAnotherTile();
  int occupiedTiles() const;

  MainWindow& window_;
  const int portIndex_;
  QTimer timer_;
  QElapsedTimer clock_;   // since start
  QElapsedTimer inStage_;
  Stage stage_ = Stage::PickPort;
  int linked_ = 0;
  bool readySent_ = false;
};

}  // namespace kv::qt
