#pragma once

#include <QObject>
#include <QPair>
#include <QString>

#include <memory>

class HostCommandRunner;

// Polls the station's position from the GPS daemon by running its GPX logging client for a few
// seconds and reading the first track point it prints. Lives on a thread of its own: one poll
// blocks that thread for up to kWaitMs.
class gpspos : public QObject {
    Q_OBJECT
public:
    static constexpr int kWaitMs = 3000;

    explicit gpspos(QObject* parent = nullptr);  // host commands through the default runner
    explicit gpspos(std::shared_ptr<HostCommandRunner> runner, QObject* parent = nullptr);

    // The position in the client's output: the first "lat=" and "lon=" attribute values. False
    // when either name is missing or a value does not convert to a finite number.
    static bool parse(const QString& output, QPair<double, double>& position);

public slots:
    void getPos();

signals:
    void position(QPair<double, double> pos);

private:
    std::shared_ptr<HostCommandRunner> runner_;
};
