#include "settings/AddressOrder.h"
#include "settings/ConfigKeys.h"
#include "support/ConfigFolder.h"

namespace {

class ConfiguredOrder : public ConfigFolderTest {
protected:
    void SetUp() override
    {
        ConfigFolderTest::SetUp();
        EnsureConfigurationKeys();
    }
    TRegistry1632 reg;
};

} // namespace

TEST_F(ConfiguredOrder, TheStoredTextPicksTheFamilyOrderAndAnythingElseIsTheSystems)
{
    EXPECT_EQ(ConfiguredAddressOrder(reg), AddressOrder::System) << "never stored";
    const std::pair<const char*, AddressOrder> stored[] = {
        {"ipv4", AddressOrder::IPv4First}, {"IPv6", AddressOrder::IPv6First}, {" ipv6 ", AddressOrder::IPv6First},
        {"system", AddressOrder::System},  {"", AddressOrder::System},         {"ipv5", AddressOrder::System}};
    for (const auto& [text, order] : stored) {
        reg.WriteKeyLM(ConfigPath, "address_order", text);
        EXPECT_EQ(ConfiguredAddressOrder(reg), order) << text;
    }
    for (AddressOrder order : {AddressOrder::System, AddressOrder::IPv4First, AddressOrder::IPv6First})
        EXPECT_EQ(AddressOrderFromText(AddressOrderText(order)), order);
}
