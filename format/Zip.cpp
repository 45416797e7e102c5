#include "Zip.h"

#include "platform/platform.h"

#include <QUtf8StringView>

#include <algorithm>

namespace zipformat {

quint32 DosTime(time_t modified)
{
    std::tm local{};
    const time_t even = ZipDatable(time_t((modified + 1) & ~time_t(1)));
    if (!platform::LocalTime(even, local) || local.tm_year < 80)
        return (1 << 21) | (1 << 16);  // 1980-01-01 00:00:00
    if (local.tm_year > 207)
        return (127u << 25) | (12 << 21) | (31 << 16) | (23 << 11) | (59 << 5) | 29;
    return (quint32(local.tm_year - 80) << 25) | (quint32(local.tm_mon + 1) << 21) | (quint32(local.tm_mday) << 16) |
           (quint32(local.tm_hour) << 11) | (quint32(local.tm_min) << 5) | quint32(local.tm_sec / 2);
}

time_t ZipDatable(time_t modified)
{
    return std::min(modified, LatestDatable);
}

bool NeedsUtf8Flag(const QByteArray& name)
{
    const bool ascii = std::all_of(name.cbegin(), name.cend(), [](char c) { return quint8(c) < 0x80; });
    return !ascii && QUtf8StringView(name).isValidUtf8();
}

}  // namespace zipformat
