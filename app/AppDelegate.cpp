#include "AppDelegate.h"

#include "BookEditor.h"
#include "BookSortModel.h"
#include "BookTableModel.h"
#include "Catalogue.h"
#include "InstallActions.h"
#include "MessageLine.h"
#include "PackageDropHandler.h"
#include "PenCopyActions.h"
#include "StickerNumber.h"
#include "ui_MainWindow.h"

#include <QApplication>
#include <QDir>
#include <QMainWindow>
#include <QTextDocument>

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
    // Texts from pens (labels, titles) are shown as they are, never read as markup.
    for (QLabel* label : { dtInfo, dtSpace, m_ui->dtPenInfo })
        label->setTextFormat(Qt::PlainText);

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
        drops, &PackageDropHandler::filesDropped, this,
        [this](const QStringList& packages, const QStringList& refused) {
            m_installs->installDropped(packages, refused);
        },
        Qt::QueuedConnection);

    // The edit area of the selected book, its removal and its sticker change.
    m_editor = new BookEditor(BookEditorContext {
                                  [this] { return selectedPen(); },
                                  [this] { return pathKavo; },
                                  [this] { InitData(); },
                                  [this](const QString& message) { showInfo(message); },
                              },
        BookEditorWidgets { listBook, btnRemove, btnApply, dtBookName, dtBookOid, dtOffsetOid }, m_session,
        dataBook, m_sortModel, m_window.get());

    // Backup, restore and copy to another pen.
    m_copyActions
        = new PenCopyActions(PenCopyContext {
                                 [this] { return selectedPen(); },
                                 [this] { return selectedBooks(); },
                                 [this](const QString& bsdName) { return m_session->penDetails(bsdName); },
                                 [this] { InitData(); },
                                 [this](const QString& message) { showInfo(message); },
                             },
            m_session, m_window.get(), m_ui->btnBackup, m_ui->btnRestore, m_ui->btnCopy);

    // The edit area starts as after a scan: nothing selected, nothing to edit.
    m_editor->disable();

    // Pens and volume changes that come while a modal dialog is open wait until it closes.
    m_session->setDeferWhile([] { return QApplication::activeModalWidget() != nullptr; });
    connect(m_session, &PenSession::penStored, this, &AppDelegate::InitKavo);
    connect(m_session, &PenSession::penGone, this, [this](const QString&, bool duringEject) {
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
    connect(m_session, &PenSession::penJobsBusyChanged, this, &AppDelegate::updateControls);
    connect(m_session, &PenSession::ejectStarted, this,
        [this] { showInfo(AppText::Ejecting, MessageTone::News); });
    connect(m_session, &PenSession::ejectFinished, this,
        [this](const QString&, bool ejected) { ejectFinished(ejected); });

    m_installs
        = new InstallActions(InstallContext {
                                 [this] { return selectedPen(); },
                                 [this] { return pathKavo; },
                                 [this](const QString& bsdName) { return m_session->penDetails(bsdName); },
                                 [this] { InitData(); },
                                 [this](const QString& message, bool news) {
                                     showInfo(message, news ? MessageTone::News : MessageTone::Problem);
                                 },
                             },
            m_session, m_window.get(), btnInstall);
}

AppDelegate::~AppDelegate()
{
    // Jobs still running end with the session, before the window.
    delete m_session;
    // The book table reads dataBook while the window closes; the window goes before the rows do.
    m_window.reset();
}

void AppDelegate::applicationDidFinishLaunching()
{
    dataBook.clear();
    m_session->start();
    InitService();
    InitKavo();
}

void AppDelegate::InitService() { m_session->startUsbMonitoring(); }

// Failures and refusals stand out in red; news of what went well does not.
void AppDelegate::showInfo(const QString& message, MessageTone tone)
{
    // Said after a listing was asked for: the listing leaves it in place.
    if (m_session->isListing())
        m_saidDuringListing = true;
    m_infoTone = tone;
    dtInfo->setStyleSheet(tone == MessageTone::News ? QString() : QStringLiteral("color: #b00020;"));
    showMessage(dtInfo, message);
}

// The selected pen's volume was mounted or unmounted: list it again.
void AppDelegate::selectedVolumeMoved(const QStringList& bsdNames)
{
    const PenRecord* selected = selectedPen();
    if (selected && bsdNames.contains(selected->bsdName))
        InitData();
}

void AppDelegate::InitKavo()
{
    listKavo->clear();
    if (dataKavo.empty()) {
        listKavo->addItem(AppText::NoPen);
        listKavo->setCurrentIndex(0);
        snKavo->setText(QString());
        // A listing still under way is for a pen that is gone.
        m_session->forgetListing();
        m_bookModel->beginReload();
        dataBook.clear();
        m_bookModel->endReload();
        listBook->clearSelection();
        dtSpace->clear();
        m_ui->dtPenInfo->clear();
        updateControls();
        return;
    }
    for (const auto& [key, record] : dataKavo) {
        listKavo->addItem(record.selectorText());
        // Two pens of one model have the same text: the tooltip tells them apart.
        listKavo->setItemData(listKavo->count() - 1, penTooltip(key), Qt::ToolTipRole);
    }
    listKavo->setCurrentIndex(0);
    InitData();
}

// Every control that acts on a pen, from the session's state in one place: what writes to the
// selected pen is enabled exactly when the install is.
void AppDelegate::updateControls()
{
    const PenRecord* pen = selectedPen();
    const bool mayWrite = pen && m_session->mayWrite(pen->bsdName);
    snKavo->setEnabled(pen != nullptr);
    btnInstall->setEnabled(mayWrite);
    // One eject at a time; an eject asked for while the pen is written waits for the write.
    btnEject->setEnabled(pen && !m_session->isEjecting());
    m_copyActions->update(mayWrite);
    if (pen && m_session->penJobsRunning(pen->bsdName))
        listBook->setCursor(Qt::BusyCursor);
    else
        listBook->unsetCursor();
}

// A tooltip holds the pen's volume label: the pen's own text, shown as it is, never as markup.
QString AppDelegate::penTooltip(const QString& bsdName) const
{
    return Qt::convertFromPlainText(m_session->penDetails(bsdName), Qt::WhiteSpaceNormal);
}

const PenRecord* AppDelegate::selectedPen() const
{
    const int index = listKavo->currentIndex();
    if (index < 0 || size_t(index) >= dataKavo.size())
        return nullptr;
    return &std::next(dataKavo.begin(), index)->second;
}

// Lists the selected pen's packages in the background; the rows, the free space and the message
// replace the old ones when the listing is in.
void AppDelegate::InitData()
{
    m_saidDuringListing = false;
    const PenRecord* pen = selectedPen();
    if (!pen) {
        m_session->forgetListing();
        m_bookModel->beginReload();
        dataBook.clear();
        m_bookModel->endReload();
        updateControls();
        return;
    }
    imbCode = pen->serialText();
    snKavo->setText(imbCode);
    // An unmounted pen has no package directory; nothing is scanned or written then.
    const QString volume = m_session->volumeOf(pen->bsdName);
    pathKavo = packageDirectoryFor(volume);
    m_session->listPen(pen->bsdName, volume, pathKavo,
        [this, volume, record = *pen](const PenListing& read) { listed(record, volume, read); });
    // The rows shown are about to change: nothing is done to them meanwhile.
    m_editor->disable();
    updateControls();
}

void AppDelegate::listed(const PenRecord& pen, const QString& volume, const PenListing& read)
{
    m_bookModel->beginReload();
    dataBook = read.rows;
    m_bookModel->endReload();
    listBook->clearSelection();
    dtSpace->setText(read.usage ? freeSpaceText(*read.usage) : QString());
    m_ui->dtPenInfo->setText(volume.isEmpty() ? QString() : volumeLabelLine(read.volumeLabel));
    snKavo->setToolTip(penTooltip(pen.bsdName));
    if (const PenRecord* selected = selectedPen(); selected && selected->bsdName == pen.bsdName)
        listKavo->setItemData(listKavo->currentIndex(), snKavo->toolTip(), Qt::ToolTipRole);
    m_editor->clear();
    updateControls();
    // The message line says why a package folder lists nothing, or is emptied, unless something
    // was said since the listing was asked for (said once, it stays) or an eject is under way.
    if (!std::exchange(m_saidDuringListing, false) && m_session->ejecting() != pen.bsdName)
        showInfo(textOf(read.problem));
}

bool AppDelegate::validateNumberByASCII(const QString& text) const { return ::validateNumberByASCII(text); }

BookList AppDelegate::selectedBooks() const { return m_editor->selectedBooks(); }

void AppDelegate::tableViewSelectionDidChange()
{
    m_editor->selectionChanged();
    updateControls();
}

void AppDelegate::tableViewSelected() { }

void AppDelegate::OnComboboxChanged() { InitData(); }

void AppDelegate::RefreshList()
{
    // The volume may have been mounted since the pen was recognised: read its serial again.
    if (const PenRecord* pen = selectedPen())
        m_session->rereadSerial(pen->bsdName);
    InitData();
}

void AppDelegate::EjectPen()
{
    const PenRecord* pen = selectedPen();
    if (!pen)
        return;
    const PenSession::EjectStart start = m_session->eject(pen->bsdName);
    if (start == PenSession::EjectStart::Refused)
        return;
    listBook->clearSelection();
    m_editor->disable();
    updateControls();
    showInfo(start == PenSession::EjectStart::Started ? AppText::Ejecting : AppText::EjectWaits,
        MessageTone::News);
}

void AppDelegate::ejectFinished(bool ejected)
{
    if (!ejected) {
        // The pen may still hold unwritten data: keep it listed and say why.
        updateControls();
        showInfo(AppText::EjectFailed);
        return;
    }
    InitKavo();
    showInfo(AppText::Ejected, MessageTone::News);
}

void AppDelegate::InstallBook() { m_installs->InstallBook(); }

InstWindow* AppDelegate::installDialog() const { return m_installs->dialog(); }

void AppDelegate::RemoveBook() { m_editor->remove(alertHook); }

void AppDelegate::ApplyBook() { m_editor->apply(); }
