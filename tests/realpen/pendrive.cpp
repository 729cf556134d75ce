// Drives the real install and sticker change on a mounted pen from the command line, so that a
// script in the real-stack guest can pull the pen right after either says it is done:
//   penshelf_pendrive install SOURCE PACKAGE_DIR BOOK START
//   penshelf_pendrive renumber PACKAGE_DIR FILE FLAG TYPE CURRENT NEW START
// Prints "done" on success, else the message the window would show; exit status 0 on success.
#include "BookHeader.h"
#include "PackageCopy.h"
#include "StickerChange.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() == 5 && args[0] == QLatin1String("install")) {
        const BookType type = GetBookType(args[1]);
        const InstallResult result = installPackage(
            { args[1], args[2], args[3], args[4].toInt(), type.extension, type.nTypeBook }, {});
        const QString message = messageFor(result);
        std::printf("%s\n", message.isEmpty() ? "done" : qPrintable(message));
        std::fflush(stdout);
        return result == InstallResult::Installed ? 0 : 1;
    }
    if (args.size() == 8 && args[0] == QLatin1String("renumber")) {
        const StickerChangeResult result
            = applyStickerChange({ args[2], args[3], args[4], args[5], args[6], args[7], args[1] });
        std::printf("%s\n", result.message.isEmpty() ? "done" : qPrintable(result.message));
        std::fflush(stdout);
        return result.message.isEmpty() ? 0 : 1;
    }
    std::fprintf(stderr,
        "usage: penshelf_pendrive install SOURCE PACKAGE_DIR BOOK START\n"
        "       penshelf_pendrive renumber PACKAGE_DIR FILE FLAG TYPE CURRENT NEW START\n");
    return 2;
}
