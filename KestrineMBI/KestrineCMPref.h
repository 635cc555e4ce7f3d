// The preferences window: every shared setting, stored as soon as it is
// changed, and the user's prefix list.
#pragma once

#include <QObject>
#include <QString>
#include <QUrl>

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "platform/preferences/preferences.h"
#include "settings/settings.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;
class QTableView;
class QWidget;
class PrefixTableModel;

// The application's own settings domain, which holds the separator field's
// value under kMultipathSeparatorKey.
inline constexpr std::string_view kKestrineMBIDomain = "com.corvane.KestrineMBI";

// Switch states, as initMenuItem takes them. kMixedState: the key is absent
// and the menus differ on what that means (the UNC form is listed among the
// tray menu's previews and in "Copy All", and nowhere else); a click stores
// on or off.
inline constexpr int kOffState = 0;
inline constexpr int kOnState = 1;
inline constexpr int kMixedState = -1;

// The installed help page (index.html in the documentation folder), with
// `fragment` when not empty. Looked for beside the program's installation,
// then in the source tree of the build.
QUrl HelpPageURL(std::string_view fragment = {});

class KestrineCMPref final : public QObject {
  Q_OBJECT

 public:
  // The settings keys of the 12 command switches; a switch's tag is the
  // index of its key.
  static constexpr std::array<std::string_view, 12> m_keys = {
      kIncludePosixPathKey,       kIncludeTildePosixPathKey, kIncludeTerminalPathKey,
      kIncludeHFSPathKey,         kIncludeFilenameKey,       kIncludeDisplayFilenameKey,
      kIncludeUNCWindowsStyleKey, kIncludeAFPURLKey,         kIncludeExtensionKey,
      kIncludeAllKey,             kIncludeFolderPathsKey,    kIncludeEncodedPosixPathKey};

  // Builds the window (hidden) and loads every stored value into it.
  explicit KestrineCMPref(QObject* parent = nullptr);
  ~KestrineCMPref() override;
  KestrineCMPref(const KestrineCMPref&) = delete;
  KestrineCMPref& operator=(const KestrineCMPref&) = delete;

  QWidget* window() const { return m_window; }
  // Fills the credit line with its link.
  void setHyperlink();
  // Stores the prefix list once the user has edited the table (before that
  // the stored value is left as it is, whatever it holds) and posts
  // "Preferences Changed".
  void save();
  // Any window of the application closes: saves.
  void windowWillClose();
  // Shows the stored value of the command switch `button`, or
  // `defaultState` (kOffState, kOnState or kMixedState) when it is absent or
  // not a boolean.
  void initMenuItem(QCheckBox* button, int defaultState);
  // Loads the stored values into the controls.
  void awakeFromNib();
  // Opens the help page in the user's browser; when no browser opens it,
  // says so in a message that gives the page's path.
  void openHelp();
  // Appends the row "prefix", saves, and opens the row for editing.
  void addPrefix();
  // Removes every selected row at once and saves; with none selected only
  // reloads the table.
  void deletePrefix();
  // Stores the command switch `sender` under its key.
  void menuItemButtonClicked(QCheckBox* sender);
  void showClipboardInMenu();
  void labelItems();
  void makeAsSubmenu();
  // Stores the application's own separator value (a line feed when it has
  // none) as the shared separator.
  void multipathSeparator();

  // The prefix table's data.
  int numberOfRowsInTableView() const;
  // The text of `row` for the column `columnIdentifier`; none for another
  // column or a row that holds no text.
  std::optional<QString> tableViewObjectValue(const QString& columnIdentifier, int row) const;
  // Replaces `row` with `value` when it is a string and saves; other values
  // are dropped.
  void tableViewSetObjectValue(const QVariant& value, const QString& columnIdentifier, int row);
  // Enables the delete button while rows are selected.
  void tableViewSelectionDidChange();

  // Whether the user has edited the table since the values were loaded.
  bool prefixesEdited() const { return m_prefixesEdited; }

  // The controls, for the application and its tests.
  QTabWidget* tabView() const { return m_tabView; }
  QLabel* linkTextField() const { return m_linkTextField; }
  QLabel* storedPrefixesNote() const { return m_storedPrefixesNote; }
  QLabel* uncNote() const { return m_uncNote; }
  QCheckBox* commandSwitch(int tag) const { return m_commandSwitches.at(static_cast<std::size_t>(tag)); }
  QCheckBox* showClipboardInMenuButton() const { return m_showClipboardInMenuButton; }
  QCheckBox* labelItemsButton() const { return m_labelItemsButton; }
  QCheckBox* makeAsSubmenuButton() const { return m_makeAsSubmenuButton; }
  QLineEdit* multipathSeparatorField() const { return m_multipathSeparatorField; }
  QTableView* prefixTable() const { return m_prefixTable; }
  QPushButton* addPrefixButton() const { return m_addPrefixButton; }
  QPushButton* deletePrefixButton() const { return m_deletePrefixButton; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void BuildWindow();
  void StoreSwitch(std::string_view key, const QCheckBox* button);
  void LoadSwitch(std::string_view key, QCheckBox* button, int defaultState);
  // The user changed the table: from now on it is stored as its texts.
  void TableEdited();
  void ReloadTable();
  // Opens `url` with the desktop's opener (xdg-open); tells the user where
  // the page is when it cannot be opened.
  void OpenPage(const QUrl& url);
  void ShowUnopenedPage(const QUrl& url);

  QWidget* m_window = nullptr;
  // The rows; an entry is none where the stored array held something other
  // than a string (shown read-only; the store cannot write it back, so it
  // is dropped once the user edits the table).
  PrefArray prefixes;
  bool m_prefixesEdited = false;
  QTabWidget* m_tabView = nullptr;
  QLabel* m_linkTextField = nullptr;
  QLabel* m_storedPrefixesNote = nullptr;
  QLabel* m_uncNote = nullptr;
  QCheckBox* m_showClipboardInMenuButton = nullptr;
  QCheckBox* m_labelItemsButton = nullptr;
  QCheckBox* m_makeAsSubmenuButton = nullptr;
  QLineEdit* m_multipathSeparatorField = nullptr;
  std::array<QCheckBox*, 12> m_commandSwitches{};
  QTableView* m_prefixTable = nullptr;
  PrefixTableModel* m_model = nullptr;
  QPushButton* m_addPrefixButton = nullptr;
  QPushButton* m_deletePrefixButton = nullptr;
};
