#include "settings/settings_flows.h"

#include <algorithm>
#include <iterator>

#include "services/directory_listing.h"
#include "services/path_helpers.h"
#include "settings/pending_file.h"
#include "settings/settings_store.h"

namespace wendrix {

namespace {

constexpr const char* kKeyPath = "StringPath";
constexpr const char* kKeySearchText = "StringSearchText";
constexpr const char* kKeyProcessFiles = "CheckboxProcessFiles";
constexpr const char* kKeyProcessFolders = "CheckboxProcessFolders";
constexpr const char* kKeyDestination = "StringDestination";
constexpr const char* kKeyCommand = "StringCommand";
constexpr const char* kKeyParameters = "StringParameters";

constexpr const char* kRequesterTitle = "Please choose some config file";
constexpr const char* kRequesterFilters = "Config files (*.ini)|*.ini|All files|*.*";

// Installed, the Config folder is the user's own, which nobody else makes: made here, so that the
// requester opens in it.
std::string RequesterDefault() {
  const std::string config = OwnFolder() + "Config";
  if (RunsInstalled()) MakeFolderWithParents(config);
  return config + "/default.ini";
}

constexpr const char* kKeys[] = {kKeyPath,           kKeySearchText,  kKeyProcessFiles,
                                 kKeyProcessFolders, kKeyDestination, kKeyCommand,
                                 kKeyParameters};

// The seven values of the store in use, which it closes.
Settings ReadOpenStore() {
  const Settings missing = MissingKeyDefaults();
  Settings settings;
  settings.path = StoreReadString(kKeyPath, missing.path);
  settings.search_text = StoreReadString(kKeySearchText, missing.search_text);
  settings.process_files = StoreReadInteger(kKeyProcessFiles, missing.process_files) != 0 ? 1 : 0;
  settings.process_folders =
      StoreReadInteger(kKeyProcessFolders, missing.process_folders) != 0 ? 1 : 0;
  settings.destination = StoreReadString(kKeyDestination, missing.destination);
  settings.command = StoreReadString(kKeyCommand, missing.command);
  settings.parameters = StoreReadString(kKeyParameters, missing.parameters);
  StoreClose();
  return settings;
}

}  // namespace

std::string DefaultSettingsPath() { return UserWendrixFolder() + "default.ini"; }

bool SaveSettingsFile(const std::string& file_name, const Settings& settings) {
  if (file_name.empty()) return false;
  if (!StoreCreate(file_name)) return false;
  StoreWriteString(kKeyPath, settings.path);
  StoreWriteString(kKeySearchText, settings.search_text);
  StoreWriteInteger(kKeyProcessFiles, settings.process_files != 0 ? 1 : 0);
  StoreWriteInteger(kKeyProcessFolders, settings.process_folders != 0 ? 1 : 0);
  StoreWriteString(kKeyDestination, settings.destination);
  StoreWriteString(kKeyCommand, settings.command);
  StoreWriteString(kKeyParameters, settings.parameters);
  return StoreClose();
}

std::optional<Settings> LoadSettingsFile(const std::string& file_name) {
  if (file_name.empty() || !StoreOpen(file_name)) return std::nullopt;
  return ReadOpenStore();
}

std::optional<Settings> SettingsFromContent(std::string content) {
  StoreOpenContent(std::move(content));
  if (std::none_of(std::begin(kKeys), std::end(kKeys),
                   [](const char* key) { return StoreHasKey(key); })) {
    StoreClose();
    return std::nullopt;
  }
  return ReadOpenStore();
}

bool SaveSettings(SettingsWindow& window, const std::string& file_name) {
  if (file_name.empty()) return false;
  return SaveSettingsFile(file_name, window.ReadSettings());
}

void LoadSettings(SettingsWindow& window, const std::string& file_name) {
  if (file_name.empty()) return;
  const std::optional<Settings> settings = LoadSettingsFile(file_name);
  if (!settings) {
    window.ShowMessage("Alert", "Could not open config file");
    return;
  }
  window.WriteSettings(*settings);
}

void LoadSettingsAtStart(SettingsWindow& window, const std::string& path) {
  // A save killed before its rename left its temporary file; none outlives the next start.
  RemoveStaleTemporaries(path);
  // A missing or empty file, or a folder, leaves the window's initial values.
  if (ProbePath(path) > 0) LoadSettings(window, path);
}

void SaveSettingsAtExit(SettingsWindow& window, const std::string& path) {
  if (SaveSettings(window, path)) return;
  // A new account may lack the settings folder, or even the folder above it.
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return;
  if (MakeFolderWithParents(path.substr(0, slash))) SaveSettings(window, path);
}

void LoadConfigAction(SettingsWindow& window) {
  const std::string name =
      window.ChooseSaveFile(kRequesterTitle, RequesterDefault(), kRequesterFilters, 0);
  LoadSettings(window, name);
}

void SaveConfigAction(SettingsWindow& window) {
  const std::string name =
      window.ChooseSaveFile(kRequesterTitle, RequesterDefault(), kRequesterFilters, 0);
  // A cancelled requester is the user's choice, not a failure to report.
  if (name.empty()) return;
  if (SaveSettings(window, name)) {
    window.ShowMessage("Info", "Config file successfully saved.");
  } else {
    window.ShowMessage("Alert", "Could not create config file");
  }
}

}  // namespace wendrix
