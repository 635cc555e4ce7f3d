// Dolphin's module: KIO's KFileItemActions creates this plug-in for every
// contextual menu and asks it for actions, which come from the contextual-menu
// plug-ins run by the process's one ContextualMenuHost.
#include <KAbstractFileItemActionPlugin>
#include <KFileItem>
#include <KFileItemListProperties>
#include <KPluginFactory>
#include <QAction>
#include <QCoreApplication>
#include <QFile>
#include <QMenu>
#include <QUrl>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "hosts/contextual_menu_host.h"
#include "platform/log/nslog.h"

namespace {

// The host of this process, made on the first menu. Its log lines go to
// standard error, which a desktop session keeps in its journal; its yield
// lets Dolphin handle the events already waiting.
ContextualMenuHost& Host() {
  // Never destroyed: plug-in code stays loaded until the process ends.
  static auto* host = new ContextualMenuHost(
      [](const std::string& line) { NSLog("%s", line.c_str()); },
      [] { QCoreApplication::processEvents(QEventLoop::AllEvents); });
  return *host;
}

// `title` as a Qt menu shows it literally: Qt reads "&" as a mnemonic
// marker, so it is doubled, and the text after a tab as the item's shortcut,
// so a tab becomes a space.
QString ActionTitle(const std::string& title) {
  QString text = QString::fromStdString(title);
  text.replace(QLatin1Char('&'), QStringLiteral("&&"));
  text.replace(QLatin1Char('\t'), QLatin1Char(' '));
  return text;
}

std::vector<HostSelectionItem> SelectionFromItems(const KFileItemList& items) {
  std::vector<HostSelectionItem> selection;
  selection.reserve(static_cast<std::size_t>(items.size()));
  for (const KFileItem& item : items) {
    HostSelectionItem entry;
    const QString path = item.localPath();
    if (!path.isEmpty()) entry.localPath = QFile::encodeName(path).toStdString();
    entry.uri = item.url().toString(QUrl::FullyEncoded).toStdString();
    selection.push_back(std::move(entry));
  }
  return selection;
}

// Builds the actions of `entries`, each a child of `parent`; a submenu's
// QMenu is a child of `menuParent` when there is one, else it goes with
// `parent`. Every command action keeps `menu` alive.
QList<QAction*> MakeActions(const std::shared_ptr<HostMenu>& menu,
                            const std::vector<HostMenuEntry>& entries, QObject* parent,
                            QWidget* menuParent) {
  QList<QAction*> actions;
  for (const HostMenuEntry& entry : entries) {
    QAction* action = nullptr;
    switch (entry.kind) {
      case HostMenuEntry::Kind::kSeparator:
        action = new QAction(parent);
        action->setSeparator(true);
        break;
      case HostMenuEntry::Kind::kCommand:
        action = new QAction(ActionTitle(entry.title), parent);
        QObject::connect(action, &QAction::triggered, action, [menu, entry = &entry] {
          // The command's yield may let Dolphin delete this action.
          const std::shared_ptr<HostMenu> kept = menu;
          kept->Activate(*entry);
        });
        break;
      case HostMenuEntry::Kind::kSubmenu: {
        auto* submenu = new QMenu(menuParent);
        if (menuParent == nullptr) {
          QObject::connect(parent, &QObject::destroyed, submenu, [submenu] { delete submenu; });
        }
        const QList<QAction*> children = MakeActions(menu, entry.submenu, submenu, submenu);
        if (children.isEmpty()) {
          delete submenu;
          break;
        }
        submenu->addActions(children);
        submenu->setTitle(ActionTitle(entry.title));
        action = submenu->menuAction();
        break;
      }
    }
    if (action != nullptr) actions.append(action);
  }
  return actions;
}

}  // namespace

// The plug-in KFileItemActions makes for each menu.
class KestrineFileItemAction final : public KAbstractFileItemActionPlugin {
  Q_OBJECT

 public:
  KestrineFileItemAction(QObject* parent, const QVariantList& /*args*/)
      : KAbstractFileItemActionPlugin(parent) {
    static const bool logged = [] {
      NSLog("Kestrine's Dolphin module loaded; plug-ins load on the first menu");
      return true;
    }();
    (void)logged;
  }

  QList<QAction*> actions(const KFileItemListProperties& fileItemInfos,
                          QWidget* parentWidget) override {
    // Every menu is an update of its own: Dolphin asks once per menu.
    static std::uint64_t update = 0;
    try {
      const std::shared_ptr<HostMenu> menu = Host().BuildMenu(
          SelectionFromItems(fileItemInfos.items()), HostMenuSource::kSelection, ++update);
      if (!menu) return {};
      QObject* parent = parentWidget != nullptr ? static_cast<QObject*>(parentWidget) : this;
      return MakeActions(menu, menu->entries(), parent, parentWidget);
    } catch (...) {
      NSLog("the contextual menu could not be built");
      return {};
    }
  }
};

K_PLUGIN_CLASS_WITH_JSON(KestrineFileItemAction, "kestrine-dolphin.json")

#include "dolphin_plugin.moc"
