#pragma once

#include <QObject>

class QSocketNotifier;

// Ends the application through its event loop on SIGINT and SIGTERM, so the
// clean-up that runs on aboutToQuit (saved window frame, restored proxies)
// also runs when the process is asked to stop. The signal handler only
// writes a byte into a pipe; the quit happens in ordinary code.
// One instance per process.
class QuitSignals : public QObject
{
    Q_OBJECT
public:
    explicit QuitSignals(QObject *parent = nullptr);
    ~QuitSignals() override;

private:
    void drain();

    int m_readFd = -1;
    QSocketNotifier *m_notifier = nullptr;
};
