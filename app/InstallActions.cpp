#include "InstallActions.h"

#include "PenSession.h"
#include "Texts.h"

#include <QPushButton>

InstallActions::InstallActions(
    InstallContext context, PenSession* session, QWidget* window, QPushButton* install)
    : QObject(window)
    , m_context(std::move(context))
    , m_session(session)
    , m_install(install)
{
    m_batch = new InstallBatch(
        window,
        [this]() -> InstallBatch::Target {
            const PenRecord* pen = m_context.selectedPen();
            if (!pen)
                return {};
            return { m_session->door(pen->bsdName), m_context.penDetails(pen->bsdName) };
        },
        this);
    connect(m_batch, &InstallBatch::finished, this, [this](bool installed, bool cancelled) {
        if (installed || cancelled)
            m_context.relist();
        if (cancelled)
            m_context.showInfo(InstallText::Cancelled, true);
    });
}

void InstallActions::InstallBook()
{
    const PenRecord* pen = m_context.selectedPen();
    const QString pathKavo = m_context.packageDirectory();
    if (pathKavo.isEmpty() || !pen) {
        m_context.showInfo(AppText::NoVolume, false);
        return;
    }
    // A missing package folder is made by the install; anything else wrong with it stops here.
    // The folder is looked at in the background; the file chooser opens with the answer.
    m_session->checkPackageFolder(pen->bsdName, pathKavo, [this, pathKavo](PackageFolder::Problem problem) {
        if (pathKavo != m_context.packageDirectory())
            return;
        if (problem != PackageFolder::Problem::None && problem != PackageFolder::Problem::Missing) {
            const QString reason = textOf(problem);
            m_context.showInfo(reason.isEmpty() ? AppText::NoVolume : reason, false);
            return;
        }
        m_batch->choosePackages();
    });
}

void InstallActions::installDropped(const QStringList& packages, const QStringList& refused)
{
    // The install button's rule: a pen that may be written, with a mounted volume.
    if (!m_install->isEnabled() || m_context.packageDirectory().isEmpty()) {
        m_context.showInfo(AppText::NoVolume, false);
        return;
    }
    if (!packages.isEmpty())
        m_batch->installFiles(packages);
    // After the rescan, which empties the message line.
    if (!refused.isEmpty())
        m_context.showInfo(refusedFilesMessage(refused), false);
}
