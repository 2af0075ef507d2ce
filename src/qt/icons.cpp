#include "qt/icons.h"

#include <QFile>
#include <QPainter>
#include <QPixmap>

#include "util/program_state.h"

namespace ostrel {

namespace {
// A letter with a small arrow: what the user sees when the icon files are not installed.
QPixmap Drawn(const std::string& name, int size) {
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    const bool dim = name == "dim";
    p.setBrush(dim ? QColor(0x80, 0x80, 0x80) : QColor(0x1e, 0x88, 0xe5));
    p.setPen(QPen(dim ? QColor(0x40, 0x40, 0x40) : QColor(0x0d, 0x47, 0xa1), std::max(1, size / 16)));
    p.drawRoundedRect(QRectF(size * 0.06, size * 0.2, size * 0.88, size * 0.6), size * 0.08, size * 0.08);
    p.setPen(QPen(Qt::white, std::max(1, size / 12)));
    p.drawLine(QPointF(size * 0.1, size * 0.25), QPointF(size * 0.5, size * 0.55));
    p.drawLine(QPointF(size * 0.9, size * 0.25), QPointF(size * 0.5, size * 0.55));
    return pm;
}
} // namespace

QIcon OstrelIcon(const std::string& name) {
    QIcon icon;
    const std::string base = name.empty() ? "bright" : name;
    for (int size : {16, 22, 32, 48}) {
        const QString path = QString::fromStdString(LocalPath("icons/ostrel-" + base + "-" + std::to_string(size) + ".png"));
        if (QFile::exists(path))
            icon.addFile(path, QSize(size, size));
        else
            icon.addPixmap(Drawn(base, size));
    }
    return icon;
}

} // namespace ostrel
