#pragma once

#include <QString>

#include <functional>

class TestBroker;

// Waits on broker state that only rabbitmqctl or amqp-tools can see. Each look gets at most
// kBrokerCallMs (never more than what is left of the whole wait), and the whole wait ends at
// its own bound, so a slow or stuck broker tool fails the test with a message long before
// QTest's 300 s watchdog would stop it. The event loop runs between looks.
constexpr int kBrokerCallMs = 30000;
constexpr int kBrokerWaitMs = 90000;

// Empty once probe(callMs) returned true; otherwise why not, naming `what`. The probe must
// bound its own broker call by callMs.
QString pollBroker(const QString& what, const std::function<bool(int callMs)>& probe, int totalMs = kBrokerWaitMs);

// Empty once the queue holds `expected` messages (ready and unacknowledged); otherwise the last
// count seen.
QString waitForQueueCount(const TestBroker& broker, const QString& queue, int expected, int totalMs = kBrokerWaitMs);

// Fails the current test function with the wait's own message.
#define BROKER_WAIT(wait)                                     \
    do {                                                      \
        const QString brokerWaitFailure_ = (wait);            \
        QVERIFY2(brokerWaitFailure_.isEmpty(), qPrintable(brokerWaitFailure_)); \
    } while (false)
