// The LXI identification document in tables: the identity taken from
// *IDN?, the VISA resource strings of a board, and the XML (its elements in
// the schema's order, escaped text).
#include <gtest/gtest.h>

#include "lxi_identification.h"

namespace kestreld {
namespace {

TEST(LxiIdentification, IdentityFieldsComeFromIdn) {
  const struct {
    const char* idn;
    Identity expected;
  } cases[] = {
      {"Kestrel,Clock source board 4B31,1970324837128727,KestrelLib 2.2.1",
       {"Kestrel", "Clock source board 4B31", "1970324837128727", "KestrelLib 2.2.1"}},
      {"Kestrel,Model,1,fw 1,beta", {"Kestrel", "Model", "1", "fw 1,beta"}},
      {"Kestrel,Model", {"Kestrel", "Model", "", ""}},
      {"", {"", "", "", ""}},
  };
  for (const auto& c : cases) {
    const Identity identity = parseIdentity(c.idn);
    EXPECT_EQ(identity.manufacturer, c.expected.manufacturer) << c.idn;
    EXPECT_EQ(identity.model, c.expected.model) << c.idn;
    EXPECT_EQ(identity.serialNumber, c.expected.serialNumber) << c.idn;
    EXPECT_EQ(identity.firmwareRevision, c.expected.firmwareRevision) << c.idn;
  }
}

TEST(LxiIdentification, ResourceStringsOfABoard) {
  const BoardAddress spare{"spare", 1, 5026};
  EXPECT_EQ(visaResources("10.0.0.7", spare, true),
            (std::vector<std::string>{"TCPIP::10.0.0.7::inst1::INSTR", "TCPIP::10.0.0.7::spare::INSTR",
                                      "TCPIP::10.0.0.7::5026::SOCKET"}));
  EXPECT_EQ(visaResources("10.0.0.7", spare, false), (std::vector<std::string>{"TCPIP::10.0.0.7::5026::SOCKET"}));
  EXPECT_EQ(visaResources("::1", spare, false), (std::vector<std::string>{"TCPIP::[::1]::5026::SOCKET"}));
}

TEST(LxiIdentification, DocumentHoldsTheSchemaElementsInOrder) {
  IdentificationPage page;
  page.identity = parseIdentity("Kestrel,Clock source board 4B31,1970324837128727,KestrelLib 2.2.1");
  page.description = "Kestrel clock-source board";
  page.userDescription = "bench (inst0)";
  page.baseUrl = "http://127.0.0.1:8080";
  page.hostname = "lab-pc";
  page.network = {"lo", 1, "127.0.0.1", false, "255.0.0.0", "00-00-00-00-00-00"};
  page.resources = visaResources("127.0.0.1", {"bench", 0, 5025}, true);
  const std::string xml = identificationXml(page);
  const char* inOrder[] = {
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>",
      "<LXIDevice xmlns=\"http://www.lxistandard.org/InstrumentIdentification/1.0\"",
      "<Manufacturer>Kestrel</Manufacturer>",
      "<Model>Clock source board 4B31</Model>",
      "<SerialNumber>1970324837128727</SerialNumber>",
      "<FirmwareRevision>KestrelLib 2.2.1</FirmwareRevision>",
      "<ManufacturerDescription>Kestrel clock-source board</ManufacturerDescription>",
      "<HomepageURL>http://127.0.0.1:8080/</HomepageURL>",
      "<UserDescription>bench (inst0)</UserDescription>",
      "<IdentificationURL>http://127.0.0.1:8080/lxi/identification</IdentificationURL>",
      "<Interface xsi:type=\"NetworkInformation\" InterfaceType=\"LXI\" IPType=\"IPv4\" InterfaceName=\"lo\">",
      "<InstrumentAddressString>TCPIP::127.0.0.1::inst0::INSTR</InstrumentAddressString>",
      "<InstrumentAddressString>TCPIP::127.0.0.1::bench::INSTR</InstrumentAddressString>",
      "<InstrumentAddressString>TCPIP::127.0.0.1::5025::SOCKET</InstrumentAddressString>",
      "<Hostname>lab-pc</Hostname>",
      "<IPAddress>127.0.0.1</IPAddress>",
      "<SubnetMask>255.0.0.0</SubnetMask>",
      "<MACAddress>00-00-00-00-00-00</MACAddress>",
      "<Gateway>0.0.0.0</Gateway>",
      "<DHCPEnabled>false</DHCPEnabled>",
      "<AutoIPEnabled>false</AutoIPEnabled>",
      "</Interface>",
      "<LXIVersion>1.5</LXIVersion>",
      "</LXIDevice>",
  };
  size_t at = 0;
  for (const char* part : inOrder) {
    const size_t found = xml.find(part, at);
    ASSERT_NE(found, std::string::npos) << part << "\nin\n" << xml;
    at = found + std::string(part).size();
  }
}

TEST(LxiIdentification, TextIsEscaped) {
  const std::pair<const char*, const char*> cases[] = {
      {"a&b", "a&amp;b"},   {"<bench>", "&lt;bench&gt;"}, {"\"q\" 'a'", "&quot;q&quot; &apos;a&apos;"},
      {"bell\x07", "bell"}, {"plain", "plain"},
  };
  for (const auto& [text, escaped] : cases) EXPECT_EQ(xmlEscaped(text), escaped) << text;
  IdentificationPage page;
  page.userDescription = "R&D <bench>";
  EXPECT_NE(identificationXml(page).find("<UserDescription>R&amp;D &lt;bench&gt;</UserDescription>"),
            std::string::npos);
}

}  // namespace
}  // namespace kestreld
