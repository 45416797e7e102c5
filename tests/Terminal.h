#pragma once
// A program run on a terminal, as a person at a terminal runs it: on POSIX a
// pseudo-terminal, on Windows a console (under Wine one needs an X display).
// What it shows can be waited for, keys typed (Ctrl+C as "\x03"), and its
// exit code read as a shell gives it: 128 + the signal for a killed program.

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QStringList>
#include <QThread>

#include <vector>
#ifdef Q_OS_WIN
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#endif

class Terminal {
public:
    explicit Terminal(const QStringList& arguments)
    {
#ifdef Q_OS_WIN
        // A console of this test's own, shared with the program; Ctrl+C typed
        // there is for the program, not for the test.
        static const bool console = [] {
            FreeConsole();
            const bool made = AllocConsole();
            SetConsoleCtrlHandler([](DWORD event) -> BOOL { return event == CTRL_C_EVENT; }, TRUE);
            return made;
        }();
        m_input = GetStdHandle(STD_INPUT_HANDLE);
        m_output = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        CONSOLE_SCREEN_BUFFER_INFO screen{};
        GetConsoleScreenBufferInfo(m_output, &screen);
        DWORD written = 0;
        FillConsoleOutputCharacterW(m_output, L' ', DWORD(screen.dwSize.X) * screen.dwSize.Y, {0, 0}, &written);
        SetConsoleCursorPosition(m_output, {0, 0});
        FlushConsoleInputBuffer(m_input);
        std::wstring line;
        for (const QString& argument : arguments)
            line += L"\"" + argument.toStdWString() + L"\" ";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        m_started = console && CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                              &startup, &m_process);
#else
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
#endif
    }
    ~Terminal()
    {
#ifdef Q_OS_WIN
        if (m_started) {
            CloseHandle(m_process.hProcess);
            CloseHandle(m_process.hThread);
        }
        CloseHandle(m_output);
#else
        ::close(m_fd);
#endif
    }
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    // All the program has shown so far.
    const QByteArray& seen()
    {
#ifdef Q_OS_WIN
        Read();  // the screen as it stands now
#endif
        return m_seen;
    }

    // Reads until `text` has been shown `times` times, or the program ends.
    bool WaitFor(const QByteArray& text, qsizetype times = 1)
    {
        while (m_seen.count(text) < times && Read()) {
        }
        return m_seen.count(text) >= times;
    }

    void Type(const QByteArray& keys)
    {
#ifdef Q_OS_WIN
        for (char key : keys) {
            if (key == '\x03') {
                GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
                continue;
            }
            INPUT_RECORD records[2]{};
            for (int i = 0; i < 2; ++i) {
                records[i].EventType = KEY_EVENT;
                records[i].Event.KeyEvent.bKeyDown = i == 0;
                records[i].Event.KeyEvent.wRepeatCount = 1;
                records[i].Event.KeyEvent.wVirtualKeyCode = key == '\n' ? VK_RETURN : 0;
                records[i].Event.KeyEvent.uChar.UnicodeChar = key == '\n' ? L'\r' : wchar_t(quint8(key));
            }
            DWORD written = 0;
            WriteConsoleInputW(m_input, records, 2, &written);
        }
#else
        [[maybe_unused]] const ssize_t n = ::write(m_fd, keys.constData(), size_t(keys.size()));
#endif
    }

    // True if what is typed is shown (echo on).
    bool EchoIsOn() const
    {
#ifdef Q_OS_WIN
        DWORD mode = 0;
        return GetConsoleMode(m_input, &mode) && (mode & ENABLE_ECHO_INPUT);
#else
        termios settings{};
        return ::tcgetattr(m_fd, &settings) == 0 && (settings.c_lflag & ECHO);
#endif
    }

    // Reads to the end and waits for the program: its exit code, 128 + the
    // signal for a program a signal ended (Ctrl+C: 130).
    int Finish()
    {
#ifdef Q_OS_WIN
        if (!m_started)
            return -1;
        WaitForSingleObject(m_process.hProcess, 60000);
        Read();
        DWORD code = 0;
        GetExitCodeProcess(m_process.hProcess, &code);
        return code == STATUS_CONTROL_C_EXIT ? 130 : int(code);
#else
        while (Read()) {
        }
        int status = 0;
        ::waitpid(m_child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
#endif
    }

#ifndef Q_OS_WIN
    pid_t pid() const { return m_child; }
#endif

private:
    // Takes in what the program has shown; false once it has ended (POSIX:
    // its terminal closed; Windows: after 20 s of waiting).
    bool Read()
    {
#ifdef Q_OS_WIN
        // The console's screen, read as it stands; the program runs on.
        CONSOLE_SCREEN_BUFFER_INFO screen{};
        GetConsoleScreenBufferInfo(m_output, &screen);
        QByteArray shown;
        std::vector<wchar_t> row(size_t(screen.dwSize.X));
        for (SHORT y = 0; y <= screen.dwCursorPosition.Y; ++y) {
            DWORD read = 0;
            ReadConsoleOutputCharacterW(m_output, row.data(), DWORD(row.size()), {0, y}, &read);
            shown += QString::fromWCharArray(row.data(), int(read)).trimmed().toUtf8() + '\n';
        }
        const bool changed = shown != m_seen;
        m_seen = shown;
        if (!m_clock.isValid())
            m_clock.start();
        if (WaitForSingleObject(m_process.hProcess, changed ? 0 : 50) == WAIT_OBJECT_0)
            return changed;
        return m_clock.elapsed() < 20000;
#else
        char buffer[4096];
        const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
        if (n > 0)
            m_seen.append(buffer, n);
        return n > 0;
#endif
    }

    QByteArray m_seen;
#ifdef Q_OS_WIN
    HANDLE m_input = nullptr;
    HANDLE m_output = nullptr;
    PROCESS_INFORMATION m_process{};
    bool m_started = false;
    QElapsedTimer m_clock;
#else
    int m_fd = -1;
    pid_t m_child = -1;
#endif
};
