#include "ui/requesters.h"

#include <sys/stat.h>

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSortFilterProxyModel>
#include <QTimer>
#include <algorithm>
#include <utility>

#include "services/path_helpers.h"
#include "ui/byte_text.h"
#include "ui/main_window.h"

namespace wendrix {
namespace {

QString PathToQt(const std::string& path) { return BytesToQt(path); }
std::string PathFromQt(const QString& path) { return BytesFromQt(path); }

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

std::function<void(OpenRequester&)>& ModalObserver() {
  static std::function<void(OpenRequester&)> observer;
  return observer;
}

// The dialog's modal loop; the observer hears of the dialog once the loop runs.
int ExecRequester(QDialog& dialog, OpenRequester& view) {
  if (ModalObserver()) {
    QTimer::singleShot(0, &dialog, [&view] {
      if (ModalObserver()) ModalObserver()(view);
    });
  }
  return dialog.exec();
}

class MessageBoxView final : public OpenRequester {
 public:
  explicit MessageBoxView(QMessageBox& box) : box_(box) {}
  Kind kind() const override { return Kind::kMessage; }
  std::string Title() const override { return box_.windowTitle().toLocal8Bit().toStdString(); }
  std::string Text() const override { return box_.text().toLocal8Bit().toStdString(); }
  QWidget* Owner() const override { return box_.parentWidget(); }
  std::string Folder() const override { return {}; }
  std::string Name() const override { return {}; }
  std::string Filter() const override { return {}; }
  std::vector<std::string> Listed() const override { return {}; }
  bool Accept(const std::string&) override {
    if (QAbstractButton* ok = box_.button(QMessageBox::Ok)) {
      ok->click();
    } else {
      box_.accept();
    }
    return !box_.isVisible();
  }
  void Cancel() override { box_.reject(); }

 private:
  QMessageBox& box_;
};

class FileDialogView final : public OpenRequester {
 public:
  FileDialogView(QFileDialog& dialog, Kind kind, const QSortFilterProxyModel* proxy = nullptr,
                 std::vector<NameFilter> filters = {}, QStringList qt_filters = {})
      : dialog_(dialog),
        kind_(kind),
        proxy_(proxy),
        filters_(std::move(filters)),
        qt_filters_(std::move(qt_filters)) {}

  Kind kind() const override { return kind_; }
  std::string Title() const override { return dialog_.windowTitle().toLocal8Bit().toStdString(); }
  QWidget* Owner() const override { return dialog_.parentWidget(); }
  std::string Text() const override { return {}; }
  std::string Folder() const override {
    const QString folder = dialog_.directory().absolutePath();
    return PathFromQt(folder.endsWith('/') ? folder : folder + '/');
  }
  std::string Name() const override {
    const QStringList files = dialog_.selectedFiles();
    if (files.isEmpty()) return {};
    const QFileInfo info(files.first());
    // Nothing named: the dialog offers its folder itself.
    if (info.absoluteFilePath() == dialog_.directory().absolutePath()) return {};
    return PathFromQt(info.fileName());
  }
  std::string Filter() const override {
    const QString chosen = dialog_.selectedNameFilter();
    const auto index = qt_filters_.indexOf(chosen);
    return index >= 0 ? filters_[index].description : chosen.toLocal8Bit().toStdString();
  }
  std::vector<std::string> Listed() const override {
    std::vector<std::string> names;
    auto* model =
        proxy_ != nullptr ? qobject_cast<QFileSystemModel*>(proxy_->sourceModel()) : nullptr;
    if (model == nullptr) return names;
    const QModelIndex root =
        proxy_->mapFromSource(model->index(dialog_.directory().absolutePath()));
    for (int row = 0; row < proxy_->rowCount(root); ++row)
      names.push_back(PathFromQt(proxy_->index(row, 0, root).data().toString()));
    std::sort(names.begin(), names.end());
    return names;
  }
  bool Accept(const std::string& typed) override {
    if (!typed.empty()) {
      // Typed into the name field, as the user would: a path there is not gone to first.
      const QList<QLineEdit*> fields = dialog_.findChildren<QLineEdit*>();
      if (fields.size() == 1) {
        fields.front()->setText(PathToQt(typed));
      } else {
        dialog_.selectFile(PathToQt(typed));
      }
    }
    static_cast<QDialog&>(dialog_).accept();  // as the dialog's own button: through its checks
    return !dialog_.isVisible();
  }
  void Cancel() override { dialog_.reject(); }

 private:
  QFileDialog& dialog_;
  Kind kind_;
  const QSortFilterProxyModel* proxy_;
  std::vector<NameFilter> filters_;
  QStringList qt_filters_;
};

bool IsFolder(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// The file dialog accepts a name whose file need not exist, but refuses one in a folder that does
// not exist.
class FileRequester : public QFileDialog {
 public:
  using QFileDialog::QFileDialog;

  void accept() override {
    const QStringList files = selectedFiles();
    if (!files.isEmpty()) {
      const QFileInfo info(files.first());
      const std::string path = PathFromDialog(files.first());
      if (!IsFolder(path) && !IsFolder(std::string(FolderPart(path)))) {
        QMessageBox box(
            QMessageBox::Warning, windowTitle(),
            tr("%1\nPath does not exist.\nCheck the path and try again.").arg(info.absolutePath()),
            QMessageBox::Ok, this);
        MessageBoxView view(box);
        ExecRequester(box, view);
        return;
      }
    }
    QFileDialog::accept();
  }
};

// The folder dialog's own check cannot find a folder whose name is not UTF-8: this one can.
class FolderRequester : public QFileDialog {
 public:
  using QFileDialog::QFileDialog;

  void accept() override {
    const QStringList folders = selectedFiles();
    if (folders.isEmpty()) return QFileDialog::accept();
    if (IsFolder(PathFromDialog(folders.first()))) return QDialog::accept();
    QMessageBox box(QMessageBox::Warning, windowTitle(),
                    tr("%1\nDirectory not found.\nPlease verify the correct directory name was "
                       "given.")
                        .arg(folders.first()),
                    QMessageBox::Ok, this);
    MessageBoxView view(box);
    ExecRequester(box, view);
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

  FileDialogView view(dialog, OpenRequester::Kind::kFile, proxy, filters, qt_filters);
  if (ExecRequester(dialog, view) != QDialog::Accepted) return {};
  const QStringList files = dialog.selectedFiles();
  if (files.isEmpty()) return {};
  return PathFromDialog(files.first());
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

void SetModalObserver(std::function<void(OpenRequester&)> observer) {
  ModalObserver() = std::move(observer);
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
  FolderRequester dialog(RequesterOwner());
  PrepareDialog(dialog, title);
  dialog.setFileMode(QFileDialog::Directory);
  dialog.setOption(QFileDialog::ShowDirsOnly, true);
  if (!initial_folder.empty()) dialog.setDirectory(PathToQt(initial_folder));
  FileDialogView view(dialog, OpenRequester::Kind::kFolder);
  if (ExecRequester(dialog, view) != QDialog::Accepted) return {};
  const QStringList folders = dialog.selectedFiles();
  if (folders.isEmpty() || folders.first().isEmpty()) return {};
  std::string folder = PathFromDialog(folders.first());
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
  (void)flags;  // kMbOk: the only set offered
  QMessageBox box(RequesterOwner());
  box.setWindowModality(Qt::ApplicationModal);
  box.setWindowTitle(QString::fromLocal8Bit(title));
  box.setTextFormat(Qt::PlainText);
  box.setText(QString::fromLocal8Bit(text));
  box.setIcon(QMessageBox::NoIcon);
  box.setStandardButtons(QMessageBox::Ok);
  box.setDefaultButton(QMessageBox::Ok);
  MessageBoxView view(box);
  ExecRequester(box, view);
  return kIdOk;
}

}  // namespace wendrix
