// The console's session report: File > "Session report...".
#include <cstdio>
#include <exception>
#include <fstream>
#include <filesystem>

#include "console/console.h"
#include "console/report/report_options.h"
#include "report/outputs.h"
#include "report/session.h"

namespace kv {

namespace {

std::string fileNameOf(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The report thread: reads the recording, writes the page.
void makeReport(ConsoleCore::ReportJob* job, std::shared_ptr<const ParticipantTable> people) {
  report::Session session;
  std::string refusal;
  if (!report::readSessionFile(job->recording, &session, &refusal)) {
    job->failure = refusal;
  } else {
    if (people != nullptr) report::nameParticipants(&session, *people);
    bool readings = false;
    for (const auto& d : session.devices)
      for (const auto& s : d.samples) readings = readings || (s.heartRate >= 1 && s.heartRate <= 254);
    if (!readings) {
      job->failure = "it has no readings";
    } else {
      const report::Report r = report::makeReport(session, fileNameOf(job->recording));
      const std::string html = report::reportHtml(r);
      const std::string page = report::defaultReportPath(job->recording);
      const std::filesystem::path p(std::u8string(page.begin(), page.end()));
      std::ofstream out(p, std::ios::binary | std::ios::trunc);
      out.write(html.data(), static_cast<std::streamsize>(html.size()));
      out.flush();
      if (out) job->page = page;
      else job->failure = "the page " + page + " cannot be written";
    }
  }
  job->done = true;
}

}  // namespace

bool startSessionReport(ConsoleCore& core, const char* path) {
  ConsoleCore::ReportJob& job = core.reportJob;
  if (job.thread.joinable() && !job.done.load()) return false;
  if (job.thread.joinable()) job.thread.join();
  job.recording = path;
  job.page.clear();
  job.failure.clear();
  job.done = false;
  try {
    job.thread = std::thread(makeReport, &job, core.participants);
  } catch (const std::exception&) {
    job.failure = "no thread could be started for it";
    job.done = true;
  }
  std::snprintf(core.recordingNote, sizeof core.recordingNote, "Making the session report of %s ...",
                fileNameOf(path).c_str());
  core.noteUntilMs = core.clock.nowMs() + kRecordingNoteMs;
  showStatus(core);
  return true;
}

void watchSessionReport(ConsoleCore& core) {
  ConsoleCore::ReportJob& job = core.reportJob;
  if (!job.thread.joinable() || !job.done.load()) return;
  job.thread.join();
  if (!job.page.empty()) {
    std::snprintf(core.recordingNote, sizeof core.recordingNote, "Session report: %s", job.page.c_str());
    core.view.openDocument(job.page.c_str());
  } else {
    std::snprintf(core.recordingNote, sizeof core.recordingNote, "No session report of %s: %s",
                  fileNameOf(job.recording).c_str(), job.failure.c_str());
  }
  core.noteUntilMs = core.clock.nowMs() + kRecordingNoteMs;
  showStatus(core);
}

void finishSessionReport(ConsoleCore& core) {
  if (core.reportJob.thread.joinable()) core.reportJob.thread.join();
}

}  // namespace kv
