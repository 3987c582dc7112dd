// The icon in the desktop's notification area with its tip and popup menu, on
// QSystemTrayIcon. Main (GUI) thread only; no lock. Qt covers what the desktop asks of such
// an icon: the menu opens on the right button going down, the icon is registered again when
// the notification area is re-created, and the menu dismisses itself.
#pragma once

#include <QIcon>
#include <QList>
#include <QObject>
#include <QRect>
#include <QString>
#include <QSystemTrayIcon>
#include <QTimer>
#include <stdexcept>

class QMenu;

namespace vh {

class ETrayBarIcon : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TTrayBarIcon : public QObject {
  Q_OBJECT

 public:
  static constexpr int kMaxTipLength = 63;

  explicit TTrayBarIcon(QObject* parent = nullptr);

  // The desktop has a notification area to show the icon in.
  static bool Available();

  // Registers the icon with the notification area; a second Create raises.
  void Create();
  // Removes it again; raises when it was not created.
  void Remove();
  bool Created() const { return created_; }
  // Shown by the desktop (false when created on a desktop without a notification area).
  bool Visible() const { return icon_.isVisible(); }
  // Where the notification area shows the icon; empty while it is not embedded there.
  QRect Geometry() const { return icon_.geometry(); }

  void SetIcon(const QIcon& icon) { icon_.setIcon(icon); }
  // Cut to kMaxTipLength characters, the most the notification area takes.
  void SetTip(const QString& tip);
  QString Tip() const { return icon_.toolTip(); }
  void SetPopupMenu(QMenu* menu) { icon_.setContextMenu(menu); }

  // Animation: cycles through `images` every `intervalMs`; StopAnimation raises when no
  // animation runs. Stopping puts the still icon back.
  void StartAnimation(const QList<QIcon>& images, int intervalMs);
  void StopAnimation();
  bool Animating() const { return animation_.isActive(); }

 private:
  QSystemTrayIcon icon_;
  bool created_ = false;
  QTimer animation_;
  QList<QIcon> frames_;
  int frame_ = 0;
  QIcon still_;
};

}  // namespace vh
