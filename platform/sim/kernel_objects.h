// For the simulated devices: how a simulated thread is ended by TerminateThread.
#pragma once

namespace sim {

// Thrown inside a simulated thread that TerminateThread has ended, at its next
// wait, sleep or termination point; the thread's start routine unwinds and the
// thread exits with the code given to TerminateThread. A thread spinning without
// ever waiting cannot be ended this way.
struct ThreadTerminated {};

// A device call that blocks on behalf of a test calls this while it blocks.
void terminationPoint();

}  // namespace sim
