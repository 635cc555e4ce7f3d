#include "KestrineMBI/status_notifier.h"

#include <QAction>
#include <QCoreApplication>
#include <QDBusAbstractAdaptor>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QEvent>
#include <QGuiApplication>
#include <QIcon>
#include <QImage>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>

#include <cstdio>
#include <utility>

namespace {

constexpr const char* kWatcherService = "org.kde.StatusNotifierWatcher";
constexpr const char* kWatcherPath = "/StatusNotifierWatcher";
// Hosts given only a bus name look for the item at this path.
constexpr const char* kItemPath = "/StatusNotifierItem";
constexpr const char* kMenuPath = "/KestrineMenu";
constexpr const char* kIconName = "KestrineMBI";
// How long a menu built for AboutToShow answers the GetLayout after it.
constexpr qint64 kFreshMilliseconds = 1000;

}  // namespace

// One menu item and its children, as GetLayout sends it: (ia{sv}av).
struct DBusMenuLayoutItem {
  int id = 0;
  QVariantMap properties;
  QList<DBusMenuLayoutItem> children;
};
// One item's properties, as GetGroupProperties sends them: (ia{sv}).
struct DBusMenuItemProperties {
  int id = 0;
  QVariantMap properties;
};
using DBusMenuItemPropertiesList = QList<DBusMenuItemProperties>;
// One event of EventGroup: (isvu).
struct DBusMenuEvent {
  int id = 0;
  QString eventId;
  QDBusVariant data;
  uint timestamp = 0;
};
using DBusMenuEventList = QList<DBusMenuEvent>;
// An icon image: width, height and ARGB32 pixels in network byte order.
struct StatusIconPixmap {
  int width = 0;
  int height = 0;
  QByteArray pixels;
};
using StatusIconPixmapList = QList<StatusIconPixmap>;
// The tool tip: icon name, icon images, title and description.
struct StatusToolTip {
  QString iconName;
  StatusIconPixmapList pixmaps;
  QString title;
  QString description;
};

Q_DECLARE_METATYPE(DBusMenuLayoutItem)
Q_DECLARE_METATYPE(DBusMenuItemProperties)
Q_DECLARE_METATYPE(DBusMenuEvent)
Q_DECLARE_METATYPE(StatusIconPixmap)
Q_DECLARE_METATYPE(StatusToolTip)

QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuLayoutItem& item) {
  argument.beginStructure();
  argument << item.id << item.properties;
  argument.beginArray(QMetaType::fromType<QDBusVariant>());
  for (const DBusMenuLayoutItem& child : item.children) argument << QDBusVariant(QVariant::fromValue(child));
  argument.endArray();
  argument.endStructure();
  return argument;
}
const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuLayoutItem& item) {
  argument.beginStructure();
  argument >> item.id >> item.properties;
  argument.beginArray();
  while (!argument.atEnd()) {
    QDBusVariant child;
    argument >> child;
    item.children.append(qdbus_cast<DBusMenuLayoutItem>(child.variant()));
  }
  argument.endArray();
  argument.endStructure();
  return argument;
}
QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuItemProperties& item) {
  argument.beginStructure();
  argument << item.id << item.properties;
  argument.endStructure();
  return argument;
}
const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuItemProperties& item) {
  argument.beginStructure();
  argument >> item.id >> item.properties;
  argument.endStructure();
  return argument;
}
QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuEvent& event) {
  argument.beginStructure();
  argument << event.id << event.eventId << event.data << event.timestamp;
  argument.endStructure();
  return argument;
}
const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuEvent& event) {
  argument.beginStructure();
  argument >> event.id >> event.eventId >> event.data >> event.timestamp;
  argument.endStructure();
  return argument;
}
QDBusArgument& operator<<(QDBusArgument& argument, const StatusIconPixmap& icon) {
  argument.beginStructure();
  argument << icon.width << icon.height << icon.pixels;
  argument.endStructure();
  return argument;
}
const QDBusArgument& operator>>(const QDBusArgument& argument, StatusIconPixmap& icon) {
  argument.beginStructure();
  argument >> icon.width >> icon.height >> icon.pixels;
  argument.endStructure();
  return argument;
}
QDBusArgument& operator<<(QDBusArgument& argument, const StatusToolTip& tip) {
  argument.beginStructure();
  argument << tip.iconName << tip.pixmaps << tip.title << tip.description;
  argument.endStructure();
  return argument;
}
const QDBusArgument& operator>>(const QDBusArgument& argument, StatusToolTip& tip) {
  argument.beginStructure();
  argument >> tip.iconName >> tip.pixmaps >> tip.title >> tip.description;
  argument.endStructure();
  return argument;
}

namespace {

void RegisterTypes() {
  static const bool registered = [] {
    qDBusRegisterMetaType<DBusMenuLayoutItem>();
    qDBusRegisterMetaType<DBusMenuItemProperties>();
    qDBusRegisterMetaType<DBusMenuItemPropertiesList>();
    qDBusRegisterMetaType<DBusMenuEvent>();
    qDBusRegisterMetaType<DBusMenuEventList>();
    qDBusRegisterMetaType<StatusIconPixmap>();
    qDBusRegisterMetaType<StatusIconPixmapList>();
    qDBusRegisterMetaType<StatusToolTip>();
    return true;
  }();
  (void)registered;
}

StatusIconPixmapList IconPixmaps(const QIcon& icon) {
  StatusIconPixmapList pixmaps;
  for (const int size : {16, 22, 32, 48, 64}) {
    const QImage image = icon.pixmap(size, size).toImage().convertToFormat(QImage::Format_ARGB32);
    if (image.isNull()) continue;
    StatusIconPixmap pixmap{image.width(), image.height(), {}};
    pixmap.pixels.reserve(image.width() * image.height() * 4);
    for (int y = 0; y < image.height(); ++y) {
      const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
      for (int x = 0; x < image.width(); ++x) {
        for (const int shift : {24, 16, 8, 0}) {
          pixmap.pixels.append(static_cast<char>((line[x] >> shift) & 0xFF));
        }
      }
    }
    pixmaps.append(pixmap);
  }
  return pixmaps;
}

QVariantMap Filtered(const QVariantMap& properties, const QStringList& names) {
  if (names.isEmpty()) return properties;
  QVariantMap kept;
  for (const QString& name : names) {
    if (properties.contains(name)) kept.insert(name, properties.value(name));
  }
  return kept;
}

}  // namespace

// org.kde.StatusNotifierItem on the item's object.
class StatusNotifierItemAdaptor final : public QDBusAbstractAdaptor {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierItem")
  Q_PROPERTY(QString Category READ Category)
  Q_PROPERTY(QString Id READ Id)
  Q_PROPERTY(QString Title READ Title)
  Q_PROPERTY(QString Status READ Status)
  Q_PROPERTY(int WindowId READ WindowId)
  Q_PROPERTY(bool ItemIsMenu READ ItemIsMenu)
  Q_PROPERTY(QDBusObjectPath Menu READ Menu)
  Q_PROPERTY(QString IconThemePath READ Empty)
  Q_PROPERTY(QString IconName READ IconName)
  Q_PROPERTY(StatusIconPixmapList IconPixmap READ IconPixmap)
  Q_PROPERTY(QString OverlayIconName READ Empty)
  Q_PROPERTY(StatusIconPixmapList OverlayIconPixmap READ NoPixmaps)
  Q_PROPERTY(QString AttentionIconName READ Empty)
  Q_PROPERTY(StatusIconPixmapList AttentionIconPixmap READ NoPixmaps)
  Q_PROPERTY(StatusToolTip ToolTip READ ToolTip)

 public:
  StatusNotifierItemAdaptor(QObject* object, StatusNotifierItem* item, const QIcon& icon)
      : QDBusAbstractAdaptor(object), m_item(item), m_pixmaps(IconPixmaps(icon)) {}

  QString Category() const { return QStringLiteral("ApplicationStatus"); }
  QString Id() const { return QStringLiteral("KestrineMBI"); }
  QString Title() const { return QStringLiteral("Kestrine"); }
  QString Status() const { return QStringLiteral("Active"); }
  int WindowId() const { return 0; }
  // The panel opens the menu itself on a click, on Wayland as well.
  bool ItemIsMenu() const { return true; }
  QDBusObjectPath Menu() const { return QDBusObjectPath(QString::fromLatin1(kMenuPath)); }
  QString Empty() const { return {}; }
  // The installed icon where the theme has it, else only the images.
  QString IconName() const {
    return QIcon::hasThemeIcon(QLatin1String(kIconName)) ? QString::fromLatin1(kIconName) : QString();
  }
  StatusIconPixmapList IconPixmap() const { return m_pixmaps; }
  StatusIconPixmapList NoPixmaps() const { return {}; }
  StatusToolTip ToolTip() const { return {{}, {}, QStringLiteral("Kestrine"), {}}; }

 public slots:
  void Activate(int x, int y) { m_item->activate(x, y); }
  void ContextMenu(int x, int y) { m_item->activate(x, y); }
  void SecondaryActivate(int /*x*/, int /*y*/) {}
  void Scroll(int /*delta*/, const QString& /*orientation*/) {}

 signals:
  void NewTitle();
  void NewIcon();
  void NewAttentionIcon();
  void NewOverlayIcon();
  void NewToolTip();
  void NewStatus(const QString& status);

 private:
  StatusNotifierItem* m_item;
  StatusIconPixmapList m_pixmaps;
};

// com.canonical.dbusmenu on the menu's object: a flat menu whose item i of
// the Qt menu has ID i + 1 under the root, ID 0.
class DBusMenuAdaptor final : public QDBusAbstractAdaptor {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "com.canonical.dbusmenu")
  Q_PROPERTY(uint Version READ Version)
  Q_PROPERTY(QString TextDirection READ TextDirection)
  Q_PROPERTY(QString Status READ Status)
  Q_PROPERTY(QStringList IconThemePath READ IconThemePath)

 public:
  DBusMenuAdaptor(QObject* object, StatusNotifierItem* item) : QDBusAbstractAdaptor(object), m_item(item) {
    connect(item, &StatusNotifierItem::layoutUpdated, this, &DBusMenuAdaptor::LayoutUpdated);
  }

  uint Version() const { return 3; }
  QString TextDirection() const { return QStringLiteral("ltr"); }
  QString Status() const { return QStringLiteral("normal"); }
  QStringList IconThemePath() const { return {}; }

 public slots:
  uint GetLayout(int parentId, int recursionDepth, const QStringList& propertyNames,
                 DBusMenuLayoutItem& layout) {
    const StatusNotifierItem::Layout menu = m_item->menuLayout(parentId == 0);
    layout.id = parentId;
    if (parentId == 0) {
      const QVariantMap root = {{QStringLiteral("children-display"), QStringLiteral("submenu")}};
      layout.properties = Filtered(root, propertyNames);
      if (recursionDepth != 0) {
        for (qsizetype i = 0; i < menu.items.size(); ++i) {
          layout.children.append({static_cast<int>(i) + 1, Filtered(menu.items[i], propertyNames), {}});
        }
      }
    } else if (parentId > 0 && parentId <= menu.items.size()) {
      layout.properties = Filtered(menu.items[parentId - 1], propertyNames);
    }
    return menu.revision;
  }
  DBusMenuItemPropertiesList GetGroupProperties(const QList<int>& ids, const QStringList& propertyNames) {
    const StatusNotifierItem::Layout menu = m_item->menuLayout(false);
    DBusMenuItemPropertiesList found;
    for (const int id : ids) {
      if (id > 0 && id <= menu.items.size()) found.append({id, Filtered(menu.items[id - 1], propertyNames)});
    }
    return found;
  }
  QDBusVariant GetProperty(int id, const QString& name) {
    const StatusNotifierItem::Layout menu = m_item->menuLayout(false);
    if (id <= 0 || id > menu.items.size()) return QDBusVariant(QVariant(QString()));
    return QDBusVariant(menu.items[id - 1].value(name, QString()));
  }
  void Event(int id, const QString& eventId, const QDBusVariant& /*data*/, uint /*timestamp*/) {
    if (eventId == QLatin1String("clicked")) m_item->menuClicked(id);
  }
  QList<int> EventGroup(const DBusMenuEventList& events) {
    const StatusNotifierItem::Layout menu = m_item->menuLayout(false);
    QList<int> unknown;
    for (const DBusMenuEvent& event : events) {
      if (event.id < 0 || event.id > menu.items.size()) {
        unknown.append(event.id);
      } else {
        Event(event.id, event.eventId, event.data, event.timestamp);
      }
    }
    return unknown;
  }
  bool AboutToShow(int id) { return id == 0 && m_item->menuAboutToShow(); }
  QList<int> AboutToShowGroup(const QList<int>& ids, QList<int>& idErrors) {
    QList<int> updates;
    for (const int id : ids) {
      if (id != 0) continue;
      if (m_item->menuAboutToShow()) updates.append(id);
    }
    idErrors = {};
    return updates;
  }

 signals:
  void LayoutUpdated(uint revision, int parent);

 private:
  StatusNotifierItem* m_item;
};

QString DBusMenuLabel(const QString& text) {
  QString label;
  label.reserve(text.size() + 4);
  for (qsizetype i = 0; i < text.size(); ++i) {
    const QChar c = text[i];
    if (c == u'&' && i + 1 < text.size()) {
      // "&&" is a literal "&"; "&x" marks x as the mnemonic.
      ++i;
      if (text[i] == u'&') {
        label += u'&';
      } else if (text[i] == u'_') {
        label += QStringLiteral("__");
      } else {
        label += u'_';
        label += text[i];
      }
    } else if (c == u'_') {
      label += QStringLiteral("__");
    } else {
      label += c;
    }
  }
  return label;
}

bool MenusPopUpAnywhere() { return !QGuiApplication::platformName().startsWith(QLatin1String("wayland")); }

StatusNotifierItem::StatusNotifierItem(QMenu* menu, std::function<void()> refresh, QObject* parent)
    : QObject(parent),
      m_menu(menu),
      m_refresh(std::move(refresh)),
      m_service(QStringLiteral("org.kde.StatusNotifierItem-%1-1").arg(QCoreApplication::applicationPid())) {
  RegisterTypes();
  m_menu->installEventFilter(this);
}

StatusNotifierItem::~StatusNotifierItem() {
  if (m_menu) m_menu->removeEventFilter(this);
  if (m_itemObject == nullptr) return;
  QDBusConnection bus = QDBusConnection::sessionBus();
  bus.unregisterObject(QString::fromLatin1(kItemPath));
  bus.unregisterObject(QString::fromLatin1(kMenuPath));
  bus.unregisterService(m_service);
}

bool StatusNotifierItem::start() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected() || m_itemObject != nullptr) return false;
  const QIcon icon = QIcon::fromTheme(QLatin1String(kIconName), QIcon(QStringLiteral(":/KestrineMBI.png")));
  m_itemObject = new QObject(this);
  new StatusNotifierItemAdaptor(m_itemObject, this, icon);
  m_menuObject = new QObject(this);
  new DBusMenuAdaptor(m_menuObject, this);
  if (!bus.registerObject(QString::fromLatin1(kItemPath), m_itemObject, QDBusConnection::ExportAdaptors) ||
      !bus.registerObject(QString::fromLatin1(kMenuPath), m_menuObject, QDBusConnection::ExportAdaptors) ||
      !bus.registerService(m_service)) {
    return false;
  }
  auto* watcher = new QDBusServiceWatcher(QString::fromLatin1(kWatcherService), bus,
                                          QDBusServiceWatcher::WatchForOwnerChange, this);
  connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
          [this](const QString& /*service*/, const QString& /*oldOwner*/, const QString& newOwner) {
            if (m_registered) {
              m_registered = false;
              emit registeredChanged(false);
            }
            if (!newOwner.isEmpty()) Register();
          });
  if (bus.interface()->isServiceRegistered(QString::fromLatin1(kWatcherService))) Register();
  return true;
}

void StatusNotifierItem::Register() {
  QDBusMessage call = QDBusMessage::createMethodCall(QString::fromLatin1(kWatcherService),
                                                     QString::fromLatin1(kWatcherPath),
                                                     QString::fromLatin1(kWatcherService),
                                                     QStringLiteral("RegisterStatusNotifierItem"));
  call << m_service;
  const QDBusMessage reply = QDBusConnection::sessionBus().call(call, QDBus::Block, 5000);
  if (reply.type() != QDBusMessage::ReplyMessage || m_registered) return;
  m_registered = true;
  emit registeredChanged(true);
}

StatusNotifierItem::Layout StatusNotifierItem::menuLayout(bool rebuild) {
  if (rebuild) {
    // AboutToShow built the menu a moment ago: the panel now fetches it.
    if (!std::exchange(m_fresh, false)) m_refresh();
  }
  Sync();
  return {m_revision, m_revisionItems};
}

bool StatusNotifierItem::menuAboutToShow() {
  m_refresh();
  m_fresh = true;
  // A panel that opens its menu without fetching it leaves the flag set:
  // it goes stale after a moment, so that a later GetLayout builds anew.
  QTimer::singleShot(kFreshMilliseconds, this, [this] { m_fresh = false; });
  if (!Sync()) return false;
  emit layoutUpdated(m_revision, 0);
  return true;
}

void StatusNotifierItem::menuClicked(int id) {
  const QList<QAction*> actions = m_menu->actions();
  if (id <= 0 || id > actions.size()) return;
  QAction* action = actions[id - 1];
  if (action->isSeparator() || !action->isEnabled()) return;
  // Run after the reply, so that the panel is not kept waiting by the copy.
  QTimer::singleShot(0, action, [action] { action->trigger(); });
}

void StatusNotifierItem::activate(int x, int y) {
  // Where a menu of its own would be a window, the panel's menu is the menu.
  if (!MenusPopUpAnywhere() || m_menu->isVisible()) return;
  m_menu->popup(QPoint(x, y));
}

// Takes the menu's items as the panel sees them; a new revision when they
// differ from the last one's.
bool StatusNotifierItem::Sync() {
  QList<QVariantMap> items;
  for (const QAction* action : m_menu->actions()) {
    QVariantMap properties;
    if (action->isSeparator()) {
      properties.insert(QStringLiteral("type"), QStringLiteral("separator"));
    } else {
      properties.insert(QStringLiteral("label"), DBusMenuLabel(action->text()));
      if (!action->isEnabled()) properties.insert(QStringLiteral("enabled"), false);
    }
    if (!action->isVisible()) properties.insert(QStringLiteral("visible"), false);
    items.append(properties);
  }
  if (items == m_revisionItems) return false;
  ++m_revision;
  m_revisionItems = items;
  return true;
}

void StatusNotifierItem::MenuChanged() {
  if (m_checkPending) return;
  m_checkPending = true;
  // A rebuild changes many items: the panel hears of it once, after it.
  QTimer::singleShot(0, this, [this] {
    m_checkPending = false;
    if (Sync()) emit layoutUpdated(m_revision, 0);
  });
}

bool StatusNotifierItem::eventFilter(QObject* watched, QEvent* event) {
  if (watched == m_menu && (event->type() == QEvent::ActionAdded || event->type() == QEvent::ActionChanged ||
                            event->type() == QEvent::ActionRemoved)) {
    MenuChanged();
  }
  return QObject::eventFilter(watched, event);
}

TrayHost::TrayHost(QSystemTrayIcon* icon, QMenu* menu, std::function<void()> refresh, QObject* parent)
    : QObject(parent),
      m_icon(icon),
      m_item(new StatusNotifierItem(menu, std::move(refresh), this)),
      m_poll(new QTimer(this)) {
  m_poll->setInterval(2000);
  connect(m_poll, &QTimer::timeout, this, &TrayHost::Update);
  connect(m_item, &StatusNotifierItem::registeredChanged, this, &TrayHost::Update);
  m_item->start();
  Update();
}

void TrayHost::Update() {
  // The item is asked about first: once Qt looked for a watcher and found
  // none, its own icon stays on the X11 tray for the life of the process.
  if (m_item->registered()) {
    m_poll->stop();
    m_icon->hide();
    return;
  }
  if (QSystemTrayIcon::isSystemTrayAvailable()) {
    m_poll->stop();
    m_icon->show();
    return;
  }
  m_icon->hide();
  if (!m_told) {
    m_told = true;
    std::fputs("KestrineMBI: the desktop has no system tray; the icon appears when one starts (on GNOME, "
               "install gnome-shell-extension-appindicator and enable it); until then, "
               "\"KestrineMBI --choose ID\" copies without it\n",
               stderr);
    std::fflush(stderr);
  }
  m_poll->start();
}

#include "status_notifier.moc"
