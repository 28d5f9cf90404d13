#pragma once

// Shared by the app's widget tests: a discovery environment that stays on loopback, and a way to act on the
// modal dialog a handler is about to run.

#include <QApplication>
#include <QTimer>
#include <QWidget>

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "CameraDiscovery.h"
#include "UdpSocket.h"

// DHCP sockets bound to 127.0.0.1 on free ports, the XRM query sent to a closed loopback port, loopback as the
// one adapter: nothing leaves the machine and nothing needs privileges.
inline CameraDiscovery::Environment LoopbackEnvironment() {
    CameraDiscovery::Environment environment;
    environment.enumerateAdapters = [] {
        return std::optional<std::vector<AdapterInfo>>(std::vector<AdapterInfo>{{"127.0.0.1", "255.0.0.0", "lo", 0}});
    };
    environment.openDhcpSocket = [](uint16_t) {
        CameraDiscovery::SocketOpenResult result;
        int error = 0;
        std::unique_ptr<UdpSocket> socket = UdpSocket::Create(&error);
        if (!socket || (error = socket->Bind(0x7F000001u, 0)) != 0) {
            result.failure = CameraDiscovery::SocketOpenResult::Failure::Bind;
            result.error = error;
            return result;
        }
        result.socket = std::move(socket);
        return result;
    };
    environment.xrm.localPort = 0;
    environment.xrm.destination = 0x7F000001u;
    environment.xrm.destinationPort = 9;  // discard: nobody listens
    environment.random = [] { return 0x1234u; };
    return environment;
}

// Runs `action` on the next modal widget that appears (polling, so it works for nested modal runs), then
// gives up after `timeoutMs`. Returns the timer so a test can check it fired.
inline void OnNextModal(std::function<void(QWidget*)> action, QWidget* notThis = nullptr, int timeoutMs = 5000) {
    auto* timer = new QTimer;
    auto started = std::make_shared<int>(0);
    QObject::connect(timer, &QTimer::timeout, [timer, action = std::move(action), notThis, started, timeoutMs] {
        QWidget* modal = QApplication::activeModalWidget();
        QWidget* popup = QApplication::activePopupWidget();
        QWidget* target = popup != nullptr ? popup : modal;
        *started += 10;
        if ((target != nullptr && target != notThis && target->isVisible()) || *started > timeoutMs) {
            timer->stop();
            timer->deleteLater();
            if (target != nullptr && target != notThis) {
                action(target);
            }
        }
    });
    timer->start(10);
}

// A DHCP discover from `mac` with host name option `hostName` and ciaddr 0, as a camera sends at start-up.
inline std::vector<uint8_t> DhcpDiscover(const std::array<uint8_t, 6>& mac, const std::string& hostName) {
    std::vector<uint8_t> packet(548, 0);
    packet[0] = 1;  // request
    packet[1] = 1;  // Ethernet
    packet[2] = 6;
    for (size_t i = 0; i < mac.size(); ++i) {
        packet[28 + i] = mac[i];
    }
    const uint8_t cookie[] = {99, 130, 83, 99};
    std::copy(std::begin(cookie), std::end(cookie), packet.begin() + 236);
    size_t at = 240;
    packet[at++] = 53;  // message type: discover
    packet[at++] = 1;
    packet[at++] = 1;
    packet[at++] = 12;  // host name
    packet[at++] = static_cast<uint8_t>(hostName.size());
    for (char c : hostName) {
        packet[at++] = static_cast<uint8_t>(c);
    }
    packet[at] = 255;
    return packet;
}
