// The security that the service's pipes are created with. Without it a pipe made by the local
// system account lets other users read only, so a standard user's client is refused; with it
// every interactive user and every service may connect, read and write, while only the local
// system account and administrators may create further instances of the name.
#pragma once

namespace pipe_security {

// A SECURITY_ATTRIBUTES (as void*, so that this header stays free of Windows types) valid for
// the life of the process; null when the descriptor cannot be built. Windows only.
void* clientsMayConnect();

}  // namespace pipe_security
