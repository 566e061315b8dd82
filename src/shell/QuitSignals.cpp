#include "shell/QuitSignals.h"

#include "platform/SignalNotifier.h"

#include <QCoreApplication>

#include <csignal>

QuitSignals::QuitSignals(QObject *parent)
    : QObject(parent)
{
    SignalNotifier &notifier = SignalNotifier::instance();
    notifier.watch(SIGINT);
    notifier.watch(SIGTERM);
    QObject::connect(&notifier, &SignalNotifier::received, this, [](int signal) {
        if (signal == SIGINT || signal == SIGTERM)
            QCoreApplication::quit();
    });
}
