// The shell's main window: the splash with the version, the tray icon and its menu, the
// first-start password window, and the server's start-up and shutdown around them. Main (GUI)
// thread only, apart from start-up, which runs on startThread_ and hands its result back
// through a queued call; the address check's callbacks arrive the same way. No lock.
#pragma once

#include <QAction>
#include <QMenu>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/ServerProcess.h"

class QLabel;
class QSessionManager;

namespace vh {

class TExternalIpDetection;
class TTrayBarIcon;
class TformDisplayAdminPw;

class TformMain : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kSplashMs = 3000;
  static constexpr int kWidth = 247, kHeight = 199;

  // `args`: the program's arguments without its name, as the server's command line takes them.
  explicit TformMain(std::vector<std::string> args, QWidget* parent = nullptr);
  ~TformMain() override;

  // Runs the server's start-up on its own thread so the splash keeps painting; serverStarted
  // or finished follows on the GUI thread.
  void StartServer();

  // The address the "&Administration" item opens.
  QString AdministrationURL() const;

  // The pieces a caller (and the test) looks at.
  QMenu* TrayMenu() { return &trayMenu_; }
  QMenu* AddressMenu() { return &addressMenu_; }
  QAction* AdministrationItem() { return administration_; }
  QAction* ExitItem() { return exit_; }
  TTrayBarIcon* TrayIcon() { return tray_; }
  TformDisplayAdminPw* PasswordDialog() { return passwordDialog_; }
  QLabel* VersionLabel() { return versionLabel_; }
  bool SplashPending() const { return splashPending_; }

 signals:
  // Start-up reached its end: the server serves and the splash timer runs.
  void serverStarted();
  // The application should end now with this exit code: the server was shut down (or never
  // ran).
  void finished(int exitCode);

 public slots:
  // The splash timer and a click on the splash: hide the splash, show the first-start
  // passwords, then look for the external address.
  void HideSplash();
  void OpenAdministration();
  void StartExternalIpDetection();
  // "&Exit", closing the window and the end of the desktop session: shuts the server down
  // once and reports finished(0).
  void Exit();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildMenu();
  void StartupReturned(const TServerProcessStart& start);
  void JoinStartThread();
  // Local addresses, then the external one when the check delivered a reply, then "Update
  // IP's".
  void RebuildAddressMenu(const std::optional<QString>& externalAddress);
  void ExternalIpFailed();

  std::vector<std::string> args_;
  std::thread startThread_;
  bool started_ = false;
  bool finished_ = false;
  bool splashPending_ = false;

  QLabel* versionLabel_;
  TTrayBarIcon* tray_;
  QMenu trayMenu_;
  QMenu addressMenu_;
  QAction* administration_ = nullptr;
  QAction* exit_ = nullptr;
  QTimer splashTimer_;
  TformDisplayAdminPw* passwordDialog_;
  std::unique_ptr<TExternalIpDetection> ipDetection_;
};

// What the address items put on the clipboard: the caption trimmed and without the "&" that
// menus use for their keyboard accelerators.
QString ClipboardTextOfCaption(const QString& caption);

// "v2.0.r20.b1 Linux": the version numbers with the platform label.
QString VersionLabelText();

}  // namespace vh
