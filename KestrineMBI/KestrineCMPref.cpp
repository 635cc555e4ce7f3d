#include "KestrineMBI/KestrineCMPref.h"

#include <algorithm>

#include <QAbstractTableModel>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTabWidget>
#include <QTableView>
#include <QVBoxLayout>
#include <QWidget>

#include "KestrineMBI/AppController.h"
#include "engine/commands.h"
#include "platform/notifications/notifications.h"
#include "settings/settings.h"

namespace {

constexpr const char* kPrefixesColumn = "Prefixes";
constexpr std::string_view kNewPrefix = "prefix";

// The tag of the switch of `command`: the index of its key.
constexpr int SwitchTag(const CopyCommand& command) {
  const auto& keys = KestrineCMPref::m_keys;
  return static_cast<int>(std::ranges::find(keys, command.enablingKey) - keys.begin());
}
constexpr int kUNCTag = SwitchTag(*FindCopyCommand(kCopyUNCWindowsStylePath));
static_assert(std::ranges::all_of(kCopyCommands, [](const CopyCommand& c) { return SwitchTag(c) < 12; }),
              "every command has its switch");

const CopyCommand& SwitchCommand(std::size_t tag) {
  return *std::ranges::find(kCopyCommands, KestrineCMPref::m_keys.at(tag), &CopyCommand::enablingKey);
}

constexpr int SwitchState(bool on) { return on ? kOnState : kOffState; }

std::string TypeName(const PrefValue& value) {
  if (std::holds_alternative<bool>(value)) return "boolean";
  if (std::holds_alternative<std::string>(value)) return "string";
  if (std::holds_alternative<PrefArray>(value)) return "array holding other values than strings";
  return std::get<PrefOther>(value).typeName;
}

}  // namespace

// The one column "Prefixes" over the controller's rows.
class PrefixTableModel final : public QAbstractTableModel {
 public:
  explicit PrefixTableModel(KestrineCMPref* controller)
      : QAbstractTableModel(controller), m_controller(controller) {}

  int rowCount(const QModelIndex& parent) const override {
    return parent.isValid() ? 0 : m_controller->numberOfRowsInTableView();
  }
  int columnCount(const QModelIndex& parent) const override { return parent.isValid() ? 0 : 1; }

  QVariant data(const QModelIndex& index, int role) const override {
    if (role != Qt::DisplayRole && role != Qt::EditRole && role != Qt::ToolTipRole) return {};
    const std::optional<QString> text = m_controller->tableViewObjectValue(kPrefixesColumn, index.row());
    if (text) return *text;
    // A stored entry that is no text: shown, not editable, kept.
    return role == Qt::EditRole ? QVariant() : QVariant(QStringLiteral("(not a text)"));
  }

  Qt::ItemFlags flags(const QModelIndex& index) const override {
    if (!index.isValid()) return Qt::NoItemFlags;
    const Qt::ItemFlags base = Qt::ItemIsSelectable | Qt::ItemIsEnabled;
    return m_controller->tableViewObjectValue(kPrefixesColumn, index.row()) ? base | Qt::ItemIsEditable
                                                                           : base;
  }

  bool setData(const QModelIndex& index, const QVariant& value, int role) override {
    if (role != Qt::EditRole || !index.isValid()) return false;
    m_controller->tableViewSetObjectValue(value, kPrefixesColumn, index.row());
    return true;
  }

  QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
    if (orientation == Qt::Horizontal && section == 0 && role == Qt::DisplayRole) {
      return QString::fromLatin1(kPrefixesColumn);
    }
    return QAbstractTableModel::headerData(section, orientation, role);
  }

  void Reload() {
    beginResetModel();
    endResetModel();
  }

 private:
  KestrineCMPref* m_controller;
};

QUrl HelpPageURL(std::string_view fragment) {
  const QString installed =
      QCoreApplication::applicationDirPath() + QStringLiteral("/../share/doc/Kestrine/help/index.html");
  QString page = installed;
#ifdef KESTRINE_MBI_HELP_SOURCE
  if (!QFileInfo::exists(installed)) page = QStringLiteral(KESTRINE_MBI_HELP_SOURCE "/index.html");
#endif
  QUrl url = QUrl::fromLocalFile(QFileInfo(page).absoluteFilePath());
  if (!fragment.empty()) url.setFragment(QString::fromUtf8(fragment.data(), static_cast<qsizetype>(fragment.size())));
  return url;
}

KestrineCMPref::KestrineCMPref(QObject* parent) : QObject(parent) {
  BuildWindow();
  awakeFromNib();
}

KestrineCMPref::~KestrineCMPref() {
  qApp->removeEventFilter(this);
  delete m_window;
}

void KestrineCMPref::BuildWindow() {
  m_window = new QWidget(nullptr, Qt::Window);
  m_window->setWindowTitle(QStringLiteral("Kestrine Preferences"));
  m_window->setObjectName(QStringLiteral("KestrinePreferences"));
  auto* outer = new QVBoxLayout(m_window);
  m_tabView = new QTabWidget(m_window);
  outer->addWidget(m_tabView);

  auto* commands = new QWidget;
  auto* commandLayout = new QVBoxLayout(commands);
  commandLayout->addWidget(new QLabel(QStringLiteral("Commands offered in the menus:")));
  for (int tag = 0; tag < 12; ++tag) {
    const std::string_view title = SwitchCommand(static_cast<std::size_t>(tag)).title;
    auto* button = new QCheckBox(QString::fromUtf8(title.data(), static_cast<qsizetype>(title.size())));
    button->setProperty("tag", tag);
    m_commandSwitches[static_cast<std::size_t>(tag)] = button;
    connect(button, &QCheckBox::clicked, this, [this, button] { menuItemButtonClicked(button); });
  }
  m_uncNote = new QLabel(QStringLiteral(
      "Not set: only among the tray menu's previews and in \u201CCopy All\u201D."));
  m_uncNote->setWordWrap(true);
  m_uncNote->setIndent(24);
  m_uncNote->setEnabled(false);
  m_uncNote->hide();
  // In the status menu's order.
  for (const CopyCommand& command : kCopyCommands) {
    const int tag = SwitchTag(command);
    commandLayout->addWidget(m_commandSwitches[static_cast<std::size_t>(tag)]);
    if (tag == kUNCTag) commandLayout->addWidget(m_uncNote);
  }
  commandLayout->addStretch();
  m_tabView->addTab(commands, QStringLiteral("Commands"));

  auto* menu = new QWidget;
  auto* menuLayout = new QVBoxLayout(menu);
  m_showClipboardInMenuButton = new QCheckBox(QStringLiteral("Show the copied text in menu titles"));
  m_labelItemsButton = new QCheckBox(QStringLiteral("Put a label in front of each copied text"));
  m_makeAsSubmenuButton = new QCheckBox(QStringLiteral("Group the file manager's commands in a submenu"));
  connect(m_showClipboardInMenuButton, &QCheckBox::clicked, this, [this] { showClipboardInMenu(); });
  connect(m_labelItemsButton, &QCheckBox::clicked, this, [this] { labelItems(); });
  connect(m_makeAsSubmenuButton, &QCheckBox::clicked, this, [this] { makeAsSubmenu(); });
  menuLayout->addWidget(m_showClipboardInMenuButton);
  menuLayout->addWidget(m_labelItemsButton);
  menuLayout->addWidget(m_makeAsSubmenuButton);
  auto* form = new QFormLayout;
  m_multipathSeparatorField = new QLineEdit;
  m_multipathSeparatorField->setPlaceholderText(QStringLiteral("a line feed"));
  m_multipathSeparatorField->setToolTip(
      QStringLiteral("Put between the texts of several items; empty means a line feed. "
                     "Press Return to use it."));
  // The field is bound to the application's own default: every edit is
  // stored there, and the action copies it to the shared settings.
  connect(m_multipathSeparatorField, &QLineEdit::textEdited, this, [](const QString& text) {
    CFPreferencesSetAppValue(kMultipathSeparatorKey, PrefValue(text.toStdString()), kKestrineMBIDomain);
    CFPreferencesAppSynchronize(kKestrineMBIDomain);
  });
  connect(m_multipathSeparatorField, &QLineEdit::returnPressed, this, [this] { multipathSeparator(); });
  connect(m_multipathSeparatorField, &QLineEdit::editingFinished, this, [this] { multipathSeparator(); });
  form->addRow(QStringLiteral("Separator between items:"), m_multipathSeparatorField);
  menuLayout->addLayout(form);
  menuLayout->addStretch();
  m_tabView->addTab(menu, QStringLiteral("Menu and Output"));

  auto* prefixPane = new QWidget;
  auto* prefixLayout = new QVBoxLayout(prefixPane);
  auto* prefixHelp = new QLabel(QStringLiteral(
      "Each prefix adds two commands to the menus, which copy the prefix followed by the item's "
      "path with slashes or with backslashes: with the prefix https://files.example.com, "
      "/home/alice/My Notes.txt is copied as "
      "https://files.example.com/home/alice/My%20Notes.txt."));
  prefixHelp->setTextFormat(Qt::PlainText);
  prefixHelp->setWordWrap(true);
  prefixLayout->addWidget(prefixHelp);
  m_storedPrefixesNote = new QLabel;
  m_storedPrefixesNote->setWordWrap(true);
  m_storedPrefixesNote->hide();
  prefixLayout->addWidget(m_storedPrefixesNote);
  m_prefixTable = new QTableView;
  m_model = new PrefixTableModel(this);
  m_prefixTable->setModel(m_model);
  m_prefixTable->horizontalHeader()->setStretchLastSection(true);
  m_prefixTable->setSelectionBehavior(QAbstractItemView::SelectRows);
  m_prefixTable->setSelectionMode(QAbstractItemView::ExtendedSelection);
  connect(m_prefixTable->selectionModel(), &QItemSelectionModel::selectionChanged, this,
          [this] { tableViewSelectionDidChange(); });
  prefixLayout->addWidget(m_prefixTable);
  auto* buttons = new QHBoxLayout;
  m_addPrefixButton = new QPushButton(QStringLiteral("+"));
  m_addPrefixButton->setToolTip(QStringLiteral("Add a prefix"));
  m_deletePrefixButton = new QPushButton(QStringLiteral("−"));
  m_deletePrefixButton->setToolTip(QStringLiteral("Delete the selected prefixes"));
  m_deletePrefixButton->setEnabled(false);
  connect(m_addPrefixButton, &QPushButton::clicked, this, [this] { addPrefix(); });
  connect(m_deletePrefixButton, &QPushButton::clicked, this, [this] { deletePrefix(); });
  buttons->addWidget(m_addPrefixButton);
  buttons->addWidget(m_deletePrefixButton);
  buttons->addStretch();
  prefixLayout->addLayout(buttons);
  m_tabView->addTab(prefixPane, QStringLiteral("Prefixes"));

  auto* bottom = new QHBoxLayout;
  m_linkTextField = new QLabel;
  bottom->addWidget(m_linkTextField);
  bottom->addStretch();
  auto* help = new QPushButton(QStringLiteral("Help"));
  connect(help, &QPushButton::clicked, this, [this] { openHelp(); });
  bottom->addWidget(help);
  outer->addLayout(bottom);
  m_window->resize(480, 500);
}

void KestrineCMPref::awakeFromNib() {
  prefixes.clear();
  prefixes.reserve(50);
  m_prefixesEdited = false;
  m_storedPrefixesNote->hide();
  if (const std::optional<PrefValue> stored = CopyStoredPrefixes()) {
    bool otherKind = true;
    if (const auto* array = std::get_if<PrefArray>(&*stored)) {
      prefixes = *array;
      otherKind = std::any_of(prefixes.begin(), prefixes.end(), [](const auto& e) { return !e; });
    }
    if (otherKind) {
      m_storedPrefixesNote->setText(
          QStringLiteral("The stored prefix setting is a %1; it is kept as it is until you change "
                         "this list, which then replaces it.")
              .arg(QString::fromStdString(TypeName(*stored))));
      m_storedPrefixesNote->show();
    }
  }
  ReloadTable();
  setHyperlink();
  for (std::size_t tag = 0; tag < m_keys.size(); ++tag) {
    // A switch whose menus differ on what an absent key means shows that.
    const CopyCommand& command = SwitchCommand(tag);
    initMenuItem(m_commandSwitches[tag], command.titledDefault != command.previewDefault
                                             ? kMixedState
                                             : SwitchState(command.titledDefault));
  }
  LoadSwitch(kShowClipboardInMenuKey, m_showClipboardInMenuButton, SwitchState(kShowClipboardInMenuDefault));
  LoadSwitch(kLabelItemsKey, m_labelItemsButton, SwitchState(kLabelItemsDefault));
  LoadSwitch(kMakeAsSubmenuKey, m_makeAsSubmenuButton, SwitchState(kMakeAsSubmenuDefault));
  const std::optional<PrefValue> own = CFPreferencesCopyAppValue(kMultipathSeparatorKey, kKestrineMBIDomain);
  const auto* ownText = own ? std::get_if<std::string>(&*own) : nullptr;
  m_multipathSeparatorField->setText(ownText != nullptr ? QString::fromStdString(*ownText) : QString());
  qApp->removeEventFilter(this);
  qApp->installEventFilter(this);
}

void KestrineCMPref::setHyperlink() {
  m_linkTextField->setTextFormat(Qt::RichText);
  m_linkTextField->setTextInteractionFlags(Qt::TextBrowserInteraction);
  m_linkTextField->setOpenExternalLinks(false);
  const QUrl url = HelpPageURL("credits");
  m_linkTextField->setText(QStringLiteral("<a href=\"%1\" style=\"color: blue; text-decoration: "
                                          "underline\">Kestrine by Corvane</a>")
                               .arg(url.toString(QUrl::FullyEncoded).toHtmlEscaped()));
  disconnect(m_linkTextField, &QLabel::linkActivated, nullptr, nullptr);
  connect(m_linkTextField, &QLabel::linkActivated, this,
          [this](const QString& link) { OpenPage(QUrl(link)); });
}

void KestrineCMPref::save() {
  // Until the user edits the table, the stored list is what the window
  // shows, or something newer written by another process, or a value this
  // table cannot hold: storing the window's copy would only risk losing it.
  if (m_prefixesEdited) {
    std::vector<std::string> texts;
    for (const auto& entry : prefixes) {
      if (entry) texts.push_back(*entry);
    }
    SetPrefixesSetting(texts);
  } else {
    SynchronizeSettings();
  }
  CFNotificationCenterPostNotification(CFNotificationCenterGetDistributedCenter(),
                                       kPreferencesChangedName, kPreferencesChangedObject, nullptr,
                                       true);
}

void KestrineCMPref::windowWillClose() { save(); }

bool KestrineCMPref::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::Close && watched->isWidgetType()) {
    const auto* widget = static_cast<QWidget*>(watched);
    // Menus and tool tips are popups, not windows the user closes.
    const Qt::WindowType type = widget->windowType();
    if (widget->isWindow() && type != Qt::Popup && type != Qt::ToolTip) windowWillClose();
  }
  return QObject::eventFilter(watched, event);
}

void KestrineCMPref::LoadSwitch(std::string_view key, QCheckBox* button, int defaultState) {
  const std::optional<bool> value = CopyBooleanSetting(key);
  const bool mixed = !value && defaultState == kMixedState;
  button->setTristate(mixed);
  if (mixed) {
    button->setCheckState(Qt::PartiallyChecked);
  } else {
    button->setChecked(value.value_or(defaultState == kOnState));
  }
  if (button == m_commandSwitches[kUNCTag]) m_uncNote->setVisible(mixed);
}

void KestrineCMPref::initMenuItem(QCheckBox* button, int defaultState) {
  const int tag = button->property("tag").toInt();
  LoadSwitch(m_keys.at(static_cast<std::size_t>(tag)), button, defaultState);
}

void KestrineCMPref::openHelp() { OpenPage(HelpPageURL()); }

void KestrineCMPref::OpenPage(const QUrl& url) {
  const QString opener = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
  if (opener.isEmpty()) {
    if (!QDesktopServices::openUrl(url)) ShowUnopenedPage(url);
    return;
  }
  // xdg-open says by its exit status whether a browser took the page, which
  // QDesktopServices does not pass on.
  auto* process = new QProcess(this);
  process->setProgram(opener);
  process->setArguments({url.toString(QUrl::FullyEncoded)});
  // A browser started here inherits the output: it must not fill a pipe
  // nobody reads.
  process->setStandardOutputFile(QProcess::nullDevice());
  process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
  connect(process, &QProcess::finished, this, [this, process, url](int code, QProcess::ExitStatus status) {
    if (status != QProcess::NormalExit || code != 0) ShowUnopenedPage(url);
    process->deleteLater();
  });
  connect(process, &QProcess::errorOccurred, this, [this, process, url](QProcess::ProcessError error) {
    if (error != QProcess::FailedToStart) return;
    ShowUnopenedPage(url);
    process->deleteLater();
  });
  process->start();
}

void KestrineCMPref::ShowUnopenedPage(const QUrl& url) {
  auto* box = new QMessageBox(QMessageBox::Information, QStringLiteral("Kestrine Help"),
                              QStringLiteral("No browser could open the help page. Open this file in a "
                                             "browser:\n\n%1")
                                  .arg(url.isLocalFile() ? url.toLocalFile() : url.toString()),
                              QMessageBox::Ok, m_window);
  box->setObjectName(QStringLiteral("KestrineUnopenedPage"));
  box->setTextFormat(Qt::PlainText);
  box->setTextInteractionFlags(Qt::TextSelectableByMouse);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->open();
}

void KestrineCMPref::TableEdited() {
  m_prefixesEdited = true;
  m_storedPrefixesNote->hide();
}

void KestrineCMPref::ReloadTable() {
  m_model->Reload();
  tableViewSelectionDidChange();
}

void KestrineCMPref::addPrefix() {
  TableEdited();
  prefixes.emplace_back(std::string(kNewPrefix));
  save();
  ReloadTable();
  // The new row is there to be named: its text is open and selected.
  const QModelIndex row = m_model->index(numberOfRowsInTableView() - 1, 0);
  m_prefixTable->setCurrentIndex(row);
  m_prefixTable->scrollTo(row);
  m_prefixTable->edit(row);
}

void KestrineCMPref::deletePrefix() {
  const QModelIndexList rows = m_prefixTable->selectionModel()->selectedRows();
  if (!rows.isEmpty()) {
    std::vector<bool> remove(prefixes.size(), false);
    for (const QModelIndex& index : rows) {
      if (index.row() >= 0 && static_cast<std::size_t>(index.row()) < remove.size()) {
        remove[static_cast<std::size_t>(index.row())] = true;
      }
    }
    PrefArray kept;
    for (std::size_t i = 0; i < prefixes.size(); ++i) {
      if (!remove[i]) kept.push_back(std::move(prefixes[i]));
    }
    prefixes = std::move(kept);
    TableEdited();
    save();
  }
  m_prefixTable->clearSelection();
  ReloadTable();
}

void KestrineCMPref::StoreSwitch(std::string_view key, const QCheckBox* button) {
  SetBooleanSetting(key, button->isChecked());
}

void KestrineCMPref::menuItemButtonClicked(QCheckBox* sender) {
  const int tag = sender->property("tag").toInt();
  if (tag < 0 || static_cast<std::size_t>(tag) >= m_keys.size()) return;
  // From the mixed state a click turns the switch on; from then on it only
  // goes between on and off.
  sender->setTristate(false);
  if (tag == kUNCTag) m_uncNote->hide();
  StoreSwitch(m_keys[static_cast<std::size_t>(tag)], sender);
}

void KestrineCMPref::showClipboardInMenu() { StoreSwitch(kShowClipboardInMenuKey, m_showClipboardInMenuButton); }
void KestrineCMPref::labelItems() { StoreSwitch(kLabelItemsKey, m_labelItemsButton); }
void KestrineCMPref::makeAsSubmenu() { StoreSwitch(kMakeAsSubmenuKey, m_makeAsSubmenuButton); }

void KestrineCMPref::multipathSeparator() {
  CFPreferencesAppSynchronize(kKestrineMBIDomain);
  const std::optional<PrefValue> own = CFPreferencesCopyAppValue(kMultipathSeparatorKey, kKestrineMBIDomain);
  const auto* text = own ? std::get_if<std::string>(&*own) : nullptr;
  SetMultipathSeparator(text != nullptr ? std::string_view(*text) : kDefaultMultipathSeparator);
}

int KestrineCMPref::numberOfRowsInTableView() const { return static_cast<int>(prefixes.size()); }

std::optional<QString> KestrineCMPref::tableViewObjectValue(const QString& columnIdentifier, int row) const {
  if (columnIdentifier != QLatin1String(kPrefixesColumn) || row < 0 ||
      static_cast<std::size_t>(row) >= prefixes.size()) {
    return std::nullopt;
  }
  const auto& entry = prefixes[static_cast<std::size_t>(row)];
  if (!entry) return std::nullopt;
  return QString::fromStdString(*entry);
}

void KestrineCMPref::tableViewSetObjectValue(const QVariant& value, const QString& /*columnIdentifier*/,
                                             int row) {
  if (value.typeId() != QMetaType::QString || row < 0 || static_cast<std::size_t>(row) >= prefixes.size()) {
    return;
  }
  prefixes[static_cast<std::size_t>(row)] = value.toString().toStdString();
  TableEdited();
  save();
}

void KestrineCMPref::tableViewSelectionDidChange() {
  m_deletePrefixButton->setEnabled(m_prefixTable->selectionModel()->hasSelection());
}
