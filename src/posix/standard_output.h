// Standard output of the runtime stand-in: the text that printf and puts
// write to stdout is held here and written to descriptor 1 by the flushes
// below, never through the C library's stream, so that no lock of that
// stream can keep the console control thread waiting.
//
// Into a pipe, a terminal or a socket, text goes out in writes of whole
// lines of at most PIPE_BUF bytes, which the kernel takes whole or not at
// all: a process ended while such a write waits leaves no half line behind.
// A line longer than PIPE_BUF goes out in one write of its own.
//
// A write that fails because the reader has left (EPIPE, which only comes
// when SIGPIPE is ignored or blocked) ends the process with status 1 and one
// line on standard error, as a Unix filter ends. Any other failure is told
// once on standard error and the text is dropped.
#pragma once

#include <cstddef>

namespace posix {

// Adds text to what is held for standard output.
void HoldOutput(const char* text, size_t size);

// fflush(stdout): writes what is held. While the message loop dispatches one
// message and more are queued for it, the text may instead stay held, to go
// out in one write with the lines of those messages; GetMessageA writes it
// before the loop would wait.
void FlushOutput();

// Writes what is held, now.
void WriteHeldOutput();

// The end of the process, on the console control thread: writes what is held
// if no other thread is writing and standard output takes it within the time
// given. Never waits longer than that.
void WriteHeldOutputWithin(int milliseconds);

// Whether the calling thread is inside DispatchMessageA; set by it.
void SetDispatching(bool dispatching);

// A write that has to wait for the reader of standard output is a stall.
// While one lasts, OutputStalled() is true and OutputStallFd() is readable,
// so a thread that leaves work to the writer's thread can take it back.
// Into a pipe or a socket a write first tries not to wait, and so sees a
// stall coming; into a regular file none happens. OutputStallsTold() is
// true once that is known: until the first write into a pipe or a socket,
// and always into a terminal, a stall may come untold.
bool OutputStallsTold();
bool OutputStalled();
int OutputStallFd();

}  // namespace posix
