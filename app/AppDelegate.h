#pragma once

#include "DiskService.h"
#include "InstWindow.h"
#include "ListData.h"
#include "PenHost.h"
#include "PenRecord.h"

#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <functional>
#include <memory>

class BookSortModel;
class BookTableModel;
class DiskJobs;
class MountWatcher;
class QComboBox;
class QFileDialog;
class QLabel;
class QLineEdit;
class QMainWindow;
class QPushButton;
class QTableView;
class UsbMonitor;

namespace Ui {
class MainWindow;
}

// The one controller of the main window: it owns the pen registry, the book rows of the
// selected pen and the window's widgets, and drives the subsystems from the window's actions.
class AppDelegate : public QObject, public PenHost {
    Q_OBJECT
public:
    AppDelegate();
    ~AppDelegate() override;

    // Test seams, set before applicationDidFinishLaunching.
    using VolumePathResolver = std::function<QString(const QString& bsdName)>;
    void setVolumePathResolver(VolumePathResolver resolver) { m_volumePath = std::move(resolver); }
    void setDiskService(std::unique_ptr<DiskService> service) { m_diskService = std::move(service); }
    // Without USB monitoring nothing is mounted either, unless asked for.
    void setUsbMonitoringEnabled(bool enabled) { m_monitorUsb = m_autoMount = enabled; }
    void setAutoMountEnabled(bool enabled) { m_autoMount = enabled; }
    bool diskJobsRunning() const;
    // Tests answer the modal dialogs through these hooks instead of a person.
    static inline std::function<void(QFileDialog*)> fileDialogShown;
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
    void volumesChanged();
    // True while an eject runs in the background.
    bool isEjecting() const { return !m_ejecting.isEmpty(); }

    QMainWindow* window() const { return m_window.get(); }
    const PenRegistry& pens() const { return dataKavo; }
    const BookList& books() const { return dataBook; }
    QString packageDirectory() const { return pathKavo; }
    QString serial() const { return imbCode; }
    InstWindow* installDialog() const { return instWindowController; }

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
    void disableBookControls();
    void updatePenControls();
    void showInfo(const QString& message);
    void mountVolume(const QString& bsdName);
    DiskJobs* diskJobs();
    bool rereadSerial(const QString& bsdName);
    void installFiles(const QStringList& paths);
    void installDropped(const QStringList& packages, const QStringList& refused);
    int selectedBookRow() const;
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

    PenRegistry dataKavo;
    BookList dataBook;
    QString pathKavo;
    QString imbCode;
    QPointer<InstWindow> instWindowController;

    BookTableModel* m_bookModel = nullptr;
    BookSortModel* m_sortModel = nullptr;
    VolumePathResolver m_volumePath;
    std::unique_ptr<DiskService> m_diskService;
    UsbMonitor* m_usbMonitor = nullptr;
    MountWatcher* m_mountWatcher = nullptr;
    DiskJobs* m_diskJobs = nullptr;
    QString m_ejecting; // BSD name of the pen being ejected
    std::map<QString, QString> m_knownVolumes; // volume path of each pen when last looked at
    QTimer* m_volumesRetry = nullptr;
    bool m_monitorUsb = true;
    bool m_autoMount = true;
    QString m_lastPackageFolder;
    bool m_installing = false;
};
