// The dispatcher: one agent message in, one reply out.
#pragma once

namespace agent {

// Executes one agent message. `request` is the writable, NUL-terminated
// message (the SBMP arguments' separators are overwritten with NUL);
// `reply` is the caller's zeroed buffer of kReplyBufferSize bytes, which
// receives the reply and its NUL, or nothing at all when the libraries
// cannot be bound. Callable from several threads at once.
void DllLogic(char* request, char* reply);

}  // namespace agent
