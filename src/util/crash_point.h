// Fault injection for the tests of crash safety: every durable step of a
// commit (a file written, rows appended, a journal made or removed) passes a
// crash point. When the environment variable QAE_CRASH_AT holds N > 0, the
// process ends abruptly (as a kill -9 would leave it: no destructors, no
// flush) at the N-th crash point it passes, after naming it on stderr.
#pragma once

namespace qae {

void CrashPoint(const char* where);

}  // namespace qae
