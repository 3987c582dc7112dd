#include "shell/TrayBarIcon.h"

namespace vh {

TTrayBarIcon::TTrayBarIcon(QObject* parent) : QObject(parent), icon_(this) {
  connect(&animation_, &QTimer::timeout, this, [this] {
    if (frames_.isEmpty()) return;
    frame_ = (frame_ + 1) % static_cast<int>(frames_.size());
    icon_.setIcon(frames_[frame_]);
  });
}

bool TTrayBarIcon::Available() {
  return QSystemTrayIcon::isSystemTrayAvailable();
}

void TTrayBarIcon::Create() {
  if (created_) throw ETrayBarIcon("The Tray-Bar-Icon is already created !");
  created_ = true;
  icon_.show();
}

void TTrayBarIcon::Remove() {
  if (!created_) throw ETrayBarIcon("The Tray-Bar-Icon is not yet created !");
  created_ = false;
  icon_.hide();
}

void TTrayBarIcon::SetTip(const QString& tip) {
  icon_.setToolTip(tip.left(kMaxTipLength));
}

void TTrayBarIcon::StartAnimation(const QList<QIcon>& images, int intervalMs) {
  if (images.isEmpty()) return;
  if (!animation_.isActive()) still_ = icon_.icon();
  frames_ = images;
  frame_ = 0;
  icon_.setIcon(frames_.front());
  animation_.start(intervalMs);
}

void TTrayBarIcon::StopAnimation() {
  if (!animation_.isActive()) throw ETrayBarIcon("Not animating, can't stop !");
  animation_.stop();
  icon_.setIcon(still_);
}

}  // namespace vh
