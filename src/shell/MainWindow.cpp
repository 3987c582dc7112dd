#include "shell/MainWindow.h"

#include <QClipboard>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QLabel>
#include <QLinearGradient>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QSessionManager>
#include <QStringList>
#include <QStyle>
#include <QThread>
#include <QUrl>

#include "common/Console.h"
#include "common/Log.h"
#include "common/Version.h"
#include "host/ServerHost.h"
#include "host/StartupSteps.h"
#include "shell/AdminPasswordDialog.h"
#include "shell/ShellArt.h"
#include "shell/TrayBarIcon.h"
#include "weblist/ExternalIpDetection.h"

namespace vh {

namespace {

constexpr const char* kShellCategory = "frmMain";
const QString kCaption = QStringLiteral("Voxhollow Server");
// After the shutdown, before the process ends: the last log lines reach the disk.
constexpr int kCloseWaitMs = 500;

}  // namespace

QString ClipboardTextOfCaption(const QString& caption) {
  QString text = caption.trimmed();
  text.remove(QLatin1Char('&'));
  return text;
}

QString VersionLabelText() {
  return QStringLiteral("v%1.%2.r%3.b%4 %5")
      .arg(QString::number(kVersion.Major), QString::number(kVersion.Minor),
           QString::number(kVersion.Release), QString::number(kVersion.Build),
           QString::fromStdString(UnscramblePlatformLabel(kScrambledPlatformLabel)));
}

TformMain::TformMain(std::vector<std::string> args, QWidget* parent)
    : QWidget(parent, Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint),
      args_(std::move(args)),
      versionLabel_(new QLabel(this)),
      tray_(new TTrayBarIcon(this)),
      passwordDialog_(new TformDisplayAdminPw(this)) {
  setObjectName(QStringLiteral("formMain"));
  setWindowTitle(kCaption);
  setFixedSize(kWidth, kHeight);
  if (QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->geometry().center() - rect().center());

  BuildMenu();
  tray_->SetIcon(ShellIcon());
  tray_->SetTip(kCaption);
  tray_->SetPopupMenu(&trayMenu_);
  tray_->Create();

  versionLabel_->setText(VersionLabelText());
  versionLabel_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  versionLabel_->setStyleSheet(QStringLiteral("color: #e8eef5;"));
  versionLabel_->setGeometry(8, kHeight - 24, kWidth - 16, 18);

  splashTimer_.setInterval(kSplashMs);
  splashTimer_.setSingleShot(true);
  connect(&splashTimer_, &QTimer::timeout, this, &TformMain::HideSplash);
  // The passwords are read first, then the address check starts, as after a modal window.
  connect(passwordDialog_, &QDialog::finished, this, &TformMain::StartExternalIpDetection);

  // The desktop ending the session: the answer is yes, and the server shuts down in order.
  connect(qApp, &QGuiApplication::commitDataRequest, this, [this](QSessionManager&) { Exit(); });
  connect(qApp, &QCoreApplication::aboutToQuit, this, &TformMain::Exit);
}

TformMain::~TformMain() {
  JoinStartThread();
  ipDetection_.reset();
  StopServerProcess();  // does nothing when Exit ran already
}

void TformMain::BuildMenu() {
  trayMenu_.setObjectName(QStringLiteral("trayMenu"));
  administration_ =
      trayMenu_.addAction(QStringLiteral("&Administration"), this, &TformMain::OpenAdministration);
  trayMenu_.addSeparator();
  addressMenu_.setTitle(QStringLiteral("Your Ip's"));
  trayMenu_.addMenu(&addressMenu_);
  trayMenu_.addSeparator();
  exit_ = trayMenu_.addAction(QStringLiteral("&Exit"), this, &TformMain::Exit);
}

void TformMain::StartServer() {
  if (startThread_.joinable() || started_ || finished_) return;
  show();
  startThread_ = std::thread([this, args = args_] {
    TServerProcessStart start = StartServerProcess(args, /*desktopShell=*/true);
    QMetaObject::invokeMethod(
        this, [this, start] { StartupReturned(start); }, Qt::QueuedConnection);
  });
}

void TformMain::JoinStartThread() {
  if (startThread_.joinable()) startThread_.join();
}

void TformMain::StartupReturned(const TServerProcessStart& start) {
  JoinStartThread();
  if (finished_) return;  // Exit came first: it waited for start-up and shut the server down
  switch (start.outcome) {
    case TStartOutcome::ExitRequested:
      finished_ = true;
      hide();
      QMessageBox::information(nullptr, kCaption, QString::fromStdString(start.exitText));
      emit finished(0);
      return;
    case TStartOutcome::Failed:
      // Logged and shut down already; nothing else is shown.
      finished_ = true;
      tray_->Remove();
      emit finished(1);
      return;
    case TStartOutcome::Started:
      break;
  }
  started_ = true;
  administration_->setEnabled(WebInterfaceRunning());
  if (!TTrayBarIcon::Available()) {
    const std::string why =
        "no notification area on this desktop: the tray icon is not shown; the window stays "
        "open and its right-click menu holds the tray menu";
    Log(LMT_WARNING, LMD_IMPORTANT, why, kShellCategory);
    ConsoleLine(why);
    setContextMenuPolicy(Qt::CustomContextMenu);
    connect(this, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { trayMenu_.popup(mapToGlobal(at)); });
  }
  RebuildAddressMenu(std::nullopt);
  splashPending_ = true;
  splashTimer_.start();
  // A reload on an administration thread may replace the settings meanwhile: read a copy.
  const std::string trayIdent = SettingsCopy().TrayIdent;
  if (!trayIdent.empty()) tray_->SetTip(QString::fromStdString(trayIdent));
  emit serverStarted();
}

void TformMain::HideSplash() {
  if (!splashPending_) return;
  splashPending_ = false;
  splashTimer_.stop();
  // Without a notification area the window is the only way to the menu: it stays.
  if (TTrayBarIcon::Available()) hide();
  const TServerHost& h = Host();
  if (!h.noPasswordDialog && !h.adminPassword.empty() && !h.superAdminPassword.empty()) {
    passwordDialog_->SetPasswords(QString::fromStdString(h.adminPassword),
                                  QString::fromStdString(h.superAdminPassword));
    passwordDialog_->adjustSize();
    if (QScreen* screen = QGuiApplication::primaryScreen())
      passwordDialog_->move(screen->geometry().center() - passwordDialog_->rect().center());
    passwordDialog_->open();  // modal; its end starts the address check
    return;
  }
  StartExternalIpDetection();
}

QString TformMain::AdministrationURL() const {
  return QStringLiteral("http://localhost:%1/slogin.html").arg(SettingsCopy().HTTPServerPort);
}

void TformMain::OpenAdministration() {
  QDesktopServices::openUrl(QUrl(AdministrationURL()));
}

void TformMain::StartExternalIpDetection() {
  if (!started_ || finished_) return;
  const TSettings s = SettingsCopy();
  if (!ipDetection_) ipDetection_ = std::make_unique<TExternalIpDetection>();
  // No address-echo page configured counts as detection off: the menu lists local addresses.
  const bool enabled = s.ExternalIPDetection && !s.ExternalIPURL.empty();
  // The callbacks run on the check's thread; the menu is rebuilt on the GUI thread.
  ipDetection_->Start(
      enabled, s.ExternalIPURL,
      [this, detect = s.ExternalIPDetection](TWebCheck&, TWebCheck::TLines lines) {
        std::optional<QString> external;
        if (lines && detect) external = QString::fromStdString(ExternalAddressFromLines(*lines));
        QMetaObject::invokeMethod(
            this, [this, external] { RebuildAddressMenu(external); }, Qt::QueuedConnection);
      },
      [this](TWebCheck&) {
        QMetaObject::invokeMethod(
            this, [this] { ExternalIpFailed(); }, Qt::QueuedConnection);
      });
}

void TformMain::ExternalIpFailed() {
  Log(LMT_ERROR, LMD_ALL, "unable to detect external ip", kShellCategory);
  RebuildAddressMenu(std::nullopt);
}

void TformMain::RebuildAddressMenu(const std::optional<QString>& externalAddress) {
  if (finished_) return;
  addressMenu_.clear();
  const auto addItem = [this](const QString& caption, const QIcon& icon, const QString& hint) {
    QAction* item = addressMenu_.addAction(icon, caption);
    item->setStatusTip(hint);
    item->setToolTip(hint);
    connect(item, &QAction::triggered, this,
            [caption] { QGuiApplication::clipboard()->setText(ClipboardTextOfCaption(caption)); });
  };
  for (const std::string& address : LocalAddresses())
    addItem(QString::fromStdString(address), LocalAddressIcon(), QStringLiteral("Local IP"));
  if (externalAddress)
    addItem(*externalAddress, ExternalAddressIcon(), QStringLiteral("External IP"));
  addressMenu_.addSeparator();
  addressMenu_.addAction(UpdateIcon(), QStringLiteral("Update IP's"), this,
                         &TformMain::StartExternalIpDetection);
}

void TformMain::Exit() {
  if (finished_) return;
  finished_ = true;
  splashTimer_.stop();
  JoinStartThread();  // an exit during start-up waits for it, then shuts down
  if (tray_->Created()) tray_->Remove();
  ipDetection_.reset();  // cancels a fetch in flight
  const bool wasRunning = ServerProcessRunning();
  StopServerProcess();
  if (wasRunning) QThread::msleep(kCloseWaitMs);
  hide();
  emit finished(0);
}

void TformMain::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  PaintSplash(painter, rect());
}

void TformMain::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) HideSplash();
  QWidget::mousePressEvent(event);
}

void TformMain::closeEvent(QCloseEvent* event) {
  Exit();
  event->accept();
}

}  // namespace vh
