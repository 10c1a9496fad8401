#pragma once

#include <QSqlDatabase>

#include <chrono>
#include <cstdint>

namespace zov {

// Frees a thread held by a PostgreSQL server that stopped answering. A frozen server
// keeps its sockets open and its kernel acknowledges every packet, so neither TCP
// keepalives nor a statement timeout (which the frozen server itself would have to
// enforce) end the wait. A statement watched here past its time limit gets its
// connection's socket shut down; libpq then reports the connection lost, and the
// caller sees a clear failure instead of waiting without end. One background thread
// serves the process. SQLite connections are never touched: their waits are bounded
// by the busy timeout.
class StatementWatchdog
{
public:
    using Clock = std::chrono::steady_clock;

    // Watches `db` from construction until destruction. `group` names whose
    // statement it is (an application server, say), for cutGroupAt.
    class Watch
    {
    public:
        Watch(const QSqlDatabase &db, Clock::time_point limit, std::uint64_t group = 0);
        ~Watch();
        Watch(const Watch &) = delete;
        Watch &operator=(const Watch &) = delete;
        // True when the watchdog cut the connection because the limit passed.
        bool cut() const;

    private:
        std::uint64_t m_id = 0;
    };

    // Every statement of `group` watched now or later is cut at `limit` at the latest:
    // a server that stops ends within its grace period whatever its calls wait for.
    static void cutGroupAt(std::uint64_t group, Clock::time_point limit);
};

// True when `db` is a PostgreSQL connection that libpq reports broken.
bool connectionBroken(const QSqlDatabase &db);

} // namespace zov
