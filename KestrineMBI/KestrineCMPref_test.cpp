// The preferences window, driven as a user drives it.
#include "KestrineMBI/KestrineCMPref.h"

#include <QCheckBox>
#include <QDesktopServices>
#include <QFileInfo>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QTabWidget>
#include <QTableView>
#include <QTest>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "KestrineMBI/qt_test_support.h"
#include "settings/settings.h"
#include "testing/test_support.h"

namespace {

using kestrine_testing::NotificationWatch;
using kestrine_testing::ScopedUser;

// Receives the URLs the window asks the desktop to open.
class UrlCatcher final : public QObject {
  Q_OBJECT
 public:
  QList<QUrl> urls;
 public slots:
  void open(const QUrl& url) { urls.push_back(url); }
};

std::optional<PrefValue> Stored(std::string_view key, std::string_view domain = kKestrineDomain) {
  CFPreferencesAppSynchronize(domain);
  return CFPreferencesCopyAppValue(key, domain);
}

PrefValue Texts(std::initializer_list<const char*> texts) { return PrefArray(texts.begin(), texts.end()); }

class KestrineCMPrefTest : public ::testing::Test {
 protected:
  // A window over the settings `entries`, as at start-up.
  std::unique_ptr<KestrineCMPref> Open(std::string_view entries) {
    user_.WriteSettings(entries);
    CFPreferencesAppSynchronize(kKestrineDomain);
    CFPreferencesAppSynchronize(kKestrineMBIDomain);
    auto pref = std::make_unique<KestrineCMPref>();
    watch_.Drain();
    return pref;
  }
  // The switches of tags 0 to 11, then ShowClipboardInMenu, LabelItems and
  // MakeAsSubmenu.
  static std::vector<QCheckBox*> Switches(const KestrineCMPref& pref) {
    std::vector<QCheckBox*> all;
    for (int tag = 0; tag < 12; ++tag) all.push_back(pref.commandSwitch(tag));
    all.insert(all.end(), {pref.showClipboardInMenuButton(), pref.labelItemsButton(), pref.makeAsSubmenuButton()});
    return all;
  }

  kestrine_testing::ApplicationReady ready_;
  ScopedUser user_;
  NotificationWatch watch_;
};

TEST_F(KestrineCMPrefTest, SwitchesShowTheStoredValueOrTheDefaultAndStoreAtOnce) {
  std::vector<std::string> keys(KestrineCMPref::m_keys.begin(), KestrineCMPref::m_keys.end());
  keys.insert(keys.end(), {"ShowClipboardInMenu", "LabelItems", "MakeAsSubmenu"});
  const std::vector<bool> defaults = {true, true, true, true,  true,  true, false, true,
                                      true, true, true, true, false, false, true};
  std::string numbers, flipped;
  std::vector<bool> inverse;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    numbers += "<key>" + keys[i] + "</key>" + (i % 2 ? "<integer>1</integer>" : "<string>yes</string>");
    flipped += "<key>" + keys[i] + "</key>" + (defaults[i] ? "<false/>" : "<true/>");
    inverse.push_back(!defaults[i]);
  }
  // The UNC switch shows an absent key as mixed: the menus differ on it.
  const auto states = [](const std::vector<bool>& on, bool mixedUNC) {
    std::vector<Qt::CheckState> all;
    for (bool value : on) all.push_back(value ? Qt::Checked : Qt::Unchecked);
    if (mixedUNC) all[6] = Qt::PartiallyChecked;
    return all;
  };
  for (const auto& [entries, expected] : std::vector<std::pair<std::string, std::vector<Qt::CheckState>>>{
           {"", states(defaults, true)}, {numbers, states(defaults, true)}, {flipped, states(inverse, false)}}) {
    auto pref = Open(entries);
    std::vector<Qt::CheckState> shown;
    for (QCheckBox* button : Switches(*pref)) shown.push_back(button->checkState());
    EXPECT_EQ(shown, expected) << entries;
    EXPECT_EQ(pref->uncNote()->isHidden(), expected[6] != Qt::PartiallyChecked) << entries;
    EXPECT_EQ(pref->numberOfRowsInTableView(), 0);
    EXPECT_FALSE(pref->deletePrefixButton()->isEnabled());
  }
  // A click stores the switch's value over what was there, and posts nothing.
  auto pref = Open(numbers);
  const std::vector<QCheckBox*> switches = Switches(*pref);
  for (const std::size_t i : {3, 6, 12, 13, 14}) {
    switches[i]->click();
    EXPECT_EQ(Stored(keys[i]), PrefValue(!defaults[i])) << keys[i];
    switches[i]->click();
    EXPECT_EQ(Stored(keys[i]), PrefValue(defaults[i])) << keys[i];
    EXPECT_EQ(switches[i]->checkState(), defaults[i] ? Qt::Checked : Qt::Unchecked) << keys[i];
  }
  EXPECT_TRUE(pref->uncNote()->isHidden());
  EXPECT_EQ(watch_.Drain(), 0);
}

TEST_F(KestrineCMPrefTest, PrefixTableAddsDeletesEditsAndStores) {
  auto pref = Open("<key>Prefixes</key><array><string>a</string><string>b</string>"
                   "<string>c</string><string>d</string></array>");
  ASSERT_EQ(pref->numberOfRowsInTableView(), 4);
  // The pane says what a prefix does.
  const QList<QLabel*> labels = pref->prefixTable()->parentWidget()->findChildren<QLabel*>();
  EXPECT_TRUE(std::ranges::any_of(labels, [](const QLabel* label) {
    return label->text().contains("with the prefix https://files.example.com, /home/alice/My Notes.txt is copied as "
                                  "https://files.example.com/home/alice/My%20Notes.txt");
  }));

  // Delete with nothing selected: nothing removed, stored or posted.
  user_.WriteSettings("<key>Prefixes</key><array><string>other</string></array>");
  pref->deletePrefixButton()->click();  // Disabled: no effect.
  pref->deletePrefix();
  EXPECT_EQ(pref->numberOfRowsInTableView(), 4);
  EXPECT_EQ(Stored("Prefixes"), Texts({"other"}));
  EXPECT_EQ(watch_.Drain(), 0);

  QAbstractItemModel* model = pref->prefixTable()->model();
  for (int row : {0, 1, 3}) {
    pref->prefixTable()->selectionModel()->select(model->index(row, 0),
                                                  QItemSelectionModel::Select | QItemSelectionModel::Rows);
  }
  EXPECT_TRUE(pref->deletePrefixButton()->isEnabled());
  pref->deletePrefixButton()->click();
  EXPECT_EQ(Stored("Prefixes"), Texts({"c"}));
  EXPECT_FALSE(pref->deletePrefixButton()->isEnabled());
  EXPECT_EQ(watch_.Drain(), 1);

  // The new row opens for its name, its text selected.
  pref->window()->show();
  pref->tabView()->setCurrentIndex(2);
  pref->addPrefixButton()->click();
  EXPECT_EQ(Stored("Prefixes"), Texts({"c", "prefix"}));
  auto* editor = pref->prefixTable()->findChild<QLineEdit*>();
  ASSERT_NE(editor, nullptr);
  EXPECT_TRUE(editor->isVisible());
  EXPECT_EQ(pref->prefixTable()->currentIndex().row(), 1);
  EXPECT_EQ(editor->selectedText(), "prefix");
  QTest::keyClicks(editor, "smb://s/");
  QTest::keyClick(editor, Qt::Key_Return);
  QCoreApplication::processEvents();  // The view commits the edit from its loop.
  EXPECT_EQ(Stored("Prefixes"), Texts({"c", "smb://s/"}));
  EXPECT_EQ(watch_.Drain(), 2);
  pref->window()->hide();

  EXPECT_EQ(model->headerData(0, Qt::Horizontal).toString(), "Prefixes");
  EXPECT_TRUE(model->setData(model->index(1, 0), QString("")));
  EXPECT_EQ(Stored("Prefixes"), Texts({"c", ""}));
  pref->tableViewSetObjectValue(QVariant(7), "Prefixes", 0);  // Not a text: dropped.
  EXPECT_EQ(model->data(model->index(0, 0)).toString(), "c");
  EXPECT_EQ(watch_.Drain(), 1);
}

TEST_F(KestrineCMPrefTest, ClosingAnyWindowPostsAndKeepsWhatWasNotEditedInIt) {
  for (const char* stored : {"<string>http://x/</string>", "<integer>4</integer>",
                             "<array><string>a</string><integer>1</integer></array>",
                             "<array><string>a</string></array>"}) {
    SCOPED_TRACE(stored);
    auto pref = Open(std::string("<key>Prefixes</key>") + stored);
    const std::optional<PrefValue> before = Stored("Prefixes");
    const bool otherKind = !std::string_view(stored).starts_with("<array><string>a</string></array>");
    EXPECT_EQ(!pref->storedPrefixesNote()->isHidden(), otherKind);
    pref->window()->show();
    pref->window()->close();
    QWidget other;  // Another window of the application.
    other.show();
    other.close();
    EXPECT_EQ(watch_.Drain(), 2);
    EXPECT_EQ(Stored("Prefixes"), before);
    // A user's edit replaces it with the table's texts.
    pref->addPrefix();
    EXPECT_EQ(Stored("Prefixes"), otherKind && stored[1] != 'a' ? Texts({"prefix"}) : Texts({"a", "prefix"}));
  }
  // Settings replaced while the window is open are kept at its close.
  auto pref = Open("<key>Prefixes</key><array><string>a</string></array>");
  user_.WriteSettings("<key>Prefixes</key><array><string>z</string></array><key>LabelItems</key><true/>");
  pref->makeAsSubmenuButton()->click();
  pref->window()->close();
  EXPECT_EQ(Stored("Prefixes"), Texts({"z"}));
  EXPECT_EQ(Stored("LabelItems"), PrefValue(true));
  EXPECT_EQ(Stored("MakeAsSubmenu"), PrefValue(false));
}

TEST_F(KestrineCMPrefTest, SeparatorComesFromTheApplicationsOwnValue) {
  auto pref = Open("<key>MultipathSeparator</key><string>;</string>");
  pref->multipathSeparator();
  EXPECT_EQ(Stored("MultipathSeparator"), PrefValue(std::string("\n")));
  QTest::keyClicks(pref->multipathSeparatorField(), ", ");
  QTest::keyClick(pref->multipathSeparatorField(), Qt::Key_Return);
  EXPECT_EQ(Stored("MultipathSeparator", kKestrineMBIDomain), PrefValue(std::string(", ")));
  EXPECT_EQ(Stored("MultipathSeparator"), PrefValue(std::string(", ")));
  EXPECT_EQ(MultipathSeparator(), ", ");
  EXPECT_EQ(watch_.Drain(), 0);
  // The field shows the application's own copy when opened again.
  EXPECT_EQ(Open("")->multipathSeparatorField()->text(), ", ");
}

TEST_F(KestrineCMPrefTest, HelpAndCreditOpenTheInstalledPageOrSayWhereItIs) {
  // The desktop's opener: one that opens, one that finds no browser, none.
  const std::string bin = user_.root() + "/bin";
  const std::string opened = user_.root() + "/opened";
  std::filesystem::create_directory(bin);
  struct Case {
    std::string opener;  // The script's body; empty: no xdg-open at all.
    bool desktopHandler;  // Without xdg-open, whether the desktop opens the page.
    bool message;
  };
  for (const Case& c : std::vector<Case>{{"printf '%s\\n' \"$1\" >>'" + opened + "'", false, false},
                                         {"echo 'xdg-open: no method available' >&2; exit 3", false, true},
                                         {"", true, false},
                                         {"", false, true}}) {
    SCOPED_TRACE(c.opener + (c.desktopHandler ? " with a handler" : ""));
    UrlCatcher catcher;
    if (c.desktopHandler) QDesktopServices::setUrlHandler("file", &catcher, "open");
    std::filesystem::remove(bin + "/xdg-open");
    if (!c.opener.empty()) {
      kestrine_testing::WriteFile(bin + "/xdg-open", "#!/bin/sh\n" + c.opener + "\n");
      std::filesystem::permissions(bin + "/xdg-open", std::filesystem::perms::owner_all);
    }
    std::filesystem::remove(opened);
    kestrine_testing::ScopedEnv path("PATH", bin);
    auto pref = Open("");
    pref->openHelp();
    const QString credit = pref->linkTextField()->text();
    const qsizetype start = credit.indexOf("href=\"") + 6;
    emit pref->linkTextField()->linkActivated(credit.mid(start, credit.indexOf('"', start) - start));
    const auto boxes = [&] { return pref->window()->findChildren<QMessageBox*>("KestrineUnopenedPage"); };
    const auto done = [&] {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
      return pref->findChildren<QProcess*>().isEmpty() && (!c.message || boxes().size() == 2);
    };
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done() && std::chrono::steady_clock::now() < end) {}
    QDesktopServices::unsetUrlHandler("file");
    ASSERT_TRUE(done());
    const QString page = HelpPageURL().toLocalFile();
    EXPECT_TRUE(QFileInfo(page).isFile()) << page.toStdString();
    if (c.message) {
      for (const QMessageBox* box : boxes()) {
        EXPECT_EQ(box->text(), "No browser could open the help page. Open this file in a browser:\n\n" + page);
      }
    } else if (c.desktopHandler) {
      EXPECT_TRUE(boxes().isEmpty());
      EXPECT_EQ(catcher.urls, QList<QUrl>({HelpPageURL(), HelpPageURL("credits")}));
    } else {
      EXPECT_TRUE(boxes().isEmpty());
      // The two openers run side by side.
      std::vector<std::string> pages = kestrine_testing::SplitLines(kestrine_testing::ReadFile(opened).value_or(""));
      std::ranges::sort(pages);
      EXPECT_EQ(pages, std::vector<std::string>({HelpPageURL().toString().toStdString(),
                                                 HelpPageURL("credits").toString().toStdString()}));
    }
  }
}

}  // namespace

#include "KestrineCMPref_test.moc"
