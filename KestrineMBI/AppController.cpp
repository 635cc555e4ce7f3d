#include "KestrineMBI/AppController.h"

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QIcon>
#include <QMenu>
#include <QSocketNotifier>
#include <QTextDocument>
#include <QWidget>

#include <cstdio>

#include "KestrineMBI/KestrineCMPref.h"
#include "KestrineMBI/finder_command.h"
#include "KestrineMBI/status_notifier.h"
#include "MoreAppleEvents/FinderSelection.h"
#include "MoreAppleEvents/MoreAppleEvents.h"
#include "MoreAppleEvents/MoreFinderEvents.h"
#include "engine/menu_model.h"
#include "engine/path_forms.h"
#include "engine/prefixes.h"
#include "engine/selection_text.h"
#include "platform/files/files.h"
#include "platform/notifications/notifications.h"
#include "platform/processes/processes.h"
#include "settings/settings.h"

namespace {

// What kind of item an action is, kept on the action for the listing.
constexpr const char* kKindProperty = "kestrineKind";
constexpr const char* kTitleProperty = "kestrineTitle";
enum ItemKind : int { kCommandItem = 1, kInformationItem, kFixedItem };

constexpr std::string_view kPreferencesTitle = "Preferences...";
constexpr std::string_view kQuitTitle = "Quit";
constexpr std::string_view kNoSelectionTitle = "The Finder has no active selection";

void PreferencesChangedCallback(CFNotificationCenterRef /*center*/, void* observer,
                                const std::string& /*name*/,
                                const std::optional<std::string>& /*object*/,
                                const void* /*userInfo*/) {
  static_cast<AppController*>(observer)->setup();
}

QString FromUTF8(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// Another start of the application asks for the preferences window.
OSErr MyShowPreferencesHandler(const AppleEvent* /*event*/, AppleEvent* /*reply*/, SRefCon refcon) {
  auto* controller = static_cast<AppController*>(refcon);
  if (!controller->prefController()) return errAEEventNotHandled;
  controller->selItemPreferences(nullptr);
  return noErr;
}

// The menu reads the Finder's selection as the copy commands do.
using Selection = FinderSelection;

// Sets a flag for the life of the object.
class ScopedFlag final {
 public:
  explicit ScopedFlag(bool* flag) : m_flag(flag) { *m_flag = true; }
  ~ScopedFlag() { *m_flag = false; }
  ScopedFlag(const ScopedFlag&) = delete;
  ScopedFlag& operator=(const ScopedFlag&) = delete;

 private:
  bool* m_flag;
};

// Whether a terminal would act on `c` rather than show it: C0 and C1
// controls, DEL, and the marks and overrides that reorder the text around
// them.
bool IsTerminalControl(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x200E || c == 0x200F ||
         (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

// `text` as UTF-8 with every character a terminal would act on written as an
// escape: \n, \r, \t, \e, \xHH for the other controls below 0x100, \uHHHH
// for the bidirectional marks.
std::string TerminalSafeText(const QString& text) {
  std::string out;
  for (const char32_t c : text.toUcs4()) {
    if (!IsTerminalControl(c)) {
      out += QString::fromUcs4(&c, 1).toStdString();
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == 0x1B) {
      out += "\\e";
    } else {
      char escape[8];
      std::snprintf(escape, sizeof escape, c < 0x100 ? "\\x%02x" : "\\u%04x",
                    static_cast<unsigned>(c));
      out += escape;
    }
  }
  return out;
}

}  // namespace

OSErr ShowPreferencesOfProcess(const ProcessSerialNumber& psn) {
  AppleEvent event;
  OSErr status = static_cast<OSErr>(
      MoreAECreateAppleEventProcessTarget(&psn, kCoreEventClass, kAEShowPreferences, &event));
  if (status != noErr) return status;
  status = static_cast<OSErr>(MoreAESendEventNoReturnValue(nullptr, &event));
  MoreAEDisposeDesc(&event);
  return status;
}

QString PreviewToolTip(std::int32_t commandID) {
  QString tip;
  if (const SingleForm* form = FindSingleForm(commandID)) {
    tip = FromUTF8(form->title);
  } else {
    const std::optional<PrefixFormID> prefix = PrefixFormOf(commandID);
    if (!prefix || !gPrefixes || prefix->index >= gPrefixes->size() || !(*gPrefixes)[prefix->index]) return {};
    tip = QStringLiteral("Prefix \u201C%1\u201D and the path with %2")
              .arg(FromUTF8(*(*gPrefixes)[prefix->index]),
                   prefix->slash ? QStringLiteral("slashes") : QStringLiteral("backslashes"));
  }
  // A tool tip that looks like markup is shown as markup: this one never is.
  return Qt::convertFromPlainText(tip, Qt::WhiteSpaceNoWrap);
}

QString MenuDisplayText(std::string_view title) {
  QString shown;
  shown.reserve(static_cast<qsizetype>(title.size()) + 4);
  shown += QChar(0x2066);  // LEFT-TO-RIGHT ISOLATE
  for (const QChar c : FromUTF8(title)) {
    if (c == u'&') {
      shown += QStringLiteral("&&");
    } else if (c.unicode() < 0x20) {
      shown += QChar(static_cast<char16_t>(0x2400 + c.unicode()));  // Control pictures.
    } else if (c.unicode() == 0x7F) {
      shown += QChar(0x2421);
    } else {
      shown += c;
    }
  }
  shown += QChar(0x2069);  // POP DIRECTIONAL ISOLATE
  return shown;
}

std::optional<std::int32_t> MenuItemCommandID(const QAction& item) {
  if (item.property(kKindProperty).toInt() != kCommandItem) return std::nullopt;
  return static_cast<std::int32_t>(item.data().toInt());
}

std::string DescribeMenu(const QMenu& menu) {
  std::string out;
  for (const QAction* item : menu.actions()) {
    if (item->isSeparator()) {
      out += "-\n";
      continue;
    }
    const std::string title = TerminalSafeText(item->property(kTitleProperty).toString());
    switch (item->property(kKindProperty).toInt()) {
      case kCommandItem:
        out += "[" + std::to_string(item->data().toInt()) + "] " + title + "\n";
        break;
      case kFixedItem:
        out += title + "\n";
        break;
      default:
        out += "# " + title + "\n";
        break;
    }
  }
  return out;
}

// The icon is a resource of this library, which a static link would drop
// unless it is asked for by name.
static void InitResources() { Q_INIT_RESOURCE(KestrineMBI); }

AppController::AppController(Mode mode, QObject* parent) : QObject(parent), m_mode(mode) {
  InitResources();
}

AppController::~AppController() {
  if (m_eventNotifier != nullptr) {
    AERemoveEventHandler(kCoreEventClass, kAEShowPreferences, MyShowPreferencesHandler, false);
  }
  if (m_mode == Mode::kTray && m_initialized) SetAEIdleWork({});
  if (m_notifier != nullptr) {
    CFNotificationCenterRemoveEveryObserver(CFNotificationCenterGetDistributedCenter(), this);
  }
  // It shows the icon and the menu: it goes before them.
  delete m_tray;
  delete m_item;
  delete m_menu;
}

void AppController::setPrefController(KestrineCMPref* controller) { m_prefController = controller; }
KestrineCMPref* AppController::prefController() const { return m_prefController; }

bool AppController::init() {
  if (m_initialized) return false;
  m_initialized = true;
  if (m_mode == Mode::kScript) return true;
  // While a request waits for the Finder, the window system's events are
  // still handled (repaints, the window manager's pings); input waits.
  SetAEIdleWork([] { QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents); });
  m_item = new QSystemTrayIcon(QIcon::fromTheme(QStringLiteral("KestrineMBI"),
                                                QIcon(QStringLiteral(":/KestrineMBI.png"))));
  m_item->setToolTip(QStringLiteral("Kestrine"));
  connect(m_item, &QSystemTrayIcon::activated, this, &AppController::StatusItemActivated);
  setup();

  CFNotificationCenterRef center = CFNotificationCenterGetDistributedCenter();
  CFNotificationCenterAddObserver(center, this, PreferencesChangedCallback, kPreferencesChangedName,
                                  kPreferencesChangedObject,
                                  CFNotificationSuspensionBehaviorDeliverImmediately);
  const int fd = CFNotificationCenterGetFileDescriptor(center);
  if (fd >= 0) {
    m_notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this,
            [center] { CFNotificationCenterDispatch(center); });
  }
  const int events = AEServerFileDescriptor();
  if (events >= 0) {
    AEInstallEventHandler(kCoreEventClass, kAEShowPreferences, MyShowPreferencesHandler, this, false);
    m_eventNotifier = new QSocketNotifier(events, QSocketNotifier::Read, this);
    connect(m_eventNotifier, &QSocketNotifier::activated, this, [] { AEServerDispatch(); });
  }
  m_tray = new TrayHost(m_item, m_menu, [this] { buildMenu(); }, this);
  return true;
}

void AppController::setup() {
  CFPreferencesAppSynchronize(kKestrineDomain);
  buildMenu();
}

void AppController::menuNeedsUpdate(QMenu* /*menu*/) {
  if (m_builtForPopup) {
    m_builtForPopup = false;
    return;
  }
  buildMenu();
}

bool AppController::validateMenuItem(QAction* /*item*/) const { return true; }

void AppController::StatusItemActivated(QSystemTrayIcon::ActivationReason reason) {
  // Hosts that show the exported menu without announcing it first leave a
  // menu built only on opening stale: a click on the icon builds and shows
  // it here.
  if (reason != QSystemTrayIcon::Trigger && reason != QSystemTrayIcon::MiddleClick) return;
  if (m_asking || !MenusPopUpAnywhere()) return;
  buildMenu();
  if (m_menu->isVisible()) return;
  m_builtForPopup = true;
  m_menu->popup(QCursor::pos());
  // A menu that did not open leaves no announcement to swallow.
  if (!m_menu->isVisible()) m_builtForPopup = false;
}

void AppController::AppendSeparator() { m_menu->addSeparator(); }

void AppController::AppendInformation(const std::string& text) {
  QAction* item = m_menu->addAction(MenuDisplayText(text));
  item->setProperty(kKindProperty, kInformationItem);
  item->setProperty(kTitleProperty, FromUTF8(text));
  item->setEnabled(false);
}

void AppController::AppendTail() {
  for (const auto& [title, action] : {std::pair{kPreferencesTitle, &AppController::selItemPreferences},
                                      std::pair{kQuitTitle, &AppController::selItemQuit}}) {
    AppendSeparator();
    QAction* item = m_menu->addAction(FromUTF8(title));
    item->setProperty(kKindProperty, kFixedItem);
    item->setProperty(kTitleProperty, FromUTF8(title));
    item->setMenuRole(QAction::NoRole);
    connect(item, &QAction::triggered, this, [this, item, handler = action] { (this->*handler)(item); });
  }
}

void AppController::addMenuItem(std::string_view title, std::int32_t commandID) {
  QAction* item = m_menu->addAction(MenuDisplayText(title));
  item->setProperty(kKindProperty, kCommandItem);
  item->setProperty(kTitleProperty, FromUTF8(title));
  item->setData(commandID);
  item->setEnabled(validateMenuItem(item));
  connect(item, &QAction::triggered, this, [this, item] { handleMenuItem(item); });
}

void AppController::buildMenu() {
  if (m_asking) return;
  const ScopedFlag asking(&m_asking);
  ++m_buildCount;
  CFPreferencesAppSynchronize(kKestrineDomain);
  if (m_menu == nullptr) {
    m_menu = new QMenu;
    m_menu->setObjectName(QStringLiteral("KestrineStatusMenu"));
    // Previews that read alike are told apart by their tool tips.
    m_menu->setToolTipsVisible(true);
    connect(m_menu, &QMenu::aboutToShow, this, [this] { menuNeedsUpdate(m_menu); });
    if (m_item != nullptr) m_item->setContextMenu(m_menu);
  }
  m_menu->clear();
  LoadPrefixes();

  do {
    const Selection selection;
    if (!selection.ok()) break;
    if (selection.count() < 1) {
      AppendInformation(std::string(kNoSelectionTitle));
      break;
    }
    const std::optional<FSRef> first = selection.Item(1);
    if (!first) break;
    if (const std::optional<std::string> name = GetObjectDisplayName(*first)) {
      const long count = selection.count();
      AppendInformation(std::to_string(count) + (count == 1 ? " Item" : " Items") +
                        ", First item: " + *name);
    }
    for (const MenuModelItem& item : BuildMenuModel(*first, kStatusMenuRules)) {
      if (item.separator()) {
        AppendSeparator();
        continue;
      }
      addMenuItem(item.title, item.commandID);
      if (item.preview) m_menu->actions().constLast()->setToolTip(PreviewToolTip(item.commandID));
    }
  } while (false);
  AppendTail();
}

AppController::CommandOutcome AppController::RunCommand(std::int32_t commandID) {
  if (m_asking) return {CommandResult::kBusy};
  const ScopedFlag asking(&m_asking);
  return RunFinderCommand(commandID, m_mode == Mode::kScript);
}

void AppController::handleMenuItem(QAction* sender) {
  if (sender == nullptr) return;
  const std::optional<std::int32_t> commandID = MenuItemCommandID(*sender);
  if (commandID) RunCommand(*commandID);
}

void AppController::selItemPreferences(QAction* /*sender*/) {
  if (!m_prefController) return;
  const ProcessSerialNumber current{0, kCurrentProcess};
  SetFrontProcess(&current);
  QWidget* window = m_prefController->window();
  // A window opened again shows what is stored now.
  if (!window->isVisible()) m_prefController->awakeFromNib();
  window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
  window->show();
  window->raise();
  window->activateWindow();
}

void AppController::selItemQuit(QAction* /*sender*/) { QApplication::quit(); }
