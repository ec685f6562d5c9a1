#include "app/settings.h"

#include "core/var.h"
#include "platform/atomic_write.h"
#include "platform/user_folders.h"
#include "storage/glob_file.h"
#include "storage/paths.h"
#include "mail/smtp_server.h"

namespace tessaline {

namespace {

// Large enough for any list this program writes, small enough that a
// damaged count cannot make the loop run away.
constexpr int kMaxHistoryRead = 100;

void transfer_text(FieldStore& store, const char* name, String& text) {
  Var value;
  value.set_string(text);
  if (store.transfer(name, value) && !store.storing()) text = value.as_text();
}

void transfer_flag(FieldStore& store, const char* name, bool& flag) {
  Var value;
  value.set_bool(flag);
  if (store.transfer(name, value) && !store.storing()) flag = value.as_int() != 0;
}

}  // namespace

void ProgramSettings::transfer(FieldStore& store) {
  transfer_text(store, "MainWindowPosition", main_window_position);
  transfer_flag(store, "AutoOpenProject", auto_open);
  transfer_flag(store, "AutoSaveProject", auto_save);
  transfer_flag(store, "AutoBackup", auto_backup);
  transfer_text(store, "ProjectPath", project_path);

  Var limit;
  limit.set_int32(lock_time_limit_seconds);
  if (store.transfer("LockTimeLimit", limit) && !store.storing()) {
    int seconds = limit.as_int();
    lock_time_limit_seconds = seconds < 0                   ? kDefaultLockTimeLimit
                              : seconds > kMaxLockTimeLimit ? kMaxLockTimeLimit
                                                            : seconds;
  }

  Var count;
  count.set_int32(recent_projects.count());
  store.transfer("FileHistoryCount", count);
  if (!store.storing()) {
    int n = count.as_int();
    if (n < 0) n = 0;
    if (n > kMaxHistoryRead) n = kMaxHistoryRead;
    recent_projects.clear();
    for (int i = 0; i < n; ++i) {
      String entry;
      transfer_text(store, String::formatted("FileHistory%d", i).c_str(), entry);
      if (!entry.empty()) recent_projects.append(entry);
    }
    if (recent_projects.count() > kMaxRecentProjects) {
      recent_projects.remove(kMaxRecentProjects, recent_projects.count());
    }
    return;
  }
  for (int i = 0; i < recent_projects.count(); ++i) {
    transfer_text(store, String::formatted("FileHistory%d", i).c_str(), recent_projects[i]);
  }
}

void ProgramSettings::remember_project(const String& path) {
  if (path.empty()) return;
  for (const String& entry : recent_projects) {
    if (entry.equals_ignore_case(path.c_str())) return;
  }
  recent_projects.insert(0, path);
  if (recent_projects.count() > kMaxRecentProjects) {
    recent_projects.remove(kMaxRecentProjects, recent_projects.count());
  }
}

void ProgramSettings::forget_project(const String& path) {
  for (int i = recent_projects.count() - 1; i >= 0; --i) {
    if (recent_projects[i].equals_ignore_case(path.c_str())) recent_projects.remove(i);
  }
}

const SettingInfo kHomePageSetting = {
    "Home_Page", "Home Page",
    "The address of the program's home page; the update check reads /Products.INI below it"};
const SettingInfo kSupportPageSetting = {
    "Support_Page", "Technical Support Page",
    "The address of the technical support web page offered before sending feedback (may be "
    "empty)"};
const SettingInfo kSupportAddressSetting = {
    "Support_Address", "Technical Support Address",
    "The email address that feedback is sent to"};

WebAddresses read_web_addresses(const RegistryReader& registry) {
  WebAddresses addresses;
  struct Row {
    const SettingInfo& setting;
    String& value;
  };
  for (Row row : {Row{kHomePageSetting, addresses.home_page},
                  Row{kSupportPageSetting, addresses.support_page},
                  Row{kSupportAddressSetting, addresses.support_address}}) {
    String text;
    if (registry.read_text(kToolkitKey, row.setting.name, &text)) {
      text.trim();
      row.value = text;
    }
  }
  return addresses;
}

const SettingInfo kKeptSendsSetting = {
    "KeptSends", "Kept Sends",
    "How many copies of earlier send logs, and how many send journals, are kept (each project's "
    "last journal stays as well)"};
const SettingInfo kJournalSyncWindowSetting = {
    "JournalSyncWindow", "Journal Sync Window",
    "How many recorded outcomes of a send may wait to be put on the disk; 0 puts each there "
    "before the end of the next message goes out"};

const SettingInfo kSendTriesSetting = {
    "SendTries", "Send Tries",
    "How many times in all a message that the server refused for now is tried; 1 tries nothing "
    "again"};
const SettingInfo kRetryFirstWaitSetting = {
    "RetryFirstWait", "Retry First Wait",
    "Seconds before the second try of a message refused for now; each later wait doubles"};
const SettingInfo kRetryLongestWaitSetting = {
    "RetryLongestWait", "Retry Longest Wait",
    "The longest wait in seconds between two tries of a message; a server that refuses message "
    "after message gives the send a pause of twice this"};
const SettingInfo kRetryGiveUpSetting = {
    "RetryGiveUp", "Retry Give Up",
    "Seconds after a message's first failure when no new try of it begins"};
const SettingInfo kSendRateSetting = {
    "SendRate", "Send Rate",
    "At most this many messages per second, minute, hour or day over a whole send (\"30/min\", "
    "\"500/hour\"); empty or 0 for no limit"};
const SettingInfo kMessagesPerConnectionSetting = {
    "MessagesPerConnection", "Messages Per Connection",
    "After this many messages a kept connection to the server is ended and a new one opened; 0 "
    "for no limit"};
const SettingInfo kMessagePauseSetting = {
    "MessagePause", "Message Pause",
    "Milliseconds to wait between one message and the next"};
const SettingInfo kSendConnectionsSetting = {
    "SendConnections", "Send Connections",
    "How many connections to the configured SMTP server deliver messages at once; 1 for one "
    "connection"};

SendSettings read_send_settings(const RegistryReader& registry) {
  SendSettings settings;
  struct Row {
    const SettingInfo& setting;
    int& value;
    int low;
    int high;
  };
  for (Row row :
       {Row{kKeptSendsSetting, settings.kept_sends, 1, 100000},
        Row{kJournalSyncWindowSetting, settings.journal_sync_window, 0, 1000},
        Row{kSendTriesSetting, settings.retry.tries, 1, 100},
        Row{kRetryFirstWaitSetting, settings.retry.first_wait_seconds, 0, 86400},
        Row{kRetryLongestWaitSetting, settings.retry.longest_wait_seconds, 0, 86400},
        Row{kRetryGiveUpSetting, settings.retry.give_up_seconds, 0, 7 * 86400},
        Row{kMessagesPerConnectionSetting, settings.messages_per_connection, 0, 1000000},
        Row{kMessagePauseSetting, settings.message_pause_ms, 0, 3600000},
        Row{kSendConnectionsSetting, settings.connections, 1, kMostConnections}}) {
    int number = 0;
    if (registry.read_number(kToolkitKey, row.setting.name, &number) && number >= row.low &&
        number <= row.high) {
      row.value = number;
    }
  }
  // The doubling of the waits starts from the first and stops at the
  // longest: a first wait beyond the longest is cut to it.
  if (settings.retry.first_wait_seconds > settings.retry.longest_wait_seconds) {
    settings.retry.first_wait_seconds = settings.retry.longest_wait_seconds;
  }
  String rate;
  SendRate parsed;
  if (registry.read_text(kToolkitKey, kSendRateSetting.name, &rate) &&
      parse_send_rate(rate.view(), &parsed)) {
    settings.rate = parsed;
  }
  return settings;
}

const SettingInfo kRemoveRecipientsPositionSetting = {
    "RemoveRecipientsDialog", "Remove Recipients Position",
    "Where the Remove Recipients window was when it last closed"};
const SettingInfo kPreviewPositionSetting = {
    "PreviewPosition", "Preview Position", "Where the Preview window was when it last closed"};
const SettingInfo kPreviewSplitterSetting = {
    "PreviewSplitter", "Preview Splitter",
    "The width of the Preview window's recipient list, in pixels, when it last closed"};

String settings_file_path() {
  String path, error;
  if (!user_file_path(UserFolder::kConfiguration, "Mailer.DAT", path, error)) return String();
  return path;
}

void load_settings(const String& path, ProgramSettings& settings) {
  if (!path.empty()) {
    GlobFile file;
    if (file.open(path, true) == GlobFile::kOpened) {
      file.set_storing(false);
      if (file.load_record(0)) settings.transfer(file);
      file.close();
    }
  }
  if (settings.project_path.empty()) settings.project_path = current_directory() + "/";
}

bool save_settings(const String& path, ProgramSettings& settings) {
  if (path.empty()) return false;
  // The file is built in memory and put in place whole.
  GlobFile file;
  bool built = file.create_in_memory("settings");
  if (built) {
    file.begin_record(0);
    settings.transfer(file);
    built = file.end_record();
  }
  String bytes, error;
  if (built) bytes = file.heap().memory_image();
  file.close();
  return built && write_file_atomically(path, bytes, error);
}

}  // namespace tessaline
