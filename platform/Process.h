// This process and others, by their system number: what a record of an
// update names, and whether the process that wrote it still runs.
#pragma once

namespace platform {

long CurrentProcessId();
// Whether a process with this number runs now. A number the system has
// given to another process since also counts: a record can look unfinished
// for a while longer, never finished too early.
bool ProcessRunning(long pid);

}  // namespace platform
