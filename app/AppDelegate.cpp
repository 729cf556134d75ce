#include "AppDelegate.h"

#include "BookEditor.h"
#include "BookRemoval.h"
#include "BookSortModel.h"
#include "BookTableModel.h"
#include "Catalogue.h"
#include "MessageLine.h"
#include "PackageDropHandler.h"
#include "PackageFileDialog.h"
#include "PackageFolder.h"
#include "PenCopyActions.h"
#include "StickerChange.h"
#include "StickerNumber.h"
#include "Texts.h"
#include "VolumeSpace.h"
#include "ui_MainWindow.h"

#include <QApplication>
#include <QDir>
#include <QMainWindow>

#include <memory>

AppDelegate::AppDelegate()
    : m_window(std::make_unique<QMainWindow>())
    , m_ui(std::make_unique<Ui::MainWindow>())
    , m_session(new PenSession(this))
    , dataKavo(m_session->pens())
{
    m_ui->setupUi(m_window.get());
    listKavo = m_ui->listKavo;
    snKavo = m_ui->snKavo;
    btnRefresh = m_ui->btnRefresh;
    btnEject = m_ui->btnEject;
    listBook = m_ui->listBook;
    btnInstall = m_ui->btnInstall;
    btnRemove = m_ui->btnRemove;
    btnApply = m_ui->btnApply;
    dtBookName = m_ui->dtBookName;
    dtBookOid = m_ui->dtBookOid;
    dtOffsetOid = m_ui->dtOffsetOid;
    dtInfo = m_ui->dtInfo;
    dtSpace = m_ui->dtSpace;

    m_bookModel = new BookTableModel(dataBook, this);
    m_sortModel = new BookSortModel(this);
    m_sortModel->setSourceModel(m_bookModel);
    listBook->setModel(m_sortModel);
    // The scan's order until the user clicks a column header.
    listBook->horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);
    listBook->setSortingEnabled(true);
    listBook->horizontalHeader()->setSectionResizeMode(BookTableModel::NameColumn, QHeaderView::Stretch);
    listBook->horizontalHeader()->setSectionResizeMode(
        BookTableModel::StatColumn, QHeaderView::ResizeToContents);
    listBook->verticalHeader()->hide();

    // activated(), not currentIndexChanged(): only a pick by the user rescans.
    connect(listKavo, &QComboBox::activated, this, &AppDelegate::OnComboboxChanged);
    connect(btnRefresh, &QPushButton::clicked, this, &AppDelegate::RefreshList);
    connect(btnEject, &QPushButton::clicked, this, &AppDelegate::EjectPen);
    connect(btnInstall, &QPushButton::clicked, this, &AppDelegate::InstallBook);
    connect(btnRemove, &QPushButton::clicked, this, &AppDelegate::RemoveBook);
    connect(btnApply, &QPushButton::clicked, this, &AppDelegate::ApplyBook);
    connect(listBook, &QTableView::activated, this, &AppDelegate::tableViewSelected);
    connect(listBook->selectionModel(), &QItemSelectionModel::selectionChanged, this,
        &AppDelegate::tableViewSelectionDidChange);

    // Packages dropped on the window install as if chosen in the file dialog. Queued: the
    // install dialogs run their own loops, which must not nest inside the drop event.
    auto* drops = new PackageDropHandler(m_window.get());
    connect(
        drops, &PackageDropHandler::filesDropped, this, &AppDelegate::installDropped, Qt::QueuedConnection);

    // The edit area of the selected book, its removal and its sticker change.
    m_editor = new BookEditor(BookEditorContext {
                                  [this] { return selectedPen(); },
                                  [this] { return pathKavo; },
                                  [this] { return m_listingPending; },
                                  [this] { InitData(); },
                                  [this](const QString& message) { showInfo(message); },
                                  [this] { updateBusy(); },
                              },
        BookEditorWidgets { listBook, btnRemove, btnApply, dtBookName, dtBookOid, dtOffsetOid }, m_session,
        dataBook, m_sortModel, m_window.get());

    // Backup, restore and copy to another pen.
    m_copyActions
        = new PenCopyActions(PenCopyContext {
                                 [this]() -> const PenRegistry& { return dataKavo; },
                                 [this] { return selectedPen(); },
                                 [this](const QString& bsdName) { return m_session->volumeOf(bsdName); },
                                 [this] { return selectedBooks(); },
                                 [this] { InitData(); },
                                 [this](const QString& message) { showInfo(message); },
                             },
            m_window.get(), m_ui->btnBackup, m_ui->btnRestore, m_ui->btnCopy);

    // The edit area starts as after a scan: nothing selected, nothing to edit.
    m_editor->disable();

    // Pens and volume changes that come while a modal dialog is open wait until it closes.
    m_session->setDeferWhile([] { return QApplication::activeModalWidget() != nullptr; });
    connect(m_session, &PenSession::penStored, this, &AppDelegate::InitKavo);
    connect(m_session, &PenSession::penGone, this, [this](const QString& bsdName, bool duringEject) {
        m_volumes.erase(bsdName);
        InitKavo();
        // Powering a pen off during its eject unplugs it too; the eject says how it went.
        showInfo(duringEject ? AppText::Ejecting : AppText::Unplugged, MessageTone::News);
    });
    connect(m_session, &PenSession::volumesMoved, this, &AppDelegate::selectedVolumeMoved);
    connect(m_session, &PenSession::serialRead, this, [this](const QString& bsdName) {
        if (const PenRecord* selected = selectedPen(); selected && selected->bsdName == bsdName) {
            imbCode = selected->serialText();
            snKavo->setText(imbCode);
        }
    });
    connect(m_session, &PenSession::penJobsBusyChanged, this, &AppDelegate::updateBusy);
    connect(m_session, &PenSession::ejectFinished, this,
        [this](const QString&, bool ejected) { ejectFinished(ejected); });

    m_installs = new InstallBatch(
        m_window.get(), [this] { return pathKavo; }, this);
    connect(m_installs, &InstallBatch::finished, this, [this](bool installed) {
        if (installed)
            InitData();
    });
}

AppDelegate::~AppDelegate()
{
    if (penHost() == this)
        setPenHost(nullptr);
    // A disk call still running ends with the session, before the window.
    delete m_session;
    // The book table reads dataBook while the window closes; the window goes before the rows do.
    m_window.reset();
}

void AppDelegate::applicationDidFinishLaunching()
{
    setPenHost(this);
    dataBook.clear();
    m_session->start();
    InitService();
    InitKavo();
}

void AppDelegate::InitService() { m_session->startUsbMonitoring(); }

// Failures and refusals stand out in red; news of what went well does not.
void AppDelegate::showInfo(const QString& message, MessageTone tone)
{
    // Said after a listing was asked for: it stays once the listing is in.
    if (m_listingPending)
        m_messageAfterListing = { message, tone };
    m_infoTone = tone;
    dtInfo->setStyleSheet(tone == MessageTone::News ? QString() : QStringLiteral("color: #b00020;"));
    showMessage(dtInfo, message);
}

void AppDelegate::storePen(const PenRecord& record) { m_session->storePen(record); }

void AppDelegate::penUnplugged(const QString& bsdName) { m_session->penUnplugged(bsdName); }

// The selected pen's volume was mounted or unmounted: list it again.
void AppDelegate::selectedVolumeMoved(const QStringList& bsdNames)
{
    const PenRecord* selected = selectedPen();
    if (!selected || !bsdNames.contains(selected->bsdName))
        return;
    const QString message = dtInfo->text();
    const MessageTone tone = m_infoTone;
    InitData();
    // An eject that unmounts the pen changes its volume too; its message stays.
    if (isEjecting())
        showInfo(message, tone);
}

void AppDelegate::InitKavo()
{
    listKavo->clear();
    if (dataKavo.empty()) {
        listKavo->addItem(AppText::NoPen);
        listKavo->setCurrentIndex(0);
        snKavo->setText(QString());
        snKavo->setEnabled(false);
        btnInstall->setEnabled(false);
        btnEject->setEnabled(false);
        // A listing still under way is for a pen that is gone.
        ++m_listing;
        m_listingPending = false;
        m_messageAfterListing.reset();
        m_bookModel->beginReload();
        dataBook.clear();
        m_bookModel->endReload();
        listBook->clearSelection();
        dtSpace->clear();
        m_ui->dtPenInfo->clear();
        m_copyActions->update();
        return;
    }
    for (const auto& [key, record] : dataKavo) {
        listKavo->addItem(record.selectorText());
        // Two pens of one model have the same text: the tooltip tells them apart.
        listKavo->setItemData(
            listKavo->count() - 1, penTooltip(record, m_session->volumeOf(key)), Qt::ToolTipRole);
    }
    listKavo->setCurrentIndex(0);
    updatePenControls();
    InitData();
}

void AppDelegate::updatePenControls()
{
    const bool pens = !dataKavo.empty();
    const PenRecord* pen = selectedPen();
    // Nothing is written to a pen that is being unmounted, and one eject runs at a time.
    const bool selectedEjecting = isEjecting() && pen && pen->bsdName == m_session->ejecting();
    // Nor is a pen ejected while its files are read or written: the unmount would find them
    // busy, or cut a removal or a sticker change short.
    const bool selectedBusy = pen && m_session->penJobsRunning(pen->bsdName);
    snKavo->setEnabled(pens);
    btnInstall->setEnabled(pens && !selectedEjecting && !writing());
    btnEject->setEnabled(pens && !isEjecting() && !selectedBusy);
}

bool AppDelegate::writing() const { return m_editor->writing(); }

// The selector's tooltip of a pen, from what its last listing read of its volume: the selector
// is filled without reading any pen.
QString AppDelegate::penTooltip(const PenRecord& pen, const QString& volume) const
{
    const auto known = m_volumes.find(pen.bsdName);
    if (known == m_volumes.end())
        return penDetails(pen, volume, volume.isEmpty() ? QString() : QDir(volume).dirName(), std::nullopt);
    return penDetails(pen, volume, known->second.volumeLabel, known->second.usage);
}

// A busy cursor over the table while the selected pen's files are worked on; the controls that
// would act on rows about to change stay disabled until then.
void AppDelegate::updateBusy()
{
    const PenRecord* pen = selectedPen();
    if (pen && m_session->penJobsRunning(pen->bsdName))
        listBook->setCursor(Qt::BusyCursor);
    else
        listBook->unsetCursor();
    updatePenControls();
    m_copyActions->update();
}

const PenRecord* AppDelegate::selectedPen() const
{
    const int index = listKavo->currentIndex();
    if (index < 0 || size_t(index) >= dataKavo.size())
        return nullptr;
    return &std::next(dataKavo.begin(), index)->second;
}

// Lists the selected pen's packages in the background; the rows, the free space and the message
// replace the old ones when the listing is in. A newer listing drops an older one.
void AppDelegate::InitData()
{
    const quint64 listing = ++m_listing;
    m_messageAfterListing.reset();
    const PenRecord* pen = selectedPen();
    if (!pen) {
        m_listingPending = false;
        m_bookModel->beginReload();
        dataBook.clear();
        m_bookModel->endReload();
        updateBusy();
        return;
    }
    imbCode = pen->serialText();
    snKavo->setText(imbCode);
    // An unmounted pen has no package directory; nothing is scanned or written then.
    const QString volume = m_session->volumeOf(pen->bsdName);
    pathKavo = packageDirectoryFor(volume);
    m_listingPending = true;
    // The rows shown are about to change: nothing is done to them meanwhile.
    m_editor->disable();
    m_session->listPen(
        pen->bsdName, volume, pathKavo, [this, listing, volume, record = *pen](const PenListing& read) {
            if (listing != m_listing)
                return;
            m_listingPending = false;
            m_bookModel->beginReload();
            dataBook = read.rows;
            m_bookModel->endReload();
            listBook->clearSelection();
            m_volumes[record.bsdName] = { {}, {}, read.volumeLabel, read.usage };
            dtSpace->setText(read.usage ? freeSpaceText(*read.usage) : QString());
            m_ui->dtPenInfo->setText(volume.isEmpty() ? QString() : volumeLabelLine(read.volumeLabel));
            snKavo->setToolTip(penTooltip(record, volume));
            if (const PenRecord* selected = selectedPen(); selected && selected->bsdName == record.bsdName)
                listKavo->setItemData(listKavo->currentIndex(), snKavo->toolTip(), Qt::ToolTipRole);
            m_copyActions->update();

            m_editor->clear();
            // A package folder that is missing or no real folder on the pen lists nothing: say why,
            // unless something was said since the listing was asked for.
            showInfo(textOf(read.problem));
            if (const auto message = std::exchange(m_messageAfterListing, std::nullopt))
                showInfo(message->first, message->second);
        });
    updateBusy();
}

bool AppDelegate::validateNumberByASCII(const QString& text) const { return ::validateNumberByASCII(text); }

BookList AppDelegate::selectedBooks() const { return m_editor->selectedBooks(); }

void AppDelegate::tableViewSelectionDidChange()
{
    m_editor->selectionChanged();
    m_copyActions->update();
}

void AppDelegate::tableViewSelected() { }

void AppDelegate::OnComboboxChanged()
{
    updatePenControls();
    InitData();
}

void AppDelegate::RefreshList()
{
    // The volume may have been mounted since the pen was recognised: read its serial again.
    if (const PenRecord* pen = selectedPen())
        m_session->rereadSerial(pen->bsdName);
    InitData();
}

void AppDelegate::EjectPen()
{
    const int index = listKavo->currentIndex();
    if (index < 0 || dataKavo.empty() || size_t(index) >= dataKavo.size() || isEjecting())
        return;
    if (!m_session->eject(std::next(dataKavo.begin(), index)->first))
        return;
    listBook->clearSelection();
    m_editor->disable();
    updatePenControls();
    showInfo(AppText::Ejecting, MessageTone::News);
}

void AppDelegate::ejectFinished(bool ejected)
{
    if (!ejected) {
        // The pen may still hold unwritten data: keep it listed and say why.
        updatePenControls();
        showInfo(AppText::EjectFailed);
        return;
    }
    InitKavo();
    showInfo(AppText::Ejected, MessageTone::News);
}

void AppDelegate::InstallBook()
{
    const PenRecord* pen = selectedPen();
    if (pathKavo.isEmpty() || !pen) {
        showInfo(AppText::NoVolume);
        return;
    }
    // A missing package folder is made by the install; anything else wrong with it stops here.
    // The folder is looked at in the background; the file chooser opens with the answer.
    m_session->checkPackageFolder(
        pen->bsdName, pathKavo, [this, directory = pathKavo](PackageFolder::Problem problem) {
            if (directory != pathKavo)
                return;
            if (problem != PackageFolder::Problem::None && problem != PackageFolder::Problem::Missing) {
                const QString reason = textOf(problem);
                showInfo(reason.isEmpty() ? AppText::NoVolume : reason);
                return;
            }
            m_installs->choosePackages();
        });
}

void AppDelegate::installDropped(const QStringList& packages, const QStringList& refused)
{
    // The install button's rule: a known pen with a mounted volume.
    if (!btnInstall->isEnabled() || pathKavo.isEmpty()) {
        showInfo(AppText::NoVolume);
        return;
    }
    if (!packages.isEmpty())
        m_installs->installFiles(packages);
    // After the rescan, which empties the message line.
    if (!refused.isEmpty())
        showInfo(refusedFilesMessage(refused));
}

void AppDelegate::RemoveBook() { m_editor->remove(alertHook); }

void AppDelegate::ApplyBook() { m_editor->apply(); }
