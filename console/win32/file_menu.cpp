#include "console/win32/file_menu.h"

#include <commdlg.h>
#include <shlobj.h>

#include <cstring>
#include <cwchar>

#include "console/console.h"
#include "console/win32/main_window.h"
#include "console/win32/utf16.h"
#include "recording/csv.h"

namespace kv::win32 {

namespace {

constexpr const char* kRecordingSection = "recording";
constexpr const char* kFolderKey = "folder";
constexpr const char* kParticipantsSection = "participants";
constexpr const char* kFileKey = "file";

std::wstring knownFolder(int csidl) {
  wchar_t path[MAX_PATH] = {};
  if (::SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path) != S_OK) return std::wstring();
  return path;
}

std::wstring settingsFile() {
  const std::wstring appData = knownFolder(CSIDL_APPDATA);
  if (appData.empty()) return std::wstring();
  return appData + L"\\Koravel\\koravel.ini";
}

bool isFolder(const std::wstring& path) {
  const DWORD a = ::GetFileAttributesW(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool isFile(const std::wstring& path) {
  const DWORD a = ::GetFileAttributesW(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::wstring folderOf(const std::wstring& path) {
  const std::size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

// The folder a dialog starts in: that of `path` when it is there, else the
// user's Documents.
std::wstring folderFor(const std::wstring& path) {
  const std::wstring folder = folderOf(path);
  if (!folder.empty() && isFolder(folder)) return folder;
  return knownFolder(CSIDL_PERSONAL);
}

constexpr wchar_t kCsvFilter[] = L"CSV files (*.csv)\0*.csv\0All files (*.*)\0*.*\0";

// The common file dialog; "" when the operator cancelled. `save`: a Save
// dialog that asks before an existing file is replaced.
std::wstring chooseFile(HWND owner, const wchar_t* title, const std::wstring& folder, const std::wstring& name,
                        bool save) {
  wchar_t file[4 * MAX_PATH] = {};
  if (name.size() < sizeof file / sizeof file[0]) std::wcsncpy(file, name.c_str(), name.size());
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = owner;
  ofn.lpstrFilter = kCsvFilter;
  ofn.lpstrFile = file;
  ofn.nMaxFile = sizeof file / sizeof file[0];
  ofn.lpstrInitialDir = folder.empty() ? nullptr : folder.c_str();
  ofn.lpstrTitle = title;
  ofn.lpstrDefExt = L"csv";
  ofn.Flags = OFN_EXPLORER | OFN_NOCHANGEDIR | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;
  if (save) {
    ofn.Flags |= OFN_OVERWRITEPROMPT;
    return ::GetSaveFileNameW(&ofn) ? std::wstring(file) : std::wstring();
  }
  ofn.Flags |= OFN_FILEMUSTEXIST;
  return ::GetOpenFileNameW(&ofn) ? std::wstring(file) : std::wstring();
}

void recordReadings(Win32Console& app) {
  if (app.core.recording.running()) {
    handleCommand(app.core, id::kRecord, 0);
    return;
  }
  std::wstring folder = widen(readSetting(kRecordingSection, kFolderKey));
  if (folder.empty() || !isFolder(folder)) folder = knownFolder(CSIDL_PERSONAL);
  char name[32];
  defaultRecordingName(name, unixMsNow());
  const std::wstring path = chooseFile(app.mainWindow, L"Record readings", folder, widen(name), true);
  if (path.empty()) return;
  // The dialog asked before it let an existing file be picked.
  if (startRecording(app.core, narrow(path).c_str(), isFile(path)))
    writeSetting(kRecordingSection, kFolderKey, narrow(folderOf(path)));
}

void openParticipants(Win32Console& app) {
  const std::wstring remembered = widen(readSetting(kParticipantsSection, kFileKey));
  const std::wstring path = chooseFile(app.mainWindow, L"Participants", folderFor(remembered), std::wstring(), false);
  if (path.empty()) return;
  if (loadParticipants(app.core, narrow(path).c_str())) writeSetting(kParticipantsSection, kFileKey, narrow(path));
}

void saveHeard(Win32Console& app) {
  const std::wstring remembered = widen(readSetting(kParticipantsSection, kFileKey));
  const std::wstring name =
      remembered.empty() ? std::wstring(L"participants.csv") : remembered.substr(folderOf(remembered).size() + 1);
  const std::wstring path =
      chooseFile(app.mainWindow, L"Save heard devices as participants", folderFor(remembered), name, true);
  if (path.empty()) return;
  char error[200];
  if (!saveHeardAsParticipants(app.core, narrow(path).c_str(), error, sizeof error))
    app.view.showErrorBox(("Cannot write " + narrow(path) + ": " + error).c_str(), "Koravel");
}

void sessionReport(Win32Console& app) {
  // By default the last recording made.
  std::wstring last = widen(app.core.recording.path());
  std::wstring folder;
  std::wstring name;
  if (!last.empty() && isFile(last)) {
    folder = folderOf(last);
    name = last.substr(folder.size() + 1);
  } else {
    folder = widen(readSetting(kRecordingSection, kFolderKey));
    if (folder.empty() || !isFolder(folder)) folder = knownFolder(CSIDL_PERSONAL);
  }
  const std::wstring path = chooseFile(app.mainWindow, L"Session report", folder, name, false);
  if (!path.empty()) startSessionReport(app.core, narrow(path).c_str());
}

}  // namespace

std::string readSetting(const char* section, const char* key) {
  const std::wstring file = settingsFile();
  if (file.empty()) return std::string();
  wchar_t value[4 * MAX_PATH] = {};
  ::GetPrivateProfileStringW(widen(section).c_str(), widen(key).c_str(), L"", value, sizeof value / sizeof value[0],
                             file.c_str());
  return narrow(value);
}

void writeSetting(const char* section, const char* key, const std::string& value) {
  const std::wstring file = settingsFile();
  if (file.empty()) return;
  ::CreateDirectoryW(folderOf(file).c_str(), nullptr);
  if (!isFile(file)) {
    // Begun in UTF-16 with its byte-order mark: the profile functions then
    // keep every path as it is, whatever the system's code page.
    HANDLE h = ::CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      const unsigned char bom[2] = {0xFF, 0xFE};
      DWORD written = 0;
      ::WriteFile(h, bom, sizeof bom, &written, nullptr);
      ::CloseHandle(h);
    }
  }
  ::WritePrivateProfileStringW(widen(section).c_str(), widen(key).c_str(),
                               value.empty() ? nullptr : widen(value).c_str(), file.c_str());
}

bool fileMenuCommand(Win32Console& app, int command) {
  switch (command) {
    case id::kRecord:
      recordReadings(app);
      return true;
    case id::kParticipants:
      openParticipants(app);
      return true;
    case id::kNoParticipants:
      writeSetting(kParticipantsSection, kFileKey, std::string());
      handleCommand(app.core, id::kNoParticipants, 0);
      return true;
    case id::kSaveHeard:
      saveHeard(app);
      return true;
    case id::kSessionReport:
      sessionReport(app);
      return true;
    default:
      return false;
  }
}

void loadRememberedParticipants(Win32Console& app) {
  const std::string path = readSetting(kParticipantsSection, kFileKey);
  if (!path.empty()) loadParticipants(app.core, path.c_str());
}

}  // namespace kv::win32
