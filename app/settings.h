// settings.h - the program's own options in the settings file "Mailer.DAT".
//
// The settings file keeps what belongs to the program rather than to a
// project: the auto-open, auto-save and auto-backup options, the last
// project used, the recent projects (at most 9, most recent first), the
// main window's placement and how long a command-line change of a project
// waits for the lock of its folder (app/folder_lock.h). It is a glob file in the per-user configuration
// folder (platform/user_folders.h; TESSALINE_HOME moves it) whose record 0
// holds, in this order: "MainWindowPosition" (text), "AutoOpenProject",
// "AutoSaveProject", "AutoBackup" (Booleans), "ProjectPath" (text),
// "LockTimeLimit" (number), "FileHistoryCount" (number) and
// "FileHistory0", "FileHistory1", ... (texts). It is read once at start-up
// and written once at exit, atomically.
//
// The maker's web addresses that the Help menu uses are program settings of
// the registry file instead (WebAddresses below), so that a person or a
// distribution can set them by hand.
//
// Not for: project values (project_file.h), the SMTP server settings
// (mail/smtp_server.h keeps them in the registry file).
//
// Failures: none that stop the program. A missing or unreadable file leaves
// every option at its default; a file that cannot be written is skipped
// (save_settings returns false).
#pragma once

#include "core/containers.h"
#include "core/string.h"
#include "send/send_settings.h"

namespace tessaline {

class FieldStore;
class RegistryReader;
struct SettingInfo;

struct ProgramSettings {
  static constexpr int kMaxRecentProjects = 9;

  String main_window_position;
  bool auto_open = false;
  bool auto_save = false;
  bool auto_backup = false;
  String project_path;              // the last project file used
  Vector<String> recent_projects;   // most recent first
  // How long a -a or -e run waits for another run that changes a project
  // of the same folder before it gives up without changing anything
  // (0 to 86400 seconds).
  static constexpr int kDefaultLockTimeLimit = 60;
  static constexpr int kMaxLockTimeLimit = 86400;
  int lock_time_limit_seconds = kDefaultLockTimeLimit;

  // Moves every setting between this object and the store's current
  // record, in the store's direction.
  void transfer(FieldStore& store);

  // Puts the path at the top of the recent projects unless it is listed
  // already (compared without regard to case), then keeps at most 9.
  void remember_project(const String& path);
  // Removes the path from the recent projects (without regard to case).
  void forget_project(const String& path);
};

// The maker's addresses, read from the registry file (the key
// kToolkitKey of mail/smtp_server.h, where the SMTP settings are) each time
// they are used, so that a hand edit counts at once:
//   "Home_Page"        the home page; "/Products.INI" below it is the
//                      product-information file of the update check
//   "Support_Page"     the technical-support page offered before feedback
//   "Support_Address"  the address feedback is mailed to
// Until the program has a web site of its own, all three are empty by
// default: the update check then says that no home-page address is set,
// feedback goes straight to a new message with no recipient filled in, and
// the home-page entry says that it has no address. None of them may point at
// a host that someone else could own.
struct WebAddresses {
  String home_page;
  String support_page;
  String support_address;
};
extern const SettingInfo kHomePageSetting;
extern const SettingInfo kSupportPageSetting;
extern const SettingInfo kSupportAddressSetting;
// The addresses as stored, blanks at either end removed; a value that is
// absent or not a text keeps its default.
WebAddresses read_web_addresses(const RegistryReader& registry);

// The settings of delivery (send/send_settings.h), numbers read from
// the registry file (under kToolkitKey) at the start of each send:
//   "KeptSends"          how many kept send logs and journals stay in the
//                        state folder's "sends" (1 to 100000, default 50)
//   "JournalSyncWindow"  how many outcomes of the send journal may be
//                        written but not yet on the disk (0 to 1000,
//                        default 0: each before the end of the next
//                        message goes out)
//   "SendTries"          how many times in all a message refused for now is
//                        tried (1 to 100, default 4)
//   "RetryFirstWait"     seconds before its second try (0 to 86400, default
//                        30); each later wait doubles, with jitter
//   "RetryLongestWait"   the longest wait between tries (0 to 86400, default
//                        600); a first wait beyond it is cut to it
//   "RetryGiveUp"        seconds after a message's first failure when no new
//                        try begins (0 to 604800, default 1800)
//   "SendRate"           a text: at most so many messages per period over the
//                        send ("30/min"; send/send_rate.h), default none
//   "MessagesPerConnection"  messages on one kept connection before a new
//                        one is opened (0 to 1000000, default 0: no limit)
//   "MessagePause"       milliseconds between one message and the next (0 to
//                        3600000, default 0)
//   "SendConnections"    connections to the configured SMTP server that
//                        deliver at once (1 to kMostConnections, default 1)
// A value that is absent, not a number (a rate that cannot be read) or out
// of its range keeps its default.
extern const SettingInfo kKeptSendsSetting;
extern const SettingInfo kJournalSyncWindowSetting;
extern const SettingInfo kSendTriesSetting;
extern const SettingInfo kRetryFirstWaitSetting;
extern const SettingInfo kRetryLongestWaitSetting;
extern const SettingInfo kRetryGiveUpSetting;
extern const SettingInfo kSendRateSetting;
extern const SettingInfo kMessagesPerConnectionSetting;
extern const SettingInfo kMessagePauseSetting;
extern const SettingInfo kSendConnectionsSetting;
SendSettings read_send_settings(const RegistryReader& registry);

// Where the program's own windows keep their placement: values of the
// registry file under "Software\" + kWindowsKey of the current user
// (storage/registry.h save_window_placement()), each written when its
// window closes and read when it opens:
//   "RemoveRecipientsDialog"  the Remove Recipients window
//   "PreviewPosition"         the send preview
//   "PreviewSplitter"         the width of the preview's recipient list, in
//                             pixels (a number; one that is not above 0 is
//                             not used)
// The main window keeps its own in the settings file (MainWindowPosition).
inline constexpr char kWindowsKey[] = "Tessaline\\Tessaline Mailer";
extern const SettingInfo kRemoveRecipientsPositionSetting;
extern const SettingInfo kPreviewPositionSetting;
extern const SettingInfo kPreviewSplitterSetting;

// "Mailer.DAT" in the configuration folder; "" when the folder cannot be
// made.
String settings_file_path();

// Loads the file; on any failure the settings keep their defaults. An empty
// project path becomes the current directory followed by "/".
void load_settings(const String& path, ProgramSettings& settings);

// Writes the file atomically; false when it cannot be written.
bool save_settings(const String& path, ProgramSettings& settings);

}  // namespace tessaline
