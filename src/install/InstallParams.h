#pragma once

// The settings a camera receives in one installation: the new address (used by the install worker) and the
// values that the config.ini rewrite puts after their tags. Filled from the Setup Wizard's pages after Finish,
// or from the headless install command's options. Addresses are 32-bit values in host order, first octet most
// significant. Index values are 0-based as the wizard's lists hold them.

#include <cstdint>
#include <string>

#include "CameraRecord.h"
#include "SegmentSettings.h"

struct InstallParams {
    // Network page.
    uint32_t m_newAddress = 0;      // not written to the file
    bool m_installEnabled = false;  // "<install enabled>": the camera stays findable by the installer
    uint32_t m_subnetMask = 0;      // "<subnet mask>"
    uint32_t m_gateway = 0;         // "<gateway ip>"
    uint32_t m_primaryDns = 0;      // "<primary name server>"
    uint32_t m_secondaryDns = 0;    // "<secondary name server>"

    // Wireless page; these keep their initial values when the camera is not wireless.
    std::string m_ssid;             // "<SSID>", at most 32 characters
    int m_wirelessMode = 0;         // "<wireless mode>": 0 infrastructure, 1 ad hoc
    int m_channelIndex = 0;         // "<channel>": 0..10, written as index + 1
    int m_txRateIndex = 0;          // "<Tx rate>": 0..4 = 1M, 2M, 5.5M, 11M, 22M
    int m_preamble = 0;             // "<preamble>": 0 long, otherwise short
    bool m_dataEncryption = false;  // "<data encryption>"; when false the six tags below keep the file's values
    int m_authenticationIndex = 0;  // "<authentication mode>": 0 auto, 1 shared, 2 open
    int m_keyLengthIndex = 0;       // "<key length>": 0 64bit, 1 128bit, 2 256bit
    int m_keyFormat = 0;            // "<key format>": 0 ASCII, otherwise HEX
    int m_keySelect = 0;            // "<key select>": 0..3, written as index + 1
    std::string m_keys[4];          // "<key 1>" .. "<key 4>"

    // The initial values for a camera with its current settings: the new address is the current one, a mask of
    // 0 becomes 255.255.255.0, and a value the list shows empty reads as 255.255.255.255 (as an empty cell
    // always has); everything else as after construction.
    static InstallParams ForCamera(const CameraRecord& camera);
    // The same, except that a mask or gateway the camera shows as 0.0.0.0 (never seen, e.g. its acknowledgement
    // went to its MAC) takes the segment's, and so do both name servers when both show 0.0.0.0.
    static InstallParams ForCamera(const CameraRecord& camera, const SegmentSettings& segment);
};

// The mask used for a camera that reports none.
constexpr uint32_t kDefaultSubnetMask = 0xFFFFFF00u;
