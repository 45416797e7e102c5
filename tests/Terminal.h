#pragma once
// A program run on a pseudo-terminal, as a person at a terminal runs it.

#include <QFile>
#include <QStringList>

#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

class Terminal {
public:
    explicit Terminal(const QStringList& arguments)
    {
        QList<QByteArray> argv;
        for (const QString& argument : arguments)
            argv << QFile::encodeName(argument);
        std::vector<char*> pointers;
        for (QByteArray& a : argv)
            pointers.push_back(a.data());
        pointers.push_back(nullptr);
        m_child = ::forkpty(&m_fd, nullptr, nullptr, nullptr);
        if (m_child == 0) {
            ::execv(pointers[0], pointers.data());
            ::_exit(127);
        }
    }
    ~Terminal() { ::close(m_fd); }
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    int fd() const { return m_fd; }
    // All the program has shown so far.
    const QByteArray& seen() const { return m_seen; }

    // Reads until `text` has been shown `times` times, or the program ends.
    bool WaitFor(const QByteArray& text, qsizetype times = 1)
    {
        while (m_seen.count(text) < times && Read()) {
        }
        return m_seen.count(text) >= times;
    }
    void Type(const QByteArray& keys) { [[maybe_unused]] const ssize_t n = ::write(m_fd, keys.constData(), size_t(keys.size())); }
    // Reads to the end and waits for the program; its status, as waitpid gives it.
    int Finish()
    {
        while (Read()) {
        }
        int status = 0;
        ::waitpid(m_child, &status, 0);
        return status;
    }

private:
    bool Read()
    {
        char buffer[4096];
        const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
        if (n > 0)
            m_seen.append(buffer, n);
        return n > 0;
    }

    int m_fd = -1;
    pid_t m_child = -1;
    QByteArray m_seen;
};
