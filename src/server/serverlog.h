#pragma once

namespace zov {

// The server's log on standard error, one line a message. Under journald (standard
// error is the stream JOURNAL_STREAM names) a line starts with its syslog priority
// ("<4>") and carries no time, which the journal keeps; otherwise it starts with the
// local time and its offset from UTC (2026-12-08T01:54:59.036-03:00). The category
// follows, then the text. Priorities: debug 7, info 6, the audit trail 5 (notice),
// warnings 4, critical 3, fatal 2. gRPC's own lines go through the same log, on the
// category zov.grpc.
void installServerLog();

} // namespace zov
