// The LXI identification document (GET /lxi/identification): who the
// instrument is, as its *IDN? says, and where to reach it, as VISA resource
// strings. Plain data in, XML out: the HTTP face fills it from the boards.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "host_network.h"

namespace kestreld {

// The four fields of an IEEE 488.2 identity.
struct Identity {
  std::string manufacturer;
  std::string model;
  std::string serialNumber;
  std::string firmwareRevision;
};

// "Kestrel,Clock source board 4B31,1970324837128727,KestrelLib 2.2.1";
// missing fields stay empty.
Identity parseIdentity(std::string_view idn);

// How a board is reached: its SCPI port, and VXI-11 when that is served.
struct BoardAddress {
  std::string name;
  size_t index = 0;  // its VXI-11 device is inst<index>
  uint16_t scpiPort = 0;
};

// VXI-11 first (by index, then by name), then the raw socket.
std::vector<std::string> visaResources(const std::string& host, const BoardAddress& board, bool vxi11);

struct IdentificationPage {
  Identity identity;
  std::string description;  // the manufacturer's description of the product
  std::string userDescription;
  std::string baseUrl;  // http://host:port
  std::string hostname;
  InterfaceFacts network;
  std::vector<std::string> resources;
};

std::string identificationXml(const IdentificationPage& page);

std::string xmlEscaped(std::string_view text);

}  // namespace kestreld
