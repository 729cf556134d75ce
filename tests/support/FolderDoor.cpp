#include "FolderDoor.h"

#include "PenSession.h"

#include <QCoreApplication>

std::shared_ptr<PenDoor> folderDoor(const QString& pathKavo)
{
    static PenSession* session = [] {
        auto* made = new PenSession(QCoreApplication::instance());
        // A pen is named by its package folder; its volume is the folder two levels up.
        made->setVolumePathResolver([](const QString& name) {
            return name.endsWith(QLatin1String("USER/CUSTOM/")) ? name.chopped(12) : QString();
        });
        return made;
    }();
    return session->door(pathKavo);
}
