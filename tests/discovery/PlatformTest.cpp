#include "InvokeBlocking.h"
#include "LoopbackPeer.h"
#include "QtApp.h"

#include <QThread>

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

TEST(UdpSocket, ReceiveBufferReachesOneMebibyteWhenPrivileged) {
    int error = 0;
    auto socket = UdpSocket::Create(&error);
    ASSERT_TRUE(socket);
    EXPECT_EQ(socket->SetReceiveBuffer(1 << 20), 0);
    int size = 0;
    socklen_t length = sizeof size;
    ASSERT_EQ(getsockopt(socket->Fd(), SOL_SOCKET, SO_RCVBUF, &size, &length), 0);
    if (geteuid() == 0) {
        EXPECT_GE(size, 1 << 20);  // the kernel doubles the request; rmem_max does not cap the forced size
    } else {
        EXPECT_GT(size, 0);
    }
}

TEST(UdpSocket, ReportsSourceAndArrivalInterfaceAndTruncatesToTheBuffer) {
    int error = 0;
    auto socket = UdpSocket::Create(&error);
    ASSERT_TRUE(socket);
    ASSERT_EQ(socket->EnablePacketInfo(), 0);
    ASSERT_EQ(socket->Bind(kLoopback, 0), 0);
    uint8_t small[4];
    UdpSocket::Datagram datagram;
    EXPECT_EQ(socket->Receive(small, &datagram), EAGAIN);

    LoopbackPeer peer;
    peer.Send({1, 2, 3, 4, 5, 6}, socket->LocalPort());
    ASSERT_GT(socket->WaitReadable(1000), 0);
    ASSERT_EQ(socket->Receive(small, &datagram), 0);
    EXPECT_EQ(datagram.length, 4u);
    EXPECT_TRUE(datagram.truncated);
    EXPECT_EQ(datagram.sourceAddress, kLoopback);
    EXPECT_EQ(datagram.sourcePort, peer.Port());
    ASSERT_TRUE(datagram.interface);
    EXPECT_GT(*datagram.interface, 0);
    EXPECT_EQ(socket->WaitReadable(0), 0);  // the excess was discarded with the datagram
    EXPECT_EQ(socket->SendTo(std::vector<uint8_t>{1}, kLoopback, 0), EINVAL);
}

TEST(InvokeBlocking, RunsOnTheReceiversThreadAndDirectlyOnItsOwn) {
    EnsureQtApp();
    QObject receiver;
    // Same thread: a blocking queued call would deadlock; the helper calls directly.
    EXPECT_EQ(InvokeBlocking(&receiver, [] { return 42; }), 42);

    QThread* ranOn = nullptr;
    std::atomic<bool> finished{false};
    std::thread caller([&] {
        const std::string text = InvokeBlocking(&receiver, [&] {
            ranOn = QThread::currentThread();
            return std::string("done");
        });
        EXPECT_EQ(text, "done");
        InvokeBlocking(&receiver, [] {});
        finished = true;
    });
    while (!finished) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    caller.join();
    EXPECT_EQ(ranOn, receiver.thread());
}

// A worker that the GUI thread is about to join must not wait for a call the GUI thread will never take up, and
// the call must not run later with the worker's state gone.
TEST(InvokeBlocking, CallNotTakenUpBeforeAStopIsDropped) {
    EnsureQtApp();
    QObject receiver;
    StopSignal stop;
    bool ran = false;
    int result = -1;
    std::thread caller([&] {
        result = InvokeBlocking(
            &receiver,
            [&] {
                ran = true;
                return 7;
            },
            &stop);
    });
    stop.Request();
    caller.join();  // this thread never ran its event loop meanwhile
    QCoreApplication::processEvents();
    EXPECT_FALSE(ran);
    EXPECT_EQ(result, 0);
}
