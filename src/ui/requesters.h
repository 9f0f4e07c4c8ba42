// Modal requesters: a folder, a file to open or save, and message boxes. Each runs one of Qt's own
// dialogs, application-modal, and turns its outcome into a plain result: the chosen path, or ""
// when the user cancelled or nothing could be chosen.
#pragma once

#include <functional>
#include <string>
#include <vector>

class QWidget;

namespace wendrix {

// Message box flags: one OK button and no icon is the only set the program shows.
inline constexpr int kMbOk = 0x0;

// The code of the button that closed a message box.
inline constexpr int kIdOk = 1;

// The chosen folder, always ending with "/"; "" when cancelled. The dialog opens in
// initial_folder when it is given.
std::string ChooseFolder(const std::string& title, const std::string& initial_folder);

// The full path of the chosen file, or "". initial_file is split into the folder the dialog opens
// in and the name it proposes; filter_list is "Description|pattern|Description|pattern...",
// filter_position the 0-based filter selected at the start. The folder of the chosen file must
// exist, the file need not; the save form never asks before replacing a file, adds no extension,
// and neither form changes the process's current folder.
std::string ChooseOpenFile(const std::string& title, const std::string& initial_file,
                           const std::string& filter_list, int filter_position);
std::string ChooseSaveFile(const std::string& title, const std::string& initial_file,
                           const std::string& filter_list, int filter_position);

// Shows a message box with one OK button and no icon (flags: kMbOk) and returns kIdOk, however
// it was closed.
int ShowMessageBox(const std::string& title, const std::string& text, int flags);

// The owner of a requester or message box: the visible modal dialog that opens it, else the Main
// window, else the active window (nullptr when there is none).
QWidget* RequesterOwner();

// A requester that has just opened, as the modal observer sees it, and how to answer it.
class OpenRequester {
 public:
  enum class Kind { kMessage, kFolder, kFile };
  virtual ~OpenRequester() = default;
  virtual Kind kind() const = 0;
  virtual std::string Title() const = 0;
  // A message box's text; "" for the others.
  virtual std::string Text() const = 0;
  // The window it belongs to (RequesterOwner when it opened).
  virtual QWidget* Owner() const = 0;
  // A file or folder requester's folder (ending with "/"), the name it proposes, the selected
  // filter's description, and the names its list shows right now, sorted (the list fills in
  // the background).
  virtual std::string Folder() const = 0;
  virtual std::string Name() const = 0;
  virtual std::string Filter() const = 0;
  virtual std::vector<std::string> Listed() const = 0;
  // Confirms, with `typed` as the name when it is not empty (OK, Open or Save). False when the
  // requester refused and stays open.
  virtual bool Accept(const std::string& typed = "") = 0;
  virtual void Cancel() = 0;
};

// Called, from within its modal loop, with every requester and message box once it is open;
// tests answer them through it. An empty observer leaves them to the user.
void SetModalObserver(std::function<void(OpenRequester&)> observer);

// How a file requester reads its initial file: the folder before the last "/" and the name after
// it. A "/" at the very start gives the folder "/". The name is kept only when it is a valid file
// name (IsValidFileName).
struct InitialFileParts {
  std::string folder;
  std::string name;
};
InitialFileParts SplitInitialFile(const std::string& initial_file);

// Not empty, no control character, none of " \ / : * ? < > |.
bool IsValidFileName(const std::string& name);

// One filter of a filter list. `patterns` is in the file dialog's form (blank-separated, "*.*"
// read as every file); `executables` marks the "*.exe" filter, which shows programs.
struct NameFilter {
  std::string description;
  std::string patterns;
  bool executables = false;
};
std::vector<NameFilter> ParseFilterList(const std::string& filter_list);

}  // namespace wendrix
