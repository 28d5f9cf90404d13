#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "InstallCommand.h"
#include "WizardRules.h"

namespace {

constexpr uint32_t kCamera = 0x0AD50768;  // 10.213.7.104

std::optional<InstallOptions> Parse(std::vector<std::string> args, std::string* error = nullptr) {
    std::string ignored;
    return ParseInstallOptions(args, error != nullptr ? error : &ignored);
}

TEST(InstallCommandTest, ArgumentsAreParsedStrictly) {
    const auto options =
        Parse({"02:5e:a1:cc:55:ba", "--ip", "10.213.7.50", "--mask=255.255.0.0", "--channel", "11", "--rate", "5.5",
               "--key-select", "4", "--key2", "k", "--ftp-port", "2121", "--findable"});
    ASSERT_TRUE(options);
    EXPECT_EQ(options->mac.Text(), "02-5E-A1-CC-55-BA");
    EXPECT_EQ(options->ip, 0x0AD50732u);
    EXPECT_EQ(options->mask, 0xFFFF0000u);
    EXPECT_EQ(options->channelIndex, 10);
    EXPECT_EQ(options->rateIndex, 2);
    EXPECT_EQ(options->keySelect, 3);
    EXPECT_EQ(options->keys[1], "k");
    EXPECT_EQ(options->ftpPort, 2121);
    EXPECT_TRUE(options->findable);
    EXPECT_EQ(options->seconds, 10);

    struct Bad {
        std::vector<std::string> args;
        const char* reason;
    };
    const std::vector<Bad> bad{
        {{"--ip", "10.0.0.1"}, "MAC address is missing"},
        {{"02-5E-A1-CC-55-BA"}, "--ip is missing"},
        {{"02-5E-A1-CC-55", "--ip", "10.0.0.1"}, "not a hardware address"},
        {{"02-5E-A1-CC-55-BA", "--ip", "10.0.0.256"}, "--ip wants"},
        {{"02-5E-A1-CC-55-BA", "--ip", "1.300.0.1"}, "--ip wants"},
        {{"02-5E-A1-CC-55-BA", "--ip", "10.0.0.1", "--channel", "12"}, "--channel wants"},
        {{"02-5E-A1-CC-55-BA", "--ip", "10.0.0.1", "--rate", "54"}, "--rate wants"},
        {{"02-5E-A1-CC-55-BA", "--ip", "10.0.0.1", "--ftp-port", "0"}, "--ftp-port wants"},
        {{"02-5E-A1-CC-55-BA", "--ip", "10.0.0.1", "--seconds"}, "Missing value"},
        {{"02-5E-A1-CC-55-BA", "00-11-22-33-44-55", "--ip", "10.0.0.1"}, "one MAC address only"},
        {{"02-5E-A1-CC-55-BA", "--ip", "10.0.0.1", "--colour", "red"}, "unknown argument"},
    };
    for (const Bad& b : bad) {
        std::string error;
        EXPECT_FALSE(Parse(b.args, &error)) << b.reason;
        EXPECT_NE(error.find(b.reason), std::string::npos) << error;
    }
}

TEST(InstallCommandTest, SettingsStartAsTheWizardPagesShowThem) {
    const InstallParams page = InstallParams::ForCamera(
        {.address = kCamera, .mask = 0, .gateway = 0x0AD50701, .dns1 = 0x0AD50701, .dns2 = 0x0AD50703});
    std::string message, caption;

    // Not wireless: the network page's values with the new address; wireless values as constructed.
    auto params =
        BuildInstallParams(*Parse({"02-5E-A1-CC-55-BA", "--ip", "10.213.7.50"}), page, false, &message, &caption);
    ASSERT_TRUE(params) << message;
    EXPECT_EQ(params->m_newAddress, 0x0AD50732u);
    EXPECT_EQ(params->m_subnetMask, 0xFFFFFF00u);  // a camera without a mask shows 255.255.255.0
    EXPECT_EQ(params->m_gateway, 0x0AD50701u);
    EXPECT_EQ(params->m_ssid, "");
    EXPECT_FALSE(params->m_installEnabled);
    EXPECT_FALSE(BuildInstallParams(*Parse({"02-5E-A1-CC-55-BA", "--ip", "10.213.7.50", "--encryption"}), page, false,
                                    &message, &caption));
    EXPECT_NE(message.find("not wireless"), std::string::npos);

    // Wireless: the page's first display, then the options; a chosen key length or format refills the keys.
    params = BuildInstallParams(*Parse({"02-5E-A1-CC-55-BA", "--ip", "10.213.7.50"}), page, true, &message, &caption);
    ASSERT_TRUE(params) << message;
    EXPECT_EQ(params->m_ssid, "default");
    EXPECT_EQ(params->m_channelIndex, 5);
    EXPECT_EQ(params->m_txRateIndex, 3);
    EXPECT_EQ(params->m_keyFormat, kKeyFormatHex);
    EXPECT_EQ(params->m_keys[0], "0000000000");
    EXPECT_FALSE(params->m_dataEncryption);
    params = BuildInstallParams(
        *Parse({"02-5E-A1-CC-55-BA", "--ip", "10.213.7.50", "--key-length", "128", "--key-format", "ascii"}), page,
        true, &message, &caption);
    ASSERT_TRUE(params) << message;
    EXPECT_EQ(params->m_keys[3], std::string(13, ' '));
}

TEST(InstallCommandTest, PagesRefuseWhatTheyWouldRefuse) {
    const InstallParams page =
        InstallParams::ForCamera({.address = kCamera, .mask = 0xFFFFFF00, .gateway = 0, .dns1 = 0, .dns2 = 0});
    struct Case {
        std::vector<std::string> args;
        std::string message;
        std::string caption;
    };
    const std::vector<Case> cases{
        {{"--ip", "0.0.0.0"}, kAddressOrMaskMessage, "Davuvive Zazezo"},
        {{"--ip", "10.213.7.50", "--mask", "0.0.0.0"}, kAddressOrMaskMessage, "Davuvive Zazezo"},
        {{"--ip", "10.213.7.255"}, kAddressOrMaskMessage, "Davuvive Zazezo"},  // the subnet's broadcast
        {{"--ip", "10.213.7.50", "--ssid", "two words"}, kInvalidSsidMessage, "Error"},
        {{"--ip", "10.213.7.50", "--ssid", std::string(33, 'a')}, kSsidTooLongMessage, "Error"},
        {{"--ip", "10.213.7.50", "--encryption", "--key1", "12345"}, KeyLengthMessage(1, 10), "Error"},
        {{"--ip", "10.213.7.50", "--encryption", "--key1", "ZZZZZZZZZZ"}, kInvalidHexMessage, "Error"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args{"02-5E-A1-CC-55-BA"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        std::string message, caption;
        EXPECT_FALSE(BuildInstallParams(*Parse(args), page, true, &message, &caption)) << c.message;
        EXPECT_EQ(message, c.message);
        EXPECT_EQ(caption, c.caption);
    }
    // A line break can never reach the camera's file through a key either.
    std::string message, caption;
    EXPECT_FALSE(BuildInstallParams(*Parse({"02-5E-A1-CC-55-BA", "--ip", "10.213.7.50", "--encryption", "--key-format",
                                            "ascii", "--key1", "ab\ncd"}),
                                    page, true, &message, &caption));
}

}  // namespace
