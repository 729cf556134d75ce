#pragma once

#include <QString>

enum class RemovalResult {
    Removed, // gone, and the folder flushed to the device
    NotFlushed, // gone, but the folder could not be flushed: pulling the pen may bring it back
    Failed, // still there, or never inside the package folder
};

inline const QString RemoveFailedMessage = QStringLiteral("删除点读包失败！");
inline const QString RemoveNotFlushedMessage
    = QStringLiteral("点读包已删除，但未能写入点读笔，请检查点读笔后再拔出！");
// What the main window shows; empty for a removal that went through.
QString messageFor(RemovalResult result);

// Removes an installed package (a directory with its content) from the pen's package
// directory and flushes the directory. A symbolic link is removed itself, never followed, and
// nothing outside the package directory, or in a package directory that is no real folder on
// the pen, is touched.
RemovalResult removePackage(const QString& file, const QString& pathKavo);
