#include "HeldRemoval.h"

#include "FileSync.h"

void HeldRemoval::hold(FileDescriptor file)
{
    if (file.isValid())
        m_held.push_back(std::move(file));
}

bool HeldRemoval::remove(const char* name, FileDescriptor file)
{
    if (unlinkAt(m_directory, name) != 0)
        return false;
    hold(std::move(file));
    return true;
}

HeldRemoval::Flushed HeldRemoval::finish()
{
    Flushed flushed;
    flushed.names = syncDirectory(m_directory);
    const bool held = !m_held.empty();
    m_held.clear();
    if (!flushed.names)
        return flushed;
    flushed.clusters = !held || syncDirectory(m_directory);
    return flushed;
}
