#include "AppDelegate.h"

#include "BookHeader.h"
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
#include "VolumeSpace.h"
#include "ui_MainWindow.h"

#include <QApplication>
#include <QMainWindow>

namespace {
const QString NoPenPlaceholder = QStringLiteral("请连接点读系列产品！");
const QString NoVolumeMessage = QStringLiteral("未找到点读笔存储，无法安装！");
const QString EjectFailedMessage = QStringLiteral("点读笔弹出失败，请关闭正在使用点读笔的程序后重试！");
const QString EjectingMessage = QStringLiteral("正在弹出点读笔……");
const QString EjectedMessage = QStringLiteral("点读笔已弹出，可以安全拔下。");
const QString UnpluggedMessage = QStringLiteral("点读笔已拔出。");
}

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
    disableBookControls();

    // Pens and volume changes that come while a modal dialog is open wait until it closes.
    m_session->setDeferWhile([] { return QApplication::activeModalWidget() != nullptr; });
    connect(m_session, &PenSession::penStored, this, &AppDelegate::InitKavo);
    connect(m_session, &PenSession::penGone, this, [this](const QString&, bool duringEject) {
        InitKavo();
        // Powering a pen off during its eject unplugs it too; the eject says how it went.
        showInfo(duringEject ? EjectingMessage : UnpluggedMessage);
    });
    connect(m_session, &PenSession::volumesMoved, this, &AppDelegate::selectedVolumeMoved);
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
void AppDelegate::showInfo(const QString& message)
{
    static const QStringList news { EjectingMessage, EjectedMessage, UnpluggedMessage };
    dtInfo->setStyleSheet(news.contains(message) ? QString() : QStringLiteral("color: #b00020;"));
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
    InitData();
    // An eject that unmounts the pen changes its volume too; its message stays.
    if (isEjecting())
        showInfo(message);
}

void AppDelegate::InitKavo()
{
    listKavo->clear();
    if (dataKavo.empty()) {
        listKavo->addItem(NoPenPlaceholder);
        listKavo->setCurrentIndex(0);
        snKavo->setText(QString());
        snKavo->setEnabled(false);
        btnInstall->setEnabled(false);
        btnEject->setEnabled(false);
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
        listKavo->setItemData(listKavo->count() - 1,
            PenCopyActions::penDetails(record, m_session->volumeOf(key)), Qt::ToolTipRole);
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
    snKavo->setEnabled(pens);
    btnInstall->setEnabled(pens && !selectedEjecting);
    btnEject->setEnabled(pens && !isEjecting());
    m_copyActions->update();
}

const PenRecord* AppDelegate::selectedPen() const
{
    const int index = listKavo->currentIndex();
    if (index < 0 || size_t(index) >= dataKavo.size())
        return nullptr;
    return &std::next(dataKavo.begin(), index)->second;
}

void AppDelegate::InitData()
{
    const PenRecord* pen = selectedPen();
    m_bookModel->beginReload();
    dataBook.clear();
    if (!pen) {
        m_bookModel->endReload();
        return;
    }
    imbCode = pen->serialText();
    snKavo->setText(imbCode);
    // An unmounted pen has no package directory; nothing is scanned or written then.
    const QString volume = m_session->volumeOf(pen->bsdName);
    pathKavo = packageDirectoryFor(volume);
    QString problem;
    dataBook = ScanCatalogue(pathKavo, &problem);
    m_bookModel->endReload();
    listBook->clearSelection();
    dtSpace->setText(freeSpaceLine(volume));
    m_ui->dtPenInfo->setText(
        volume.isEmpty() ? QString() : QStringLiteral("卷标：%1").arg(PenCopyActions::volumeName(volume)));
    snKavo->setToolTip(PenCopyActions::penDetails(*pen, volume));
    m_copyActions->update();

    disableBookControls();
    dtBookName->setText(QString());
    dtBookOid->setText(QString());
    dtOffsetOid->setText(QString());
    // A package folder that is missing or no real folder on the pen lists nothing: say why.
    showInfo(problem);
}

bool AppDelegate::validateNumberByASCII(const QString& text) const { return ::validateNumberByASCII(text); }

int AppDelegate::selectedBookRow() const
{
    const QModelIndexList rows = listBook->selectionModel()->selectedRows();
    // The edit area, the removal and the sticker change work on one package: with several
    // rows selected there is none to work on.
    if (rows.size() != 1)
        return -1;
    // The table shows the rows in the user's order; dataBook keeps the scan's.
    const int row = m_sortModel->bookRow(rows.first().row());
    return row < dataBook.size() ? row : -1;
}

// The edit area of the selected book: usable only while a row is selected.
void AppDelegate::disableBookControls()
{
    for (QWidget* control :
        std::initializer_list<QWidget*> { btnRemove, btnApply, dtBookName, dtBookOid, dtOffsetOid })
        control->setEnabled(false);
}

BookList AppDelegate::selectedBooks() const
{
    QModelIndexList rows = listBook->selectionModel()->selectedRows();
    std::sort(rows.begin(), rows.end(),
        [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    BookList books;
    for (const QModelIndex& index : rows) {
        const int row = m_sortModel->bookRow(index.row());
        if (row >= 0 && row < dataBook.size())
            books.append(dataBook.at(row));
    }
    return books;
}

void AppDelegate::tableViewSelectionDidChange()
{
    disableBookControls();
    m_copyActions->update();

    const int index = selectedBookRow();
    if (index < 0)
        return;
    if (const PenRecord* pen = selectedPen(); isEjecting() && pen && pen->bsdName == m_session->ejecting())
        return;
    const ListData& row = dataBook.at(index);
    btnRemove->setEnabled(true);
    btnApply->setEnabled(true);
    dtBookName->setEnabled(true);
    dtBookOid->setEnabled(true);
    dtBookName->setText(row.name);
    dtBookOid->setText(row.bookOid());
    dtOffsetOid->setText(QStringLiteral("0000"));

    if (row.flag == QLatin1String("D")) {
        if (row.type == QLatin1String("dab")) {
            dtOffsetOid->setEnabled(true);
            dtOffsetOid->setText(QString::asprintf("%04d", ReadOffsetOid(row.file)));
        } else if (row.type == QLatin1String("unb")) {
            dtOffsetOid->setEnabled(true);
            dtOffsetOid->setText(QString::asprintf("%04d", ReadOffsetOidUnb(row.file)));
        }
    }
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
    disableBookControls();
    updatePenControls();
    showInfo(EjectingMessage);
}

void AppDelegate::ejectFinished(bool ejected)
{
    if (!ejected) {
        // The pen may still hold unwritten data: keep it listed and say why.
        updatePenControls();
        showInfo(EjectFailedMessage);
        return;
    }
    InitKavo();
    showInfo(EjectedMessage);
}

void AppDelegate::InstallBook()
{
    if (pathKavo.isEmpty()) {
        showInfo(NoVolumeMessage);
        return;
    }
    // A missing package folder is made by the install; anything else wrong with it stops here.
    const PackageFolder::Problem problem = PackageFolder::open(pathKavo).problem();
    if (problem != PackageFolder::Problem::None && problem != PackageFolder::Problem::Missing) {
        const QString reason = PackageFolder::reasonFor(problem);
        showInfo(reason.isEmpty() ? NoVolumeMessage : reason);
        return;
    }
    m_installs->choosePackages();
}

void AppDelegate::installDropped(const QStringList& packages, const QStringList& refused)
{
    // The install button's rule: a known pen with a mounted volume.
    if (!btnInstall->isEnabled() || pathKavo.isEmpty()) {
        showInfo(NoVolumeMessage);
        return;
    }
    if (!packages.isEmpty())
        m_installs->installFiles(packages);
    // After the rescan, which empties the message line.
    if (!refused.isEmpty())
        showInfo(refusedFilesMessage(refused));
}

void AppDelegate::RemoveBook()
{
    const int index = selectedBookRow();
    if (index < 0)
        return;
    const ListData row = dataBook.at(index);

    QMessageBox alert(QMessageBox::Warning, m_window->windowTitle(),
        row.name + QStringLiteral("\r\n") + QStringLiteral("是否删除此点读包？"), QMessageBox::NoButton,
        m_window.get());
    alert.setWindowModality(Qt::ApplicationModal);
    QPushButton* remove = alert.addButton(QStringLiteral("删除"), QMessageBox::AcceptRole);
    QPushButton* cancel = alert.addButton(QStringLiteral("取消"), QMessageBox::RejectRole);
    alert.setDefaultButton(remove);
    alert.setEscapeButton(cancel);
    alert.setInformativeText(QStringLiteral("删除点读包后将不能恢复！"));

    QAbstractButton* clicked = nullptr;
    if (alertHook) {
        clicked = alertHook(alert);
    } else {
        alert.exec();
        clicked = alert.clickedButton();
    }
    if (clicked != remove)
        return;

    const RemovalResult removed = removePackage(row.file, pathKavo);
    InitData();
    if (removed != RemovalResult::Removed)
        showInfo(messageFor(removed));
}

void AppDelegate::ApplyBook()
{
    const int index = selectedBookRow();
    if (index < 0)
        return;
    const ListData& row = dataBook.at(index);
    const StickerChangeResult result = applyStickerChange(
        { row.file, row.flag, row.type, row.bookOid(), dtBookOid->text(), dtOffsetOid->text(), pathKavo });
    if (result.rescan)
        InitData();
    // What the last action did: a change that went through clears an earlier refusal.
    showInfo(result.message);
}
