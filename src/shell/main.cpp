// Desktop entry point: the splash window and tray icon of the shell around the same start-up
// and shutdown as the headless server. SIGINT and SIGTERM close the shell as "&Exit" does:
// the handler writes to a pipe that the GUI thread watches.
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <csignal>
#include <string>
#include <vector>

#include "shell/MainWindow.h"
#include "shell/ShellArt.h"

namespace {

int gSignalPipe[2] = {-1, -1};

void OnStopSignal(int) {
  const char byte = 1;
  [[maybe_unused]] ssize_t n = ::write(gSignalPipe[1], &byte, 1);
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Voxhollow Server"));
  QApplication::setWindowIcon(vh::ShellIcon());
  // The main window is hidden most of the time; closing the password window must not end
  // the program.
  QApplication::setQuitOnLastWindowClosed(false);

  // The server's command line: every argument but the program name, as Qt left them.
  std::vector<std::string> args;
  const QStringList qtArgs = QApplication::arguments();
  for (qsizetype i = 1; i < qtArgs.size(); ++i) args.push_back(qtArgs[i].toStdString());

  vh::TformMain window(std::move(args));
  QObject::connect(&window, &vh::TformMain::finished, &app, &QApplication::exit);

  if (::pipe(gSignalPipe) == 0) {
    auto* notifier = new QSocketNotifier(gSignalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &window, &vh::TformMain::Exit);
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
  }

  window.StartServer();
  return QApplication::exec();
}
