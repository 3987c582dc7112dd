// The shell's pictures, drawn rather than loaded so the program needs no image files: the
// splash, the program icon and the address menu's item images. GUI thread only.
#pragma once

#include <QIcon>
#include <QRect>

class QPainter;

namespace vh {

void PaintSplash(QPainter& painter, const QRect& area);
QIcon ShellIcon();
QIcon LocalAddressIcon();     // image 3: an address of this machine
QIcon ExternalAddressIcon();  // image 4: the address the internet sees
QIcon UpdateIcon();           // image 2: "Update IP's"

}  // namespace vh
