#include "ui/requesters.h"

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QMessageBox>
#include <QPushButton>
#include <QSortFilterProxyModel>

#include "ui/main_window.h"

namespace wendrix {
namespace {

QString PathToQt(const std::string& path) {
  return QFile::decodeName(QByteArray::fromStdString(path));
}
std::string PathFromQt(const QString& path) { return QFile::encodeName(path).toStdString(); }

std::vector<std::string> SplitAtBars(const std::string& text) {
  std::vector<std::string> parts;
  std::string::size_type start = 0;
  while (true) {
    const auto bar = text.find('|', start);
    parts.push_back(text.substr(start, bar == std::string::npos ? std::string::npos : bar - start));
    if (bar == std::string::npos) break;
    start = bar + 1;
  }
  return parts;
}

bool EqualsIgnoringCase(const std::string& a, const char* b) {
  return QString::fromStdString(a).compare(QLatin1String(b), Qt::CaseInsensitive) == 0;
}

// Programs on Linux carry no ".exe": while the executables filter is selected the dialog lists
// folders, executable files and ".exe" files.
class ExecutableFilter : public QSortFilterProxyModel {
 public:
  using QSortFilterProxyModel::QSortFilterProxyModel;

  void SetActive(bool active) {
    if (active == active_) return;
    active_ = active;
    invalidateFilter();
  }

 protected:
  bool filterAcceptsRow(int row, const QModelIndex& parent) const override {
    if (!active_) return true;
    auto* model = qobject_cast<QFileSystemModel*>(sourceModel());
    if (model == nullptr) return true;
    const QFileInfo info = model->fileInfo(model->index(row, 0, parent));
    if (info.isDir()) return true;
    return info.isExecutable() ||
           info.fileName().endsWith(QLatin1String(".exe"), Qt::CaseInsensitive);
  }

 private:
  bool active_ = false;
};

// The file dialog accepts a name whose file need not exist, but refuses one in a folder that does
// not exist.
class FileRequester : public QFileDialog {
 public:
  using QFileDialog::QFileDialog;

  void accept() override {
    const QStringList files = selectedFiles();
    if (!files.isEmpty()) {
      const QFileInfo info(files.first());
      if (!info.isDir() && !QFileInfo(info.absolutePath()).isDir()) {
        QMessageBox::warning(
            this, windowTitle(),
            tr("%1\nPath does not exist.\nCheck the path and try again.").arg(info.absolutePath()));
        return;
      }
    }
    QFileDialog::accept();
  }
};

void PrepareDialog(QFileDialog& dialog, const std::string& title) {
  dialog.setOption(QFileDialog::DontUseNativeDialog, true);
  dialog.setWindowTitle(QString::fromLocal8Bit(title));
  dialog.setWindowModality(Qt::ApplicationModal);
}

std::string ChooseFile(const std::string& title, const std::string& initial_file,
                       const std::string& filter_list, int filter_position, bool save) {
  FileRequester dialog(RequesterOwner());
  PrepareDialog(dialog, title);
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
  dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
  // The list shows the descriptions alone, as they are written.
  dialog.setOption(QFileDialog::HideNameFilterDetails, true);

  auto* proxy = new ExecutableFilter(&dialog);
  dialog.setProxyModel(proxy);

  const std::vector<NameFilter> filters = ParseFilterList(filter_list);
  QStringList qt_filters;
  for (const NameFilter& filter : filters)
    qt_filters << QString::fromLocal8Bit(filter.description + " (" + filter.patterns + ")");
  if (!qt_filters.isEmpty()) {
    dialog.setNameFilters(qt_filters);
    const int selected =
        filter_position >= 0 && filter_position < qt_filters.size() ? filter_position : 0;
    dialog.selectNameFilter(qt_filters[selected]);
    // selectNameFilter does not announce itself, so the proxy starts in the right state here.
    proxy->SetActive(filters[selected].executables);
    QObject::connect(&dialog, &QFileDialog::filterSelected, proxy,
                     [proxy, qt_filters, filters](const QString& chosen) {
                       const auto index = qt_filters.indexOf(chosen);
                       proxy->SetActive(index >= 0 && filters[index].executables);
                     });
  }

  if (!initial_file.empty()) {
    const InitialFileParts parts = SplitInitialFile(initial_file);
    if (!parts.folder.empty()) dialog.setDirectory(PathToQt(parts.folder));
    if (!parts.name.empty()) dialog.selectFile(PathToQt(parts.name));
  }

  if (dialog.exec() != QDialog::Accepted) return {};
  const QStringList files = dialog.selectedFiles();
  if (files.isEmpty()) return {};
  return PathFromQt(files.first());
}

}  // namespace

QWidget* RequesterOwner() {
  // A box the requester itself opens belongs to it. Otherwise the Main window: right after a
  // requester has closed no window may be active yet, and a box without an owner would be made
  // the application's, not the window's.
  if (QWidget* modal = QApplication::activeModalWidget(); modal != nullptr && modal->isVisible())
    return modal;
  if (QWidget* window = MainWindowWidget()) return window;
  return QApplication::activeWindow();
}

bool IsValidFileName(const std::string& name) {
  if (name.empty()) return false;
  for (unsigned char c : name) {
    if (c < 32) return false;
    switch (c) {
      case '"':
      case '\\':
      case '/':
      case ':':
      case '*':
      case '?':
      case '<':
      case '>':
      case '|':
        return false;
      default:
        break;
    }
  }
  return true;
}

InitialFileParts SplitInitialFile(const std::string& initial_file) {
  InitialFileParts parts;
  const auto slash = initial_file.rfind('/');
  if (slash == std::string::npos) {
    parts.name = initial_file;
  } else {
    // "/name": the folder is the root, which has nothing left of its separator.
    parts.folder = slash == 0 ? std::string("/") : initial_file.substr(0, slash);
    parts.name = initial_file.substr(slash + 1);
  }
  if (!IsValidFileName(parts.name)) parts.name.clear();
  return parts;
}

std::vector<NameFilter> ParseFilterList(const std::string& filter_list) {
  std::vector<NameFilter> filters;
  if (filter_list.empty()) return filters;
  const std::vector<std::string> parts = SplitAtBars(filter_list);
  // A description without its pattern ends the list.
  for (std::size_t i = 0; i + 1 < parts.size(); i += 2) {
    if (parts[i].empty() && parts[i + 1].empty()) break;
    NameFilter filter;
    filter.description = parts[i];
    std::string patterns;
    const QStringList pieces = QString::fromLocal8Bit(parts[i + 1]).split(u';', Qt::SkipEmptyParts);
    for (const QString& piece : pieces) {
      std::string pattern = piece.trimmed().toLocal8Bit().toStdString();
      if (pattern.empty()) continue;
      // The dialog's "*.*" needs a dot in the name; here it means every file.
      if (pattern == "*.*") pattern = "*";
      if (EqualsIgnoringCase(pattern, "*.exe")) {
        filter.executables = true;
        pattern = "*";
      }
      if (!patterns.empty()) patterns += ' ';
      patterns += pattern;
    }
    filter.patterns = patterns.empty() ? "*" : patterns;
    filters.push_back(filter);
  }
  return filters;
}

std::string ChooseFolder(const std::string& title, const std::string& initial_folder) {
  QFileDialog dialog(RequesterOwner());
  PrepareDialog(dialog, title);
  dialog.setFileMode(QFileDialog::Directory);
  dialog.setOption(QFileDialog::ShowDirsOnly, true);
  if (!initial_folder.empty()) dialog.setDirectory(PathToQt(initial_folder));
  if (dialog.exec() != QDialog::Accepted) return {};
  const QStringList folders = dialog.selectedFiles();
  if (folders.isEmpty() || folders.first().isEmpty()) return {};
  std::string folder = PathFromQt(folders.first());
  if (folder.back() != '/') folder += '/';
  return folder;
}

std::string ChooseOpenFile(const std::string& title, const std::string& initial_file,
                           const std::string& filter_list, int filter_position) {
  return ChooseFile(title, initial_file, filter_list, filter_position, false);
}

std::string ChooseSaveFile(const std::string& title, const std::string& initial_file,
                           const std::string& filter_list, int filter_position) {
  return ChooseFile(title, initial_file, filter_list, filter_position, true);
}

int ShowMessageBox(const std::string& title, const std::string& text, int flags) {
  QMessageBox box(RequesterOwner());
  box.setWindowModality(Qt::ApplicationModal);
  box.setWindowTitle(QString::fromLocal8Bit(title));
  box.setTextFormat(Qt::PlainText);
  box.setText(QString::fromLocal8Bit(text));
  switch (flags & 0xF0) {
    case kMbIconError:
      box.setIcon(QMessageBox::Critical);
      break;
    case kMbIconQuestion:
      box.setIcon(QMessageBox::Question);
      break;
    case kMbIconWarning:
      box.setIcon(QMessageBox::Warning);
      break;
    case kMbIconInformation:
      box.setIcon(QMessageBox::Information);
      break;
    default:
      box.setIcon(QMessageBox::NoIcon);
      break;
  }

  struct Choice {
    QMessageBox::StandardButton button;
    int code;
  };
  std::vector<Choice> choices;
  switch (flags & 0x0F) {
    case kMbOkCancel:
      choices = {{QMessageBox::Ok, kIdOk}, {QMessageBox::Cancel, kIdCancel}};
      break;
    case kMbAbortRetryIgnore:
      choices = {{QMessageBox::Abort, kIdAbort},
                 {QMessageBox::Retry, kIdRetry},
                 {QMessageBox::Ignore, kIdIgnore}};
      break;
    case kMbYesNoCancel:
      choices = {
          {QMessageBox::Yes, kIdYes}, {QMessageBox::No, kIdNo}, {QMessageBox::Cancel, kIdCancel}};
      break;
    case kMbYesNo:
      choices = {{QMessageBox::Yes, kIdYes}, {QMessageBox::No, kIdNo}};
      break;
    case kMbRetryCancel:
      choices = {{QMessageBox::Retry, kIdRetry}, {QMessageBox::Cancel, kIdCancel}};
      break;
    default:
      choices = {{QMessageBox::Ok, kIdOk}};
      break;
  }
  QMessageBox::StandardButtons buttons;
  for (const Choice& choice : choices) buttons |= choice.button;
  box.setStandardButtons(buttons);
  box.setDefaultButton(choices.front().button);

  box.exec();
  const QAbstractButton* clicked = box.clickedButton();
  for (const Choice& choice : choices)
    if (clicked != nullptr && clicked == box.button(choice.button)) return choice.code;
  // Closed without a button: the box's cancel, or its only button.
  for (const Choice& choice : choices)
    if (choice.code == kIdCancel) return kIdCancel;
  return choices.size() == 1 ? choices.front().code : kIdCancel;
}

}  // namespace wendrix
