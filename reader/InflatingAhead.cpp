#include "InflatingAhead.h"

#include <algorithm>

namespace archive {
namespace {
// At most this much inflated data, in at most this many entries, waits for
// the reader (or one entry, when a single entry is larger). Once held back by
// that, the helpers go on when the reader has taken half of it: fewer
// wake-ups, and the buffers it is done with come back to them.
constexpr qint64 AheadBytes = qint64(32) << 20;
constexpr size_t AheadEntries = 256;
}  // namespace

InflatingAhead::InflatingAhead(ZipArchive& zip, const QList<int>& order) : m_zip(zip), m_order(order)
{
    m_slots.resize(size_t(m_order.size()));
    m_helpers.Start(Parallel::Threads(m_order.size(), 1), [this] { Work(); });
}

InflatingAhead::~InflatingAhead()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_room.notify_all();
    m_helpers.Join();  // Work throws nothing: a failure is the reader's own Open's
}

qint64 InflatingAhead::Held(size_t slot) const
{
    return m_zip.Entries().at(m_order[qsizetype(slot)]).size;
}

void InflatingAhead::Work()
{
    std::unique_ptr<ZipArchive> archive;  // a handle of this thread's own
    ReadBuffers kept;                     // compressed bytes and the inflater, kept from entry to entry
    const auto swapKept = [&](ReadBuffers& buffers) {
        std::swap(buffers.raw, kept.raw);
        std::swap(buffers.inflater, kept.inflater);
    };
    std::unique_lock lock(m_mutex);
    for (;;) {
        // The slot the reader waits on is taken whatever is held.
        if (!m_stopping && m_next < m_slots.size() && m_next != m_reading &&
            (m_next - m_reading >= AheadEntries || m_inFlight + Held(m_next) > AheadBytes)) {
            m_heldBack = true;
            m_room.wait(lock, [&] { return m_stopping || !m_heldBack; });
        }
        if (m_stopping || m_next == m_slots.size())
            return;
        const size_t s = m_next++;
        Slot& slot = m_slots[s];
        slot.state = Slot::Working;
        m_inFlight += Held(s);
        if (!m_spare.empty()) {
            slot.buffers.data = std::move(m_spare.back());
            m_spare.pop_back();
        }
        lock.unlock();
        Slot::State done = Slot::Ready;
        swapKept(slot.buffers);  // lent to the slot while it is inflated
        try {
            if (!archive)
                archive = m_zip.Another();
            archive->Inflate(m_order[qsizetype(s)], slot.buffers);
        } catch (...) {
            done = Slot::NotTaken;  // the reader's own Open finds it again, and says why
        }
        swapKept(slot.buffers);
        lock.lock();
        slot.state = done;
        m_ready.notify_one();
    }
}

void InflatingAhead::Release(size_t s)
{
    Slot& slot = m_slots[s];
    m_inFlight -= Held(s);
    if (slot.buffers.data.capacity() > 0 && m_spare.size() <= size_t(m_helpers.Started()))  // enough for the helpers' next slots
        m_spare.push_back(std::move(slot.buffers.data));
    slot.buffers = {};
}

std::unique_ptr<EntryReader> InflatingAhead::Open(int index)
{
    std::unique_lock lock(m_mutex);
    // The slots before the entry are done with: the one opened before, and
    // any passed over (once its helper has finished with it).
    while (m_reading < m_slots.size() && m_order[qsizetype(m_reading)] < index) {
        m_ready.wait(lock, [&] { return m_slots[m_reading].state != Slot::Working; });
        if (m_slots[m_reading].state == Slot::Waiting)
            m_next = std::max(m_next, m_reading + 1);  // never taken, and now never will be
        else
            Release(m_reading);
        ++m_reading;
    }
    // The helpers go on once half of what held them back is taken, or at
    // once if the reader would wait on a slot not yet taken.
    if (m_heldBack && (m_next == m_reading || (m_next - m_reading <= AheadEntries / 2 && m_inFlight <= AheadBytes / 2))) {
        m_heldBack = false;
        m_room.notify_all();
    }
    // Where no helper could be started, every entry is read on this thread.
    if (m_reading == m_slots.size() || m_order[qsizetype(m_reading)] != index || m_helpers.Started() == 0)
        return m_zip.Open(index);
    Slot& slot = m_slots[m_reading];
    m_ready.wait(lock, [&] { return slot.state == Slot::Ready || slot.state == Slot::NotTaken; });
    if (slot.state == Slot::NotTaken)
        return m_zip.Open(index);
    return m_zip.OpenInflated(index, slot.buffers);
}

}  // namespace archive
