#include "support/recording_view.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

namespace kv::test {

void RecordingView::record(std::string line) { calls_.push_back(std::move(line)); }

std::string RecordingView::log() const {
  std::lock_guard lock(m_);
  return log_;
}
std::string RecordingView::dongleLine() const {
  std::lock_guard lock(m_);
  return dongleLine_;
}
std::string RecordingView::startLabel() const {
  std::lock_guard lock(m_);
  return startLabel_;
}
int RecordingView::startEnabledCount() const {
  std::lock_guard lock(m_);
  return startEnabled_;
}
std::string RecordingView::tileText(int slot) const {
  std::lock_guard lock(m_);
  return tiles_[slot];
}
std::string RecordingView::linkedCount() const {
  std::lock_guard lock(m_);
  return linkedCount_;
}
std::string RecordingView::tooltip(int slot) const {
  std::lock_guard lock(m_);
  return tooltips_[slot];
}
bool RecordingView::tooltipActive(int slot) const {
  std::lock_guard lock(m_);
  return tooltipActive_[slot];
}
int RecordingView::tooltipSets(int slot) const {
  std::lock_guard lock(m_);
  return tooltipSets_[slot];
}
std::vector<int> RecordingView::tooltipRequests() const {
  std::lock_guard lock(m_);
  return tooltipRequests_;
}
std::string RecordingView::logButtonLabel() const {
  std::lock_guard lock(m_);
  return logButton_;
}
std::vector<std::string> RecordingView::calls() const {
  std::lock_guard lock(m_);
  return calls_;
}
void RecordingView::clearCalls() {
  std::lock_guard lock(m_);
  calls_.clear();
}
std::vector<int> RecordingView::waits() const {
  std::lock_guard lock(m_);
  return waits_;
}
std::vector<std::string> RecordingView::errorBoxes() const {
  std::lock_guard lock(m_);
  return errorBoxes_;
}

void RecordingView::onUi(const std::function<void()>& fn) {
  std::lock_guard ui(ui_);
  fn();
}

void RecordingView::deliverTooltipRequests(const std::function<void(int)>& handler) {
  std::vector<int> pending;
  {
    std::lock_guard lock(m_);
    pending.swap(tooltipRequests_);
  }
  std::lock_guard ui(ui_);
  for (int slot : pending) handler(1400 + slot);
}

bool RecordingView::waitForLog(const std::string& text, int ms) const {
  std::unique_lock lock(m_);
  return logChanged_.wait_for(lock, std::chrono::milliseconds(ms),
                              [&] { return log_.find(text) != std::string::npos; });
}

void RecordingView::setSelectedPort(int index, const std::string& name) {
  std::lock_guard lock(m_);
  selectedPort_ = index;
  selectedPortName_ = name;
}

void RecordingView::appendLog(const char* text) {
  std::lock_guard ui(ui_);
  std::lock_guard lock(m_);
  log_ += text;
  record(std::string("appendLog ") + text);
  logChanged_.notify_all();
}

void RecordingView::setDongleLine(const char* text) {
  std::lock_guard ui(ui_);
  std::lock_guard lock(m_);
  dongleLine_ = text;
  record(std::string("setDongleLine ") + text);
}

void RecordingView::setStartLabel(const char* text) {
  std::lock_guard ui(ui_);
  std::lock_guard lock(m_);
  startLabel_ = text;
  ++startEnabled_;
  record(std::string("setStartLabel ") + text);
}

void RecordingView::setTileText(int slot, const char* text) {
  std::lock_guard ui(ui_);
  std::lock_guard lock(m_);
  tiles_[slot] = text;
  record("setTileText " + std::to_string(slot) + " " + text);
}

void RecordingView::setLinkedCount(const char* text) {
  std::lock_guard ui(ui_);
  std::lock_guard lock(m_);
  linkedCount_ = text;
  record(std::string("setLinkedCount ") + text);
}

void RecordingView::setTileTooltip(int slot, const char* text) {
  std::lock_guard ui(ui_);
  std::lock_guard lock(m_);
  tooltips_[slot] = text;
  tooltipActive_[slot] = true;
  ++tooltipSets_[slot];
  record("setTileTooltip " + std::to_string(slot) + " " + text);
}

void RecordingView::deactivateTooltip(int slot) {
  std::lock_guard ui(ui_);
  std::lock_guard lock(m_);
  tooltipActive_[slot] = false;
  record("deactivateTooltip " + std::to_string(slot));
}

void RecordingView::runOnUiThread(void (*fn)(void*), void* arg) {
  std::lock_guard ui(ui_);
  fn(arg);
}

void RecordingView::postTooltipRequest(int slot) {
  std::lock_guard lock(m_);
  tooltipRequests_.push_back(slot);
  record("postTooltipRequest " + std::to_string(slot));
}

void RecordingView::setLogButtonLabel(const char* text) {
  std::lock_guard lock(m_);
  logButton_ = text;
  record(std::string("setLogButtonLabel ") + text);
}

void RecordingView::clearLog() {
  std::lock_guard lock(m_);
  log_.clear();
  record("clearLog");
}

unsigned RecordingView::logCaretLine() {
  std::lock_guard lock(m_);
  return static_cast<unsigned>(std::count(log_.begin(), log_.end(), '\n'));
}

void RecordingView::trimLogFront(int count) {
  std::lock_guard lock(m_);
  log_.erase(0, std::min<std::size_t>(static_cast<std::size_t>(count), log_.size()));
  record("trimLogFront " + std::to_string(count));
}

int RecordingView::selectedPort() {
  std::lock_guard lock(m_);
  return selectedPort_;
}

void RecordingView::portName(int index, char* out, int size) {
  std::lock_guard lock(m_);
  if (size <= 0) return;
  std::string name = index == selectedPort_ ? selectedPortName_ : std::string();
  if (name.empty() && index >= 0 && index < static_cast<int>(ports_.size())) name = ports_[static_cast<std::size_t>(index)];
  std::strncpy(out, name.c_str(), static_cast<std::size_t>(size) - 1);
  out[size - 1] = '\0';
}

void RecordingView::showErrorBox(const char* text, const char* caption) {
  std::lock_guard lock(m_);
  errorBoxes_.push_back(std::string(caption) + ": " + text);
  record(std::string("showErrorBox ") + caption + ": " + text);
}

void RecordingView::showAboutBox() {
  std::lock_guard lock(m_);
  ++aboutShown_;
  record("showAboutBox");
}

void RecordingView::postShutdown() {
  std::lock_guard lock(m_);
  ++shutdownsPosted_;
  record("postShutdown");
}

void RecordingView::destroyWindow() {
  std::lock_guard lock(m_);
  ++destroyed_;
  record("destroyWindow");
}

void RecordingView::waitServingLink(int ms) {
  {
    std::lock_guard lock(m_);
    waits_.push_back(ms);
    record("waitServingLink " + std::to_string(ms));
  }
  if (onWait) {
    onWait(ms);
  } else {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }
}

bool RecordingView::waitServingLinkUntil(bool (*done)(void*), void* arg, int timeoutMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done(arg)) {
    if (std::chrono::steady_clock::now() >= end) return done(arg);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

bool RecordingView::addPort(const char* path) {
  std::lock_guard lock(m_);
  if (static_cast<int>(ports_.size()) >= portLimit) return false;
  ports_.push_back(path);
  record(std::string("addPort ") + path);
  return true;
}

void RecordingView::setStatusLine(const char* text) {
  std::lock_guard lock(m_);
  statusLine_ = text;
  record(std::string("setStatusLine ") + text);
}

void RecordingView::postStatusCheck() {
  std::lock_guard lock(m_);
  ++statusChecks_;
}

int RecordingView::statusChecksPosted() const {
  std::lock_guard lock(m_);
  return statusChecks_;
}

std::string RecordingView::statusLine() const {
  std::lock_guard lock(m_);
  return statusLine_;
}

void RecordingView::showRecording(const char* recordText, bool markable) {
  std::lock_guard lock(m_);
  recordMenu_ = recordText;
  markable_ = markable;
  record(std::string("showRecording ") + recordText + (markable ? " markable" : ""));
}

std::string RecordingView::recordMenu() const {
  std::lock_guard lock(m_);
  return recordMenu_;
}

bool RecordingView::markable() const {
  std::lock_guard lock(m_);
  return markable_;
}

void RecordingView::clearPorts() {
  std::lock_guard lock(m_);
  ports_.clear();
  selectedPort_ = -1;
  selectedPortName_.clear();
  record("clearPorts");
}

void RecordingView::selectPortItem(int index) {
  std::lock_guard lock(m_);
  if (index < 0 || index >= static_cast<int>(ports_.size())) return;
  selectedPort_ = index;
  selectedPortName_ = ports_[static_cast<std::size_t>(index)];
  record("selectPortItem " + std::to_string(index));
}

std::vector<std::string> RecordingView::ports() const {
  std::lock_guard lock(m_);
  return ports_;
}

void RecordingView::repaintTiles() {
  std::lock_guard lock(m_);
  record("repaintTiles");
}

}  // namespace kv::test
