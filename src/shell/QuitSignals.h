#pragma once

#include <QObject>

#include <csignal>

// Ends the application through its event loop on SIGINT, SIGTERM, SIGHUP
// (the terminal it was started from closed) and SIGQUIT, so the
// clean-up that runs on aboutToQuit (saved window frame, restored proxies,
// the stopped xray child) also runs when the process is asked to stop. The
// signals arrive through SignalNotifier: the handler only writes to a pipe
// and the quit happens in ordinary code.
class QuitSignals : public QObject
{
    Q_OBJECT
public:
    static constexpr int quitSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

    explicit QuitSignals(QObject *parent = nullptr);
};
