#pragma once

#include "ListData.h"
#include "PenBackup.h"

#include <QList>
#include <QString>
#include <QStringList>

// Restoring a backup onto a pen and copying packages from one pen to another go the same way:
// a list of package files, a plan of the name each gets on the pen (chosen by the user where
// its own name is taken), one space check for the whole set, then one install per package that
// copies it unchanged, flushes it and reads it back before it gets its name.

// What stopped a restore or copy, or made it incomplete.
enum class TransferProblem {
    None,
    NoPen, // the pen's package folder cannot be opened
    NoSpace,
    PenGone,
    LeftBehind, // a file under a package name could not be removed after a failed copy
    Failed,
};

// One package to put on the pen.
struct TransferItem {
    QString sourcePath; // the file on the computer or on the other pen
    QString name; // its installed name, e.g. "012.dar"
    QString title; // its own title field
    qint64 size = 0;
    QString sha256; // from a backup's manifest: the source must still hold it; empty: not checked
};

// What a backup folder offers to restore.
enum class BackupListing {
    Ok, // a manifest that lists packages
    NoManifest, // no backup: the folder has no manifest
    Unreadable, // a manifest that cannot be read or makes no sense
    Empty, // a manifest that lists no package
};

// The packages of a backup folder, from its manifest; `listing` says why there are none.
QList<TransferItem> itemsFromBackup(const QString& folder, BackupListing* listing = nullptr);
// The packages of book rows of a pen (the rows selected in the table). Rows that are no
// package file on the pen (links, folders) or lie in a subfolder are left out and named in
// `refused`.
QList<TransferItem> itemsFromRows(
    const BookList& rows, const QString& pathKavo, QStringList* refused = nullptr);

struct PlannedItem {
    enum class Choice { OwnName, NextFree, Skip };
    TransferItem item;
    bool ownNameTaken = false;
    // The name the package gets if the user moves it: the next free book sticker number for its
    // kind, as the install dialog proposes it. Empty when it cannot be moved: a shared package
    // (its number is what another package refers to, and a sticker change refuses it), an
    // extension no package kind has, or no free number.
    QString nextFreeName;
    Choice choice = Choice::OwnName; // Skip for a taken name until the user chooses
    QString targetName() const;
};

// Plans the names on the pen whose package directory is `pathKavo`. A package whose own name is
// free there gets it; one whose name is taken (letter case ignored, as FAT does) is skipped
// unless the user chooses its next free name. Names proposed within one plan never collide.
QList<PlannedItem> planTransfer(const QList<TransferItem>& items, const QString& pathKavo);

struct TransferOptions {
    InstallOptions install;
    TransferProgress progress;
    std::function<bool()> cancelled; // asked between packages
    // Whether the pen can still be read after a failed copy: it decides between carrying on
    // and stopping with the message that the pen is gone.
    std::function<bool(const QString& pathKavo)> penPresent;
};

// A package put on the pen.
struct CopiedPackage {
    QString name; // its own name
    QString target; // the name it got: its own, or the next free one the user chose
};

// A package left out.
struct SkippedPackage {
    QString name;
    // A shared package is left out when the package it names (this one) goes under another
    // number or not at all; empty for any other reason.
    QString sharedTarget;
};

struct TransferReport {
    TransferProblem problem = TransferProblem::None; // None: every chosen package is on the pen, or cancelled
    bool cancelled = false;
    QList<CopiedPackage> restored;
    QList<SkippedPackage> skipped;
    QStringList failed;
};

// Copies the planned packages onto the pen. The space for all of them is checked first; a
// package is installed unchanged (header included) under its planned name, never replacing
// anything. A backup file that no longer matches its manifest is not copied. A pen that goes
// away stops the run; what was not copied is named as failed.
TransferReport runTransfer(
    const QList<PlannedItem>& plan, const QString& pathKavo, const TransferOptions& options = {});
