#pragma once

#include <QFile>
#include <QTemporaryFile>

#include <cstdio>
#include <unistd.h>

// What the loggers write to standard error while it is alive.
class CapturedStderr
{
public:
    CapturedStderr()
    {
        m_file.open();
        std::fflush(stderr);
        m_saved = dup(STDERR_FILENO);
        dup2(m_file.handle(), STDERR_FILENO);
    }
    ~CapturedStderr() { restore(); }

    // What has been written so far, capture going on.
    QByteArray peek()
    {
        QFile file(m_file.fileName());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    QByteArray text()
    {
        restore();
        m_file.seek(0);
        return m_file.readAll();
    }

private:
    void restore()
    {
        if (m_saved < 0)
            return;
        std::fflush(stderr);
        dup2(m_saved, STDERR_FILENO);
        close(m_saved);
        m_saved = -1;
    }

    QTemporaryFile m_file;
    int m_saved = -1;
};
