// The desktop shell on a private X display with a notification area (with-xvfb.sh): the real
// start-up on a fresh directory, the splash, the first-start passwords, the tray menu and the
// clean shutdown. Screenshots go to VH_ARTIFACT_DIR.
#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QClipboard>
#include <QDesktopServices>
#include <QDir>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>
#include <atomic>
#include <csignal>
#include <regex>
#include <thread>

#include "shell/AdminPasswordDialog.h"
#include "shell/MainWindow.h"
#include "shell/TrayBarIcon.h"
#include "support/FreePorts.h"
#include "support/TempDir.h"
#include "weblist/ExternalIpDetection.h"

namespace vh {

using test::FreeTcpPort;
using test::ReadFile;
using test::TTempDir;
using test::WriteFile;

namespace {

std::vector<std::string> ArgsFor(const TTempDir& dir) {
  const std::string bin = VH_BINARY_DIR;
  return {"-ini=" + dir.File("server.ini"),         "-db=" + dir.File("server.dbs"),
          "-log=" + dir.File("server.log"),         "-sql=" + bin + "/sqlite_sql/",
          "-badnames=" + dir.File("bad_names.txt"), "-httpdocs=" + bin + "/httpdocs",
          "-tcpquerydocs=" + bin + "/tcpquerydocs"};
}

QString Artifact(const QString& name) {
  QDir().mkpath(QStringLiteral(VH_ARTIFACT_DIR));
  return QStringLiteral(VH_ARTIFACT_DIR "/") + name;
}

QStringList Captions(const QMenu* menu) {
  QStringList out;
  for (const QAction* a : menu->actions())
    out << (a->isSeparator() ? QStringLiteral("-") : a->text());
  return out;
}

std::string ExceptionText(const std::function<void()>& f) {
  try {
    f();
  } catch (const ETrayBarIcon& e) {
    return e.what();
  }
  return "(nothing raised)";
}

// Stands in for the web list's address-echo page and counts the requests.
struct TEchoPage {
  httplib::Server server;
  std::thread thread;
  std::atomic<int> requests{0};
  int port = 0;
  TEchoPage() {
    server.Get("/getip.php", [this](const httplib::Request&, httplib::Response& r) {
      ++requests;
      r.set_content("Other=1<BR>IP=198.51.100.&7<br>", "text/html");
    });
    port = server.bind_to_any_port("127.0.0.1");
    thread = std::thread([this] { server.listen_after_bind(); });
  }
  ~TEchoPage() {
    server.stop();
    thread.join();
  }
  std::string URL() const { return "http://127.0.0.1:" + std::to_string(port) + "/getip.php"; }
};

}  // namespace

// Receives what the shell asks the desktop to open.
class TUrlCatcher : public QObject {
  Q_OBJECT
 public slots:
  void open(const QUrl& url) { opened << url.toString(); }

 public:
  QStringList opened;
};

class TShellTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    std::signal(SIGPIPE, SIG_IGN);
    QGuiApplication::setQuitOnLastWindowClosed(false);
    // trayer starts beside this program: give it the time it needs to claim the tray.
    QTRY_VERIFY_WITH_TIMEOUT(TTrayBarIcon::Available(), 10000);
  }

  void trayIconRefusesCallsOutOfOrder() {
    TTrayBarIcon icon;
    QCOMPARE(ExceptionText([&] { icon.Remove(); }), "The Tray-Bar-Icon is not yet created !");
    icon.Create();
    QCOMPARE(ExceptionText([&] { icon.Create(); }), "The Tray-Bar-Icon is already created !");
    QCOMPARE(ExceptionText([&] { icon.StopAnimation(); }), "Not animating, can't stop !");
    icon.StartAnimation({QIcon(), QIcon()}, 50);
    icon.StopAnimation();
    QCOMPARE(ExceptionText([&] { icon.StopAnimation(); }), "Not animating, can't stop !");
    icon.Remove();
  }

  void firstStartShowsPasswordsMenuAndShutsDown() {
    TTempDir dir;
    TEchoPage echo;
    const uint16_t webPort = FreeTcpPort();
    const std::string ident(70, 'x');
    WriteFile(dir.File("server.ini"), "[Main Config]\nHTTPServer Port=" + std::to_string(webPort) +
                                          "\nTCPQueryPort=" + std::to_string(FreeTcpPort()) +
                                          "\nBoundToIp1=127.0.0.1\nExternalIPURL=" + echo.URL() +
                                          "\nTrayIdent=" + ident + "\n");
    TformMain window(ArgsFor(dir));
    QSignalSpy started(&window, &TformMain::serverStarted);
    QSignalSpy finished(&window, &TformMain::finished);
    window.StartServer();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QTRY_COMPARE_WITH_TIMEOUT(started.count(), 1, 15000);
    QCOMPARE(window.size(), QSize(247, 199));
    QCOMPARE(window.VersionLabel()->text(), QStringLiteral("v2.0.r20.b1 Linux"));
    QCOMPARE(window.TrayIcon()->Tip(), QString::fromStdString(ident.substr(0, 63)));
    QTRY_VERIFY_WITH_TIMEOUT(!window.TrayIcon()->Geometry().isEmpty(), 5000);  // in trayer
    QVERIFY(window.grab().save(Artifact("splash.png")));

    // A click ends the splash early and opens the passwords the log also holds.
    QVERIFY(window.SplashPending());
    QTest::mouseClick(&window, Qt::LeftButton);
    QVERIFY(!window.isVisible());
    TformDisplayAdminPw* dialog = window.PasswordDialog();
    QVERIFY(dialog->isVisible() && dialog->isModal());
    QVERIFY(QTest::qWaitForWindowExposed(dialog));
    const std::string log = ReadFile(dir.File("server.log"));
    std::smatch admin, superAdmin;
    QVERIFY(std::regex_search(log, admin, std::regex("username: admin password: (\\w{16})\n")));
    QVERIFY(std::regex_search(log, superAdmin,
                              std::regex("username: superadmin password: (\\w{16})\n")));
    QCOMPARE(dialog->AdminPassword()->text().toStdString(), admin[1].str());
    QCOMPARE(dialog->SuperAdminPassword()->text().toStdString(), superAdmin[1].str());
    QCOMPARE(dialog->windowTitle(), QStringLiteral("New admin password"));
    QStringList groups, texts;
    for (const QGroupBox* g : dialog->findChildren<QGroupBox*>()) groups << g->title();
    for (const QLabel* l : dialog->findChildren<QLabel*>()) texts << l->text();
    for (const QLineEdit* e : dialog->findChildren<QLineEdit*>()) {
      QVERIFY(e->isReadOnly());
      texts << e->text();
    }
    QCOMPARE(groups, QStringList({"Explanation", "Login Information", "Login Information"}));
    for (const char* t : {"Admin UserName", "Admin Password", "SAdmin UserName", "SAdmin Password",
                          "admin", "superadmin"})
      QVERIFY2(texts.contains(QString::fromLatin1(t)), t);
    QVERIFY(texts.contains(QStringLiteral(
        "New passwords were created for the server. This occurs when the Voxhollow server is "
        "started for the first time.")));
    QVERIFY(dialog->grab().save(Artifact("password-dialog.png")));
    QCOMPARE(echo.requests.load(), 0);  // the address check waits for the window to close
    QTest::mouseClick(dialog->CloseButton(), Qt::LeftButton);
    QVERIFY(!dialog->isVisible());

    // The address list: local addresses, the external one from the echo page, "Update IP's".
    QMenu* addresses = window.AddressMenu();
    QTRY_VERIFY_WITH_TIMEOUT(Captions(addresses).contains("198.51.100.&7"), 10000);
    QStringList expected;
    for (const std::string& a : LocalAddresses()) expected << QString::fromStdString(a);
    expected << "198.51.100.&7"
             << "-"
             << "Update IP's";
    QCOMPARE(Captions(addresses), expected);
    QAction* external = addresses->actions()[expected.indexOf("198.51.100.&7")];
    QCOMPARE(external->statusTip(), QStringLiteral("External IP"));
    external->trigger();
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("198.51.100.7"));
    addresses->actions().last()->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(echo.requests.load(), 2, 10000);

    QMenu* menu = window.TrayMenu();
    QCOMPARE(Captions(menu), QStringList({"&Administration", "-", "Your Ip's", "-", "&Exit"}));
    QVERIFY(window.AdministrationItem()->isEnabled());
    TUrlCatcher catcher;
    QDesktopServices::setUrlHandler("http", &catcher, "open");
    window.AdministrationItem()->trigger();
    QDesktopServices::unsetUrlHandler("http");
    const QString slogin = QStringLiteral("http://localhost:%1/slogin.html").arg(webPort);
    QCOMPARE(catcher.opened, QStringList({slogin}));
    httplib::Client web("127.0.0.1", webPort);
    auto page = web.Get("/slogin.html");
    QVERIFY(page && page->status == 200);

    // The menu as the tray shows it, with the address list open.
    menu->popup(QPoint(560, 120));
    QVERIFY(QTest::qWaitForWindowExposed(menu));
    menu->setActiveAction(menu->actions()[2]);
    QTest::keyClick(menu, Qt::Key_Right);
    QTRY_VERIFY(addresses->isVisible());
    QVERIFY(QTest::qWaitForWindowExposed(addresses));
    const QRect shot = menu->geometry().united(addresses->geometry()).adjusted(-8, -8, 8, 8);
    QVERIFY(QGuiApplication::primaryScreen()
                ->grabWindow(0, shot.x(), shot.y(), shot.width(), shot.height())
                .save(Artifact("tray-menu.png")));
    menu->hide();

    window.ExitItem()->trigger();
    QCOMPARE(finished.count(), 1);
    QCOMPARE(finished.front().front().toInt(), 0);
    QVERIFY(!window.TrayIcon()->Created());
    const std::string end = ReadFile(dir.File("server.log"));
    const size_t shutdown = end.find("Server shutdown initialized");
    QVERIFY(shutdown != std::string::npos);
    QVERIFY(end.find("Server shutdown finished", shutdown) != std::string::npos);
    QVERIFY(end.find("log ended", shutdown) != std::string::npos);
  }

  // Upper-case "-NOPWDIALOG" keeps the passwords out of sight; without the web interface the
  // administration item is disabled; with detection off no request is made.
  void optionsAndSettingsTurnPartsOff() {
    TTempDir dir;
    TEchoPage echo;
    WriteFile(dir.File("server.ini"),
              "[Main Config]\nHTTPServer Enabled=0\nBoundToIp1=127.0.0.1\nTCPQueryPort=" +
                  std::to_string(test::FreeTcpPort()) +
                  "\nExternalIPDectection=0\nExternalIPURL=" + echo.URL() + "\n");
    std::vector<std::string> args = ArgsFor(dir);
    args.push_back("-NOPWDIALOG");
    TformMain window(args);
    QSignalSpy started(&window, &TformMain::serverStarted);
    window.StartServer();
    QTRY_COMPARE_WITH_TIMEOUT(started.count(), 1, 15000);
    QVERIFY(ReadFile(dir.File("server.log")).find("admin account info") != std::string::npos);
    QVERIFY(!window.AdministrationItem()->isEnabled());
    window.AddressMenu()->clear();
    QTest::mouseClick(&window, Qt::LeftButton);
    QVERIFY(!window.PasswordDialog()->isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(!window.AddressMenu()->isEmpty(), 10000);
    QVERIFY(!Captions(window.AddressMenu()).contains("198.51.100.&7"));
    window.Exit();
    QCOMPARE(echo.requests.load(), 0);
  }
};

}  // namespace vh

QTEST_MAIN(vh::TShellTest)
#include "shell_test.moc"
