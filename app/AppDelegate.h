#pragma once

#include "DiskService.h"
#include "InstWindow.h"
#include "InstallBatch.h"
#include "ListData.h"
#include "PenHost.h"
#include "PenRecord.h"
#include "PenSession.h"
#include "Texts.h"

#include <QMessageBox>
#include <QObject>

#include <functional>
#include <memory>
#include <optional>

class BookEditor;
class BookSortModel;
class BookTableModel;
class PenCopyActions;
class QComboBox;
class QFileDialog;
class QLabel;
class QLineEdit;
class QMainWindow;
class QPushButton;
class QTableView;

namespace Ui {
class MainWindow;
}

// The one controller of the main window: it owns the window's widgets and the book rows of the
// selected pen, and wires the window to the pen session, the catalogue and the install.
class AppDelegate : public QObject, public PenHost {
    Q_OBJECT
public:
    AppDelegate();
    ~AppDelegate() override;

    // Test seams, set before applicationDidFinishLaunching.
    using VolumePathResolver = PenSession::VolumePathResolver;
    void setVolumePathResolver(VolumePathResolver resolver)
    {
        m_session->setVolumePathResolver(std::move(resolver));
    }
    void setDiskService(std::unique_ptr<DiskService> service)
    {
        m_session->setDiskService(std::move(service));
    }
    // Without USB monitoring nothing is mounted either, unless asked for.
    void setUsbMonitoringEnabled(bool enabled) { m_session->setUsbMonitoringEnabled(enabled); }
    void setAutoMountEnabled(bool enabled) { m_session->setAutoMountEnabled(enabled); }
    bool diskJobsRunning() const { return m_session->diskJobsRunning(); }
    // True while a pen's files are read or written in the background (listing, header read,
    // removal, sticker change, install check). The table shows a busy cursor meanwhile.
    bool penJobsRunning() const { return m_session->penJobsRunning(); }
    // Tests answer the modal dialogs through these hooks instead of a person.
    static inline std::function<void(QFileDialog*)>& fileDialogShown = InstallBatch::fileDialogShown;
    static inline std::function<QAbstractButton*(QMessageBox&)> alertHook;

    // The launch sequence.
    void applicationDidFinishLaunching();

    void InitService();
    void InitKavo();
    void InitData();
    bool validateNumberByASCII(const QString& text) const;

    // PenHost
    void storePen(const PenRecord& record) override;
    void penUnplugged(const QString& bsdName) override;

    // A volume was mounted or unmounted: pens whose volume changed get their serial read
    // again, and the selected one is listed again.
    void volumesChanged() { m_session->volumesChanged(); }
    // True while an eject runs in the background.
    bool isEjecting() const { return m_session->isEjecting(); }

    QMainWindow* window() const { return m_window.get(); }
    const PenRegistry& pens() const { return dataKavo; }
    const BookList& books() const { return dataBook; }
    QString packageDirectory() const { return pathKavo; }
    QString serial() const { return imbCode; }
    InstWindow* installDialog() const { return m_installs->dialog(); }
    PenSession* session() const { return m_session; }
    // The rows selected in the book table, in the table's order.
    BookList selectedBooks() const;

public slots:
    void OnComboboxChanged();
    void RefreshList();
    void EjectPen();
    void InstallBook();
    void RemoveBook();
    void ApplyBook();
    void tableViewSelected();

private:
    void tableViewSelectionDidChange();
    bool writing() const;
    QString penTooltip(const PenRecord& pen, const QString& volume) const;
    void updateBusy();
    void updatePenControls();
    void showInfo(const QString& message, MessageTone tone = MessageTone::Problem);
    void selectedVolumeMoved(const QStringList& bsdNames);
    void ejectFinished(bool ejected);
    void installDropped(const QStringList& packages, const QStringList& refused);
    const PenRecord* selectedPen() const;

    std::unique_ptr<QMainWindow> m_window;
    std::unique_ptr<Ui::MainWindow> m_ui;

    // Outlets, named as the window's widgets.
    QComboBox* listKavo = nullptr;
    QLineEdit* snKavo = nullptr;
    QPushButton* btnRefresh = nullptr;
    QPushButton* btnEject = nullptr;
    QTableView* listBook = nullptr;
    QPushButton* btnInstall = nullptr;
    QPushButton* btnRemove = nullptr;
    QPushButton* btnApply = nullptr;
    QLineEdit* dtBookName = nullptr;
    QLineEdit* dtBookOid = nullptr;
    QLineEdit* dtOffsetOid = nullptr;
    QLabel* dtInfo = nullptr;
    QLabel* dtSpace = nullptr;

    PenSession* m_session;
    // The session's registry, under the controller's name for it.
    const PenRegistry& dataKavo;
    BookList dataBook;
    QString pathKavo;
    QString imbCode;

    BookTableModel* m_bookModel = nullptr;
    BookSortModel* m_sortModel = nullptr;
    InstallBatch* m_installs = nullptr;
    PenCopyActions* m_copyActions = nullptr;
    BookEditor* m_editor = nullptr;
    quint64 m_listing = 0; // the newest listing of the selected pen; older ones are dropped
    bool m_listingPending = false;
    // Shown once the listing under way is in: what was said after it was asked for.
    std::optional<std::pair<QString, MessageTone>> m_messageAfterListing;
    MessageTone m_infoTone = MessageTone::Problem; // of the message shown
    // Each pen's volume label and free space as its last listing read them (no rows).
    std::map<QString, PenListing> m_volumes;
};
