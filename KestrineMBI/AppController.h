// The tray application's controller: its status item, the status menu that
// describes the file manager's selection each time it opens, and the copy
// commands of that menu.
#pragma once

#include <QObject>
#include <QPointer>
#include <QSystemTrayIcon>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "KestrineMBI/finder_command.h"
#include "platform/appleevents/aeipc.h"
#include "platform/files/files.h"
#include "platform/processes/processes.h"

class QAction;
class QMenu;
class QSocketNotifier;
class KestrineCMPref;
class TrayHost;

// The notification every front-end and the preferences window agree on.
inline constexpr std::string_view kPreferencesChangedName = "Preferences Changed";
inline constexpr std::string_view kPreferencesChangedObject = "com.corvane.preference.KestrineCM";

// The event a second start of the application sends to the running one to
// have its preferences window shown.
inline constexpr AEEventClass kCoreEventClass = MakeFourCharCode("aevt");
inline constexpr AEEventID kAEShowPreferences = MakeFourCharCode("pref");

// Asks the running application `psn` to show its preferences window and
// waits for its answer, at most five seconds. Returns noErr once the window
// is shown, else the failure of the request (AESend's status, or the
// answer's error number).
OSErr ShowPreferencesOfProcess(const ProcessSerialNumber& psn);

// The tool tip of a preview item: which form its command copies (the
// command's title, or the prefix and the kind of path behind it), as text
// that Qt shows literally, whatever characters the prefix holds.
QString PreviewToolTip(std::int32_t commandID);

// The text a Qt menu must be given so that it shows `title` as it stands: "&"
// doubled (no mnemonic), control characters as their visible pictures (a tab
// would start the shortcut column, a line feed would break the row), and the
// whole isolated left to right so that a right-to-left name does not reorder
// the path around it.
QString MenuDisplayText(std::string_view title);

// The menu as the scriptable mode prints it, one line per item: "-" for a
// separator, "[ID] TITLE" for a command, "# TITLE" for a line without action,
// and the titles of "Preferences..." and "Quit". Nothing in a title can
// drive a terminal: line feed, carriage return, tab and ESC are written as
// \n, \r, \t and \e, other C0 and C1 controls and DEL as \xHH, and the
// bidirectional marks, embeddings, overrides and isolates as \uHHHH.
std::string DescribeMenu(const QMenu& menu);

// The command ID of a menu item, or none for an item that is not a command.
std::optional<std::int32_t> MenuItemCommandID(const QAction& item);

class AppController final : public QObject {
  Q_OBJECT

 public:
  // kTray: the status item, its menu and the change notification.
  // kScript: the menu alone, built only when asked (for --menu and --choose).
  enum class Mode { kTray, kScript };

  explicit AppController(Mode mode, QObject* parent = nullptr);
  ~AppController() override;
  AppController(const AppController&) = delete;
  AppController& operator=(const AppController&) = delete;

  // In tray mode: creates the status item, builds the first menu, observes
  // "Preferences Changed", answers kAEShowPreferences when the process serves
  // events (AEServerOpen) and starts watching for a tray. Returns false when
  // called twice.
  bool init();
  // Synchronizes the shared settings and rebuilds the menu.
  void setup();
  // Rebuilds the whole menu from the file manager's current selection.
  void buildMenu();
  // Called before the menu opens: rebuilds it.
  void menuNeedsUpdate(QMenu* menu);
  // Every item with an action is enabled.
  bool validateMenuItem(QAction* item) const;
  // Appends a command item titled `title` for `commandID`.
  void addMenuItem(std::string_view title, std::int32_t commandID);
  // Runs the copy command whose ID the item carries, on the selection the
  // file manager has now.
  void handleMenuItem(QAction* sender);
  // Brings the application forward with the preferences window.
  void selItemPreferences(QAction* sender);
  // Ends the application.
  void selItemQuit(QAction* sender);

  // How a copy command ended, for the command line; the menu tells no one.
  using CommandResult = FinderCommandResult;
  using CommandOutcome = FinderCommandOutcome;

  // Runs copy command `commandID` as if chosen from the menu. In tray mode a
  // selection none of whose items can be used empties the clipboard, as the
  // menu's commands do; in script mode it leaves it as it was.
  CommandOutcome RunCommand(std::int32_t commandID);

  QMenu* menu() const { return m_menu; }
  QSystemTrayIcon* statusItem() const { return m_item; }
  void setPrefController(KestrineCMPref* controller);
  KestrineCMPref* prefController() const;
  // The number of menu builds so far.
  int buildCount() const { return m_buildCount; }

 private:
  void AppendInformation(const std::string& text);
  void AppendSeparator();
  void AppendTail();
  void StatusItemActivated(QSystemTrayIcon::ActivationReason reason);

  QSystemTrayIcon* m_item = nullptr;
  QMenu* m_menu = nullptr;
  QPointer<KestrineCMPref> m_prefController;

  Mode m_mode;
  bool m_initialized = false;
  // Set while a menu built for an activation click opens, so that it is not
  // built a second time on its way up.
  bool m_builtForPopup = false;
  // Set while a selection request waits, when the idle routine lets events
  // in: a build or command they start then would send a second request.
  bool m_asking = false;
  int m_buildCount = 0;
  QSocketNotifier* m_notifier = nullptr;
  QSocketNotifier* m_eventNotifier = nullptr;
  TrayHost* m_tray = nullptr;
};
