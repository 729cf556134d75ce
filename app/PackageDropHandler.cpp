#include "PackageDropHandler.h"

#include "PackageFileDialog.h"

#include <QDropEvent>
#include <QMimeData>
#include <QWidget>

#include <algorithm>

namespace {

bool carriesLocalFiles(const QMimeData* mime)
{
    if (!mime || !mime->hasUrls())
        return false;
    const QList<QUrl> urls = mime->urls();
    return std::any_of(urls.cbegin(), urls.cend(), [](const QUrl& url) { return url.isLocalFile(); });
}

}

PackageDropHandler::PackageDropHandler(QWidget* window)
    : QObject(window)
{
    window->setAcceptDrops(true);
    window->installEventFilter(this);
    for (QWidget* child : window->findChildren<QWidget*>())
        child->installEventFilter(this);
}

bool PackageDropHandler::eventFilter(QObject* watched, QEvent* event)
{
    switch (event->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove: {
        auto* drag = static_cast<QDropEvent*>(event);
        if (!carriesLocalFiles(drag->mimeData()))
            return false;
        // Files are copied onto the pen, never moved away from the computer.
        drag->setDropAction(Qt::CopyAction);
        drag->accept();
        return true;
    }
    case QEvent::Drop: {
        auto* drop = static_cast<QDropEvent*>(event);
        if (!carriesLocalFiles(drop->mimeData()))
            return false;
        drop->setDropAction(Qt::CopyAction);
        drop->accept();
        const DroppedFiles files = sortDroppedFiles(drop->mimeData()->urls());
        emit filesDropped(files.packages, files.refused);
        return true;
    }
    default:
        return QObject::eventFilter(watched, event);
    }
}
