#include "StationCommands.h"

#include "StationProcess.h"
#include "TestBroker.h"

#include <QElapsedTimer>
#include <QJsonDocument>

QString simStationIni(int stationId, const QString& url, bool saveToDisk)
{
    return QStringLiteral("[BASE_STATION]\n"
                          "BS_TYPE=QORM_TYPE\n"
                          "BS_ID=%1\n"
                          "QORM=true\n"
                          "LOG_FILE_PATH=station.log\n"
                          "ERR_LOG_FILE_PATH=errlog.db3\n"
                          "USE_BINARY=false\n"
                          "SAVE_TO_DISK=%3\n"
                          "R_LOGIN=%2\n"
                          "R_EXCHANGE=kavro.messages\n"
                          "R_ROUTING_KEY=backend.vexa_uplink\n"
                          "MODE=e2e\n"
                          "TIME_SYNC=false\n"
                          "[TRANSMITTER]\n"
                          "SEND_DL=false\n")
        .arg(stationId)
        .arg(url, saveToDisk ? QStringLiteral("true") : QStringLiteral("false"));
}

QByteArray commandBody(const QString& type, const QString& id, const QString& sender, const QString& data)
{
    return QStringLiteral(R"({"msg_type":"%1","cmd_id":"%2","sender":"%3","data":%4})").arg(type, id, sender, data).toUtf8();
}

bool takeReply(const TestBroker& broker, const QString& queue, const QString& cmdId, QJsonObject* reply,
               QList<QJsonObject>* others)
{
    QByteArray body;
    while (broker.get(queue, &body)) {
        const QJsonObject message = QJsonDocument::fromJson(body).object();
        if (message.value("cmd_id").toString().startsWith(cmdId)) {
            *reply = message;
            return true;
        }
        if (others)
            others->append(message);
    }
    return false;
}

bool askUntilAnswered(const TestBroker& broker, const QString& exchange, const QString& routingKey,
                      const QString& replyQueue, const QString& sender, const QString& id, const QString& type,
                      const QString& data, QJsonObject* reply, int timeoutMs)
{
    QElapsedTimer sinceAsked;
    int attempt = 0;
    return waitUntil(
        [&] {
            if (takeReply(broker, replyQueue, id, reply))
                return true;
            if (!sinceAsked.isValid() || sinceAsked.elapsed() > 3000) {
                broker.publish(exchange, routingKey, commandBody(type, id + QString::number(++attempt), sender, data));
                sinceAsked.start();
            }
            return false;
        },
        timeoutMs);
}
