// Looking for the terminal when the configuration names no port or baud
// rate: a raw command "***" to every listed serial port at a series of baud
// rates, until one port acknowledges.
#pragma once

#include <string>

#include "Telquin.h"

namespace agent {

// The terminal probe that start-up, the port search and the settings
// dialog make: the raw command "***" with an acknowledgement time-out of
// 5 seconds, through `request` (the link library's ReqToCat_WS). Only its
// result counts: 1 when the terminal acknowledged. One whole exchange.
int ProbeTerminal(ReqToCat_WS_fn request, int port, int baud);

// Binds the link library's ReqToCat_WS for the duration of the search,
// probes the ports the system lists and returns:
//    1  a probe was acknowledged: *port and *baud get its port number and
//       baud rate;
//   -1  no port is listed, or none acknowledged at any rate;
//    0  the link library or its entry cannot be bound (shown in a box and
//       logged).
// The outputs are written only on 1. Runs on the caller's thread; a silent
// port costs about half a minute. Every probe is a whole exchange of the
// link library, so nothing else may use the terminal meanwhile.
int SearchPortForCat(int* port, int* baud);

// The port number of a listed name: the decimal value of the digits after
// "COM" (letter case ignored), or 0 when the name is not "COM" and 1 to 9
// digits. A port numbered 0 is not probed.
int SearchedPortNumber(const std::string& name);

}  // namespace agent
