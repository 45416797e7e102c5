#pragma once

#include <QIODevice>

// A device that serves or takes bytes until a budget is spent, then fails every
// read or write: a disk that fills up, or a source that breaks, part-way.
class FailingDevice : public QIODevice {
public:
    FailingDevice(QByteArray content, qint64 failAfter) : m_content(std::move(content)), m_budget(failAfter)
    {
        open(QIODevice::ReadWrite | QIODevice::Unbuffered);
    }
    bool isSequential() const override { return true; }
    const QByteArray& written() const { return m_written; }

protected:
    qint64 readData(char* data, qint64 maxSize) override
    {
        const qint64 n = std::min({maxSize, m_budget, qint64(m_content.size()) - m_readPos});
        if (n <= 0 && m_budget <= 0) {
            setErrorString(QStringLiteral("Input/output error"));
            return -1;
        }
        std::copy_n(m_content.constData() + m_readPos, n, data);
        m_readPos += n;
        m_budget -= n;
        return n;
    }
    qint64 writeData(const char* data, qint64 maxSize) override
    {
        const qint64 n = std::min(maxSize, m_budget);
        if (n <= 0) {
            setErrorString(QStringLiteral("No space left on device"));
            return -1;
        }
        m_written.append(data, n);
        m_budget -= n;
        return n;
    }

private:
    QByteArray m_content;
    QByteArray m_written;
    qint64 m_budget;
    qint64 m_readPos = 0;
};
