#include "lxi_identification.h"

#include <array>

namespace kestreld {

namespace {

constexpr const char* kNamespace = "http://www.lxistandard.org/InstrumentIdentification/1.0";
constexpr const char* kLxiVersion = "1.5";

std::string element(const char* name, std::string_view value, const char* indent = "  ") {
  return std::string(indent) + "<" + name + ">" + xmlEscaped(value) + "</" + name + ">\n";
}

std::string interfaceElement(const IdentificationPage& page) {
  const InterfaceFacts& net = page.network;
  std::string xml = std::string("  <Interface xsi:type=\"NetworkInformation\" InterfaceType=\"LXI\" IPType=\"") +
                    (net.ipv6 ? "IPv6" : "IPv4") + "\" InterfaceName=\"" + xmlEscaped(net.name) + "\">\n";
  const char* inner = "    ";
  for (const std::string& resource : page.resources) xml += element("InstrumentAddressString", resource, inner);
  xml += element("Hostname", page.hostname, inner);
  xml += element("IPAddress", net.address, inner);
  xml += element("SubnetMask", net.subnetMask, inner);
  xml += element("MACAddress", net.macAddress, inner);
  xml += element("Gateway", net.ipv6 ? "::" : "0.0.0.0", inner);
  // The daemon does not configure the host's network: it reports no address methods of its own.
  xml += element("DHCPEnabled", "false", inner);
  xml += element("AutoIPEnabled", "false", inner);
  return xml + "  </Interface>\n";
}

}  // namespace

Identity parseIdentity(std::string_view idn) {
  std::array<std::string, 4> fields;
  for (size_t i = 0; i < fields.size(); ++i) {
    // The last field keeps any further commas.
    const size_t comma = i + 1 < fields.size() ? idn.find(',') : std::string_view::npos;
    fields[i] = std::string(idn.substr(0, comma));
    if (comma == std::string_view::npos) break;
    idn.remove_prefix(comma + 1);
  }
  return {fields[0], fields[1], fields[2], fields[3]};
}

std::vector<std::string> visaResources(const std::string& host, const BoardAddress& board, bool vxi11) {
  const std::string prefix = "TCPIP::" + (host.find(':') == std::string::npos ? host : "[" + host + "]") + "::";
  std::vector<std::string> resources;
  if (vxi11) {
    resources.push_back(prefix + "inst" + std::to_string(board.index) + "::INSTR");
    resources.push_back(prefix + board.name + "::INSTR");
  }
  resources.push_back(prefix + std::to_string(board.scpiPort) + "::SOCKET");
  return resources;
}

std::string identificationXml(const IdentificationPage& page) {
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  xml +=
      std::string("<LXIDevice xmlns=\"") + kNamespace + "\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">\n";
  xml += element("Manufacturer", page.identity.manufacturer);
  xml += element("Model", page.identity.model);
  xml += element("SerialNumber", page.identity.serialNumber);
  xml += element("FirmwareRevision", page.identity.firmwareRevision);
  xml += element("ManufacturerDescription", page.description);
  xml += element("HomepageURL", page.baseUrl + "/");
  xml += element("UserDescription", page.userDescription);
  xml += element("IdentificationURL", page.baseUrl + "/lxi/identification");
  xml += interfaceElement(page);
  xml += element("LXIVersion", kLxiVersion);
  return xml + "</LXIDevice>\n";
}

std::string xmlEscaped(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        // Control characters have no place in XML 1.0 text.
        if (static_cast<unsigned char>(c) >= 0x20 || c == '\t' || c == '\n') out += c;
    }
  }
  return out;
}

}  // namespace kestreld
