#pragma once

namespace velkaro::end_signals {

// The signals that end the program at a word from the user or the session
// (kEndSignals: kill, Ctrl+C, a closed terminal, a logout) become a byte on
// a pipe, for the main thread to read when it is ready: a probe that holds
// a port puts it back before the program ends. Installed once, on the main
// thread, before any probe; false if the pipe cannot be made.
bool Install();
// Readable once one of them came; -1 before Install.
int ReadEnd();
// The first of them that came, or 0.
int Caught();
// Once no port can be held any more: the signals take their default action
// again, and one that came meanwhile ends the program now.
void Done();
// Ends the program as the signal would have, had it not been caught, so
// that a shell tells it the same way (143, 130, 129).
[[noreturn]] void EndAsSignalled(int signal);

}  // namespace velkaro::end_signals
