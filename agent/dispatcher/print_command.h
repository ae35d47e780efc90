// The PRNT command: a UTF-8 text printed through the print component.
#pragma once

#include "dispatcher/agent_message.h"
#include "dispatcher/link_binding.h"

namespace agent {

// A print request: "VEVU" at offset 4 or 5 and "PRNT" at 16, 17 or 18.
bool IsPrintRequest(const Request& request);

void RunPrintCommand(const Request& request, const LinkBinding& binding, int port, int baud,
                     Reply& reply);

}  // namespace agent
