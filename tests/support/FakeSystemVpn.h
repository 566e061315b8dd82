#pragma once

#include "platform/SystemVpn.h"

#include <QList>

#include <optional>

// The system IKEv2 profile: records saved profiles and calls, completes
// load and save from the event loop and plays a script of statuses after a
// start or a stop, each delivered from the event loop as the system does.
class FakeSystemVpn : public SystemVpn
{
    Q_OBJECT
public:
    using SystemVpn::SystemVpn;

    void loadFromPreferences(Completion completion) override;
    void saveToPreferences(const IKEv2Profile &profile, Completion completion) override;
    std::optional<QString> startTunnel() override;
    void stopTunnel() override;
    Status status() const override { return m_status; }
    QString lastFailureReason() const override { return m_failureReason; }
    void refreshStatus() override { ++refreshCalls; }

    // As if the system changed on its own.
    void emitStatus(Status status);
    // The reason is set just before the status is delivered.
    void emitFailure(Status status, const QString &reason);

    // Every later call fails with the description (until reset).
    std::optional<QString> loadError;
    std::optional<QString> saveError;
    std::optional<QString> startError;
    // A later load fails only from this call number on (1 = the first).
    int loadErrorFromCall = 1;

    // The next load reports the current status, as the system does for a
    // tunnel that is already up when the application starts.
    bool reportStatusOnLoad = false;

    QList<Status> startScript{Status::Connecting, Status::Connected};

    QList<IKEv2Profile> savedProfiles;
    int loadCalls = 0;
    int startCalls = 0;
    int stopCalls = 0;
    int refreshCalls = 0;

private:
    void play(const QList<Status> &script, const std::optional<QString> &reasonForLast);
    void complete(const Completion &completion, const std::optional<QString> &error);

    Status m_status = Status::Disconnected;
    QString m_failureReason;
};
