// The tray icon of desktops whose panel draws it: a StatusNotifierItem on
// the session bus, with its menu exported over com.canonical.dbusmenu, and
// the choice between it and the X11 tray of QSystemTrayIcon.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariantMap>

#include <functional>

class QMenu;
class QSystemTrayIcon;
class QTimer;

// The label a dbusmenu panel must be given to show the Qt menu text `text`
// as it reads in the Qt menu: "&&" becomes "&", a Qt mnemonic "&x" becomes
// "_x", and every other "_" is doubled, since panels read "_" as a mnemonic.
QString DBusMenuLabel(const QString& text);

// Whether a menu can pop up at any point of the screen. On Wayland a menu
// without a parent window opens as a toplevel window instead.
bool MenusPopUpAnywhere();

// Exports a status item whose menu is `menu`, as it stands after `refresh`
// rebuilt it: the panel's AboutToShow and GetLayout requests both rebuild it
// first, so that each opening shows the selection of that moment. The item
// registers with every StatusNotifierWatcher that appears on the session
// bus, also after start-up.
class StatusNotifierItem final : public QObject {
  Q_OBJECT

 public:
  StatusNotifierItem(QMenu* menu, std::function<void()> refresh, QObject* parent = nullptr);
  ~StatusNotifierItem() override;

  // Claims the item's bus name and objects, and registers with the watcher
  // when one runs. Returns false without a session bus.
  bool start();
  // Whether a watcher holds the item now.
  bool registered() const { return m_registered; }

  // What the panel's requests reach (the two exported objects call these).
  struct Layout {
    unsigned revision = 0;
    QList<QVariantMap> items;  // The menu's items, in order; item i has ID i + 1.
  };
  Layout menuLayout(bool rebuild);
  bool menuAboutToShow();
  void menuClicked(int id);
  void activate(int x, int y);

 signals:
  void registeredChanged(bool registered);
  void layoutUpdated(unsigned revision, int parent);

 private:
  void Register();
  bool Sync();
  void MenuChanged();
  bool eventFilter(QObject* watched, QEvent* event) override;

  QPointer<QMenu> m_menu;
  std::function<void()> m_refresh;
  QString m_service;
  QObject* m_itemObject = nullptr;
  QObject* m_menuObject = nullptr;
  bool m_registered = false;
  // Set by AboutToShow: the GetLayout that follows it shows the menu just
  // built rather than asking the file manager once more.
  bool m_fresh = false;
  bool m_checkPending = false;
  unsigned m_revision = 0;
  QList<QVariantMap> m_revisionItems;
};

// Shows the application's icon in whatever tray the desktop has: through
// the StatusNotifierItem while a watcher runs, else in an X11 tray through
// `icon`. Without either it says so once, with the way to get one, and
// shows the icon as soon as a tray appears.
class TrayHost final : public QObject {
  Q_OBJECT

 public:
  TrayHost(QSystemTrayIcon* icon, QMenu* menu, std::function<void()> refresh, QObject* parent = nullptr);
  StatusNotifierItem* statusNotifierItem() const { return m_item; }

 private:
  void Update();

  QSystemTrayIcon* m_icon;
  StatusNotifierItem* m_item;
  QTimer* m_poll;
  bool m_told = false;
};
