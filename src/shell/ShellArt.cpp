#include "shell/ShellArt.h"

#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace vh {

namespace {

const QColor kDeep(0x17, 0x2a, 0x45);
const QColor kLight(0x3d, 0x7e, 0xb8);
const QColor kAccent(0xf2, 0xb1, 0x34);

// A round badge with a letter, the base of every small picture.
QIcon Badge(const QColor& fill, const QString& letter) {
  QPixmap pixmap(32, 32);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(Qt::white, 2));
  p.setBrush(fill);
  p.drawEllipse(QRectF(2, 2, 28, 28));
  QFont font = p.font();
  font.setBold(true);
  font.setPixelSize(17);
  p.setFont(font);
  p.drawText(QRect(0, 0, 32, 32), Qt::AlignCenter, letter);
  return QIcon(pixmap);
}

}  // namespace

void PaintSplash(QPainter& painter, const QRect& area) {
  painter.setRenderHint(QPainter::Antialiasing);
  QLinearGradient sky(area.topLeft(), area.bottomLeft());
  sky.setColorAt(0, kLight);
  sky.setColorAt(1, kDeep);
  painter.fillRect(area, sky);

  // Three sound arcs around a dot: a voice carried away.
  const QPointF centre(area.left() + area.width() * 0.30, area.top() + area.height() * 0.42);
  painter.setBrush(kAccent);
  painter.setPen(Qt::NoPen);
  painter.drawEllipse(centre, 9, 9);
  painter.setBrush(Qt::NoBrush);
  for (int i = 1; i <= 3; ++i) {
    painter.setPen(QPen(kAccent, 4, Qt::SolidLine, Qt::RoundCap));
    const double r = 9 + i * 12;
    painter.drawArc(QRectF(centre.x() - r, centre.y() - r, 2 * r, 2 * r), -45 * 16, 90 * 16);
  }

  QFont title = painter.font();
  title.setBold(true);
  title.setPixelSize(26);
  painter.setFont(title);
  painter.setPen(Qt::white);
  painter.drawText(QRect(area.left(), area.top() + area.height() * 6 / 10, area.width(), 32),
                   Qt::AlignHCenter, QStringLiteral("Voxhollow"));
  QFont sub = painter.font();
  sub.setBold(false);
  sub.setPixelSize(13);
  painter.setFont(sub);
  painter.drawText(QRect(area.left(), area.top() + area.height() * 6 / 10 + 30, area.width(), 18),
                   Qt::AlignHCenter, QStringLiteral("Server"));
  painter.setPen(QPen(QColor(255, 255, 255, 90), 1));
  painter.drawRect(area.adjusted(0, 0, -1, -1));
}

QIcon ShellIcon() {
  return Badge(kLight, QStringLiteral("V"));
}

QIcon LocalAddressIcon() {
  return Badge(QColor(0x3a, 0x9a, 0x5b), QStringLiteral("L"));
}

QIcon ExternalAddressIcon() {
  return Badge(QColor(0xc0, 0x5a, 0x2b), QStringLiteral("E"));
}

QIcon UpdateIcon() {
  return Badge(kDeep, QStringLiteral("U"));
}

}  // namespace vh
