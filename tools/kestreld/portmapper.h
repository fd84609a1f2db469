// The host's portmapper (rpcbind), as the VXI-11 face uses it: it maps an
// RPC program to one server's address at a time.
#pragma once

#include <cstdint>
#include <string>

struct netbuf;

namespace kestreld::vxi11 {

enum class Claim {
  Claimed,        // the program now maps to our address
  NoPortmapper,   // nothing answers on this host
  HeldElsewhere,  // a live server has it
  Refused,        // the portmapper would not take it (another server got there first)
};

// Registers the program for TCP at `address` (IPv4 or IPv6 with port). A
// registration whose server no longer accepts connections is taken over;
// `holder` then says whose it was, and on HeldElsewhere whose it is.
Claim claimProgram(uint32_t program, uint32_t version, const netbuf& address, std::string& holder);

// Withdraws what claimProgram registered for this address family.
void releaseProgram(uint32_t program, uint32_t version, const netbuf& address);

}  // namespace kestreld::vxi11
