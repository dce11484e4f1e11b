#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

class TestBroker;

// Commands to a tolvar-sim station through a test broker, and the replies to them.

// The INI of a plain simulated QORM station publishing to the broker at url (exchange
// "kavro.messages", records and heartbeats on "backend.vexa_uplink"), without downlink and time
// sync from the server.
QString simStationIni(int stationId, const QString& url, bool saveToDisk);

// {"msg_type": type, "cmd_id": id, "sender": sender, "data": data}, data a JSON text.
QByteArray commandBody(const QString& type, const QString& id, const QString& sender, const QString& data);

// Takes messages off the queue until a reply whose cmd_id starts with cmdId; the others go to
// *others.
bool takeReply(const TestBroker& broker, const QString& queue, const QString& cmdId, QJsonObject* reply,
               QList<QJsonObject>* others = nullptr);

// Until the station's queue is bound the broker drops a command: publishes the command (ids
// id1, id2, ...) to routingKey every 3 s until a reply to any of them is on replyQueue; false
// after timeoutMs without one.
bool askUntilAnswered(const TestBroker& broker, const QString& exchange, const QString& routingKey,
                      const QString& replyQueue, const QString& sender, const QString& id, const QString& type,
                      const QString& data, QJsonObject* reply, int timeoutMs = 90000);
