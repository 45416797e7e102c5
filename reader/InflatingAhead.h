#pragma once

#include "ZipReader.h"
#include "base/Parallel.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

namespace archive {

// Inflates the entries a reader will open next, on every core and a bounded
// amount ahead of it, so that reading an archive's entries in order waits on
// no inflation. Only entries inflated whole are taken; the checks on what is
// read stay those of ZipArchive::Open.
class InflatingAhead {
public:
    // `order`: the entries to be opened, in the order they will be.
    InflatingAhead(ZipArchive& zip, const QList<int>& order);
    ~InflatingAhead();
    InflatingAhead(const InflatingAhead&) = delete;
    InflatingAhead& operator=(const InflatingAhead&) = delete;

    // The entry's reader, as ZipArchive::Open gives it (which is asked for an
    // entry not taken ahead, or one whose local header is damaged). Entries
    // are opened in `order`, one at a time; one left out is passed over.
    std::unique_ptr<EntryReader> Open(int index);

private:
    struct Slot {
        enum State { Waiting, Working, Ready, NotTaken } state = Waiting;
        ReadBuffers buffers;
    };
    void Work();
    qint64 Held(size_t slot) const;  // the memory its entry's bytes take
    void Release(size_t slot);       // that memory back for reading ahead

    ZipArchive& m_zip;
    const QList<int> m_order;
    std::vector<Slot> m_slots;          // one per entry of m_order
    std::mutex m_mutex;
    std::condition_variable m_ready;    // a slot the reader waits on is ready
    std::condition_variable m_room;     // the helpers may go on ahead
    bool m_heldBack = false;            // the helpers wait for room
    size_t m_next = 0;                  // the next slot to be taken by a helper
    size_t m_reading = 0;               // the slot the reader is on: those before are done with
    qint64 m_inFlight = 0;              // bytes held by slots taken and not yet released
    std::vector<QByteArray> m_spare;    // released buffers, for the next slots
    bool m_stopping = false;
    Parallel m_helpers;
};

}  // namespace archive
