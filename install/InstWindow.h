#pragma once

#include <QDialog>

// The modal install dialog. (Being built: this is the contract the main window relies on.)
class InstWindow : public QDialog {
    Q_OBJECT
public:
    explicit InstWindow(QWidget *parent = nullptr);
    ~InstWindow() override;

    int nRefresh() const { return m_nRefresh; }
    void setNRefresh(int value) { m_nRefresh = value; }
    QString pathKavo() const { return m_pathKavo; }
    void setPathKavo(const QString &value) { m_pathKavo = value; }
    QString pathBook() const { return m_pathBook; }
    void setPathBook(const QString &value) { m_pathBook = value; }
    QString nameBook() const { return m_nameBook; }
    void setNameBook(const QString &value) { m_nameBook = value; }

    // Prepares the dialog and runs it modally; returns when it has been installed or cancelled.
    void showWindow();

private:
    int m_nRefresh = 0;
    QString m_pathKavo;
    QString m_pathBook;
    QString m_nameBook;
};
