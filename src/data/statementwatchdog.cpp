#include "statementwatchdog.h"

#include <QSqlDriver>
#include <QVariant>

#include <libpq-fe.h>
#include <sys/socket.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

namespace zov {

namespace {

PGconn *pgConnection(const QSqlDatabase &db)
{
    if (!db.isValid() || !db.driver())
        return nullptr;
    const QVariant handle = db.driver()->handle();
    // the driver hands out the libpq connection (its type is named after the struct)
    if (!handle.isValid() ||
        (qstrcmp(handle.typeName(), "PGconn*") != 0 && qstrcmp(handle.typeName(), "pg_conn*") != 0))
        return nullptr;
    return *static_cast<PGconn *const *>(handle.constData());
}

class Watchdog
{
public:
    using Clock = StatementWatchdog::Clock;

    static Watchdog &instance()
    {
        // never destroyed: statements may still be watched while the process exits
        static Watchdog *watchdog = new Watchdog;
        return *watchdog;
    }

    std::uint64_t add(int socket, Clock::time_point limit, std::uint64_t group)
    {
        std::lock_guard lock(m_mutex);
        const std::uint64_t id = ++m_lastId;
        m_entries[id] = {socket, limit, group, false};
        if (!m_thread.joinable())
            m_thread = std::thread([this] { run(); });
        // woken only for a limit before the one it waits for: a statement of a call
        // costs no switch to this thread
        if (limit < m_waitingUntil)
            m_wake.notify_one();
        return id;
    }

    void remove(std::uint64_t id)
    {
        std::lock_guard lock(m_mutex);
        m_entries.erase(id);
    }

    bool cut(std::uint64_t id)
    {
        std::lock_guard lock(m_mutex);
        const auto it = m_entries.find(id);
        return it != m_entries.end() && it->second.cut;
    }

    void cutGroupAt(std::uint64_t group, Clock::time_point limit)
    {
        std::lock_guard lock(m_mutex);
        auto [it, added] = m_groupLimits.emplace(group, limit);
        if (!added)
            it->second = std::min(it->second, limit);
        if (!m_thread.joinable())
            m_thread = std::thread([this] { run(); });
        m_wake.notify_one();
    }

private:
    struct Entry
    {
        int socket;
        Clock::time_point limit;
        std::uint64_t group;
        bool cut;
    };

    Clock::time_point limitOf(const Entry &e) const
    {
        const auto group = m_groupLimits.find(e.group);
        return group == m_groupLimits.end() ? e.limit : std::min(e.limit, group->second);
    }

    void run()
    {
        std::unique_lock lock(m_mutex);
        for (;;) {
            const Clock::time_point now = Clock::now();
            Clock::time_point next = Clock::time_point::max();
            for (auto &[id, e] : m_entries) {
                const Clock::time_point limit = limitOf(e);
                if (e.cut)
                    continue;
                if (limit <= now) {
                    // the thread blocked on this socket wakes with the connection lost
                    ::shutdown(e.socket, SHUT_RDWR);
                    e.cut = true;
                } else {
                    next = std::min(next, limit);
                }
            }
            m_waitingUntil = next;
            if (next == Clock::time_point::max())
                m_wake.wait(lock);
            else
                m_wake.wait_until(lock, next);
            m_waitingUntil = Clock::time_point::min(); // awake: it sees every entry
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::map<std::uint64_t, Entry> m_entries;
    std::uint64_t m_lastId = 0;
    // when the thread wakes next by itself
    Clock::time_point m_waitingUntil = Clock::time_point::min();
    std::map<std::uint64_t, Clock::time_point> m_groupLimits;
    std::thread m_thread;
};

} // namespace

StatementWatchdog::Watch::Watch(const QSqlDatabase &db, Clock::time_point limit,
                                std::uint64_t group)
{
    PGconn *connection = pgConnection(db);
    const int socket = connection ? PQsocket(connection) : -1;
    if (socket >= 0)
        m_id = Watchdog::instance().add(socket, limit, group);
}

StatementWatchdog::Watch::~Watch()
{
    if (m_id != 0)
        Watchdog::instance().remove(m_id);
}

bool StatementWatchdog::Watch::cut() const
{
    return m_id != 0 && Watchdog::instance().cut(m_id);
}

void StatementWatchdog::cutGroupAt(std::uint64_t group, Clock::time_point limit)
{
    Watchdog::instance().cutGroupAt(group, limit);
}

bool connectionBroken(const QSqlDatabase &db)
{
    PGconn *connection = pgConnection(db);
    return connection && PQstatus(connection) == CONNECTION_BAD;
}

} // namespace zov
