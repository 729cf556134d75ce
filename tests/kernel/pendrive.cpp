// Drives the real install, sticker change, removal and scan on a mounted pen from the command
// line, so that the real-kernel suite can pull the pen while or right after one runs:
//   penshelf_pendrive install SOURCE PACKAGE_DIR BOOK START
//   penshelf_pendrive renumber PACKAGE_DIR FILE FLAG TYPE CURRENT NEW START
//   penshelf_pendrive remove PACKAGE_DIR FILE
//   penshelf_pendrive scan PACKAGE_DIR        one line per row: label-number, title, file
//   penshelf_pendrive backup PACKAGE_DIR SERIAL FOLDER
//   penshelf_pendrive restore FOLDER PACKAGE_DIR move|skip
//   penshelf_pendrive copy FROM_DIR TO_DIR move|skip NAME...
//                                             a taken number moves to the next free one, or
//                                             the package is skipped; the summary follows
// Prints "done" on success, else the message the window would show; exit status 0 on success.
// With PENSHELF_PULL_AFTER_MS=N and PENSHELF_GADGET=<the gadget's configfs folder> in the
// environment, the pen is pulled N ms after the operation starts, by unbinding the guest's USB
// gadget (these operations take milliseconds: a script could not time the pull that closely);
// the times go to stderr.
#include "BookHeader.h"
#include "BookRemoval.h"
#include "Catalogue.h"
#include "PackageCopy.h"
#include "PenBackup.h"
#include "PenTransfer.h"
#include "StickerChange.h"
#include "Texts.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QStringList>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>

namespace {

struct Outcome {
    QString message; // empty: done
    bool ok = false;
};

Outcome run(const QStringList& args)
{
    if (args.size() == 5 && args[0] == QLatin1String("install")) {
        const BookType type = GetBookType(args[1]);
        const InstallResult result = installPackage(
            { args[1], args[2], args[3], args[4].toInt(), type.extension, type.nTypeBook }, {});
        return { textOf(result), result == InstallResult::Installed };
    }
    if (args.size() == 8 && args[0] == QLatin1String("renumber")) {
        const StickerChangeResult result
            = applyStickerChange({ args[2], args[3], args[4], args[5], args[6], args[7], args[1] });
        return { textOf(result), result.outcome == StickerChangeOutcome::Done };
    }
    if (args.size() == 3 && args[0] == QLatin1String("remove")) {
        const QString message = textOf(removePackage(args[2], args[1]));
        return { message, message.isEmpty() };
    }
    if (args.size() == 2 && args[0] == QLatin1String("scan")) {
        PackageFolder::Problem problem = PackageFolder::Problem::None;
        const BookList rows = ScanCatalogue(args[1], &problem);
        for (const ListData& row : rows)
            std::printf("%s\t%s\t%s\n", qPrintable(row.stat), qPrintable(row.name), qPrintable(row.file));
        return { textOf(problem), textOf(problem).isEmpty() };
    }
    if (args.size() == 4 && args[0] == QLatin1String("backup")) {
        const BackupReport report = backupPen(args[1], args[2], args[3]);
        std::printf("%s; copied: %s; unchanged: %s; failed: %s; not package files: %s\n",
            report.incremental ? "incremental" : "new backup", qPrintable(report.copied.join(' ')),
            qPrintable(report.unchanged.join(' ')), qPrintable(report.failed.join(' ')),
            qPrintable(report.notCopied.join(' ')));
        return { textOf(report.problem), report.problem == BackupProblem::None };
    }
    const bool restore = args.size() == 4 && args[0] == QLatin1String("restore");
    if (restore || (args.size() >= 5 && args[0] == QLatin1String("copy"))) {
        const bool move = args[3] == QLatin1String("move");
        QList<TransferItem> items;
        if (restore) {
            items = itemsFromBackup(args[1]);
        } else {
            BookList rows;
            for (const ListData& row : ScanCatalogue(args[1]))
                if (args.mid(4).contains(row.file.mid(args[1].size())))
                    rows.append(row);
            items = itemsFromRows(rows, args[1]);
        }
        QList<PlannedItem> plan = planTransfer(items, args[2]);
        for (PlannedItem& entry : plan)
            if (entry.ownNameTaken && move && !entry.nextFreeName.isEmpty())
                entry.choice = PlannedItem::Choice::NextFree;
        const TransferReport report = runTransfer(plan, args[2]);
        std::printf("%s\n", qPrintable(transferSummary(report)));
        return { textOf(report.problem), report.problem == TransferProblem::None };
    }
    std::fprintf(stderr,
        "usage: penshelf_pendrive install SOURCE PACKAGE_DIR BOOK START\n"
        "       penshelf_pendrive renumber PACKAGE_DIR FILE FLAG TYPE CURRENT NEW START\n"
        "       penshelf_pendrive remove PACKAGE_DIR FILE\n"
        "       penshelf_pendrive scan PACKAGE_DIR\n"
        "       penshelf_pendrive backup PACKAGE_DIR SERIAL FOLDER\n"
        "       penshelf_pendrive restore FOLDER PACKAGE_DIR move|skip\n"
        "       penshelf_pendrive copy FROM_DIR TO_DIR move|skip NAME...\n");
    std::exit(2);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    bool pull = false;
    const int pullAfter = qEnvironmentVariableIntValue("PENSHELF_PULL_AFTER_MS", &pull);

    QElapsedTimer clock;
    clock.start();
    qint64 pullStarted = -1;
    qint64 pullEnded = -1;
    std::thread puller;
    if (pull) {
        puller = std::thread([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(pullAfter));
            pullStarted = clock.elapsed();
            QFile udc(qEnvironmentVariable("PENSHELF_GADGET") + QStringLiteral("/UDC"));
            if (udc.open(QIODevice::WriteOnly | QIODevice::Unbuffered) && udc.write("\n") == 1)
                pullEnded = clock.elapsed();
        });
    }
    const Outcome outcome = run(args);
    const qint64 ended = clock.elapsed();
    std::printf("%s\n", outcome.ok && outcome.message.isEmpty() ? "done" : qPrintable(outcome.message));
    std::fflush(stdout);
    if (puller.joinable()) {
        puller.join();
        std::fprintf(stderr, "operation ended at %lld ms; pen pulled from %lld to %lld ms\n",
            static_cast<long long>(ended), static_cast<long long>(pullStarted),
            static_cast<long long>(pullEnded));
    }
    return outcome.ok ? 0 : 1;
}
