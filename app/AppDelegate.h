#pragma once

#include "DiskService.h"
#include "InstallBatch.h"
#include "ListData.h"
#include "PenRecord.h"
#include "PenSession.h"
#include "Texts.h"

#include <QMessageBox>
#include <QObject>

#include <functional>
#include <memory>
#include <optional>

class BookEditor;
class InstallActions;
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
// selected pen, and wires the window to the pen session, which does all work on the pens.
class AppDelegate : public QObject {
    Q_OBJECT
public:
    AppDelegate();
    ~AppDelegate() override;

    // Test seams, set before applicationDidFinishLaunching.
    void setVolumePathResolver(PenSession::VolumePathResolver resolver)
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
    // Tests answer the modal dialogs through these hooks instead of a person.
    static inline std::function<void(QFileDialog*)>& fileDialogShown = InstallBatch::fileDialogShown;
    static inline std::function<QAbstractButton*(QMessageBox&)> alertHook;

    // The launch sequence.
    void applicationDidFinishLaunching();

    void InitService();
    void InitKavo();
    void InitData();
    bool validateNumberByASCII(const QString& text) const;

    QMainWindow* window() const { return m_window.get(); }
    PenSession* session() const { return m_session; }
    const PenRegistry& pens() const { return dataKavo; }
    const BookList& books() const { return dataBook; }
    QString packageDirectory() const { return pathKavo; }
    QString serial() const { return imbCode; }
    InstWindow* installDialog() const;
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
    void updateControls();
    void showInfo(const QString& message, MessageTone tone = MessageTone::Problem);
    void listed(const PenRecord& pen, const QString& volume, const PenListing& listing);
    void selectedVolumeMoved(const QStringList& bsdNames);
    void ejectFinished(bool ejected);
    const PenRecord* selectedPen() const;
    QString penTooltip(const QString& bsdName) const;

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
    InstallActions* m_installs = nullptr;
    PenCopyActions* m_copyActions = nullptr;
    BookEditor* m_editor = nullptr;
    // Said since the listing under way was asked for: it stays once the listing is in.
    bool m_saidDuringListing = false;
    MessageTone m_infoTone = MessageTone::Problem; // of the message shown
};
