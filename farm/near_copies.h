// The near copies of one farm cache: texts this process read from the farm,
// kept in process so that the next read of the same entry needs no round
// trip, for as long as the server's invalidation messages (see
// invalidation_channel.h) say nothing changed them.
//
// A copy is only ever the answer of a read that raced nothing:
// - Live. Copies are kept only while the channel that carries the server's
//   invalidations is subscribed (SetLive). Every change of that state, and
//   every wholesale drop, starts a new epoch; a read begun in an earlier
//   epoch keeps nothing, as an invalidation meant for it may have been lost.
// - Marked before sent. BeginRead is called before the read goes out. An
//   invalidation of the user that comes before EndRead voids the read: its
//   answer may predate the change, so it is returned to its caller but not
//   kept.
// - One filler per user. The first read of a user without a copy fills it;
//   reads of that user that begin meanwhile go to the farm too but keep
//   nothing. Their answers still count: one that differs from the filler's,
//   or from a copy kept meanwhile, proves that the entry changed during the
//   reads (its invalidation is still on the way), so the filler keeps
//   nothing and the copy goes. So no reader sees a text older than one it,
//   or any reader before it, was given.
// Only texts are kept; an absent entry is read from the farm every time.
//
// At most `capacity` copies, the oldest kept dropped first (0: none kept).
// Thread-safe. One lock, taken last: the channel calls in while holding its
// own, and nothing here calls out while holding this one.
#pragma once

#include "support/owned_lock.h"

#include <chrono>
#include <cstddef>
#include <list>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace qc::farm {

class NearCopies {
public:
    using Clock = std::chrono::steady_clock;

    // A read of the farm in flight, from BeginRead; one that ends without
    // End (the read threw) keeps nothing and lets the next read fill.
    class Read {
    public:
        Read(Read&& other) noexcept;
        Read& operator=(Read&&) = delete;
        Read(const Read&) = delete;
        ~Read();
        // The farm's answer: the text, or none when it had no entry. Keeps a
        // copy when the rules above allow it. Once only.
        void End(const std::string* text);

    private:
        friend class NearCopies;
        Read(NearCopies* copies, std::string user, unsigned long long epoch, bool fills)
            : m_copies(copies), m_user(std::move(user)), m_epoch(epoch), m_fills(fills) {}

        NearCopies* m_copies;  // null once ended
        std::string m_user;
        unsigned long long m_epoch;
        bool m_fills;  // false when it rides along another read's fill
    };

    explicit NearCopies(std::size_t capacity) : m_capacity(capacity) {}
    NearCopies(const NearCopies&) = delete;
    NearCopies& operator=(const NearCopies&) = delete;

    HRESULT Status() const { return m_lock.Status(); }

    // Whether there is a copy of the user's entry, and its text.
    bool Find(std::string_view user, std::string* text);
    // Call before the read of the user's entry is sent.
    Read BeginRead(std::string_view user);
    // The user's entry changed on the farm, or this process changed it.
    void Invalidate(std::string_view user);
    // Every copy goes, and every read in flight keeps nothing.
    void DropAll();
    // Whether the server can tell of changes now; either way a new epoch.
    void SetLive(bool live);
    // Drops the copies kept `age` ago or earlier.
    void DropOlderThan(std::chrono::milliseconds age);
    std::size_t Size();

private:
    struct Copy {
        std::string text;
        Clock::time_point kept;
        std::list<const std::string*>::iterator place;  // in m_order
    };
    // The filling read of one user, and what other reads of the user saw meanwhile.
    struct Fill {
        bool voided = false;
        bool seen = false;                  // a rider's answer came
        std::optional<std::string> first;   // the first such answer
        bool mixed = false;                 // and one differed from it
    };

    // REQUIRES: m_lock, for each of these.
    void Keep(const std::string& user, const std::string& text);
    void Erase(std::unordered_map<std::string, Copy>::iterator copy);
    void NewEpoch();
    void Finish(Read& read, const std::string* text, bool answered);

    const std::size_t m_capacity;
    OwnedLock m_lock;
    // Guarded by m_lock:
    std::unordered_map<std::string, Copy> m_copies;
    std::list<const std::string*> m_order;  // the users of m_copies, the oldest kept first
    std::unordered_map<std::string, Fill> m_fills;
    unsigned long long m_epoch = 0;
    bool m_live = false;
};

}  // namespace qc::farm
